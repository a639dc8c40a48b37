// Audio with its loop aligned on blocks, a piece at a time: the input frames pass through the
// unroll, the resampler when the plan resamples, and the cut, as LoopAlignPlan describes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "convert/loop_align.hpp"
#include "convert/quantize.hpp"
#include "imabox/expected.hpp"
#include "wave/sample_stream.hpp"

namespace imabox {

// Resamples interleaved float frames by a fixed ratio, keeping its state across pieces.
class FrameResampler {
  public:
    virtual ~FrameResampler() = default;
    // Appends to `out` the frames ready so far.
    virtual Expected<bool> Process(std::span<const float> in, std::vector<float>& out) = 0;
    // Ends the input and appends the frames held back.
    virtual Expected<bool> Flush(std::vector<float>& out) = 0;
};

// The resampler `--rate` uses (very high quality), set for the plan's ratio; null when this
// build has none.
std::unique_ptr<FrameResampler> MakeLoopResampler(const LoopAlignPlan& plan, unsigned channels);

class LoopAlignedAudio {
  public:
    // Reads up to out.size() / channels whole frames; returns the frames read, 0 at the end.
    using Reader = std::function<Expected<std::size_t>(std::span<std::int16_t> out)>;

    // `resampler` turns ratioDen frames into ratioNum; it is needed only when the plan resamples.
    LoopAlignedAudio(const LoopAlignPlan& plan, unsigned channels, Reader upstream,
                     std::unique_ptr<FrameResampler> resampler);

    // Same contract as Reader.
    Expected<std::size_t> Read(std::span<std::int16_t> out);

    // Samples that the resampler's ringing pushed past the 16-bit range.
    std::uint64_t clippedSamples() const { return quantizer_.clipped(); }

  private:
    Expected<bool> Refill();
    void Quantize(std::span<const float> in);

    unsigned channels_;
    Reader upstream_;
    std::unique_ptr<FrameResampler> resampler_;
    LoopUnroller<std::int16_t> unroll16_;
    LoopUnroller<float> unrollFloat_;
    FrameCutter<float> cutter_;
    SampleQuantizer quantizer_{true};
    std::vector<std::int16_t> input_;
    std::vector<float> real_, unrolled_, resampled_, cut_;
    std::vector<std::int16_t> ready_;
    std::size_t readyAt_ = 0;
    bool ended_ = false;
};

// LoopAlignedAudio as a pipeline stage: exactly plan.outputFrames frames (the resampler's last
// frame, if it makes one more or one fewer, is cut or completed with silence).
class LoopAlignStage final : public Int16Stream {
  public:
    LoopAlignStage(std::unique_ptr<Int16Stream> upstream, const LoopAlignPlan& plan,
                   std::unique_ptr<FrameResampler> resampler);
    const StreamShape& shape() const override { return shape_; }
    Expected<std::size_t> Read(std::span<std::int16_t> out) override;
    bool Rewind() override { return false; }
    StreamStats stats() const override;

  private:
    std::unique_ptr<Int16Stream> upstream_;
    StreamShape shape_;
    LoopAlignedAudio audio_;
    std::uint64_t delivered_ = 0;
};

}  // namespace imabox
