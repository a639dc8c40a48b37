// SPDX-License-Identifier: MIT
// AVX2 lane kernels: eight lanes per vector, two vectors in flight so that the step-table gather
// of one hides behind the arithmetic of the other. Compiled with -mavx2; only called after a
// run-time check. Everything here stays in this file (see xbox_adpcm_kernels.hpp): no inline or
// template code from other headers.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "codec/xbox_adpcm_kernels.hpp"

namespace imabox::kernels {
namespace {

constexpr unsigned kVectors = 2;
constexpr unsigned kLanes = 8 * kVectors;
constexpr unsigned kFrames = 65;
constexpr unsigned kBlockBytes = 36;

inline void StoreHeader(std::uint8_t* p, std::int32_t sample, std::int32_t index) {
    const auto s = static_cast<std::uint16_t>(sample);
    p[0] = static_cast<std::uint8_t>(s);
    p[1] = static_cast<std::uint8_t>(s >> 8);
    p[2] = static_cast<std::uint8_t>(index);
    p[3] = 0;
}

inline void Store32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

inline const __m256i* Row(const DecodeBatch& batch, unsigned k) {
    return reinterpret_cast<const __m256i*>(batch.entries[k]);
}

inline void Store128(std::int16_t* out, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
}

// Mono: the eight lanes are eight consecutive blocks, each 64 samples in a row. Transposes 8 x 8
// samples at a time and stores 16 bytes per block.
void StoreMono(const DecodeBatch& batch) {
    for (unsigned k = 0; k < 64; k += 8) {
        // Rows are clamped already, so packing to 16 bits never saturates.
        const __m256i q0 = _mm256_packs_epi32(_mm256_load_si256(Row(batch, k)),
                                              _mm256_load_si256(Row(batch, k + 1)));
        const __m256i q1 = _mm256_packs_epi32(_mm256_load_si256(Row(batch, k + 2)),
                                              _mm256_load_si256(Row(batch, k + 3)));
        const __m256i q2 = _mm256_packs_epi32(_mm256_load_si256(Row(batch, k + 4)),
                                              _mm256_load_si256(Row(batch, k + 5)));
        const __m256i q3 = _mm256_packs_epi32(_mm256_load_si256(Row(batch, k + 6)),
                                              _mm256_load_si256(Row(batch, k + 7)));
        const __m256i a0 = _mm256_unpacklo_epi16(q0, q1);
        const __m256i a1 = _mm256_unpackhi_epi16(q0, q1);
        const __m256i a2 = _mm256_unpacklo_epi16(q2, q3);
        const __m256i a3 = _mm256_unpackhi_epi16(q2, q3);
        const __m256i b0 = _mm256_unpacklo_epi16(a0, a1);
        const __m256i b1 = _mm256_unpackhi_epi16(a0, a1);
        const __m256i b2 = _mm256_unpacklo_epi16(a2, a3);
        const __m256i b3 = _mm256_unpackhi_epi16(a2, a3);
        // Lane n of the batch gets samples k .. k + 7: the low 128 bits hold lanes 0-3, the high
        // ones lanes 4-7.
        const __m256i c[4] = {_mm256_unpacklo_epi64(b0, b2), _mm256_unpackhi_epi64(b0, b2),
                              _mm256_unpacklo_epi64(b1, b3), _mm256_unpackhi_epi64(b1, b3)};
        for (unsigned n = 0; n < 4; ++n) {
            Store128(batch.out[n] + 1 + k, _mm256_castsi256_si128(c[n]));
            Store128(batch.out[n + 4] + 1 + k, _mm256_extracti128_si256(c[n], 1));
        }
    }
}

// Stereo: lanes 2m and 2m + 1 are the left and right channel of block m. Stores four frames
// (16 bytes) per block at a time.
void StoreStereo(const DecodeBatch& batch) {
    for (unsigned k = 0; k < 64; k += 4) {
        const __m256i p01 = _mm256_packs_epi32(_mm256_load_si256(Row(batch, k)),
                                               _mm256_load_si256(Row(batch, k + 1)));
        const __m256i p23 = _mm256_packs_epi32(_mm256_load_si256(Row(batch, k + 2)),
                                               _mm256_load_si256(Row(batch, k + 3)));
        const __m256i t0 = _mm256_unpacklo_epi32(p01, p23);
        const __m256i t1 = _mm256_unpackhi_epi32(p01, p23);
        const __m256i u0 = _mm256_unpacklo_epi32(t0, t1);  // blocks 0 (low) and 2 (high)
        const __m256i u1 = _mm256_unpackhi_epi32(t0, t1);  // blocks 1 and 3
        const std::size_t at = 2 * (k + 1);
        Store128(batch.out[0] + at, _mm256_castsi256_si128(u0));
        Store128(batch.out[2] + at, _mm256_castsi256_si128(u1));
        Store128(batch.out[4] + at, _mm256_extracti128_si256(u0, 1));
        Store128(batch.out[6] + at, _mm256_extracti128_si256(u1, 1));
    }
}

// Fills x[f][n] = sample f of lane n for a block, 16 lanes.
using LaneSamples = std::int32_t[kFrames][kLanes];

inline __m128i Load128(const std::int16_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

inline void StoreWidened(std::int32_t* out, __m128i v) {
    _mm256_store_si256(reinterpret_cast<__m256i*>(out), _mm256_cvtepi16_epi32(v));
}

// Mono: each lane's 65 samples lie in a row. Transposes 8 lanes x 8 samples at a time.
void LoadMono(const std::int16_t* const* src, std::size_t offset, LaneSamples& x) {
    for (unsigned n = 0; n < kLanes; ++n)
        x[0][n] = src[n][offset];
    for (unsigned g = 0; g < kLanes; g += 8) {
        const std::int16_t* p[8];
        for (unsigned n = 0; n < 8; ++n)
            p[n] = src[g + n] + offset;
        for (unsigned f = 1; f < kFrames; f += 8) {
            const __m128i a0 = _mm_unpacklo_epi16(Load128(p[0] + f), Load128(p[1] + f));
            const __m128i a1 = _mm_unpackhi_epi16(Load128(p[0] + f), Load128(p[1] + f));
            const __m128i a2 = _mm_unpacklo_epi16(Load128(p[2] + f), Load128(p[3] + f));
            const __m128i a3 = _mm_unpackhi_epi16(Load128(p[2] + f), Load128(p[3] + f));
            const __m128i a4 = _mm_unpacklo_epi16(Load128(p[4] + f), Load128(p[5] + f));
            const __m128i a5 = _mm_unpackhi_epi16(Load128(p[4] + f), Load128(p[5] + f));
            const __m128i a6 = _mm_unpacklo_epi16(Load128(p[6] + f), Load128(p[7] + f));
            const __m128i a7 = _mm_unpackhi_epi16(Load128(p[6] + f), Load128(p[7] + f));
            const __m128i b0 = _mm_unpacklo_epi32(a0, a2);  // samples 0, 1 of lanes 0-3
            const __m128i b1 = _mm_unpackhi_epi32(a0, a2);  // 2, 3
            const __m128i b2 = _mm_unpacklo_epi32(a1, a3);  // 4, 5
            const __m128i b3 = _mm_unpackhi_epi32(a1, a3);  // 6, 7
            const __m128i b4 = _mm_unpacklo_epi32(a4, a6);  // the same for lanes 4-7
            const __m128i b5 = _mm_unpackhi_epi32(a4, a6);
            const __m128i b6 = _mm_unpacklo_epi32(a5, a7);
            const __m128i b7 = _mm_unpackhi_epi32(a5, a7);
            StoreWidened(&x[f][g], _mm_unpacklo_epi64(b0, b4));
            StoreWidened(&x[f + 1][g], _mm_unpackhi_epi64(b0, b4));
            StoreWidened(&x[f + 2][g], _mm_unpacklo_epi64(b1, b5));
            StoreWidened(&x[f + 3][g], _mm_unpackhi_epi64(b1, b5));
            StoreWidened(&x[f + 4][g], _mm_unpacklo_epi64(b2, b6));
            StoreWidened(&x[f + 5][g], _mm_unpackhi_epi64(b2, b6));
            StoreWidened(&x[f + 6][g], _mm_unpacklo_epi64(b3, b7));
            StoreWidened(&x[f + 7][g], _mm_unpackhi_epi64(b3, b7));
        }
    }
}

// Stereo with lanes 2m, 2m + 1 the left and right channel of one segment: a frame is one 32-bit
// pair, so four segments x four frames transpose as 32-bit elements.
void LoadStereo(const std::int16_t* const* src, std::size_t offset, LaneSamples& x) {
    for (unsigned n = 0; n < kLanes; ++n)
        x[0][n] = src[n][offset];
    for (unsigned g = 0; g < kLanes; g += 8) {
        const std::int16_t* p[4];
        for (unsigned m = 0; m < 4; ++m)
            p[m] = src[g + 2 * m] + offset;
        for (unsigned f = 1; f < kFrames; f += 4) {
            const __m128i r0 = Load128(p[0] + 2 * f), r1 = Load128(p[1] + 2 * f);
            const __m128i r2 = Load128(p[2] + 2 * f), r3 = Load128(p[3] + 2 * f);
            const __m128i a0 = _mm_unpacklo_epi32(r0, r1);
            const __m128i a1 = _mm_unpackhi_epi32(r0, r1);
            const __m128i a2 = _mm_unpacklo_epi32(r2, r3);
            const __m128i a3 = _mm_unpackhi_epi32(r2, r3);
            StoreWidened(&x[f][g], _mm_unpacklo_epi64(a0, a2));
            StoreWidened(&x[f + 1][g], _mm_unpackhi_epi64(a0, a2));
            StoreWidened(&x[f + 2][g], _mm_unpacklo_epi64(a1, a3));
            StoreWidened(&x[f + 3][g], _mm_unpackhi_epi64(a1, a3));
        }
    }
}

}  // namespace

void EncodeLanesAVX2(EncodeLane* lanes, unsigned count, unsigned channels, std::uint64_t blocks) {
    const std::size_t blockSamples = std::size_t{kFrames} * channels;
    const std::size_t blockBytes = std::size_t{kBlockBytes} * channels;
    const std::size_t groupBytes = 4 * std::size_t{channels};

    const __m256i adjust = _mm256_setr_epi32(-1, -1, -1, -1, 2, 4, 6, 8);
    const __m256i lowest = _mm256_set1_epi32(-32768);
    const __m256i highest = _mm256_set1_epi32(32767);
    const __m256i maxIndex = _mm256_set1_epi32(88);
    const __m256i zero = _mm256_setzero_si256();
    const __m256i one = _mm256_set1_epi32(1);
    const __m256i two = _mm256_set1_epi32(2);
    const __m256i four = _mm256_set1_epi32(4);
    const __m256i eight = _mm256_set1_epi32(8);

    for (unsigned first = 0; first < count; first += kLanes) {
        EncodeLane* l = lanes + first;
        const unsigned active = count - first < kLanes ? count - first : kLanes;
        // Idle lanes repeat lane 0's input and store nothing.
        const std::int16_t* src[kLanes];
        alignas(32) std::int32_t index[kLanes];
        for (unsigned n = 0; n < kLanes; ++n) {
            src[n] = n < active ? l[n].pcm : l[0].pcm;
            index[n] = n < active ? l[n].index : l[0].index;
        }
        __m256i idx[kVectors];
        for (unsigned v = 0; v < kVectors; ++v)
            idx[v] = _mm256_load_si256(reinterpret_cast<const __m256i*>(index + 8 * v));
        // Stereo lanes usually come in pairs: left and right of the same segment.
        bool stereoPairs = channels == 2;
        for (unsigned n = 0; n < kLanes; n += 2)
            stereoPairs = stereoPairs && src[n + 1] == src[n] + 1;

        alignas(32) std::int32_t x[kFrames][kLanes];
        alignas(32) std::uint32_t words[kLanes];
        for (std::uint64_t b = 0; b < blocks; ++b) {
            const std::size_t pcmOffset = b * blockSamples;
            const std::size_t outOffset = b * blockBytes;
            if (channels == 1) {
                LoadMono(src, pcmOffset, x);
            } else if (stereoPairs) {
                LoadStereo(src, pcmOffset, x);
            } else {
                for (unsigned n = 0; n < kLanes; ++n) {
                    const std::int16_t* p = src[n] + pcmOffset;
                    for (unsigned f = 0; f < kFrames; ++f)
                        x[f][n] = p[f * std::size_t{channels}];
                }
            }
            for (unsigned v = 0; v < kVectors; ++v)
                _mm256_store_si256(reinterpret_cast<__m256i*>(index + 8 * v), idx[v]);
            for (unsigned n = 0; n < active; ++n)
                StoreHeader(l[n].out + outOffset, x[0][n], index[n]);

            __m256i pred[kVectors];
            for (unsigned v = 0; v < kVectors; ++v)
                pred[v] = _mm256_load_si256(reinterpret_cast<const __m256i*>(&x[0][8 * v]));
            for (unsigned g = 0; g < 8; ++g) {
                __m256i word[kVectors] = {zero, zero};
                for (unsigned k = 0; k < 8; ++k) {
                    for (unsigned v = 0; v < kVectors; ++v) {
                        const __m256i sample = _mm256_load_si256(
                            reinterpret_cast<const __m256i*>(&x[1 + 8 * g + k][8 * v]));
                        const __m256i step = _mm256_i32gather_epi32(adpcm::kStepTable, idx[v], 4);
                        const __m256i half = _mm256_srli_epi32(step, 1);
                        const __m256i quarter = _mm256_srli_epi32(step, 2);
                        const __m256i d = _mm256_sub_epi32(sample, pred[v]);
                        const __m256i sign = _mm256_srai_epi32(d, 31);
                        __m256i m = _mm256_abs_epi32(d);
                        const __m256i c2 = _mm256_cmpgt_epi32(m, step);
                        const __m256i s2 = _mm256_and_si256(c2, step);
                        m = _mm256_sub_epi32(m, s2);
                        const __m256i c1 = _mm256_cmpgt_epi32(m, half);
                        const __m256i s1 = _mm256_and_si256(c1, half);
                        m = _mm256_sub_epi32(m, s1);
                        const __m256i c0 = _mm256_cmpgt_epi32(m, quarter);
                        const __m256i s0 = _mm256_and_si256(c0, quarter);
                        const __m256i diff =
                            _mm256_add_epi32(_mm256_add_epi32(_mm256_srli_epi32(step, 3), s2),
                                             _mm256_add_epi32(s1, s0));
                        const __m256i signedDiff =
                            _mm256_sub_epi32(_mm256_xor_si256(diff, sign), sign);
                        pred[v] = _mm256_min_epi32(
                            _mm256_max_epi32(_mm256_add_epi32(pred[v], signedDiff), lowest),
                            highest);
                        const __m256i magnitude = _mm256_or_si256(
                            _mm256_and_si256(c2, four),
                            _mm256_or_si256(_mm256_and_si256(c1, two), _mm256_and_si256(c0, one)));
                        idx[v] = _mm256_min_epi32(
                            _mm256_max_epi32(_mm256_add_epi32(idx[v], _mm256_permutevar8x32_epi32(
                                                                          adjust, magnitude)),
                                             zero),
                            maxIndex);
                        const __m256i code =
                            _mm256_or_si256(magnitude, _mm256_and_si256(sign, eight));
                        // Earlier samples end up in the lower nibbles after all eight shifts.
                        word[v] = _mm256_or_si256(_mm256_srli_epi32(word[v], 4),
                                                  _mm256_slli_epi32(code, 28));
                    }
                }
                for (unsigned v = 0; v < kVectors; ++v)
                    _mm256_store_si256(reinterpret_cast<__m256i*>(words + 8 * v), word[v]);
                for (unsigned n = 0; n < active; ++n)
                    Store32(l[n].out + outOffset + groupBytes * (g + 1), words[n]);
            }
        }
        for (unsigned v = 0; v < kVectors; ++v)
            _mm256_store_si256(reinterpret_cast<__m256i*>(index + 8 * v), idx[v]);
        for (unsigned n = 0; n < active; ++n)
            l[n].index = static_cast<std::uint8_t>(index[n]);
    }
}

void DecodeJobsAVX2(const std::uint8_t* adpcm, std::int16_t* pcm, unsigned channels,
                    std::uint64_t firstJob, std::uint64_t endJob) {
    static_assert(kDecodeBatch == 8, "one vector per batch");
    const std::size_t stride = channels;
    const __m256i lowest = _mm256_set1_epi32(-32768);
    const __m256i highest = _mm256_set1_epi32(32767);
    DecodeBatch batch;
    for (std::uint64_t job = firstJob; job < endJob; job += kDecodeBatch) {
        const unsigned active =
            endJob - job < kDecodeBatch ? static_cast<unsigned>(endJob - job) : kDecodeBatch;
        LoadDecodeBatch(adpcm, pcm, channels, job, active, batch);
        __m256i pred = _mm256_load_si256(reinterpret_cast<const __m256i*>(batch.pred));
        for (unsigned k = 0; k < 64; ++k) {
            auto* row = reinterpret_cast<__m256i*>(batch.entries[k]);
            const __m256i diff = _mm256_srai_epi32(_mm256_load_si256(row), kDecodeShift);
            pred =
                _mm256_min_epi32(_mm256_max_epi32(_mm256_add_epi32(pred, diff), lowest), highest);
            _mm256_store_si256(row, pred);
        }
        for (unsigned n = 0; n < active; ++n)
            batch.out[n][0] = static_cast<std::int16_t>(batch.pred[n]);
        if (active == kDecodeBatch && channels == 1) {
            StoreMono(batch);
        } else if (active == kDecodeBatch && channels == 2 && job % 2 == 0) {
            StoreStereo(batch);  // a batch starts at an even job: lanes 2m, 2m + 1 share a block
        } else {
            for (unsigned n = 0; n < active; ++n) {
                std::int16_t* out = batch.out[n];
                for (unsigned k = 0; k < 64; ++k)
                    out[(k + 1) * stride] = static_cast<std::int16_t>(batch.entries[k][n]);
            }
        }
    }
}

}  // namespace imabox::kernels
