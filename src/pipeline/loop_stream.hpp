// SPDX-License-Identifier: MIT
// Audio with its loop aligned on blocks, a piece at a time: the input frames pass through the
// unroll, the resampler (the one a rate change uses) when the plan resamples, and the cut, as
// LoopAlignPlan describes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "imabox/expected.hpp"
#include "pipeline/loop_align.hpp"
#include "pipeline/media_adapters.hpp"
#include "pipeline/quantize.hpp"
#include "wave/sample_stream.hpp"

namespace imabox {

class LoopAlignedAudio {
  public:
    // Reads up to out.size() / channels whole frames; returns the frames read, 0 at the end.
    using Reader = std::function<Expected<std::size_t>(std::span<std::int16_t> out)>;

    // Fails only when the plan resamples and `media` has no resampler or it cannot start.
    static Expected<std::unique_ptr<LoopAlignedAudio>> Create(const LoopAlignPlan& plan,
                                                              unsigned channels, Reader upstream,
                                                              const MediaAdapters& media);

    // Same contract as Reader.
    Expected<std::size_t> Read(std::span<std::int16_t> out);

    // Samples that the resampler's ringing pushed past the 16-bit range.
    std::uint64_t clippedSamples() const { return quantizer_.clipped(); }

  private:
    LoopAlignedAudio(const LoopAlignPlan& plan, unsigned channels, Reader upstream);
    Expected<bool> Refill();
    Expected<bool> Resample(std::span<const double> frames);
    Expected<bool> Cut();

    unsigned channels_;
    Reader upstream_;
    std::unique_ptr<RateConverter> resampler_;
    LoopUnroller<std::int16_t> unroll16_;
    LoopUnroller<double> unrollReal_;
    FrameCutter<double> cutter_;
    SampleQuantizer quantizer_{true};
    std::vector<std::int16_t> input_;
    std::vector<double> real_, unrolled_, resampled_, cut_;
    std::vector<std::int16_t> ready_;
    std::size_t readyAt_ = 0;
    bool ended_ = false;
};

// LoopAlignedAudio as a pipeline stage: exactly plan.outputFrames frames (the resampler's last
// frame, if it makes one more or one fewer, is cut or completed with silence).
class LoopAlignStage final : public Int16Stream {
  public:
    static Expected<std::unique_ptr<LoopAlignStage>> Create(std::unique_ptr<Int16Stream> upstream,
                                                            const LoopAlignPlan& plan,
                                                            const MediaAdapters& media);
    const StreamShape& shape() const override { return shape_; }
    Expected<std::size_t> Read(std::span<std::int16_t> out) override;
    bool Rewind() override { return false; }
    StreamStats stats() const override;

  private:
    LoopAlignStage(std::unique_ptr<Int16Stream> upstream, StreamShape shape)
        : upstream_(std::move(upstream)), shape_(shape) {}

    std::unique_ptr<Int16Stream> upstream_;
    StreamShape shape_;
    std::unique_ptr<LoopAlignedAudio> audio_;
    std::uint64_t delivered_ = 0;
};

}  // namespace imabox
