// SPDX-License-Identifier: MIT
#include "pipeline/loop_align.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <numeric>

#include "codec/xbox_adpcm.hpp"
#include "io/errors.hpp"

namespace imabox {
namespace {

constexpr std::uint64_t kBlock = kFramesPerBlock;
constexpr std::uint64_t kMax32 = std::numeric_limits<std::uint32_t>::max();

enum class Rounding { Down, Nearest, Up };

// a * b / c rounded as asked, for b and c below 2^32 (the product may exceed 64 bits).
std::uint64_t MulDiv(std::uint64_t a, std::uint64_t b, std::uint64_t c, Rounding rounding) {
    const std::uint64_t q = a / c, r = a % c;
    const std::uint64_t part = r * b;  // < c * b < 2^64
    std::uint64_t result = q * b + part / c;
    const std::uint64_t rest = part % c;
    if ((rounding == Rounding::Up && rest != 0) || (rounding == Rounding::Nearest && 2 * rest >= c))
        ++result;
    return result;
}

std::uint64_t RoundUpToBlock(std::uint64_t frames) {
    return (frames + kBlock - 1) / kBlock * kBlock;
}

std::string Cents(double cents) {
    char text[32];
    std::snprintf(text, sizeof text, "%+.2f cents", cents);
    return text;
}

std::string Range(std::uint64_t from, std::uint64_t to) {
    return std::to_string(from) + ".." + std::to_string(to);
}

}  // namespace

bool LoopAlignPlan::aligned() const {
    return start % kBlock == 0 && (end + 1 - start) % kBlock == 0;
}

std::uint64_t LoopAlignPlan::MapFrame(std::uint64_t p) const {
    if (mode == LoopAlignMode::Off)
        return MulDiv(p, ratioNum, ratioDen, Rounding::Nearest);
    if (p == inputStart)
        return start;
    if (p == inputEnd + 1)
        return end + 1;
    if (p <= inputEnd)
        return MulDiv(p, ratioNum, ratioDen, Rounding::Nearest);
    const std::uint64_t fed = MulDiv(p + copyFrames, ratioNum, ratioDen, Rounding::Nearest);
    return fed - std::min(fed, cutEnd - cutStart);
}

std::uint64_t LoopAlignPlan::startShift() const {
    const std::uint64_t unaligned = MulDiv(inputStart, ratioNum, ratioDen, Rounding::Nearest);
    return start > unaligned ? start - unaligned : 0;
}

Expected<LoopAlignPlan> PlanLoopAlignment(const LoopAlignRequest& request) {
    const std::uint64_t s = request.start, e = request.end, n = request.frames;
    if (e < s || e >= n)
        return MakeError(ErrorKind::LoopAlignment, "loop " + Range(s, e) +
                                                       " does not lie in the audio's " +
                                                       std::to_string(n) + " frames");
    if (n > kMax32 || request.inputRate == 0 || request.outputRate == 0)
        return MakeError(ErrorKind::LoopAlignment,
                         "loop alignment needs a sample rate and fewer than 2^32 frames");
    const std::uint64_t length = e - s + 1;
    const double exactLength = static_cast<double>(length) * request.outputRate / request.inputRate;

    LoopAlignPlan plan;
    plan.mode = request.mode;
    plan.inputStart = s;
    plan.inputEnd = e;
    plan.inputFrames = n;
    plan.outputRate = request.outputRate;

    // The loop's length in output frames, and how often it plays in the aligned loop.
    std::uint64_t outLength = 0;
    if (request.mode == LoopAlignMode::Off) {
        const std::uint64_t g = std::gcd(request.outputRate, request.inputRate);
        plan.ratioNum = request.outputRate / g;
        plan.ratioDen = request.inputRate / g;
        plan.start = MulDiv(s, plan.ratioNum, plan.ratioDen, Rounding::Nearest);
        plan.end = std::max(plan.start,
                            MulDiv(e + 1, plan.ratioNum, plan.ratioDen, Rounding::Nearest) - 1);
        plan.outputFrames = MulDiv(n, plan.ratioNum, plan.ratioDen, Rounding::Nearest);
        plan.cutStart = plan.cutEnd = plan.outputFrames;
        return plan;
    }
    if (request.mode == LoopAlignMode::Resample) {
        outLength = std::max<std::uint64_t>(
            kBlock, static_cast<std::uint64_t>(std::llround(exactLength / kBlock)) * kBlock);
    } else {
        outLength = std::max<std::uint64_t>(1, std::llround(exactLength));
        plan.repeats = static_cast<unsigned>(kBlock / std::gcd(outLength, kBlock));
        if (plan.repeats > 1 && length > kMaxRepeatedLoopFrames)
            return MakeError(ErrorKind::LoopAlignment,
                             "loop " + Range(s, e) + " is too long to repeat (" +
                                 std::to_string(length) + " frames, at most " +
                                 std::to_string(kMaxRepeatedLoopFrames) +
                                 "); LoopAlignMode::Resample aligns it");
    }
    plan.cents = 1200.0 * std::log2(exactLength / static_cast<double>(outLength));
    if (std::fabs(plan.cents) > request.maxCents) {
        std::string text = "loop " + Range(s, e) + " (" + std::to_string(length) +
                           " frames) cannot fill whole blocks without a pitch change of " +
                           Cents(plan.cents) + " (the limit is " + Cents(request.maxCents) + ")";
        if (request.mode == LoopAlignMode::Resample)
            text +=
                "; LoopAlignMode::Unroll repeats it instead, LoopAlignMode::Off leaves it "
                "as it is";
        return MakeError(ErrorKind::LoopAlignment, text);
    }
    const std::uint64_t g = std::gcd(outLength, length);
    plan.ratioNum = outLength / g;
    plan.ratioDen = length / g;
    const std::uint64_t loopOut = outLength * plan.repeats;

    // The new start: the first block boundary at or after the old start's output position.
    plan.start = RoundUpToBlock(MulDiv(s, plan.ratioNum, plan.ratioDen, Rounding::Up));
    plan.end = plan.start + loopOut - 1;
    if (plan.end > kMax32)
        return MakeError(ErrorKind::LoopAlignment, "the aligned loop would end past frame 2^32");
    // Input frames past the old start that the new start needs: start / ratio - s, rounded up.
    const std::uint64_t lead = MulDiv(plan.start, plan.ratioDen, plan.ratioNum, Rounding::Up) - s;
    // The filter's reach in input frames: longer when downsampling.
    const std::uint64_t reach =
        !plan.resamples() ? 0
        : plan.ratioNum >= plan.ratioDen
            ? request.resamplerReach
            : MulDiv(request.resamplerReach, plan.ratioDen, plan.ratioNum, Rounding::Up);
    plan.copyFrames = (plan.repeats - 1) * length + lead + reach;

    plan.cutStart = plan.end + 1;
    const std::uint64_t fed = n + plan.copyFrames;
    if (e + 1 == n) {
        plan.cutEnd = kNoTail;  // nothing follows the loop: the output ends with it
        plan.outputFrames = plan.cutStart;
    } else {
        plan.cutEnd = std::max(plan.cutStart, MulDiv(e + 1 + plan.copyFrames, plan.ratioNum,
                                                     plan.ratioDen, Rounding::Up));
        plan.outputFrames = MulDiv(fed, plan.ratioNum, plan.ratioDen, Rounding::Nearest) -
                            (plan.cutEnd - plan.cutStart);
    }
    return plan;
}

std::string DescribeLoopAlignment(const LoopAlignPlan& plan) {
    const std::string from = "loop " + Range(plan.inputStart, plan.inputEnd);
    if (plan.mode == LoopAlignMode::Off) {
        std::string text = from;
        if (plan.start != plan.inputStart || plan.end != plan.inputEnd)
            text += " -> " + Range(plan.start, plan.end);
        return text + (plan.aligned() ? ", on block boundaries"
                                      : ", not on block boundaries (LoopAlignMode::Off)");
    }
    if (!plan.changesAudio())
        return from + ", already on block boundaries";
    std::string text = from + " -> " + Range(plan.start, plan.end) + ": start " +
                       std::to_string(plan.startShift()) + " frames later (unrolled), length " +
                       std::to_string(plan.inputEnd + 1 - plan.inputStart) + " -> " +
                       std::to_string(plan.end + 1 - plan.start) + " frames";
    if (plan.repeats > 1)
        text += " (played " + std::to_string(plan.repeats) + " times)";
    if (plan.resamples()) {
        char ratio[64];
        std::snprintf(ratio, sizeof ratio, ", resampled by %.6f (",
                      static_cast<double>(plan.ratioNum) / static_cast<double>(plan.ratioDen));
        text += ratio + Cents(plan.cents) + ")";
    }
    return text;
}

std::optional<LoopAlignMode> ParseLoopAlignMode(std::string_view name) {
    if (name == "off")
        return LoopAlignMode::Off;
    if (name == "unroll")
        return LoopAlignMode::Unroll;
    if (name == "resample")
        return LoopAlignMode::Resample;
    return std::nullopt;
}

Expected<std::optional<LoopAlignPlan>> AlignMetadataLoop(
    WaveMetadata& metadata, std::uint64_t frames, std::uint32_t inputRate, std::uint32_t outputRate,
    const LoopAlignOptions& options, Warnings& warnings) {
    std::optional<LoopAlignPlan> plan;
    if (metadata.sampler) {
        SamplerChunk& sampler = *metadata.sampler;
        CheckLoops(sampler, frames, warnings);
        std::vector<SampleLoop> kept;
        std::string dropped;
        for (std::size_t i = 0; i < sampler.loops.size(); ++i) {
            if (kept.empty() && sampler.loops[i].type == kLoopForward)
                kept.push_back(sampler.loops[i]);
            else
                dropped += (dropped.empty() ? "" : ", ") +
                           Range(sampler.loops[i].start, sampler.loops[i].end);
        }
        if (!dropped.empty())
            warnings.push_back("smpl chunk: Xbox ADPCM files carry one forward loop; loop " +
                               dropped + " dropped");
        sampler.loops = std::move(kept);
        if (!sampler.loops.empty()) {
            Expected<LoopAlignPlan> planned = PlanLoopAlignment({.start = sampler.loops[0].start,
                                                                 .end = sampler.loops[0].end,
                                                                 .frames = frames,
                                                                 .inputRate = inputRate,
                                                                 .outputRate = outputRate,
                                                                 .mode = options.mode,
                                                                 .maxCents = options.maxCents});
            if (!planned)
                return planned.error();
            plan = std::move(planned).value();
        }
    }
    // Positions past the audio no longer exist; the others move with their frames.
    MoveFramePositions(
        metadata,
        [&](std::uint64_t p) -> std::optional<std::uint64_t> {
            if (p > frames)
                return std::nullopt;
            return plan ? plan->MapFrame(p) : MulDiv(p, outputRate, inputRate, Rounding::Nearest);
        },
        warnings);
    if (metadata.sampler) {
        SetSamplerRate(*metadata.sampler, outputRate);
        if (plan && plan->cents != 0)
            ShiftSamplerPitch(*metadata.sampler, plan->cents);
    }
    return plan;
}

template <class T>
LoopUnroller<T>::LoopUnroller(unsigned channels, std::uint64_t start, std::uint64_t end,
                              std::uint64_t copyFrames)
    : channels_(channels),
      start_(start),
      end_(end),
      copy_(copyFrames),
      kept_(std::min(copyFrames, end - start + 1)) {}

template <class T>
void LoopUnroller<T>::Process(std::span<const T> in, std::vector<T>& out) {
    Feed(in, out);
    while (pending())
        Drain(out, std::numeric_limits<std::size_t>::max());
}

template <class T>
void LoopUnroller<T>::Feed(std::span<const T> in, std::vector<T>& out) {
    const std::uint64_t frames = in.size() / channels_;
    const std::uint64_t first = next_;
    next_ += frames;
    // Keep the part of the loop start this piece holds.
    const std::uint64_t keepFrom = std::max(first, start_);
    const std::uint64_t keepTo = std::min(next_, start_ + kept_);
    if (keepFrom < keepTo)
        buffer_.insert(buffer_.end(), in.begin() + (keepFrom - first) * channels_,
                       in.begin() + (keepTo - first) * channels_);
    if (copy_ == 0 || end_ < first || end_ >= next_) {
        out.insert(out.end(), in.begin(), in.end());
        return;
    }
    // The loop's last frame is in this piece: the copy follows it, then the rest of the piece.
    const auto split = in.begin() + (end_ + 1 - first) * channels_;
    out.insert(out.end(), in.begin(), split);
    copyLeft_ = copy_;
    tail_.assign(split, in.end());
}

template <class T>
void LoopUnroller<T>::Drain(std::vector<T>& out, std::size_t maxFrames) {
    std::uint64_t room = maxFrames;
    while (copyLeft_ != 0 && room != 0) {
        const std::uint64_t at = (copy_ - copyLeft_) % kept_;
        const std::uint64_t n = std::min({copyLeft_, kept_ - at, room});
        out.insert(out.end(), buffer_.begin() + at * channels_,
                   buffer_.begin() + (at + n) * channels_);
        copyLeft_ -= n;
        room -= n;
    }
    if (copyLeft_ == 0 && room != 0 && !tail_.empty()) {
        out.insert(out.end(), tail_.begin(), tail_.end());
        tail_.clear();
    }
}

template <class T>
void FrameCutter<T>::Process(std::span<const T> in, std::vector<T>& out) {
    const std::uint64_t frames = in.size() / channels_;
    const std::uint64_t first = next_;
    next_ += frames;
    const std::uint64_t cutFrom = std::clamp(from_, first, next_);
    const std::uint64_t cutTo = std::clamp(to_, cutFrom, next_);
    out.insert(out.end(), in.begin(), in.begin() + (cutFrom - first) * channels_);
    out.insert(out.end(), in.begin() + (cutTo - first) * channels_, in.end());
}

template class LoopUnroller<std::int16_t>;
template class LoopUnroller<float>;
template class LoopUnroller<double>;
template class FrameCutter<std::int16_t>;
template class FrameCutter<float>;
template class FrameCutter<double>;

}  // namespace imabox
