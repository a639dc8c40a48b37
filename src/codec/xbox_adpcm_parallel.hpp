// SPDX-License-Identifier: MIT
// The block coders spread over threads. Same contract and bytes as XBoxADPCMEncodeBlocks and
// XBoxADPCMDecodeBlocks; the calling thread takes one share of the work itself.
//
// Both split the blocks into ranges, several per thread, which the threads take in turn. Encoding
// starts every range after the first from a guessed step index, then walks the ranges in order
// and re-encodes each one from its true starting index until a block header shows that the
// guessed run already agrees (see XBoxADPCMRepairBlockRange).
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "codec/xbox_adpcm_fast.hpp"

namespace imabox {

// The number of threads a request for `requested` uses: 0 means one per processor core.
unsigned ResolveThreadCount(unsigned requested);

// Runs work(0) .. work(ranges - 1) on `workers` threads, the caller's among them, each taking the
// next range not yet taken. If threads cannot be started, fewer do the work (the caller alone at
// worst). Ranges that fail on another thread are done again on the caller's, where a failure
// reaches the caller.
void RunRangesOnThreads(std::uint64_t ranges, unsigned workers,
                        const std::function<void(std::uint64_t)>& work);

// Ranges are never shorter than this: short inputs use fewer ranges, and fewer threads.
inline constexpr std::uint64_t kMinBlocksPerRange = 256;

void XBoxADPCMEncodeBlocksParallel(std::span<const std::int16_t> pcm, std::span<std::uint8_t> out,
                                   unsigned channels, std::uint64_t frames, unsigned threads,
                                   const ADPCMEncodeTuning& tuning = {},
                                   std::uint64_t minBlocksPerRange = kMinBlocksPerRange);

void XBoxADPCMDecodeBlocksParallel(std::span<const std::uint8_t> in, std::span<std::int16_t> pcm,
                                   unsigned channels, std::uint64_t frames, unsigned threads,
                                   ADPCMKernel kernel = ADPCMKernel::Best,
                                   std::uint64_t minBlocksPerRange = kMinBlocksPerRange);

}  // namespace imabox
