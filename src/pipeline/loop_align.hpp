// SPDX-License-Identifier: MIT
// Loop alignment: Xbox ADPCM players loop on whole blocks, so a loop must start on a multiple of
// 65 frames and last a whole number of blocks.
//
// The audio before the loop never moves. The loop start moves forward to the next block
// boundary by unrolling: the frames between the old and the new start are played once more after
// the old end, so the loop sounds the same. The loop length becomes whole blocks either by
// resampling the file by the smallest ratio that does it (a pitch change of a few cents at most;
// more is refused) or, for short loops, by repeating the loop until it fills whole blocks.
//
// The plan is pure arithmetic on frame counts. A converter carries it out as: the input frames
// [0, end], then `copyFrames` frames of loop content (from the loop start, wrapping at the loop
// end), then the frames after the old end; all of that resampled by ratioNum / ratioDen when the
// plan resamples; then the output frames [cutStart, cutEnd) dropped.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "imabox/convert.hpp"
#include "imabox/expected.hpp"
#include "wave/wave_metadata.hpp"

namespace imabox {

// Repeating a loop holds it in memory once: loops longer than this are not repeated.
inline constexpr std::uint64_t kMaxRepeatedLoopFrames = std::uint64_t{1} << 20;

// The reach of the very-high-quality resampler's filter: its impulse response stays above -200 dB
// for about 140 frames on either side; a little more is taken.
inline constexpr std::uint64_t kLoopResamplerReach = 192;

struct LoopAlignRequest {
    std::uint64_t start = 0;   // first frame of the loop
    std::uint64_t end = 0;     // last frame of the loop (inclusive)
    std::uint64_t frames = 0;  // frames in the input
    std::uint32_t inputRate = 0;
    std::uint32_t outputRate = 0;  // the rate asked for; inputRate when not converting
    LoopAlignMode mode = LoopAlignMode::Resample;
    double maxCents = kDefaultMaxLoopCents;
    // How far the resampler's filter reaches on either side of a frame, in frames at the lower of
    // the two rates: that much more loop content is fed after the copy, so the loop's last output
    // frames see the loop and not what follows it.
    std::uint64_t resamplerReach = kLoopResamplerReach;
};

inline constexpr std::uint64_t kNoTail = std::numeric_limits<std::uint64_t>::max();

struct LoopAlignPlan {
    LoopAlignMode mode = LoopAlignMode::Off;
    std::uint64_t inputStart = 0, inputEnd = 0;  // the loop as given (end inclusive)
    std::uint64_t inputFrames = 0;
    std::uint64_t start = 0, end = 0;  // the loop in output frames (end inclusive)
    // Output frames per input frame, ratioNum / ratioDen; 1/1 when nothing is resampled.
    std::uint64_t ratioNum = 1, ratioDen = 1;
    std::uint32_t outputRate = 0;
    double cents = 0;              // pitch change against a plain rate conversion (negative: lower)
    unsigned repeats = 1;          // times the loop plays in the aligned loop
    std::uint64_t copyFrames = 0;  // input frames of loop content fed after the old end
    std::uint64_t cutStart = 0, cutEnd = 0;  // output frames dropped (cutEnd kNoTail: the rest)
    std::uint64_t outputFrames = 0;          // frames in the output, as near as the ratio allows

    bool resamples() const { return ratioNum != ratioDen; }
    bool changesAudio() const { return copyFrames != 0 || resamples(); }
    bool aligned() const;
    // Where input frame p (0..inputFrames, the last one past the end) lands in the output.
    std::uint64_t MapFrame(std::uint64_t p) const;
    // How far the loop start moved later, in output frames.
    std::uint64_t startShift() const;
};

// Plans the alignment, or says why the loop cannot be aligned in the chosen mode.
Expected<LoopAlignPlan> PlanLoopAlignment(const LoopAlignRequest& request);

// One line for the console, e.g. "loop 1000..46999 -> 1040..47099: start 40 frames later
// (unrolled), length 46000 -> 46060 frames, resampled by 1.001304 (-2.25 cents)".
std::string DescribeLoopAlignment(const LoopAlignPlan& plan);

struct LoopAlignOptions {
    LoopAlignMode mode = LoopAlignMode::Resample;
    double maxCents = kDefaultMaxLoopCents;
};

// Prepares the metadata of a file being encoded to Xbox ADPCM: keeps the first forward loop of
// its smpl chunk (the format carries one; the others are dropped with a warning), plans that
// loop's alignment, and moves every frame position to where the plan puts its frame, for
// `frames` input frames at `inputRate` becoming audio at `outputRate`. Returns the plan, or
// nothing when there is no loop; an error when the loop cannot be aligned in the chosen mode.
Expected<std::optional<LoopAlignPlan>> AlignMetadataLoop(
    WaveMetadata& metadata, std::uint64_t frames, std::uint32_t inputRate, std::uint32_t outputRate,
    const LoopAlignOptions& options, Warnings& warnings);

// The streaming unroll: passes frames through and, right after the loop's last frame, inserts
// `copyFrames` frames of loop content from the loop start (wrapping at the loop end). It keeps at
// most min(copyFrames, loop length) frames, taken as they pass, so the loop start must come
// before the loop end in the stream, as it does in a file.
template <class T>
class LoopUnroller {
  public:
    LoopUnroller(unsigned channels, std::uint64_t start, std::uint64_t end,
                 std::uint64_t copyFrames);
    // Appends the frames of `in` (interleaved, whole frames) and any copy they complete to `out`.
    void Process(std::span<const T> in, std::vector<T>& out);

    // The same a piece at a time: Feed appends the frames of `in` up to the loop's end; the copy
    // and the rest of `in` are then pending, and Drain appends them, at most `maxFrames` frames
    // of the copy per call. Feed only when nothing is pending.
    void Feed(std::span<const T> in, std::vector<T>& out);
    bool pending() const { return copyLeft_ != 0 || !tail_.empty(); }
    void Drain(std::vector<T>& out, std::size_t maxFrames);

  private:
    unsigned channels_;
    std::uint64_t start_, end_, copy_;
    std::uint64_t kept_;      // frames of loop content to keep
    std::uint64_t next_ = 0;  // index of the next input frame
    std::vector<T> buffer_;
    std::uint64_t copyLeft_ = 0;  // frames of the copy not yet drained
    std::vector<T> tail_;         // the frames of the piece after the loop's end
};

// Drops the output frames [from, to) of a stream of frames.
template <class T>
class FrameCutter {
  public:
    FrameCutter(unsigned channels, std::uint64_t from, std::uint64_t to)
        : channels_(channels), from_(from), to_(to) {}
    void Process(std::span<const T> in, std::vector<T>& out);

  private:
    unsigned channels_;
    std::uint64_t from_, to_;
    std::uint64_t next_ = 0;
};

extern template class LoopUnroller<std::int16_t>;
extern template class LoopUnroller<float>;
extern template class LoopUnroller<double>;
extern template class FrameCutter<std::int16_t>;
extern template class FrameCutter<float>;
extern template class FrameCutter<double>;

}  // namespace imabox
