// The optimizing Xbox ADPCM encoder: a search for the codes and block start step indices that
// give the least squared error, writing the same block layout as XBoxADPCMEncodeBlocks.
//
// Blocks decode independently (each header carries its own step index), so every block of every
// channel is searched on its own: a scan of start indices with the plain coding rule picks the
// most promising ones, then a beam search keeps the best few (predictor, step index) states
// after each sample, trying the codes around each sample. States with the same step index
// whose predictors lie in the same small range (a fraction of the step) count as one, which keeps
// the beam diverse. The chosen codes are decoded again to measure their error, and the plain
// encoder's own coding of the block is kept whenever the search does no better, so no block gets
// worse than level 0.
#pragma once

#include <cstdint>
#include <span>

namespace imabox {

inline constexpr int kXBoxADPCMMaxQuality = 9;

// How hard one block is searched.
struct XBoxADPCMSearchLevel {
    unsigned startStride;  // start indices tried by the scan: every startStride-th, 1 = all 89
    unsigned startKeep;    // best scanned start indices the beam starts from
    unsigned beamWidth;    // states kept after each sample
    unsigned codeRadius;   // code magnitudes tried on each side of the nearest one; 0: only
                           // the two codes whose reconstructions bracket the sample
    unsigned mergeBits;    // states of one step index merge when their predictors share a range
                           // of step / 2^mergeBits to step / 2^(mergeBits + 1); 0..8
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

// Codes interleaved PCM frames into consecutive blocks like XBoxADPCMEncodeBlocks, which quality
// 0 calls. Quality 1..9 search each block; samples from frame `validFrames` on are fill whose
// error does not count. Only whole blocks that fit both spans are coded.
void XBoxADPCMEncodeBlocksSearch(std::span<const std::int16_t> pcm, std::span<std::uint8_t> out,
                                 unsigned channels, std::uint64_t frames, std::uint64_t validFrames,
                                 int quality);
// The same with explicit search parameters.
void XBoxADPCMEncodeBlocksSearch(std::span<const std::int16_t> pcm, std::span<std::uint8_t> out,
                                 unsigned channels, std::uint64_t frames, std::uint64_t validFrames,
                                 const XBoxADPCMSearchLevel& level);

}  // namespace imabox
