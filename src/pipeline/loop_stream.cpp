// SPDX-License-Identifier: MIT
#include "pipeline/loop_stream.hpp"

#include <algorithm>
#include <new>

#include "io/errors.hpp"

namespace imabox {
namespace {

constexpr std::size_t kPieceFrames = 16384;

}  // namespace

LoopAlignedAudio::LoopAlignedAudio(const LoopAlignPlan& plan, unsigned channels, Reader upstream)
    : channels_(channels),
      upstream_(std::move(upstream)),
      unroll16_(channels, plan.inputStart, plan.inputEnd, plan.copyFrames),
      unrollReal_(channels, plan.inputStart, plan.inputEnd, plan.copyFrames),
      cutter_(channels, plan.cutStart, plan.cutEnd) {}

Expected<std::unique_ptr<LoopAlignedAudio>> LoopAlignedAudio::Create(const LoopAlignPlan& plan,
                                                                     unsigned channels,
                                                                     Reader upstream,
                                                                     const MediaAdapters& media) {
    std::unique_ptr<LoopAlignedAudio> audio(
        new LoopAlignedAudio(plan, channels, std::move(upstream)));
    if (!plan.resamples())
        return audio;
    if (!media.CanResample())
        return MakeError(ErrorKind::LoopAlignment,
                         "this build cannot resample; LoopAlignMode::Unroll or "
                         "LoopAlignMode::Off aligns the loop");
    // Only the ratio matters to the resampler: ratioDen frames in, ratioNum out (both < 2^32).
    Expected<std::unique_ptr<RateConverter>> resampler =
        media.CreateRateConverter(static_cast<std::uint32_t>(plan.ratioDen),
                                  static_cast<std::uint32_t>(plan.ratioNum), channels);
    if (!resampler)
        return resampler.error();
    audio->resampler_ = std::move(resampler).value();
    return audio;
}

Expected<bool> LoopAlignedAudio::Refill() {
    ready_.clear();
    readyAt_ = 0;
    // The repeats of the loop come a piece at a time, before the next input is read.
    if (resampler_ && unrollReal_.pending()) {
        unrolled_.clear();
        unrollReal_.Drain(unrolled_, kPieceFrames);
        return Resample(unrolled_);
    }
    if (unroll16_.pending()) {
        unroll16_.Drain(ready_, kPieceFrames);
        return true;
    }
    input_.resize(kPieceFrames * channels_);
    const Expected<std::size_t> got = upstream_(input_);
    if (!got)
        return got.error();
    const std::span<const std::int16_t> piece(input_.data(), got.value() * channels_);
    if (resampler_) {
        resampled_.clear();
        if (piece.empty()) {
            ended_ = true;
            const Expected<bool> flushed = resampler_->Flush(resampled_);
            if (!flushed)
                return flushed.error();
        } else {
            real_.assign(piece.begin(), piece.end());  // in 16-bit units
            unrolled_.clear();
            unrollReal_.Feed(real_, unrolled_);
            return Resample(unrolled_);
        }
        return Cut();
    }
    if (piece.empty())
        ended_ = true;
    else
        unroll16_.Feed(piece, ready_);
    return true;
}

Expected<bool> LoopAlignedAudio::Resample(std::span<const double> frames) {
    resampled_.clear();
    const Expected<bool> processed = resampler_->Process(frames, resampled_);
    if (!processed)
        return processed.error();
    return Cut();
}

Expected<bool> LoopAlignedAudio::Cut() {
    cut_.clear();
    cutter_.Process(resampled_, cut_);
    for (const double x : cut_)
        ready_.push_back(quantizer_.Quantize(x));
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
        return MakeError(ErrorKind::OutOfMemory);
    }
}

Expected<std::unique_ptr<LoopAlignStage>> LoopAlignStage::Create(
    std::unique_ptr<Int16Stream> upstream, const LoopAlignPlan& plan, const MediaAdapters& media) {
    const StreamShape shape{upstream->shape().channels, plan.outputRate, plan.outputFrames};
    std::unique_ptr<LoopAlignStage> stage(new LoopAlignStage(std::move(upstream), shape));
    Expected<std::unique_ptr<LoopAlignedAudio>> audio = LoopAlignedAudio::Create(
        plan, shape.channels,
        [source = stage->upstream_.get()](std::span<std::int16_t> out) {
            return source->Read(out);
        },
        media);
    if (!audio)
        return audio.error();
    stage->audio_ = std::move(audio).value();
    return stage;
}

Expected<std::size_t> LoopAlignStage::Read(std::span<std::int16_t> out) {
    const unsigned channels = shape_.channels;
    const std::uint64_t left = *shape_.frames - delivered_;
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(out.size() / channels, left));
    if (want == 0)
        return std::size_t{0};
    const Expected<std::size_t> got = audio_->Read(out.first(want * channels));
    if (!got)
        return got;
    std::size_t frames = got.value();
    if (frames == 0) {  // the resampler made a frame fewer than the plan counts
        frames = want;
        std::fill_n(out.begin(), frames * channels, std::int16_t{0});
    }
    delivered_ += frames;
    return frames;
}

StreamStats LoopAlignStage::stats() const {
    StreamStats stats = upstream_->stats();
    stats.clippedSamples += audio_->clippedSamples();
    return stats;
}

}  // namespace imabox
