// SPDX-License-Identifier: MIT
// Stages between a source and the coder: channel changes, and 16-bit audio taken into the real
// (float) path. Sample-rate conversion is in resampler.hpp; the one step back to 16 bits is
// QuantizeStage (quantize.hpp).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "imabox/expected.hpp"
#include "wave/sample_stream.hpp"

namespace imabox {

// Whether `from` channels can become `to`: the same count, any count to 1 (the average of the
// channels) or 1 to 2 (the channel duplicated). Otherwise one line saying what is refused.
std::optional<Error> CheckChannelChange(unsigned from, unsigned to);

// Replaces `out` with the frames of `in` (interleaved, `from` channels) changed to `to`
// channels as CheckChannelChange allows. For 16-bit samples only the exact changes (equal
// counts, 1 to 2) are defined.
void ChangeChannels(std::span<const double> in, unsigned from, unsigned to,
                    std::vector<double>& out);
void ChangeChannels(std::span<const std::int16_t> in, unsigned from, unsigned to,
                    std::vector<std::int16_t>& out);

// The most input a ChannelStage holds at once, in bytes.
inline constexpr std::size_t kChannelStageBytes = std::size_t{1} << 20;

// A stream with its channels changed (see ChangeChannels), holding at most kChannelStageBytes of
// input whatever the channel count.
template <class Sample>
class ChannelStage final : public SampleStream<Sample> {
  public:
    ChannelStage(std::unique_ptr<SampleStream<Sample>> source, unsigned channels);
    const StreamShape& shape() const override { return shape_; }
    Expected<std::size_t> Read(std::span<Sample> out) override;
    bool Rewind() override { return source_->Rewind(); }
    StreamStats stats() const override { return source_->stats(); }

  private:
    std::unique_ptr<SampleStream<Sample>> source_;
    StreamShape shape_;
    std::vector<Sample> in_;
    std::vector<Sample> out_;
};

// 16-bit audio as real values in 16-bit units (exact), for the stages that work in float.
class Int16AsReal final : public RealStream {
  public:
    explicit Int16AsReal(std::unique_ptr<Int16Stream> source) : source_(std::move(source)) {}
    const StreamShape& shape() const override { return source_->shape(); }
    Expected<std::size_t> Read(std::span<double> out) override;
    bool Rewind() override { return source_->Rewind(); }
    StreamStats stats() const override { return source_->stats(); }

  private:
    std::unique_ptr<Int16Stream> source_;
    std::vector<std::int16_t> buffer_;
};

}  // namespace imabox
