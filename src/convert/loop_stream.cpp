#include "convert/loop_stream.hpp"

#include <algorithm>
#include <new>

#include "io/errors.hpp"

#if defined(IMABOX_HAVE_SOXR)
#include <soxr.h>
#endif

namespace imabox {
namespace {

constexpr std::size_t kPieceFrames = 16384;

#if defined(IMABOX_HAVE_SOXR)
class SoxrResampler final : public FrameResampler {
  public:
    SoxrResampler(soxr_t soxr, unsigned channels, double ratio)
        : soxr_(soxr), channels_(channels), ratio_(ratio) {}
    ~SoxrResampler() override { soxr_delete(soxr_); }
    SoxrResampler(const SoxrResampler&) = delete;
    SoxrResampler& operator=(const SoxrResampler&) = delete;

    Expected<bool> Process(std::span<const float> in, std::vector<float>& out) override {
        return Run(in.data(), in.size() / channels_, out);
    }
    Expected<bool> Flush(std::vector<float>& out) override { return Run(nullptr, 0, out); }

  private:
    Expected<bool> Run(const float* in, std::size_t frames, std::vector<float>& out) {
        std::size_t consumed = 0;
        while (true) {
            const std::size_t room = static_cast<std::size_t>(frames * ratio_) + 1024;
            const std::size_t at = out.size();
            out.resize(at + room * channels_);
            std::size_t used = 0, made = 0;
            const soxr_error_t error =
                soxr_process(soxr_, in ? in + consumed * channels_ : nullptr, frames - consumed,
                             in ? &used : nullptr, out.data() + at, room, &made);
            out.resize(at + made * channels_);
            if (error)
                return MakeError(ErrorKind::Internal, std::string("resampling failed: ") + error);
            consumed += used;
            if (made < room && consumed == frames)
                return true;
        }
    }

    soxr_t soxr_;
    unsigned channels_;
    double ratio_;
};
#endif

}  // namespace

std::unique_ptr<FrameResampler> MakeLoopResampler(const LoopAlignPlan& plan, unsigned channels) {
#if defined(IMABOX_HAVE_SOXR)
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
    const double in = static_cast<double>(plan.ratioDen), out = static_cast<double>(plan.ratioNum);
    soxr_error_t error = nullptr;
    const soxr_t soxr = soxr_create(in, out, channels, &error, &io, &quality, nullptr);
    if (!soxr || error)
        return nullptr;
    return std::make_unique<SoxrResampler>(soxr, channels, out / in);
#else
    (void)plan;
    (void)channels;
    return nullptr;
#endif
}

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
        return MakeError(ErrorKind::OutOfMemory);
    }
}

LoopAlignStage::LoopAlignStage(std::unique_ptr<Int16Stream> upstream, const LoopAlignPlan& plan,
                               std::unique_ptr<FrameResampler> resampler)
    : upstream_(std::move(upstream)),
      shape_{upstream_->shape().channels, plan.outputRate, plan.outputFrames},
      audio_(
          plan, shape_.channels,
          [source = upstream_.get()](std::span<std::int16_t> out) { return source->Read(out); },
          std::move(resampler)) {}

Expected<std::size_t> LoopAlignStage::Read(std::span<std::int16_t> out) {
    const unsigned channels = shape_.channels;
    const std::uint64_t left = *shape_.frames - delivered_;
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(out.size() / channels, left));
    if (want == 0)
        return std::size_t{0};
    const Expected<std::size_t> got = audio_.Read(out.first(want * channels));
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
    stats.clippedSamples += audio_.clippedSamples();
    return stats;
}

}  // namespace imabox
