// SPDX-License-Identifier: MIT
// The optimizing encoder: level 0 is the plain encoder, every level is a valid stream whose
// error the search predicts exactly, and no block is ever worse than the plain encoder's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "codec/xbox_adpcm.hpp"
#include "codec/xbox_adpcm_fast.hpp"
#include "codec/xbox_adpcm_search.hpp"
#include "codec/xbox_adpcm_search_detail.hpp"
#include "support/wave_audio.hpp"

// The narrow searches' portable loops, compiled here as the reference.
#define IMABOX_SEARCH_KERNEL_NAMESPACE reference
#include "codec/xbox_adpcm_search_kernels.hpp"

namespace imabox {
namespace {

// Test signals, interleaved, a whole number of blocks long.
std::vector<std::int16_t> Signal(int kind, unsigned channels, unsigned blocks) {
    std::mt19937 rng(1234 + kind);
    std::normal_distribution<double> noise(0, 1);
    std::vector<std::int16_t> pcm(std::size_t{blocks} * 65 * channels);
    double phase = 0;
    for (std::size_t i = 0; i < pcm.size(); ++i) {
        const double t = double(i / channels);
        double v = 0;
        switch (kind) {
            case 0:  // speech-like: a chirp with noise and a varying envelope
                phase += 0.02 + 0.5 * (t / double(pcm.size() / channels));
                v = 9000 * std::sin(phase) * (0.3 + 0.7 * std::abs(std::sin(t / 300))) +
                    800 * noise(rng);
                break;
            case 1:  // white noise
                v = 6000 * noise(rng);
                break;
            case 2:  // full-scale square wave: clamping at both ends
                v = (int(t / 23) % 2) ? 32767 : -32768;
                break;
            case 3:  // bursts after silence
                v = (int(t / 200) % 3 == 2) ? 20000 * std::sin(t * 0.3) : 0;
                break;
        }
        pcm[i] = static_cast<std::int16_t>(std::clamp(std::lround(v), -32768l, 32767l));
    }
    return pcm;
}

// Squared error per (block, channel) of a coded stream against the input.
std::vector<std::uint64_t> BlockErrors(const std::vector<std::int16_t>& pcm,
                                       const std::vector<std::uint8_t>& coded, unsigned channels) {
    std::vector<std::int16_t> decoded(pcm.size());
    XBoxADPCMDecodeBlocks(coded, decoded, channels, pcm.size() / channels);
    std::vector<std::uint64_t> errors(pcm.size() / 65, 0);  // one per (block, channel)
    for (std::size_t i = 0; i < pcm.size(); ++i) {
        const std::int64_t e = std::int64_t{pcm[i]} - decoded[i];
        const std::size_t frame = i / channels;
        errors[(frame / 65) * channels + i % channels] += static_cast<std::uint64_t>(e * e);
    }
    return errors;
}

double Snr(const std::vector<std::int16_t>& pcm, const std::vector<std::uint64_t>& errors) {
    double signal = 0, noise = 0;
    for (const std::int16_t s : pcm)
        signal += double(s) * s;
    for (const std::uint64_t e : errors)
        noise += double(e);
    return 10 * std::log10(signal / noise);
}

std::vector<std::uint8_t> Encode(const std::vector<std::int16_t>& pcm, unsigned channels,
                                 int quality) {
    const std::uint64_t frames = pcm.size() / channels;
    std::vector<std::uint8_t> out(frames / 65 * 36 * channels, 0xAA);
    XBoxADPCMEncodeBlocksSearch(pcm, out, channels, frames, frames, quality);
    return out;
}

TEST(XBoxADPCMSearch, QualityZeroIsThePlainEncoderByteForByte) {
    for (const unsigned channels : {1u, 2u, 5u}) {
        const auto pcm = Signal(0, channels, 7);
        std::vector<std::uint8_t> plain(7 * 36 * channels);
        XBoxADPCMEncodeBlocks(pcm, plain, channels, 7 * 65);
        EXPECT_EQ(Encode(pcm, channels, 0), plain);
    }
}

TEST(XBoxADPCMSearch, NoBlockIsWorseThanThePlainEncoderAtAnyLevel) {
    for (int kind = 0; kind < 4; ++kind) {
        for (const unsigned channels : {1u, 2u}) {
            const auto pcm = Signal(kind, channels, 12);
            const auto plain = BlockErrors(pcm, Encode(pcm, channels, 0), channels);
            for (int q = 1; q <= kXBoxADPCMMaxQuality; ++q) {
                SCOPED_TRACE("signal " + std::to_string(kind) + ", " + std::to_string(channels) +
                             " channels, quality " + std::to_string(q));
                const auto coded = Encode(pcm, channels, q);
                const auto errors = BlockErrors(pcm, coded, channels);
                for (std::size_t b = 0; b < errors.size(); ++b)
                    ASSERT_LE(errors[b], plain[b]) << "block/channel " << b;
                // Headers: frame 0 exact, a valid step index, a zero reserved byte.
                for (std::size_t block = 0; block < 12; ++block) {
                    for (unsigned c = 0; c < channels; ++c) {
                        const std::uint8_t* h = &coded[block * 36 * channels + 4 * c];
                        EXPECT_EQ(static_cast<std::int16_t>(h[0] | (h[1] << 8)),
                                  pcm[block * 65 * channels + c]);
                        EXPECT_LE(h[2], kMaxStepIndex);
                        EXPECT_EQ(h[3], 0);
                    }
                }
            }
        }
    }
}

TEST(XBoxADPCMSearch, SearchingLowersTheErrorMarkedly) {
    const auto pcm = Signal(0, 1, 200);
    const double plain = Snr(pcm, BlockErrors(pcm, Encode(pcm, 1, 0), 1));
    const double q1 = Snr(pcm, BlockErrors(pcm, Encode(pcm, 1, 1), 1));
    const double q5 = Snr(pcm, BlockErrors(pcm, Encode(pcm, 1, 5), 1));
    const double q9 = Snr(pcm, BlockErrors(pcm, Encode(pcm, 1, 9), 1));
    EXPECT_GT(q1, plain + 0.3);
    EXPECT_GT(q5, plain + 1.5);
    EXPECT_GT(q9, q5);
}

// A stream coded in runs of any length on any number of threads, the plain step index handed
// from run to run, has the bytes of one run on one thread, at every level, fill included.
TEST(XBoxADPCMSearch, BytesDependNeitherOnThreadsNorOnWhereRunsAreCut) {
    constexpr unsigned kBlocks = 61;
    for (const unsigned channels : {1u, 2u}) {
        const auto pcm = Signal(0, channels, kBlocks);
        const std::uint64_t validFrames = kBlocks * 65 - 40;  // the last 40 frames are fill
        for (const int q : {0, 1, 2, 5, 6, 9}) {
            SCOPED_TRACE(std::to_string(channels) + " channels, quality " + std::to_string(q));
            std::vector<std::uint8_t> whole(kBlocks * 36 * channels);
            XBoxADPCMEncodeBlocksSearch(pcm, whole, channels, kBlocks * 65, validFrames, q);
            if (q == 0) {
                std::vector<std::uint8_t> plain(whole.size());
                XBoxADPCMEncodeBlocks(pcm, plain, channels, kBlocks * 65);
                ASSERT_EQ(whole, plain);
            }
            for (const unsigned threads : {1u, 2u, 3u, 0u}) {
                for (const unsigned piece : {1u, 7u, 17u, kBlocks}) {
                    std::vector<std::uint8_t> out(whole.size(), 0xAA);
                    std::vector<std::uint8_t> plainIndex(channels, 0);
                    for (unsigned first = 0; first < kBlocks; first += piece) {
                        const unsigned count = std::min(piece, kBlocks - first);
                        const std::uint64_t firstFrame = std::uint64_t{first} * 65;
                        XBoxADPCMEncodeSearchRun(
                            std::span(pcm).subspan(firstFrame * channels,
                                                   std::size_t{count} * 65 * channels),
                            std::span(out).subspan(std::size_t{first} * 36 * channels,
                                                   std::size_t{count} * 36 * channels),
                            channels, validFrames - std::min(validFrames, firstFrame), q,
                            plainIndex, threads);
                    }
                    EXPECT_EQ(out, whole) << threads << " threads, runs of " << piece;
                }
            }
        }
    }
}

// The error the search reports is the error a decoder gets from the codes it chose.
TEST(XBoxADPCMSearch, ReportedErrorMatchesTheDecodedCodes) {
    const auto pcm = Signal(1, 1, 30);
    std::vector<XBoxADPCMSearchLevel> levels;
    for (int q = 1; q <= kXBoxADPCMMaxQuality; q += 2)
        levels.push_back(XBoxADPCMSearchLevelFor(q));
    levels.push_back({8, 16, 1, 1, 4, 1, 2});   // neighbouring codes: the one-block beam
    levels.push_back({8, 25, 1, 5, 64, 0, 5});  // wider than the lanes: the one-block beam
    for (std::size_t q = 0; q < levels.size(); ++q) {
        std::uint8_t plainIndex = 0;
        for (unsigned block = 0; block < 30; ++block) {
            std::span<const std::int16_t, 65> x(&pcm[block * 65], 65);
            for (const unsigned valid : {65u, 20u}) {
                std::uint8_t index = plainIndex;
                std::array<std::uint8_t, 64> codes;
                std::uint64_t error = 0;
                const std::uint8_t start =
                    XBoxADPCMSearchBlock(x, valid, index, levels[q], codes, error);
                ADPCMChannelState state{x[0], start};
                std::uint64_t measured = 0;
                for (unsigned k = 0; k < 64; ++k) {
                    const std::int64_t e = x[k + 1] - ADPCMDecodeSample(state, codes[k]);
                    if (k + 1 < valid)
                        measured += static_cast<std::uint64_t>(e * e);
                }
                EXPECT_EQ(error, measured) << "level " << q << ", block " << block;
                if (valid == 65) {
                    // Hands on the index the plain encoder ends the block with.
                    ADPCMChannelState plain{x[0], plainIndex};
                    for (unsigned k = 1; k < 65; ++k)
                        ADPCMEncodeSample(plain, x[k]);
                    EXPECT_EQ(index, plain.index);
                    plainIndex = index;
                }
            }
        }
    }
}

// Fill after the last real frame does not count: searched on its 5 real frames, the last block
// codes them no worse than the plain encoder at any level, and markedly better than when the
// hard-to-code fill counts too.
TEST(XBoxADPCMSearch, FillFramesDoNotCount) {
    auto pcm = Signal(1, 1, 2);
    for (std::size_t i = 70; i < 130; ++i)
        pcm[i] = static_cast<std::int16_t>(i % 2 ? 30000 : -30000);  // hard-to-code fill
    const auto realError = [&](std::uint64_t validFrames, int q) {
        std::vector<std::uint8_t> coded(72);
        XBoxADPCMEncodeBlocksSearch(pcm, coded, 1, 130, validFrames, q);
        std::vector<std::int16_t> decoded(130);
        XBoxADPCMDecodeBlocks(coded, decoded, 1, 130);
        std::int64_t error = 0;
        for (std::size_t i = 66; i < 70; ++i)
            error += (pcm[i] - decoded[i]) * std::int64_t{pcm[i] - decoded[i]};
        return error;
    };
    const std::int64_t plain = realError(70, 0);
    std::int64_t withFill = 0;
    std::int64_t withoutFill = 0;
    for (int q = 1; q <= kXBoxADPCMMaxQuality; ++q) {
        EXPECT_LE(realError(70, q), plain) << "quality " << q;
        withFill += realError(130, q);
        withoutFill += realError(70, q);
    }
    EXPECT_LT(2 * withoutFill, withFill);
}

// Every level is at least as good as the level below it on recorded speech: spoken words from
// the alsa-utils package (scripts/install-deps.sh installs it), as recorded (48 kHz) and at a
// third of the rate (16 kHz, by averaging three samples).
TEST(XBoxADPCMSearch, EachLevelBeatsTheOneBelowOnRecordedSpeech) {
    int clips = 0;
    for (const char* name : {"Front_Center", "Front_Left"}) {
        const std::string path = std::string("/usr/share/sounds/alsa/") + name + ".wav";
        auto audio = ReadWaveFile(path);
        if (!audio)
            continue;
        ASSERT_EQ(audio->channels, 1u) << path;
        std::vector<std::int16_t> third;
        for (std::size_t i = 0; i + 2 < audio->samples.size(); i += 3)
            third.push_back(static_cast<std::int16_t>(
                (audio->samples[i] + audio->samples[i + 1] + audio->samples[i + 2]) / 3));
        for (std::vector<std::int16_t>* pcm : {&audio->samples, &third}) {
            pcm->resize(pcm->size() / 65 * 65);
            ++clips;
            double below = Snr(*pcm, BlockErrors(*pcm, Encode(*pcm, 1, 0), 1));
            for (int q = 1; q <= kXBoxADPCMMaxQuality; ++q) {
                const double snr = Snr(*pcm, BlockErrors(*pcm, Encode(*pcm, 1, q), 1));
                EXPECT_GE(snr, below)
                    << name << (pcm == &third ? " at 16 kHz" : " at 48 kHz") << ", quality " << q;
                below = snr;
            }
        }
    }
    if (clips == 0)
        GTEST_SKIP() << "no recorded speech: install alsa-utils (scripts/install-deps.sh)";
}

// The vector narrow searches (AVX2, and the compiler's vector types WebAssembly runs) agree with
// the portable ones bit for bit at every width, on every signal (full-scale squares make states
// fall 2^32 behind and be dropped), with empty states, fill and both ends of the step table, with
// and without the jump code and a cap on the states of one step index.
void ExpectNarrowLanesMatchThePortableLoops(const search_detail::SearchKernels& kernels) {
    using namespace search_detail;
    const auto lanes = std::make_unique<NarrowLanes>();
    const auto expected = std::make_unique<NarrowLanes>();
    std::mt19937 rng(7);
    for (int kind = 0; kind < 4; ++kind) {
        const auto pcm = Signal(kind, 1, 8);
        for (unsigned variant = 0; variant < 4 * kMaxNarrowWidth; ++variant) {
            const unsigned width = variant % kMaxNarrowWidth + 1;
            NarrowLanes& l = *lanes;
            l.jumps = variant / kMaxNarrowWidth % 2;
            l.lookahead = (variant + kind) % 4;
            l.perIndex = variant / (2 * kMaxNarrowWidth) * (1 + width / 8);
            for (unsigned lane = 0; lane < kLanes; ++lane) {
                for (unsigned k = 0; k < 65; ++k)
                    l.x[k][lane] = pcm[lane * 65 + k];
                l.counted[lane] = static_cast<std::int32_t>(rng() % 65);
                l.plainStart[lane] = static_cast<std::int32_t>(rng() % 89);
                for (unsigned j = 0; j < kMaxNarrowWidth; ++j)
                    l.start[j][lane] =
                        j == 0 || rng() % 3 ? static_cast<std::int32_t>(rng() % 89) : -1;
            }
            l.start[0][0] = 0;
            l.start[0][1] = 88;
            for (unsigned i = 0; i < 89; ++i)
                l.mergeShift[i] = static_cast<std::int32_t>(i / 12);
            *expected = l;
            reference::Narrow(*expected, width);
            kernels.narrow(l, width);
            SCOPED_TRACE("signal " + std::to_string(kind) + ", width " + std::to_string(width) +
                         ", jumps " + std::to_string(l.jumps) + ", per index " +
                         std::to_string(l.perIndex) + ", look ahead " +
                         std::to_string(l.lookahead));
            ASSERT_EQ(0, std::memcmp(l.cost, expected->cost, sizeof l.cost));
            ASSERT_EQ(0, std::memcmp(l.plainError, expected->plainError, sizeof l.plainError));
            ASSERT_EQ(0, std::memcmp(l.plainEnd, expected->plainEnd, sizeof l.plainEnd));
            for (unsigned k = 0; k < 64; ++k) {
                for (unsigned j = 0; j < width; ++j)
                    ASSERT_EQ(
                        0, std::memcmp(l.trace[k][j], expected->trace[k][j], sizeof l.trace[k][j]))
                        << "sample " << k << ", state " << j;
            }
        }
    }
}

TEST(XBoxADPCMSearch, AVX2NarrowLanesMatchThePortableLoops) {
    if (!ADPCMKernelSupported(ADPCMKernel::AVX2))
        GTEST_SKIP() << "no AVX2 on this processor";
    ExpectNarrowLanesMatchThePortableLoops(search_detail::AVX2SearchKernels());
}

TEST(XBoxADPCMSearch, VectorNarrowLanesMatchThePortableLoops) {
    ExpectNarrowLanesMatchThePortableLoops(search_detail::VectorSearchKernels());
}

}  // namespace
}  // namespace imabox
