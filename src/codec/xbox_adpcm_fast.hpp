// SPDX-License-Identifier: MIT
// Fast Xbox ADPCM block coders. They write exactly the bytes of XBoxADPCMEncodeBlocks and
// XBoxADPCMDecodeBlocks (the reference) and only change how the work is scheduled:
// - decoding: every (block, channel) pair is independent, so several are decoded side by side
//   with one table lookup per code and no branches;
// - encoding: only the step index carries from block to block (each block restarts its predictor),
//   so a stream is cut into segments that are encoded side by side, each from a guessed step
//   index, and then repaired from the start of each segment up to the first block whose header
//   index already agrees with the true one. From there on the output is necessarily identical.
// The kernels come in a portable form and an AVX2 form, chosen at run time (cpu_dispatch.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "codec/cpu_dispatch.hpp"
#include "codec/xbox_adpcm.hpp"

namespace imabox {

// How the encoder cuts a stream into segments. The defaults suit any input; the other values are
// there to reach every repair path in tests and to measure them.
struct ADPCMEncodeTuning {
    ADPCMKernel kernel = ADPCMKernel::Best;
    std::uint32_t segmentBlocks = 0;  // blocks per segment; 0 picks a length from the input
    int guessIndex = -1;  // starting index of every segment after the first, 0..88; -1 guesses it
                          // by encoding the block before the segment from index 0
};

// Same contract and bytes as XBoxADPCMEncodeBlocks / XBoxADPCMDecodeBlocks.
void XBoxADPCMEncodeBlocksFast(std::span<const std::int16_t> pcm, std::span<std::uint8_t> out,
                               unsigned channels, std::uint64_t frames,
                               const ADPCMEncodeTuning& tuning = {});
void XBoxADPCMDecodeBlocksFast(std::span<const std::uint8_t> in, std::span<std::int16_t> pcm,
                               unsigned channels, std::uint64_t frames,
                               ADPCMKernel kernel = ADPCMKernel::Best);

// Block ranges, for callers that share one stream between threads. `pcm` and `adpcm` are the
// whole stream's buffers and must hold blocks [first, first + count).

// Encodes blocks [first, first + count). indices[c] is channel c's step index at the start of
// block `first` on entry and at the end of the range on return (channels entries).
void XBoxADPCMEncodeBlockRange(const std::int16_t* pcm, std::uint8_t* adpcm, unsigned channels,
                               std::uint64_t first, std::uint64_t count,
                               std::span<std::uint8_t> indices,
                               const ADPCMEncodeTuning& tuning = {});

// The step index of every channel after encoding block `block` from index 0: a good guess for
// the true index at the start of block + 1.
void XBoxADPCMGuessIndices(const std::int16_t* pcm, unsigned channels, std::uint64_t block,
                           std::span<std::uint8_t> indices);

// Blocks [first, first + count) were encoded from a guessed index; trueIndices[c] is channel c's
// real index at block `first`, and endIndices[c] the index the guessed run ended with. Re-encodes
// each channel until a block header shows the index it would write anyway, and returns the real
// end indices in endIndices.
void XBoxADPCMRepairBlockRange(const std::int16_t* pcm, std::uint8_t* adpcm, unsigned channels,
                               std::uint64_t first, std::uint64_t count,
                               std::span<const std::uint8_t> trueIndices,
                               std::span<std::uint8_t> endIndices);

// Decodes blocks [first, first + count).
void XBoxADPCMDecodeBlockRange(const std::uint8_t* adpcm, std::int16_t* pcm, unsigned channels,
                               std::uint64_t first, std::uint64_t count,
                               ADPCMKernel kernel = ADPCMKernel::Best);

}  // namespace imabox
