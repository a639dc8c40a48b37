// SPDX-License-Identifier: MIT
// Sample-rate conversion at very high quality (libsoxr), a piece at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "imabox/expected.hpp"
#include "wave/sample_stream.hpp"

namespace imabox {

class Resampler {
  public:
    static Expected<Resampler> Create(std::uint32_t inputRate, std::uint32_t outputRate,
                                      unsigned channels);

    Resampler(Resampler&&) noexcept;
    Resampler& operator=(Resampler&&) noexcept;
    ~Resampler();

    // Resamples the whole interleaved frames of `in` and appends the frames ready so far to
    // `out`.
    Expected<bool> Process(std::span<const double> in, std::vector<double>& out);
    // Ends the input: appends the frames still held back. No Process may follow.
    Expected<bool> Flush(std::vector<double>& out);

    // The frames the whole output has for `inputFrames` frames in: the input's duration at the
    // output rate, rounded to the nearest frame.
    static std::uint64_t OutputFrames(std::uint64_t inputFrames, std::uint32_t inputRate,
                                      std::uint32_t outputRate);

  private:
    struct State;
    explicit Resampler(std::unique_ptr<State> state);
    Expected<bool> Run(const double* in, std::size_t frames, std::vector<double>& out);
    std::unique_ptr<State> state_;
};

// The most input a ResampleStage reads at once, in bytes; it reads no more than the rate ratio
// needs for the frames asked, so what it holds stays near what is asked whatever the ratio.
inline constexpr std::size_t kResamplerInputBytes = std::size_t{1} << 20;

// A RealStream at another sample rate. It cannot rewind: it is read once, after the source has
// been read whole when that was needed.
class ResampleStage final : public RealStream {
  public:
    static Expected<std::unique_ptr<ResampleStage>> Create(std::unique_ptr<RealStream> source,
                                                           std::uint32_t sampleRate);
    const StreamShape& shape() const override { return shape_; }
    Expected<std::size_t> Read(std::span<double> out) override;
    bool Rewind() override { return false; }
    StreamStats stats() const override { return source_->stats(); }

  private:
    ResampleStage(std::unique_ptr<RealStream> source, Resampler resampler, StreamShape shape);

    std::unique_ptr<RealStream> source_;
    Resampler resampler_;
    StreamShape shape_;
    std::vector<double> input_;
    std::vector<double> ready_;  // resampled frames not yet handed out
    std::size_t readyAt_ = 0;    // first sample of ready_ not yet handed out
    bool flushed_ = false;
};

}  // namespace imabox
