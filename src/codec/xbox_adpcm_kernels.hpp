// SPDX-License-Identifier: MIT
// The lane kernels behind the fast block coders, one set per instruction set. Internal to the
// codec: cpu_dispatch.cpp chooses among them at run time.
//
// This header declares only plain data and functions (and the codec's static primitives, which
// every file gets a copy of its own). The AVX2 file is compiled with -mavx2, so
// it must not instantiate any inline or template code that other files also use: the linker could
// keep its AVX2 copy for everyone.
#pragma once

#include <cstdint>

#include "codec/adpcm_primitives.hpp"

namespace imabox::kernels {

inline constexpr int kDecodeShift = 15;
inline constexpr std::int32_t kDecodeStateMask = 0x7FFF;

struct Tables {
    // The decoding table, two codes (one byte) at a time: for step index i and byte b, the entries
    // of the low and then the high nibble at [2 * (i * 256 + b)] and [2 * (i * 256 + b) + 1].
    // An entry is the signed difference its code adds to the predictor times 32768, plus the
    // step index after the code times 256. So `entry >> kDecodeShift` is the difference and
    // `entry & kDecodeStateMask` is i * 256 for the next byte.
    std::int32_t decode[89 * 256 * 2];
};

// Built from the codec's tables on first use.
const Tables& GetTables();

// One channel's run of consecutive blocks, encoded by one lane.
struct EncodeLane {
    const std::int16_t* pcm;  // frame 0 of the first block, at this lane's channel
    std::uint8_t* out;        // this channel's header in the first block
    std::uint8_t index;       // step index at the start; the index at the end on return
};

// Lanes each kernel encodes side by side (in WebAssembly two 128-bit vectors, whose chains
// overlap).
#if defined(__wasm_simd128__)
inline constexpr unsigned kPortableEncodeLanes = 8;
#else
inline constexpr unsigned kPortableEncodeLanes = 4;
#endif
inline constexpr unsigned kAVX2EncodeLanes = 16;

// Encodes `blocks` blocks for each of `count` lanes. Every block spans 65 * channels samples and
// 36 * channels bytes.
void EncodeLanesPortable(EncodeLane* lanes, unsigned count, unsigned channels,
                         std::uint64_t blocks);
void EncodeLanesAVX2(EncodeLane* lanes, unsigned count, unsigned channels, std::uint64_t blocks);

// Decoding runs in batches of kDecodeBatch (block, channel) jobs and in two passes. The first
// follows each job's step index through the table, which is the only serial dependency, and keeps
// the table entries; the second adds up the differences with clamping, side by side across the
// jobs, and stores the samples.
inline constexpr unsigned kDecodeBatch = 8;

struct DecodeBatch {
    std::int16_t* out[kDecodeBatch];              // frame 0 of each job
    alignas(32) std::int32_t pred[kDecodeBatch];  // the header samples
    // entries[k][n]: the table entry of code k of job n; the second pass overwrites it with the
    // decoded sample.
    alignas(32) std::int32_t entries[64][kDecodeBatch];
};

// First pass over jobs [job, job + active), active <= kDecodeBatch; the other lanes repeat `job`.
void LoadDecodeBatch(const std::uint8_t* adpcm, std::int16_t* pcm, unsigned channels,
                     std::uint64_t job, unsigned active, DecodeBatch& batch);

// Decodes jobs [firstJob, endJob), where job j is channel j % channels of block j / channels.
// `adpcm` and `pcm` point at block 0 of the stream.
void DecodeJobsPortable(const std::uint8_t* adpcm, std::int16_t* pcm, unsigned channels,
                        std::uint64_t firstJob, std::uint64_t endJob);
void DecodeJobsAVX2(const std::uint8_t* adpcm, std::int16_t* pcm, unsigned channels,
                    std::uint64_t firstJob, std::uint64_t endJob);

}  // namespace imabox::kernels
