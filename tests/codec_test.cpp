// SPDX-License-Identifier: MIT
// The sample coder, runs of codes and the block framing.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <vector>

#include "codec/xbox_adpcm.hpp"
#include "test_util.hpp"

namespace imabox {
namespace {

struct SampleCase {
    std::int16_t predictor;
    std::uint8_t index;
    std::int16_t sample;
    unsigned code;
    std::int16_t predictorAfter;
    std::uint8_t indexAfter;
};

TEST(ADPCMEncodeSample, CodesAndStateUpdates) {
    const SampleCase cases[] = {
        {0, 0, 7, 3, 4, 0},     // equal to a threshold does not set its bit
        {0, 0, 8, 4, 7, 2},     //
        {0, 0, -8, 12, -7, 2},  // sign bit
        {0, 0, 12, 7, 11, 8},   //
        {0, 0, 0, 0, 0, 0},     // index cannot fall below 0
        {1000, 40, -1000, 15, 369, 48},
        {32760, 88, 32767, 0, 32767, 87},     // predictor clamps at the top
        {-32760, 88, -32768, 8, -32768, 87},  // and at the bottom
    };
    for (const SampleCase& c : cases) {
        ADPCMChannelState state{c.predictor, c.index};
        EXPECT_EQ(ADPCMEncodeSample(state, c.sample), c.code) << c.predictor << " " << c.sample;
        EXPECT_EQ(state.predictor, c.predictorAfter) << c.predictor << " " << c.sample;
        EXPECT_EQ(state.index, c.indexAfter) << c.predictor << " " << c.sample;
    }
}

TEST(ADPCMDecodeSample, SamplesAndStateUpdates) {
    ADPCMChannelState state{0, 0};
    EXPECT_EQ(ADPCMDecodeSample(state, 4), 7);
    EXPECT_EQ(state.index, 2);
    state = {0, 0};
    EXPECT_EQ(ADPCMDecodeSample(state, 3), 4);
    EXPECT_EQ(state.index, 0);
    state = {32767, 88};
    EXPECT_EQ(ADPCMDecodeSample(state, 7), 32767);
    EXPECT_EQ(state.index, 88);
    state = {-32768, 88};
    EXPECT_EQ(ADPCMDecodeSample(state, 15), -32768);
    // Only the low four bits of the code count.
    ADPCMChannelState a{100, 30}, b{100, 30};
    EXPECT_EQ(ADPCMDecodeSample(a, 0xF5), ADPCMDecodeSample(b, 0x5));
    EXPECT_EQ(a.index, b.index);
}

TEST(ADPCMSampleCoder, EncoderPredictorIsWhatTheDecoderReconstructs) {
    const auto samples = test::RandomSamples(20000, 1);
    ADPCMChannelState enc{0, 0}, dec{0, 0};
    for (std::int16_t s : samples) {
        const unsigned code = ADPCMEncodeSample(enc, s);
        ASSERT_LT(code, 16u);
        ASSERT_EQ(ADPCMDecodeSample(dec, code), enc.predictor);
        ASSERT_EQ(dec.index, enc.index);
        ASSERT_LE(enc.index, 88);
    }
}

TEST(ADPCMRun, EightSampleRunPacksAndUnpacks) {
    const std::int16_t samples[8] = {0, 100, 200, 300, 400, 500, 600, 700};
    std::array<std::uint8_t, 4> bytes{0xAA, 0xAA, 0xAA, 0xAA};
    ADPCMChannelState state{0, 0};
    EXPECT_EQ(ADPCMEncodeRun(state, bytes, 0, samples), 32u);
    EXPECT_EQ(bytes, (std::array<std::uint8_t, 4>{0x70, 0x77, 0x67, 0x11}));
    EXPECT_EQ(state.predictor, 691);
    EXPECT_EQ(state.index, 36);

    std::array<std::int16_t, 8> decoded{};
    ADPCMChannelState dec{0, 0};
    EXPECT_EQ(ADPCMDecodeRun(dec, decoded, bytes, 0, 32), 16u);
    EXPECT_EQ(decoded, (std::array<std::int16_t, 8>{0, 11, 41, 104, 240, 494, 597, 691}));
    EXPECT_EQ(dec.predictor, 691);
    EXPECT_EQ(dec.index, 36);
}

TEST(ADPCMRun, OddRunsAndHighNibbleStarts) {
    const std::int16_t samples[3] = {100, 200, 300};
    // An odd run stores its last code as a whole byte: the high nibble is 0.
    std::array<std::uint8_t, 2> odd{0xFF, 0xFF};
    ADPCMChannelState state{0, 0};
    EXPECT_EQ(ADPCMEncodeRun(state, odd, 0, samples), 12u);
    EXPECT_EQ(odd[1] & 0xF0, 0);

    // Starting at a high nibble keeps the low nibble of the first byte.
    std::array<std::uint8_t, 3> shifted{0x0B, 0xFF, 0xFF};
    ADPCMChannelState s2{0, 0};
    EXPECT_EQ(ADPCMEncodeRun(s2, shifted, 4, samples), 12u);
    EXPECT_EQ(shifted[0] & 0x0F, 0x0B);
    EXPECT_EQ(shifted[0] >> 4, odd[0] & 0x0F);
    EXPECT_EQ(shifted[1], static_cast<std::uint8_t>((odd[0] >> 4) | (odd[1] << 4)));

    // Decoding from the same offsets gives the same samples.
    std::array<std::int16_t, 3> a{}, b{};
    ADPCMChannelState da{0, 0}, db{0, 0};
    EXPECT_EQ(ADPCMDecodeRun(da, a, odd, 0, 12), 6u);
    EXPECT_EQ(ADPCMDecodeRun(db, b, shifted, 4, 15), 6u);  // bit count rounds down to 3 codes
    EXPECT_EQ(a, b);
    EXPECT_EQ(da.predictor, state.predictor);
}

TEST(ADPCMRun, StopsAtTheEndOfItsBuffers) {
    const auto samples = test::RandomSamples(10, 2);
    std::array<std::uint8_t, 3> out{};
    ADPCMChannelState state;
    EXPECT_EQ(ADPCMEncodeRun(state, out, 0, samples), 24u);  // 6 nibbles fit
    std::array<std::int16_t, 4> pcm{};
    ADPCMChannelState dec;
    EXPECT_EQ(ADPCMDecodeRun(dec, pcm, out, 0, 64), 8u);  // 4 samples fit
}

// Encodes then decodes C channels, checking the block layout along the way.
std::vector<std::int16_t> RoundTrip(unsigned channels, const std::vector<std::int16_t>& pcm,
                                    std::vector<std::uint8_t>* adpcmOut = nullptr) {
    const std::uint64_t frames = pcm.size() / channels;
    const std::uint64_t blocks = XBoxADPCMBlockCount(frames);
    std::vector<std::uint8_t> adpcm(blocks * 36 * channels, 0xEE);
    XBoxADPCMEncodeBlocks(pcm, adpcm, channels, frames);
    std::vector<std::int16_t> decoded(blocks * 65 * channels, 0x5555);
    XBoxADPCMDecodeBlocks(adpcm, decoded, channels, frames);
    if (adpcmOut)
        *adpcmOut = adpcm;
    return decoded;
}

TEST(XBoxADPCMBlocks, RoundTripKeepsFrameZeroOfEveryBlockForOneToEightChannels) {
    for (unsigned channels = 1; channels <= 8; ++channels) {
        const unsigned blocks = 7;
        const auto pcm = test::RandomSamples(blocks * 65 * channels, channels);
        std::vector<std::uint8_t> adpcm;
        const auto decoded = RoundTrip(channels, pcm, &adpcm);
        ASSERT_EQ(adpcm.size(), blocks * 36u * channels);
        for (unsigned b = 0; b < blocks; ++b) {
            for (unsigned c = 0; c < channels; ++c) {
                const std::size_t i = (b * 65) * channels + c;
                EXPECT_EQ(decoded[i], pcm[i]) << "channels " << channels << " block " << b;
                const std::uint8_t* header = &adpcm[b * 36 * channels + c * 4];
                EXPECT_EQ(static_cast<std::int16_t>(header[0] | header[1] << 8), pcm[i]);
                EXPECT_LE(header[2], 88);
                EXPECT_EQ(header[3], 0);
            }
        }
    }
}

TEST(XBoxADPCMBlocks, DecodingMatchesTheSampleDecoderCodeByCode) {
    // Stereo: headers L, R; then eight groups of (L word, R word).
    const unsigned channels = 2;
    const auto pcm = test::RandomSamples(3 * 65 * channels, 7);
    std::vector<std::uint8_t> adpcm;
    const auto decoded = RoundTrip(channels, pcm, &adpcm);
    for (unsigned b = 0; b < 3; ++b) {
        const std::uint8_t* block = &adpcm[b * 72];
        for (unsigned c = 0; c < channels; ++c) {
            ADPCMChannelState state{static_cast<std::int16_t>(block[4 * c] | block[4 * c + 1] << 8),
                                    block[4 * c + 2]};
            for (unsigned n = 0; n < 64; ++n) {
                const std::uint8_t byte = block[8 + (n / 8) * 8 + c * 4 + (n % 8) / 2];
                const unsigned code = (n % 2) ? byte >> 4 : byte & 0x0F;
                const std::int16_t expected = ADPCMDecodeSample(state, code);
                ASSERT_EQ(decoded[(b * 65 + 1 + n) * channels + c], expected);
            }
        }
    }
}

TEST(XBoxADPCMBlocks, StepIndexCarriesFromBlockToBlock) {
    // A loud signal drives the index up; the second block's header starts where the first ended.
    std::vector<std::int16_t> pcm(130);
    for (std::size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = (i % 2) ? 30000 : -30000;
    std::vector<std::uint8_t> adpcm(72);
    XBoxADPCMEncodeBlocks(pcm, adpcm, 1, 130);
    EXPECT_EQ(adpcm[2], 0);
    ADPCMChannelState state{pcm[0], 0};
    for (int i = 1; i < 65; ++i)
        ADPCMEncodeSample(state, pcm[i]);
    EXPECT_GT(state.index, 0);
    EXPECT_EQ(adpcm[36 + 2], state.index);
}

TEST(XBoxADPCMBlocks, HeaderStepIndexAbove88IsClamped) {
    const auto pcm = test::RandomSamples(65, 3);
    std::vector<std::uint8_t> adpcm(36);
    XBoxADPCMEncodeBlocks(pcm, adpcm, 1, 65);
    auto high = adpcm, top = adpcm;
    high[2] = 0xFF;
    top[2] = 88;
    std::vector<std::int16_t> a(65), b(65);
    XBoxADPCMDecodeBlocks(high, a, 1, 65);
    XBoxADPCMDecodeBlocks(top, b, 1, 65);
    EXPECT_EQ(a, b);
}

TEST(XBoxADPCMBlocks, NothingIsTouchedWithoutFramesOrRoom) {
    std::vector<std::int16_t> pcm(65, 1);
    std::vector<std::uint8_t> adpcm(36, 0xEE);
    XBoxADPCMEncodeBlocks(pcm, adpcm, 1, 0);
    EXPECT_EQ(adpcm, std::vector<std::uint8_t>(36, 0xEE));
    XBoxADPCMDecodeBlocks(adpcm, pcm, 1, 0);
    EXPECT_EQ(pcm, std::vector<std::int16_t>(65, 1));
    // Spans too short for a whole block: nothing is written.
    std::vector<std::uint8_t> tooShort(35, 0xEE);
    XBoxADPCMEncodeBlocks(pcm, tooShort, 1, 65);
    EXPECT_EQ(tooShort, std::vector<std::uint8_t>(35, 0xEE));
    XBoxADPCMEncodeBlocks(pcm, adpcm, 0, 65);
    EXPECT_EQ(adpcm, std::vector<std::uint8_t>(36, 0xEE));
}

TEST(XBoxADPCMBlocks, BlockCount) {
    EXPECT_EQ(XBoxADPCMBlockCount(0), 0u);
    EXPECT_EQ(XBoxADPCMBlockCount(1), 1u);
    EXPECT_EQ(XBoxADPCMBlockCount(65), 1u);
    EXPECT_EQ(XBoxADPCMBlockCount(66), 2u);
    EXPECT_EQ(XBoxADPCMBlockCount(130), 2u);
}

}  // namespace
}  // namespace imabox
