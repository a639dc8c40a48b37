#include "convert/loop_stream.hpp"

#include <algorithm>
#include <new>

namespace imabox {
namespace {

constexpr std::size_t kPieceFrames = 16384;

}  // namespace

LoopAlignedAudio::LoopAlignedAudio(const LoopAlignPlan& plan, unsigned channels, Reader upstream,
                                   std::unique_ptr<FrameResampler> resampler)
    : channels_(channels),
      upstream_(std::move(upstream)),
      resampler_(plan.resamples() ? std::move(resampler) : nullptr),
      unroll16_(channels, plan.inputStart, plan.inputEnd, plan.copyFrames),
      unrollFloat_(channels, plan.inputStart, plan.inputEnd, plan.copyFrames),
      cutter_(channels, plan.cutStart, plan.cutEnd) {}

void LoopAlignedAudio::Quantize(std::span<const float> in) {
    for (const float x : in)
        ready_.push_back(quantizer_.Quantize(static_cast<double>(x) * 32768.0));
}

Expected<bool> LoopAlignedAudio::Refill() {
    ready_.clear();
    readyAt_ = 0;
    input_.resize(kPieceFrames * channels_);
    const Expected<std::size_t> got = upstream_(input_);
    if (!got)
        return got.error();
    const std::span<const std::int16_t> piece(input_.data(), got.value() * channels_);
    if (!resampler_) {
        if (piece.empty())
            ended_ = true;
        else
            unroll16_.Process(piece, ready_);
        return true;
    }
    resampled_.clear();
    if (piece.empty()) {
        ended_ = true;
        const Expected<bool> flushed = resampler_->Flush(resampled_);
        if (!flushed)
            return flushed.error();
    } else {
        real_.resize(piece.size());
        std::transform(piece.begin(), piece.end(), real_.begin(),
                       [](std::int16_t s) { return static_cast<float>(s) / 32768.0f; });
        unrolled_.clear();
        unrollFloat_.Process(real_, unrolled_);
        const Expected<bool> processed = resampler_->Process(unrolled_, resampled_);
        if (!processed)
            return processed.error();
    }
    cut_.clear();
    cutter_.Process(resampled_, cut_);
    Quantize(cut_);
    return true;
}

Expected<std::size_t> LoopAlignedAudio::Read(std::span<std::int16_t> out) {
    try {
        std::size_t frames = 0;
        const std::size_t want = out.size() / channels_;
        while (frames < want) {
            if (readyAt_ == ready_.size()) {
                if (ended_)
                    break;
                const Expected<bool> refilled = Refill();
                if (!refilled)
                    return refilled.error();
                continue;
            }
            const std::size_t n = std::min(want - frames, (ready_.size() - readyAt_) / channels_);
            std::copy_n(ready_.begin() + static_cast<std::ptrdiff_t>(readyAt_), n * channels_,
                        out.begin() + static_cast<std::ptrdiff_t>(frames * channels_));
            readyAt_ += n * channels_;
            frames += n;
        }
        return frames;
    } catch (const std::bad_alloc&) {
        return Error{"out of memory"};
    }
}

}  // namespace imabox
