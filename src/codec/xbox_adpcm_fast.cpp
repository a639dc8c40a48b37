// SPDX-License-Identifier: MIT
#include "codec/xbox_adpcm_fast.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include "codec/xbox_adpcm_kernels.hpp"

#if defined(__wasm_simd128__)
#include <wasm_simd128.h>
#endif

namespace imabox {
namespace kernels {

namespace {

// The difference a code adds to the predictor, and the step index after it.
void DecodeCode(unsigned index, unsigned code, std::int32_t& difference, unsigned& next) {
    difference = ADPCMCodeDifference(index, code);
    next = ADPCMNextIndex(index, code);
}

Tables BuildTables() {
    Tables t{};
    for (unsigned index = 0; index <= kMaxStepIndex; ++index) {
        for (unsigned byte = 0; byte < 256; ++byte) {
            std::int32_t first, second;
            unsigned middle, next;
            DecodeCode(index, byte & 15, first, middle);
            DecodeCode(middle, byte >> 4, second, next);
            std::int32_t* entry = t.decode + 2 * (index * 256 + byte);
            entry[0] = first * (1 << kDecodeShift) + static_cast<std::int32_t>(middle * 256);
            entry[1] = second * (1 << kDecodeShift) + static_cast<std::int32_t>(next * 256);
        }
    }
    return t;
}

}  // namespace

const Tables& GetTables() {
    static const Tables tables = BuildTables();
    return tables;
}

namespace {

inline void Store32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

// One sample of the encoder without branches: the same code and state as ADPCMEncodeSample.
inline std::uint32_t EncodeStep(std::int32_t sample, std::int32_t& pred, std::int32_t& index) {
    const std::int32_t step = adpcm::kStepTable[index];
    const std::int32_t half = step >> 1;
    const std::int32_t quarter = step >> 2;
    const std::int32_t d = sample - pred;
    const std::int32_t sign = d >> 31;  // all ones below the predictor
    std::int32_t m = (d ^ sign) - sign;
    const std::int32_t c2 = -static_cast<std::int32_t>(m > step);
    m -= step & c2;
    const std::int32_t c1 = -static_cast<std::int32_t>(m > half);
    m -= half & c1;
    const std::int32_t c0 = -static_cast<std::int32_t>(m > quarter);
    const std::int32_t diff = (step >> 3) + (step & c2) + (half & c1) + (quarter & c0);
    pred = ADPCMClampSample(pred + ((diff ^ sign) - sign));
    const std::uint32_t magnitude = static_cast<std::uint32_t>((c2 & 4) | (c1 & 2) | (c0 & 1));
    index = std::min<std::int32_t>(std::max<std::int32_t>(index + kADPCMIndexTable[magnitude], 0),
                                   kMaxStepIndex);
    return magnitude | static_cast<std::uint32_t>(sign & 8);
}

// Encodes one channel of one block; returns the step index at its end. With kStore false only
// the index is computed.
template <bool kStore>
std::uint8_t EncodeBlockChannel(const std::int16_t* x, std::uint8_t* out, unsigned channels,
                                std::uint8_t startIndex) {
    std::int32_t pred = x[0];
    std::int32_t index = startIndex;
    if constexpr (kStore)
        XBoxADPCMWriteBlockHeader(out, x[0], startIndex);
    const std::size_t stride = channels;
    const std::size_t groupBytes = 4 * std::size_t{channels};
    for (unsigned g = 0; g < 8; ++g) {
        std::uint32_t word = 0;
        for (unsigned k = 0; k < 8; ++k)
            word |= EncodeStep(x[(1 + 8 * g + k) * stride], pred, index) << (4 * k);
        if constexpr (kStore)
            Store32(out + groupBytes * (g + 1), word);
    }
    return static_cast<std::uint8_t>(index);
}

#if defined(__wasm_simd128__)
// EncodeStep for 4 * Groups lanes at once in WebAssembly SIMD: the same arithmetic on i32x4, the
// step sizes gathered one lane at a time (there is no gather instruction). Each sample's step
// depends on the one before it, so the groups' chains are interleaved to overlap.
template <unsigned Groups>
void EncodeLanesSimd128(EncodeLane* lanes, unsigned channels, std::uint64_t blocks) {
    const std::size_t blockSamples = std::size_t{kFramesPerBlock} * channels;
    const std::size_t blockBytes = std::size_t{kBlockBytesPerChannel} * channels;
    const std::size_t groupBytes = 4 * std::size_t{channels};
    const v128_t low = wasm_i32x4_splat(-32768), high = wasm_i32x4_splat(32767);
    const v128_t zero = wasm_i32x4_splat(0), top = wasm_i32x4_splat(kMaxStepIndex);
    v128_t index[Groups];
    for (unsigned q = 0; q < Groups; ++q) {
        const EncodeLane* l = lanes + 4 * q;
        index[q] = wasm_i32x4_make(l[0].index, l[1].index, l[2].index, l[3].index);
    }
    for (std::uint64_t b = 0; b < blocks; ++b) {
        const std::size_t pcmOffset = b * blockSamples;
        const std::size_t outOffset = b * blockBytes;
        v128_t pred[Groups];
        for (unsigned q = 0; q < Groups; ++q) {
            const EncodeLane* l = lanes + 4 * q;
            const std::uint8_t start[4] = {
                static_cast<std::uint8_t>(wasm_i32x4_extract_lane(index[q], 0)),
                static_cast<std::uint8_t>(wasm_i32x4_extract_lane(index[q], 1)),
                static_cast<std::uint8_t>(wasm_i32x4_extract_lane(index[q], 2)),
                static_cast<std::uint8_t>(wasm_i32x4_extract_lane(index[q], 3))};
            for (unsigned n = 0; n < 4; ++n)
                XBoxADPCMWriteBlockHeader(l[n].out + outOffset, l[n].pcm[pcmOffset], start[n]);
            pred[q] = wasm_i32x4_make(l[0].pcm[pcmOffset], l[1].pcm[pcmOffset], l[2].pcm[pcmOffset],
                                      l[3].pcm[pcmOffset]);
        }
        for (unsigned g = 0; g < 8; ++g) {
            v128_t word[Groups];
            for (unsigned q = 0; q < Groups; ++q)
                word[q] = zero;
            for (unsigned k = 0; k < 8; ++k) {
                const std::size_t at = pcmOffset + (1 + 8 * g + k) * std::size_t{channels};
                for (unsigned q = 0; q < Groups; ++q) {
                    const EncodeLane* l = lanes + 4 * q;
                    const v128_t sample =
                        wasm_i32x4_make(l[0].pcm[at], l[1].pcm[at], l[2].pcm[at], l[3].pcm[at]);
                    const v128_t step =
                        wasm_i32x4_make(adpcm::kStepTable[wasm_i32x4_extract_lane(index[q], 0)],
                                        adpcm::kStepTable[wasm_i32x4_extract_lane(index[q], 1)],
                                        adpcm::kStepTable[wasm_i32x4_extract_lane(index[q], 2)],
                                        adpcm::kStepTable[wasm_i32x4_extract_lane(index[q], 3)]);
                    const v128_t half = wasm_i32x4_shr(step, 1);
                    const v128_t quarter = wasm_i32x4_shr(step, 2);
                    const v128_t d = wasm_i32x4_sub(sample, pred[q]);
                    const v128_t sign = wasm_i32x4_shr(d, 31);
                    v128_t m = wasm_i32x4_abs(d);
                    const v128_t c2 = wasm_i32x4_gt(m, step);
                    m = wasm_i32x4_sub(m, wasm_v128_and(step, c2));
                    const v128_t c1 = wasm_i32x4_gt(m, half);
                    m = wasm_i32x4_sub(m, wasm_v128_and(half, c1));
                    const v128_t c0 = wasm_i32x4_gt(m, quarter);
                    const v128_t diff = wasm_i32x4_add(
                        wasm_i32x4_add(wasm_i32x4_shr(step, 3), wasm_v128_and(step, c2)),
                        wasm_i32x4_add(wasm_v128_and(half, c1), wasm_v128_and(quarter, c0)));
                    pred[q] = wasm_i32x4_min(
                        wasm_i32x4_max(
                            wasm_i32x4_add(pred[q],
                                           wasm_i32x4_sub(wasm_v128_xor(diff, sign), sign)),
                            low),
                        high);
                    const v128_t magnitude =
                        wasm_v128_or(wasm_v128_or(wasm_v128_and(c2, wasm_i32x4_splat(4)),
                                                  wasm_v128_and(c1, wasm_i32x4_splat(2))),
                                     wasm_v128_and(c0, wasm_i32x4_splat(1)));
                    // The index table: -1 for magnitudes 0..3, 2 * magnitude - 6 for 4..7.
                    const v128_t delta = wasm_v128_bitselect(
                        wasm_i32x4_sub(wasm_i32x4_shl(magnitude, 1), wasm_i32x4_splat(6)),
                        wasm_i32x4_splat(-1), c2);
                    index[q] =
                        wasm_i32x4_min(wasm_i32x4_max(wasm_i32x4_add(index[q], delta), zero), top);
                    const v128_t code =
                        wasm_v128_or(magnitude, wasm_v128_and(sign, wasm_i32x4_splat(8)));
                    word[q] = wasm_v128_or(word[q], wasm_i32x4_shl(code, 4 * k));
                }
            }
            for (unsigned q = 0; q < Groups; ++q) {
                const EncodeLane* l = lanes + 4 * q;
                const std::size_t to = outOffset + groupBytes * (g + 1);
                Store32(l[0].out + to,
                        static_cast<std::uint32_t>(wasm_i32x4_extract_lane(word[q], 0)));
                Store32(l[1].out + to,
                        static_cast<std::uint32_t>(wasm_i32x4_extract_lane(word[q], 1)));
                Store32(l[2].out + to,
                        static_cast<std::uint32_t>(wasm_i32x4_extract_lane(word[q], 2)));
                Store32(l[3].out + to,
                        static_cast<std::uint32_t>(wasm_i32x4_extract_lane(word[q], 3)));
            }
        }
    }
    for (unsigned q = 0; q < Groups; ++q) {
        EncodeLane* l = lanes + 4 * q;
        l[0].index = static_cast<std::uint8_t>(wasm_i32x4_extract_lane(index[q], 0));
        l[1].index = static_cast<std::uint8_t>(wasm_i32x4_extract_lane(index[q], 1));
        l[2].index = static_cast<std::uint8_t>(wasm_i32x4_extract_lane(index[q], 2));
        l[3].index = static_cast<std::uint8_t>(wasm_i32x4_extract_lane(index[q], 3));
    }
}
#endif

}  // namespace

void EncodeLanesPortable(EncodeLane* lanes, unsigned count, unsigned channels,
                         std::uint64_t blocks) {
    const std::size_t blockSamples = std::size_t{kFramesPerBlock} * channels;
    const std::size_t blockBytes = std::size_t{kBlockBytesPerChannel} * channels;
    const std::size_t groupBytes = 4 * std::size_t{channels};
    unsigned first = 0;
#if defined(__wasm_simd128__)
    for (; first + 8 <= count; first += 8)
        EncodeLanesSimd128<2>(lanes + first, channels, blocks);
    for (; first + 4 <= count; first += 4)
        EncodeLanesSimd128<1>(lanes + first, channels, blocks);
#endif
    // Whole groups of lanes interleaved, so that independent dependency chains overlap.
    for (; first + kPortableEncodeLanes <= count; first += kPortableEncodeLanes) {
        EncodeLane* l = lanes + first;
        std::array<std::int32_t, kPortableEncodeLanes> pred, index;
        for (unsigned n = 0; n < kPortableEncodeLanes; ++n)
            index[n] = l[n].index;
        for (std::uint64_t b = 0; b < blocks; ++b) {
            const std::size_t pcmOffset = b * blockSamples;
            const std::size_t outOffset = b * blockBytes;
            for (unsigned n = 0; n < kPortableEncodeLanes; ++n) {
                pred[n] = l[n].pcm[pcmOffset];
                XBoxADPCMWriteBlockHeader(l[n].out + outOffset, l[n].pcm[pcmOffset],
                                          static_cast<std::uint8_t>(index[n]));
            }
            for (unsigned g = 0; g < 8; ++g) {
                std::array<std::uint32_t, kPortableEncodeLanes> word{};
                for (unsigned k = 0; k < 8; ++k) {
                    const std::size_t at = pcmOffset + (1 + 8 * g + k) * std::size_t{channels};
#pragma GCC unroll 4
                    for (unsigned n = 0; n < kPortableEncodeLanes; ++n)
                        word[n] |= EncodeStep(l[n].pcm[at], pred[n], index[n]) << (4 * k);
                }
                for (unsigned n = 0; n < kPortableEncodeLanes; ++n)
                    Store32(l[n].out + outOffset + groupBytes * (g + 1), word[n]);
            }
        }
        for (unsigned n = 0; n < kPortableEncodeLanes; ++n)
            l[n].index = static_cast<std::uint8_t>(index[n]);
    }
    for (; first < count; ++first) {
        EncodeLane& l = lanes[first];
        for (std::uint64_t b = 0; b < blocks; ++b)
            l.index = EncodeBlockChannel<true>(l.pcm + b * blockSamples, l.out + b * blockBytes,
                                               channels, l.index);
    }
}

void LoadDecodeBatch(const std::uint8_t* adpcm, std::int16_t* pcm, unsigned channels,
                     std::uint64_t job, unsigned active, DecodeBatch& batch) {
    const Tables& t = GetTables();
    const std::size_t groupBytes = 4 * std::size_t{channels};
    const std::uint8_t* in[kDecodeBatch];
    std::int32_t state[kDecodeBatch];
    for (unsigned n = 0; n < kDecodeBatch; ++n) {
        const std::uint64_t j = job + (n < active ? n : 0);
        const std::uint64_t block = j / channels;
        const auto c = static_cast<unsigned>(j % channels);
        in[n] = adpcm + block * kBlockBytesPerChannel * channels + 4 * c;
        batch.out[n] = pcm + block * kFramesPerBlock * channels + c;
        batch.pred[n] = XBoxADPCMBlockHeaderSample(in[n]);
        state[n] = XBoxADPCMBlockHeaderIndex(in[n]) * 256;
    }
    // Four jobs at a time, so that four table-lookup chains overlap; one lookup per byte.
    for (unsigned half = 0; half < kDecodeBatch; half += 4) {
        for (unsigned g = 0; g < 8; ++g) {
            const std::size_t at = groupBytes * (g + 1);
            for (unsigned b = 0; b < 4; ++b) {
#pragma GCC unroll 4
                for (unsigned n = 0; n < 4; ++n) {
                    const std::int32_t* e = t.decode + 2 * (state[half + n] + in[half + n][at + b]);
                    batch.entries[8 * g + 2 * b][half + n] = e[0];
                    batch.entries[8 * g + 2 * b + 1][half + n] = e[1];
                    state[half + n] = e[1] & kDecodeStateMask;
                }
            }
        }
    }
}

void DecodeJobsPortable(const std::uint8_t* adpcm, std::int16_t* pcm, unsigned channels,
                        std::uint64_t firstJob, std::uint64_t endJob) {
    const std::size_t stride = channels;
    DecodeBatch batch;
    for (std::uint64_t job = firstJob; job < endJob; job += kDecodeBatch) {
        const auto active =
            static_cast<unsigned>(std::min<std::uint64_t>(kDecodeBatch, endJob - job));
        LoadDecodeBatch(adpcm, pcm, channels, job, active, batch);
        std::int32_t pred[kDecodeBatch];
        std::copy_n(batch.pred, kDecodeBatch, pred);
        for (unsigned k = 0; k < 64; ++k) {
            for (unsigned n = 0; n < kDecodeBatch; ++n) {
                pred[n] = ADPCMClampSample(pred[n] + (batch.entries[k][n] >> kDecodeShift));
                batch.entries[k][n] = pred[n];
            }
        }
        for (unsigned n = 0; n < active; ++n) {
            std::int16_t* out = batch.out[n];
            out[0] = static_cast<std::int16_t>(batch.pred[n]);
            for (unsigned k = 0; k < 64; ++k)
                out[(k + 1) * stride] = static_cast<std::int16_t>(batch.entries[k][n]);
        }
    }
}

}  // namespace kernels

using kernels::EncodeLane;

namespace {

// Segments shorter than this are not worth a guess and a repair.
constexpr std::uint64_t kMinSegmentBlocks = 8;

}  // namespace

void XBoxADPCMGuessIndices(const std::int16_t* pcm, unsigned channels, std::uint64_t block,
                           std::span<std::uint8_t> indices) {
    const std::int16_t* x = pcm + block * kFramesPerBlock * channels;
    for (unsigned c = 0; c < channels; ++c)
        indices[c] = kernels::EncodeBlockChannel<false>(x + c, nullptr, channels, 0);
}

void XBoxADPCMRepairBlockRange(const std::int16_t* pcm, std::uint8_t* adpcm, unsigned channels,
                               std::uint64_t first, std::uint64_t count,
                               std::span<const std::uint8_t> trueIndices,
                               std::span<std::uint8_t> endIndices) {
    const std::size_t blockSamples = std::size_t{kFramesPerBlock} * channels;
    const std::size_t blockBytes = std::size_t{kBlockBytesPerChannel} * channels;
    for (unsigned c = 0; c < channels; ++c) {
        std::uint8_t index = trueIndices[c];
        std::uint64_t b = first;
        for (; b < first + count; ++b) {
            std::uint8_t* out = adpcm + b * blockBytes + 4 * c;
            if (out[2] == index)
                break;  // from here on the guessed run wrote what this one would
            index =
                kernels::EncodeBlockChannel<true>(pcm + b * blockSamples + c, out, channels, index);
        }
        if (b == first + count)
            endIndices[c] = index;
    }
}

void XBoxADPCMEncodeBlockRange(const std::int16_t* pcm, std::uint8_t* adpcm, unsigned channels,
                               std::uint64_t first, std::uint64_t count,
                               std::span<std::uint8_t> indices, const ADPCMEncodeTuning& tuning) {
    if (channels == 0 || count == 0)
        return;
    const CodecKernels& kernels = SelectKernels(tuning.kernel);
    const std::size_t blockSamples = std::size_t{kFramesPerBlock} * channels;
    const std::size_t blockBytes = std::size_t{kBlockBytesPerChannel} * channels;

    // Segments per channel: enough lanes to fill the kernel, none shorter than kMinSegmentBlocks.
    const unsigned width = kernels.encodeWidth;
    std::uint64_t segments = (width + channels - 1) / channels;
    if (tuning.segmentBlocks != 0)
        segments = count / tuning.segmentBlocks;
    else
        segments = std::min(segments, count / kMinSegmentBlocks);
    segments = std::max<std::uint64_t>(segments, 1);
    const std::uint64_t segmentBlocks = count / segments;

    std::vector<EncodeLane> lanes(segments * channels);
    std::vector<std::uint8_t> guesses(segments * channels);
    for (std::uint64_t s = 0; s < segments; ++s) {
        const std::uint64_t start = first + s * segmentBlocks;
        std::uint8_t* guess = guesses.data() + s * channels;
        if (s == 0)
            std::copy_n(indices.begin(), channels, guess);
        else if (tuning.guessIndex >= 0)
            std::fill_n(guess, channels,
                        static_cast<std::uint8_t>(std::min<int>(tuning.guessIndex, kMaxStepIndex)));
        else
            XBoxADPCMGuessIndices(pcm, channels, start - 1, {guess, channels});
        for (unsigned c = 0; c < channels; ++c)
            lanes[s * channels + c] = {pcm + start * blockSamples + c,
                                       adpcm + start * blockBytes + 4 * c, guess[c]};
    }
    for (std::size_t l = 0; l < lanes.size(); l += width) {
        const auto n = static_cast<unsigned>(std::min<std::size_t>(width, lanes.size() - l));
        kernels.encodeLanes(lanes.data() + l, n, channels, segmentBlocks);
    }

    // Each segment's true starting index is where the one before it really ended.
    std::vector<std::uint8_t> index(channels), end(channels);
    for (unsigned c = 0; c < channels; ++c)
        index[c] = lanes[c].index;
    for (std::uint64_t s = 1; s < segments; ++s) {
        for (unsigned c = 0; c < channels; ++c)
            end[c] = lanes[s * channels + c].index;
        XBoxADPCMRepairBlockRange(pcm, adpcm, channels, first + s * segmentBlocks, segmentBlocks,
                                  index, end);
        index = end;
    }

    // Blocks left over after the equal segments continue from the true index.
    const std::uint64_t done = segments * segmentBlocks;
    if (done < count) {
        const std::uint64_t start = first + done;
        for (unsigned c = 0; c < channels; ++c)
            lanes[c] = {pcm + start * blockSamples + c, adpcm + start * blockBytes + 4 * c,
                        index[c]};
        for (unsigned c = 0; c < channels; c += width)
            kernels.encodeLanes(lanes.data() + c, std::min(width, channels - c), channels,
                                count - done);
        for (unsigned c = 0; c < channels; ++c)
            index[c] = lanes[c].index;
    }
    std::copy_n(index.begin(), channels, indices.begin());
}

void XBoxADPCMDecodeBlockRange(const std::uint8_t* adpcm, std::int16_t* pcm, unsigned channels,
                               std::uint64_t first, std::uint64_t count, ADPCMKernel kernel) {
    if (channels == 0 || count == 0)
        return;
    const std::uint64_t firstJob = first * channels;
    const std::uint64_t endJob = (first + count) * channels;
    SelectKernels(kernel).decodeJobs(adpcm, pcm, channels, firstJob, endJob);
}

void XBoxADPCMEncodeBlocksFast(std::span<const std::int16_t> pcm, std::span<std::uint8_t> out,
                               unsigned channels, std::uint64_t frames,
                               const ADPCMEncodeTuning& tuning) {
    const std::uint64_t blocks = XBoxADPCMFittingBlocks(pcm.size(), out.size(), channels, frames);
    if (blocks == 0)
        return;
    std::vector<std::uint8_t> indices(channels, 0);
    XBoxADPCMEncodeBlockRange(pcm.data(), out.data(), channels, 0, blocks, indices, tuning);
}

void XBoxADPCMDecodeBlocksFast(std::span<const std::uint8_t> in, std::span<std::int16_t> pcm,
                               unsigned channels, std::uint64_t frames, ADPCMKernel kernel) {
    const std::uint64_t blocks = XBoxADPCMFittingBlocks(pcm.size(), in.size(), channels, frames);
    XBoxADPCMDecodeBlockRange(in.data(), pcm.data(), channels, 0, blocks, kernel);
}

}  // namespace imabox
