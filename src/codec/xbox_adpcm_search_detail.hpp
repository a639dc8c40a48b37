// The searching encoder's working arrays, shared by its portable and AVX2 inner loops. Internal
// to src/codec/xbox_adpcm_search*.cpp.
#pragma once

#include <cstdint>

namespace imabox::search_detail {

inline constexpr unsigned kMaxBeam = 512;  // states kept after a sample, at most
inline constexpr unsigned kMaxCodesPerState = 6;
inline constexpr unsigned kMaxCandidates = kMaxBeam * kMaxCodesPerState;
inline constexpr unsigned kMaxScanLanes = 96;  // start indices scanned at once, at most (89 + 7)

// The step table widened to 32 bits, for vector gathers.
extern const std::int32_t kStep32[89];

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

// One set of inner loops (see xbox_adpcm_search_kernels.hpp).
struct SearchKernels {
    void (*scanStarts)(const std::int16_t* x, unsigned length, const std::int32_t* starts,
                       unsigned count, std::uint32_t* errors);
    // Expands each state by `codes` codes around the sample: 2, 4 or 6.
    void (*expand)(const Beam& beam, unsigned size, std::int32_t target, bool counts,
                   unsigned codes, Candidates& out);
};

// The AVX2 loops; only called when the processor has AVX2.
SearchKernels AVX2SearchKernels();

}  // namespace imabox::search_detail
