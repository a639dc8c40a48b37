// SPDX-License-Identifier: MIT
// The IMA ADPCM arithmetic every coder of src/codec builds on: the step table, the predictor
// change of a code, the next step index and the 16-bit clamp. Written once, here.
//
// The functions have internal linkage (static): the files compiled for AVX2 include them too, and
// an inline function with external linkage could have its AVX2 copy kept for every caller.
#pragma once

#include <cstdint>

namespace imabox::adpcm {

inline constexpr unsigned kMaxIndex = 88;

// The 89 step sizes, 32 bits wide so that vector gathers can read them.
inline constexpr std::int32_t kStepTable[kMaxIndex + 1] = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

// The step index change of each code magnitude (code & 7).
inline constexpr std::int8_t kIndexTable[8] = {-1, -1, -1, -1, 2, 4, 6, 8};

// Holds a value to the 16-bit sample range.
static constexpr std::int32_t Clamp16(std::int32_t v) {
    return v < -32768 ? -32768 : (v > 32767 ? 32767 : v);
}

// The predictor change of code magnitude `mag` (0..7) at step `step`, before its sign.
static constexpr std::int32_t Magnitude(std::int32_t step, std::int32_t mag) {
    return (step >> 3) + ((mag & 4) ? step : 0) + ((mag & 2) ? (step >> 1) : 0) +
           ((mag & 1) ? (step >> 2) : 0);
}

// The step index after a code of magnitude `mag` (0..7) at index `index` (0..88): kIndexTable
// as arithmetic, which vectorizes where a table lookup would not.
static constexpr std::int32_t NextIndex(std::int32_t index, std::int32_t mag) {
    const std::int32_t next = index + (mag < 4 ? -1 : 2 * mag - 6);
    return next < 0 ? 0 : (next > std::int32_t(kMaxIndex) ? std::int32_t(kMaxIndex) : next);
}

static_assert([] {
    for (std::int32_t mag = 0; mag < 8; ++mag) {
        if (NextIndex(40, mag) != 40 + kIndexTable[mag])
            return false;
    }
    return true;
}());

}  // namespace imabox::adpcm
