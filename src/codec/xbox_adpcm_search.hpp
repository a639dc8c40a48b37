// SPDX-License-Identifier: MIT
// The optimizing Xbox ADPCM encoder: a search for the codes and block start step indices that
// give the least squared error, writing the same block layout as XBoxADPCMEncodeBlocks.
//
// Blocks decode independently (each header carries its own step index), so every block of every
// channel is searched on its own, in three stages: a scan codes the block's first samples with
// the plain coding rule from several start indices at once and keeps the most promising; a beam
// search then keeps the best few (predictor, step index) states after each sample, trying the
// codes whose reconstructions bracket the sample (and optionally their neighbours, or the
// largest code towards it); the cheapest final state is followed back to its codes. States with
// the same step index whose predictors lie in the same small range (a fraction of the step)
// count as one, which keeps the beam diverse; states may be ranked with a look at the next
// samples, and a second search may keep few states per step index, so that states whose step
// rose ahead of an onset survive until it comes. Beams of up to 32 states with the bracketing codes
// alone run eight blocks side by side, one per vector lane; wider ones score several states per
// vector. The search's costs are the decoder's exact squared errors, and the plain encoder's own
// coding of the block is kept whenever the search does no better, so no block gets worse than level
// 0.
#pragma once

#include <cstdint>
#include <span>

namespace imabox {

inline constexpr int kXBoxADPCMMaxQuality = 9;

// How hard one block is searched.
struct XBoxADPCMSearchLevel {
    unsigned startStride;  // the scan tries the plain encoder's start index and every
                           // startStride-th one; 0: the plain encoder's alone, with no scan
    unsigned scanLength;   // samples the scan judges a start index on, 2..65
    unsigned startKeep;    // best scanned start indices the beam starts from
    unsigned startSpread;  // and the indices this close to the best one
    unsigned beamWidth;    // states kept after each sample
    unsigned codeRadius;   // codes tried on each side of the two whose reconstructions bracket
                           // the sample, in the order of their predictor changes; 0..2
    unsigned mergeBits;    // states of one step index merge when their predictors share a range
                           // of step / 2^mergeBits to step / 2^(mergeBits + 1); 0..8
    // Narrow beams only (the bracketing codes, at most 32 states):
    unsigned jumps = 0;        // 1: code magnitude 7 towards the sample is tried too, which raises
                               // the step index most, ahead of an onset
    unsigned perIndex = 0;     // nonzero: each block is searched a second time keeping at most
                               // this many states of one step index, and the better search kept
    unsigned lookahead = 0;    // states are ranked by their cost plus the plain rule's errors on
                               // this many next samples (0..4); their costs stay exact
    unsigned cappedWidth = 0;  // states of the second search (0: beamWidth)
};

// The parameters of quality 1..9 (quality 0 is the plain encoder).
XBoxADPCMSearchLevel XBoxADPCMSearchLevelFor(int quality);

// Searches one block of one channel. `samples` holds the channel's 65 samples (frame 0 is the
// header sample); only the first `valid` count towards the error (the rest are fill). Writes the
// 64 codes and returns the chosen start index; `error` receives the squared error of the result.
// `plainIndex` is the index the plain encoder starts this block with (its coding is the
// fallback); on return it holds the index the plain encoder ends the block with.
std::uint8_t XBoxADPCMSearchBlock(std::span<const std::int16_t, 65> samples, unsigned valid,
                                  std::uint8_t& plainIndex, const XBoxADPCMSearchLevel& level,
                                  std::span<std::uint8_t, 64> codes, std::uint64_t& error);

// Codes a run of whole blocks of interleaved PCM, searching each block over `threads` threads
// (0: one per processor core). A stream may be coded in consecutive runs of any length:
// - `pcm` holds the run's frames, a multiple of 65 per channel; `out` receives its blocks; the
//   run is as many whole blocks as both spans hold;
// - `validFrames` counts the run's real frames: the error of frames from there on (fill) does
//   not count; pass the run's frame count or more when all are real;
// - `plainIndex` (one entry per channel) holds the plain encoder's step index at the start of
//   the run and receives the index at its end: start the stream with zeros and hand it from one
//   run to the next.
// The plain encoder's step index chain gives every block its fallback coding and so makes every
// block independent of the others: the bytes depend neither on the thread count nor on where the
// runs are cut, and equal those of XBoxADPCMEncodeBlocksSearch on the whole stream. Quality 0 is
// the plain encoder. When threads cannot be started, fewer do the work.
void XBoxADPCMEncodeSearchRun(std::span<const std::int16_t> pcm, std::span<std::uint8_t> out,
                              unsigned channels, std::uint64_t validFrames, int quality,
                              std::span<std::uint8_t> plainIndex, unsigned threads);
// The same with explicit search parameters.
void XBoxADPCMEncodeSearchRun(std::span<const std::int16_t> pcm, std::span<std::uint8_t> out,
                              unsigned channels, std::uint64_t validFrames,
                              const XBoxADPCMSearchLevel& level, std::span<std::uint8_t> plainIndex,
                              unsigned threads);

// Codes interleaved PCM frames into consecutive blocks like XBoxADPCMEncodeBlocks, which quality
// 0 matches byte for byte, on the calling thread. Quality 1..9 search each block; samples from
// frame `validFrames` on are fill whose error does not count. Only whole blocks that fit both
// spans are coded.
void XBoxADPCMEncodeBlocksSearch(std::span<const std::int16_t> pcm, std::span<std::uint8_t> out,
                                 unsigned channels, std::uint64_t frames, std::uint64_t validFrames,
                                 int quality);
// The same with explicit search parameters.
void XBoxADPCMEncodeBlocksSearch(std::span<const std::int16_t> pcm, std::span<std::uint8_t> out,
                                 unsigned channels, std::uint64_t frames, std::uint64_t validFrames,
                                 const XBoxADPCMSearchLevel& level);

}  // namespace imabox
