// Sample-rate conversion of interleaved float audio, a piece at a time, at very high quality.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "imabox/expected.hpp"

namespace imabox {

class Resampler {
  public:
    static Expected<Resampler> Create(std::uint32_t inputRate, std::uint32_t outputRate,
                                      unsigned channels);

    Resampler(Resampler&&) noexcept;
    Resampler& operator=(Resampler&&) noexcept;
    ~Resampler();

    // Resamples whole frames of `in` and appends the frames ready so far to `out`.
    Expected<bool> Process(std::span<const float> in, std::vector<float>& out);
    // Ends the input: appends the frames still held back. No Process may follow.
    Expected<bool> Flush(std::vector<float>& out);

    // Frames the whole output has for `inputFrames` frames in: the input's duration at the
    // output rate, rounded to the nearest frame.
    static std::uint64_t OutputFrames(std::uint64_t inputFrames, std::uint32_t inputRate,
                                      std::uint32_t outputRate);

  private:
    struct State;
    explicit Resampler(std::unique_ptr<State> state);
    Expected<bool> Run(const float* in, std::size_t frames, std::vector<float>& out);
    std::unique_ptr<State> state_;
};

}  // namespace imabox
