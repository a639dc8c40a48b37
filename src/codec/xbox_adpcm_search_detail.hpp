// SPDX-License-Identifier: MIT
// The searching encoder's working arrays, shared by its portable and AVX2 inner loops. Internal
// to src/codec/xbox_adpcm_search*.cpp.
#pragma once

#include <cstdint>

#include "codec/adpcm_primitives.hpp"

namespace imabox::search_detail {

inline constexpr unsigned kMaxBeam = 512;  // states kept after a sample, at most
inline constexpr unsigned kMaxCodesPerState = 6;
inline constexpr unsigned kMaxCandidates = kMaxBeam * kMaxCodesPerState;
inline constexpr unsigned kMaxScanLanes = 96;  // start indices scanned at once, at most (89 + 7)

// The step table, 32 bits wide for vector gathers.
inline constexpr const auto& kStep32 = adpcm::kStepTable;

// The states kept after a sample, one array per field.
struct Beam {
    alignas(64) std::int32_t pred[kMaxBeam];
    alignas(64) std::int32_t index[kMaxBeam];
    alignas(64) std::uint64_t cost[kMaxBeam];
};

// The states one sample's codes lead to, before merging and selection.
struct Candidates {
    alignas(64) std::int32_t pred[kMaxCandidates];
    alignas(64) std::int32_t index[kMaxCandidates];
    alignas(64) std::uint64_t cost[kMaxCandidates];
    alignas(64) std::uint16_t parent[kMaxCandidates];  // slot of the state in the previous beam
    alignas(64) std::uint8_t code[kMaxCandidates];     // the code that led here
};

inline constexpr unsigned kLanes = 8;            // narrow searches run side by side
inline constexpr unsigned kMaxNarrowWidth = 32;  // states a narrow search keeps, at most
inline constexpr std::uint32_t kDeadCost = ~0u;  // cost of an empty state
inline constexpr unsigned kMaxLookahead = 4;
inline constexpr unsigned kMaxJumps = 1;  // codes tried beyond the bracketing two

// Eight narrow searches (the two bracketing codes alone, at most 16 states), one block of one
// channel per lane, with the plain coding rule alongside. Costs are kept relative to the best
// state's, in 32 bits; a state falling 2^32 or more behind the best is dropped (the best
// state's own share is one squared error, which always fits). The best state's absolute cost
// and the plain coding's error are summed exactly.
struct NarrowLanes {
    alignas(32) std::int32_t x[65][kLanes];    // each lane's 65 samples; x[0] is the header sample
    alignas(32) std::int32_t counted[kLanes];  // samples x[1 .. counted] count towards the error
    alignas(32) std::int32_t start[kMaxNarrowWidth][kLanes];  // start indices, -1: no state
    alignas(32) std::int32_t plainStart[kLanes];
    alignas(32) std::int32_t mergeShift[89];  // predictor shift per step index, as the merge table
    std::uint32_t perIndex = 0;               // states of one step index kept at most (0: any)
    std::uint32_t lookahead = 0;  // states are ranked by their cost and the plain rule's errors
                                  // at this many next samples, 0..kMaxLookahead
    std::uint32_t jumps = 0;      // 1: magnitude 7 towards the sample tried too
    // Results: the code of state j after sample k and the state it came from (code | from << 4),
    // the exact error of state 0 (the cheapest) after the last sample, and the plain coding's
    // error and end index.
    alignas(32) std::uint32_t trace[64][kMaxNarrowWidth][kLanes];
    alignas(32) std::uint64_t cost[kLanes];
    alignas(32) std::uint64_t plainError[kLanes];
    alignas(32) std::int32_t plainEnd[kLanes];
};

// One set of inner loops (see xbox_adpcm_search_kernels.hpp).
struct SearchKernels {
    void (*scanStarts)(const std::int16_t* x, unsigned length, const std::int32_t* starts,
                       unsigned count, std::uint32_t* errors);
    // Expands each state by `codes` codes around the sample: 2, 4 or 6.
    void (*expand)(const Beam& beam, unsigned size, std::int32_t target, bool counts,
                   unsigned codes, Candidates& out);
    // Runs the eight searches of `lanes` keeping `width` (1..kMaxNarrowWidth) states each.
    void (*narrow)(NarrowLanes& lanes, unsigned width);
};

// The portable loops, the AVX2 ones (only called when the processor has AVX2) and the narrow
// searches in the compiler's vector types (xbox_adpcm_search_vector.cpp, WebAssembly's); chosen
// in cpu_dispatch.cpp.
SearchKernels PortableSearchKernels();
SearchKernels AVX2SearchKernels();
SearchKernels VectorSearchKernels();

}  // namespace imabox::search_detail
