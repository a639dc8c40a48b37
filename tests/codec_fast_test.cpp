// SPDX-License-Identifier: MIT
// The fast and the threaded block coders against the plain one: every byte must match.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codec/xbox_adpcm.hpp"
#include "codec/xbox_adpcm_fast.hpp"
#include "codec/xbox_adpcm_parallel.hpp"
#include "test_util.hpp"

namespace imabox {
namespace {

using Samples = std::vector<std::int16_t>;
using Bytes = std::vector<std::uint8_t>;

std::vector<ADPCMKernel> Kernels() {
    std::vector<ADPCMKernel> kernels{ADPCMKernel::Portable};
    if (ADPCMKernelSupported(ADPCMKernel::AVX2))
        kernels.push_back(ADPCMKernel::AVX2);
    return kernels;
}

// Signals that drive the step index in different ways, `frames` frames of `channels` channels.
enum class Signal { Random, Square, Silence, Clipped, Bursts };
const Signal kSignals[] = {Signal::Random, Signal::Square, Signal::Silence, Signal::Clipped,
                           Signal::Bursts};

Samples MakeSignal(Signal signal, unsigned channels, std::uint64_t frames, std::uint32_t seed) {
    Samples s(frames * channels);
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> any(-32768, 32767);
    for (std::uint64_t f = 0; f < frames; ++f) {
        for (unsigned c = 0; c < channels; ++c) {
            std::int32_t v = 0;
            switch (signal) {
                case Signal::Random:
                    v = any(rng);
                    break;
                case Signal::Square:  // full scale, a different period per channel
                    v = ((f / (3 + 5 * c)) % 2) ? 32767 : -32768;
                    break;
                case Signal::Silence:
                    v = 0;
                    break;
                case Signal::Clipped:  // a loud sine cut off at full scale
                    v = std::clamp<std::int32_t>(
                        static_cast<std::int32_t>(90000.0 * std::sin(0.05 * f + c)), -32768, 32767);
                    break;
                case Signal::Bursts:  // loud noise and near silence in turns of ~3 blocks
                    v = ((f / 190) % 2) ? any(rng) : any(rng) / 4096;
                    break;
            }
            s[f * channels + c] = static_cast<std::int16_t>(v);
        }
    }
    return s;
}

Bytes PlainEncode(const Samples& pcm, unsigned channels, std::uint64_t frames) {
    Bytes out(XBoxADPCMBlockCount(frames) * kBlockBytesPerChannel * channels);
    XBoxADPCMEncodeBlocks(pcm, out, channels, frames);
    return out;
}

Samples PlainDecode(const Bytes& adpcm, unsigned channels, std::uint64_t frames) {
    Samples out(XBoxADPCMBlockCount(frames) * kFramesPerBlock * channels);
    XBoxADPCMDecodeBlocks(adpcm, out, channels, frames);
    return out;
}

// Block counts around the segment and thread boundaries the coders pick.
const std::uint64_t kBlockCounts[] = {1, 2, 3, 7, 8, 9, 15, 16, 17, 31, 33, 64, 65, 127, 300};

TEST(FastBlockCoder, EncodesEverySignalAndChannelCountLikeThePlainCoder) {
    for (const ADPCMKernel kernel : Kernels()) {
        for (const Signal signal : kSignals) {
            for (unsigned channels = 1; channels <= 8; ++channels) {
                for (const std::uint64_t blocks : kBlockCounts) {
                    const std::uint64_t frames = blocks * kFramesPerBlock;
                    const Samples pcm = MakeSignal(signal, channels, frames, 7 * channels);
                    const Bytes expected = PlainEncode(pcm, channels, frames);
                    Bytes fast(expected.size(), 0xAA);
                    XBoxADPCMEncodeBlocksFast(pcm, fast, channels, frames, {kernel});
                    ASSERT_EQ(fast, expected)
                        << ADPCMKernelName(kernel) << " signal " << static_cast<int>(signal)
                        << " channels " << channels << " blocks " << blocks;
                }
            }
        }
    }
}

TEST(FastBlockCoder, DecodesEverySignalAndChannelCountLikeThePlainCoder) {
    for (const ADPCMKernel kernel : Kernels()) {
        for (const Signal signal : kSignals) {
            for (unsigned channels = 1; channels <= 8; ++channels) {
                for (const std::uint64_t blocks : kBlockCounts) {
                    const std::uint64_t frames = blocks * kFramesPerBlock;
                    const Bytes adpcm = PlainEncode(MakeSignal(signal, channels, frames, channels),
                                                    channels, frames);
                    const Samples expected = PlainDecode(adpcm, channels, frames);
                    Samples fast(expected.size(), 0x5555);
                    XBoxADPCMDecodeBlocksFast(adpcm, fast, channels, frames, kernel);
                    ASSERT_EQ(fast, expected)
                        << ADPCMKernelName(kernel) << " signal " << static_cast<int>(signal)
                        << " channels " << channels << " blocks " << blocks;
                }
            }
        }
    }
}

// Random bytes: every code pattern, and header indices above 88 (clamped like the plain coder).
TEST(FastBlockCoder, DecodesArbitraryBytesLikeThePlainCoder) {
    for (const ADPCMKernel kernel : Kernels()) {
        for (unsigned channels = 1; channels <= 8; ++channels) {
            const std::uint64_t blocks = 41;
            const std::uint64_t frames = blocks * kFramesPerBlock;
            const Samples noise =
                test::RandomSamples(blocks * kBlockBytesPerChannel * channels / 2, channels);
            Bytes adpcm(noise.size() * 2);
            std::memcpy(adpcm.data(), noise.data(), adpcm.size());
            const Samples expected = PlainDecode(adpcm, channels, frames);
            Samples fast(expected.size());
            XBoxADPCMDecodeBlocksFast(adpcm, fast, channels, frames, kernel);
            ASSERT_EQ(fast, expected) << ADPCMKernelName(kernel) << " channels " << channels;
        }
    }
}

TEST(FastBlockCoder, DecodesEveryHeaderStepIndex) {
    const unsigned channels = 2;
    Bytes adpcm = PlainEncode(MakeSignal(Signal::Random, channels, 256 * kFramesPerBlock, 3),
                              channels, 256 * kFramesPerBlock);
    for (unsigned b = 0; b < 256; ++b) {
        adpcm[b * 72 + 2] = static_cast<std::uint8_t>(b);        // left: 0..255
        adpcm[b * 72 + 6] = static_cast<std::uint8_t>(255 - b);  // right: 255..0
    }
    const Samples expected = PlainDecode(adpcm, channels, 256 * kFramesPerBlock);
    for (const ADPCMKernel kernel : Kernels()) {
        Samples fast(expected.size());
        XBoxADPCMDecodeBlocksFast(adpcm, fast, channels, 256 * kFramesPerBlock, kernel);
        EXPECT_EQ(fast, expected) << ADPCMKernelName(kernel);
    }
}

// Every segment starts from the same wrong (or right) index, so the repair has to find where the
// guessed run and the true one meet, or re-encode the whole segment when they never do.
TEST(FastBlockCoder, RepairsSegmentsFromEveryGuessedStepIndex) {
    for (const ADPCMKernel kernel : Kernels()) {
        for (const Signal signal : {Signal::Bursts, Signal::Square, Signal::Random}) {
            const unsigned channels = signal == Signal::Square ? 3 : 2;
            const std::uint64_t frames = 50 * kFramesPerBlock;
            const Samples pcm = MakeSignal(signal, channels, frames, 11);
            const Bytes expected = PlainEncode(pcm, channels, frames);
            for (int guess = 0; guess <= static_cast<int>(kMaxStepIndex); ++guess) {
                for (const std::uint32_t segmentBlocks : {1u, 3u, 8u}) {
                    Bytes fast(expected.size());
                    XBoxADPCMEncodeBlocksFast(pcm, fast, channels, frames,
                                              {kernel, segmentBlocks, guess});
                    ASSERT_EQ(fast, expected)
                        << ADPCMKernelName(kernel) << " signal " << static_cast<int>(signal)
                        << " guess " << guess << " segment " << segmentBlocks;
                }
            }
        }
    }
}

// A range that starts from any step index codes like the plain sample coder run from that index.
TEST(FastBlockCoder, EncodesARangeFromEveryStartingStepIndex) {
    const unsigned channels = 2;
    const std::uint64_t blocks = 20;
    const Samples pcm = MakeSignal(Signal::Bursts, channels, blocks * kFramesPerBlock, 5);
    for (unsigned start = 0; start <= kMaxStepIndex; ++start) {
        // Reference: the plain runs, block by block, from `start`.
        Bytes expected(blocks * kBlockBytesPerChannel * channels);
        ADPCMChannelState states[channels] = {{0, static_cast<std::uint8_t>(start)},
                                              {0, static_cast<std::uint8_t>(start)}};
        for (std::uint64_t b = 0; b < blocks; ++b) {
            const std::int16_t* x = pcm.data() + b * kFramesPerBlock * channels;
            std::uint8_t* out = expected.data() + b * kBlockBytesPerChannel * channels;
            for (unsigned c = 0; c < channels; ++c) {
                states[c].predictor = x[c];
                out[4 * c] = static_cast<std::uint8_t>(x[c]);
                out[4 * c + 1] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(x[c]) >> 8);
                out[4 * c + 2] = states[c].index;
                for (unsigned g = 0; g < 8; ++g) {
                    std::int16_t run[8];
                    for (unsigned k = 0; k < 8; ++k)
                        run[k] = x[(1 + 8 * g + k) * channels + c];
                    ADPCMEncodeRun(states[c], {out + 4 * channels * (g + 1) + 4 * c, 4}, 0, run);
                }
            }
        }
        for (const ADPCMKernel kernel : Kernels()) {
            Bytes fast(expected.size());
            std::uint8_t indices[channels] = {static_cast<std::uint8_t>(start),
                                              static_cast<std::uint8_t>(start)};
            XBoxADPCMEncodeBlockRange(pcm.data(), fast.data(), channels, 0, blocks, indices,
                                      {kernel});
            ASSERT_EQ(fast, expected) << ADPCMKernelName(kernel) << " start " << start;
            EXPECT_EQ(indices[0], states[0].index) << start;
            EXPECT_EQ(indices[1], states[1].index) << start;
        }
    }
}

// Spans shorter than the frame count: only the blocks that fit both are coded, nothing beyond.
TEST(FastBlockCoder, StaysInsideShortSpans) {
    const unsigned channels = 3;
    const std::uint64_t frames = 40 * kFramesPerBlock;
    const Samples pcm = MakeSignal(Signal::Random, channels, frames, 1);
    const std::size_t blockBytes = kBlockBytesPerChannel * channels;
    const Bytes expected = PlainEncode(pcm, channels, frames);
    for (const ADPCMKernel kernel : Kernels()) {
        // ADPCM span 20.5 blocks long inside a larger buffer: 20 blocks written, the rest kept.
        Bytes out(expected.size(), 0xAA);
        XBoxADPCMEncodeBlocksFast(pcm, std::span(out).first(20 * blockBytes + blockBytes / 2),
                                  channels, frames, {kernel});
        EXPECT_TRUE(std::equal(out.begin(), out.begin() + 20 * blockBytes, expected.begin()));
        EXPECT_TRUE(std::all_of(out.begin() + 20 * blockBytes, out.end(),
                                [](std::uint8_t b) { return b == 0xAA; }));

        Samples decoded(frames * channels, 0x1234);
        const std::size_t blockSamples = kFramesPerBlock * channels;
        XBoxADPCMDecodeBlocksFast(expected, std::span(decoded).first(9 * blockSamples + 5),
                                  channels, frames, kernel);
        const Samples plain = PlainDecode(expected, channels, frames);
        EXPECT_TRUE(std::equal(decoded.begin(), decoded.begin() + 9 * blockSamples, plain.begin()));
        EXPECT_TRUE(std::all_of(decoded.begin() + 9 * blockSamples, decoded.end(),
                                [](std::int16_t s) { return s == 0x1234; }));

        // No frames, no channels: nothing touched.
        Bytes untouched(72, 0xAA);
        XBoxADPCMEncodeBlocksFast(pcm, untouched, channels, 0, {kernel});
        XBoxADPCMEncodeBlocksFast(pcm, untouched, 0, frames, {kernel});
        EXPECT_EQ(untouched, Bytes(72, 0xAA));
    }
}

TEST(ParallelBlockCoder, EncodesAndDecodesLikeThePlainCoderOnAnyThreadCount) {
    for (const unsigned channels : {1u, 2u, 5u}) {
        for (const std::uint64_t blocks : {1u, 2u, 9u, 100u, 257u}) {
            const std::uint64_t frames = blocks * kFramesPerBlock;
            const Samples pcm = MakeSignal(Signal::Bursts, channels, frames, 9);
            const Bytes expected = PlainEncode(pcm, channels, frames);
            const Samples expectedPcm = PlainDecode(expected, channels, frames);
            for (const unsigned threads : {0u, 1u, 2u, 3u, 8u}) {
                for (const int guess : {-1, 0, 88}) {
                    Bytes fast(expected.size());
                    XBoxADPCMEncodeBlocksParallel(pcm, fast, channels, frames, threads,
                                                  {ADPCMKernel::Best, 0, guess}, 1);
                    ASSERT_EQ(fast, expected) << "channels " << channels << " blocks " << blocks
                                              << " threads " << threads << " guess " << guess;
                }
                Samples decoded(expectedPcm.size());
                XBoxADPCMDecodeBlocksParallel(expected, decoded, channels, frames, threads,
                                              ADPCMKernel::Best, 1);
                ASSERT_EQ(decoded, expectedPcm)
                    << "channels " << channels << " blocks " << blocks << " threads " << threads;
            }
        }
    }
}

TEST(ParallelBlockCoder, ResolvesThreadCounts) {
    EXPECT_EQ(ResolveThreadCount(3), 3u);
    EXPECT_GE(ResolveThreadCount(0), 1u);
}

}  // namespace
}  // namespace imabox
