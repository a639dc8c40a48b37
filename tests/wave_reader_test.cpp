// SPDX-License-Identifier: MIT
// The general WAVE reader: layouts real programs write, every sample format, and bad input.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "codec/ima_adpcm_blocks.hpp"
#include "codec/xbox_adpcm.hpp"
#include "imabox/convert.hpp"
#include "support/wave_audio.hpp"
#include "wave_bytes.hpp"

namespace imabox {
namespace {

using test::Bytes;
using test::Chunk;
using test::FmtBody;
using test::Riff;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

const std::vector<std::int16_t> kStereo = {0, -1, 32767, -32768, 1000, -1000, 256, -256};

WaveAudio MustRead(const Bytes& file) {
    Expected<WaveAudio> audio = ReadWave(file);
    EXPECT_TRUE(audio.ok()) << (audio ? "" : audio.error().message);
    return audio ? std::move(audio).value() : WaveAudio{};
}

std::string ReadError(const Bytes& file) {
    const Expected<WaveAudio> audio = ReadWave(file);
    EXPECT_FALSE(audio.ok());
    if (audio)
        return "";
    EXPECT_EQ(audio.error().message.find('\n'), std::string::npos) << "one line";
    return audio.error().message;
}

TEST(WaveReader, FindsChunksInAnyOrderAndSkipsUnknownOnesWithTheirPadByte) {
    const Bytes fmt = Chunk("fmt ", FmtBody(1, 2, 44100, 4, 16));
    const Bytes data = Chunk("data", test::Samples16(kStereo));
    const Bytes list = Chunk("LIST", Bytes{'I', 'N', 'F', 'O', 'I', 'S', 'F', 'T', 3, 0, 0, 0, 'a',
                                           'b', 0});  // odd size: padded
    const Bytes junk = Chunk("JUNK", Bytes(27, 0xEE));
    const Bytes id3 = Chunk("id3 ", Bytes{1, 2, 3});
    for (const auto& chunks : std::vector<std::vector<Bytes>>{{fmt, data},
                                                              {list, fmt, junk, data},
                                                              {data, list, fmt},
                                                              {junk, data, id3, fmt, list}}) {
        const WaveAudio audio = MustRead(Riff(chunks));
        EXPECT_EQ(audio.source, SourceFormat::PCM16);
        EXPECT_EQ(audio.channels, 2);
        EXPECT_EQ(audio.sampleRate, 44100u);
        EXPECT_THAT(audio.samples, ElementsAreArray(kStereo));
        EXPECT_FALSE(audio.dithered);
    }
}

TEST(WaveReader, AcceptsFmtChunksOf16And18And40Bytes) {
    const Bytes data = Chunk("data", test::Samples16(kStereo));
    const Bytes fmt18 = FmtBody(1, 2, 8000, 4, 16, Bytes{0, 0});
    const Bytes fmt40 = test::ExtensibleFmtBody(1, 2, 8000, 16);
    ASSERT_EQ(fmt18.size(), 18u);
    ASSERT_EQ(fmt40.size(), 40u);
    for (const Bytes& fmt : {FmtBody(1, 2, 8000, 4, 16), fmt18, fmt40})
        EXPECT_THAT(MustRead(Riff({Chunk("fmt ", fmt), data})).samples, ElementsAreArray(kStereo));
}

// Writes kStereo widened to each integer and float format; all of them read back exactly.
TEST(WaveReader, WidensEveryFormatExactlyWhenNoPrecisionIsLost) {
    Bytes u8, s24, s32, f32, f64;
    std::vector<std::int16_t> expected8;
    for (const std::int16_t s : kStereo) {
        const std::int32_t v = s;
        u8.push_back(static_cast<std::uint8_t>((v >> 8) + 128));
        expected8.push_back(static_cast<std::int16_t>((v >> 8) * 256));
        for (int i = 0; i < 3; ++i)
            s24.push_back(static_cast<std::uint8_t>((v << 8) >> (8 * i)));
        test::Put32(s32, static_cast<std::uint32_t>(v << 16));
        test::Put32(f32, std::bit_cast<std::uint32_t>(static_cast<float>(v / 32768.0)));
        const auto d = std::bit_cast<std::uint64_t>(v / 32768.0);
        test::Put32(f64, static_cast<std::uint32_t>(d));
        test::Put32(f64, static_cast<std::uint32_t>(d >> 32));
    }
    struct Case {
        Bytes fmt, data;
        SourceFormat source;
        std::vector<std::int16_t> expected;
    };
    const std::vector<Case> cases = {
        {FmtBody(1, 2, 8000, 2, 8), u8, SourceFormat::PCM8, expected8},
        {FmtBody(1, 2, 8000, 6, 24), s24, SourceFormat::PCM24, kStereo},
        {test::ExtensibleFmtBody(1, 2, 8000, 24), s24, SourceFormat::PCM24, kStereo},
        {FmtBody(1, 2, 8000, 8, 32), s32, SourceFormat::PCM32, kStereo},
        {FmtBody(3, 2, 8000, 8, 32), f32, SourceFormat::Float32, kStereo},
        {test::ExtensibleFmtBody(3, 2, 8000, 32), f32, SourceFormat::Float32, kStereo},
        {FmtBody(3, 2, 8000, 16, 64), f64, SourceFormat::Float64, kStereo},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(DescribeSourceFormat(c.source));
        const WaveAudio audio = MustRead(Riff({Chunk("fmt ", c.fmt), Chunk("data", c.data)}));
        EXPECT_EQ(audio.source, c.source);
        EXPECT_THAT(audio.samples, ElementsAreArray(c.expected));
        EXPECT_FALSE(audio.dithered);
        EXPECT_EQ(audio.clippedSamples, 0u);
    }
}

TEST(WaveReader, DithersFinePrecisionWithoutBiasAndCountsClipping) {
    // 4000 float samples a third of the way between two 16-bit values, then out-of-range ones.
    Bytes f32;
    const int n = 4000;
    for (int i = 0; i < n; ++i)
        test::Put32(f32, std::bit_cast<std::uint32_t>(static_cast<float>(100.333 / 32768.0)));
    for (const float x : {1.5f, -2.0f, 1.0f, std::numeric_limits<float>::quiet_NaN(),
                          std::numeric_limits<float>::infinity()})
        test::Put32(f32, std::bit_cast<std::uint32_t>(x));
    const WaveAudio audio =
        MustRead(Riff({Chunk("fmt ", FmtBody(3, 1, 8000, 4, 32)), Chunk("data", f32)}));
    ASSERT_EQ(audio.samples.size(), std::size_t(n + 5));
    EXPECT_TRUE(audio.dithered);
    double sum = 0;
    bool varied = false;
    for (int i = 0; i < n; ++i) {
        EXPECT_GE(audio.samples[i], 99);
        EXPECT_LE(audio.samples[i], 101);
        varied |= audio.samples[i] != audio.samples[0];
        sum += audio.samples[i];
    }
    EXPECT_TRUE(varied) << "TPDF dither changes the rounding from sample to sample";
    EXPECT_NEAR(sum / n, 100.333, 0.05) << "dither keeps the mean";
    EXPECT_EQ(audio.samples[n], 32767);
    EXPECT_EQ(audio.samples[n + 1], -32768);
    EXPECT_GE(audio.samples[n + 2], 32766);  // 1.0 is 32768: one past full scale
    EXPECT_EQ(audio.samples[n + 3], 0);      // NaN
    EXPECT_EQ(audio.samples[n + 4], 32767);  // infinity
    EXPECT_EQ(audio.clippedSamples, 5u);

    // The same input gives the same output: the dither is seeded.
    const WaveAudio again =
        MustRead(Riff({Chunk("fmt ", FmtBody(3, 1, 8000, 4, 32)), Chunk("data", f32)}));
    EXPECT_EQ(again.samples, audio.samples);
}

TEST(WaveReader, Dithers24BitSourcesThatUseTheirLowByte) {
    Bytes s24;
    for (int i = 0; i < 1000; ++i) {
        const std::int32_t v = (i * 37) % 5000 * 256 + 128;  // halfway between 16-bit values
        for (int b = 0; b < 3; ++b)
            s24.push_back(static_cast<std::uint8_t>(v >> (8 * b)));
    }
    const WaveAudio audio =
        MustRead(Riff({Chunk("fmt ", FmtBody(1, 1, 8000, 3, 24)), Chunk("data", s24)}));
    EXPECT_TRUE(audio.dithered);
    for (int i = 0; i < 1000; ++i) {
        const int exact = (i * 37) % 5000;
        EXPECT_TRUE(audio.samples[i] == exact || audio.samples[i] == exact + 1) << i;
    }
}

TEST(WaveReader, DecodesXboxAndImaAdpcmAsTheBlockDecoderDoes) {
    std::vector<std::int16_t> pcm(3 * 65 * 2);
    for (std::size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = static_cast<std::int16_t>(std::lround(9000 * std::sin(0.05 * double(i))));
    Bytes adpcm(3 * 72);
    XBoxADPCMEncodeBlocks(pcm, adpcm, 2, 195);
    std::vector<std::int16_t> expected(pcm.size());
    XBoxADPCMDecodeBlocks(adpcm, expected, 2, 195);

    const Bytes xbox =
        Riff({Chunk("fmt ", FmtBody(0x69, 2, 22050, 72, 4, {2, 0, 64, 0})), Chunk("data", adpcm)});
    const WaveAudio fromXbox = MustRead(xbox);
    EXPECT_EQ(fromXbox.source, SourceFormat::XBoxADPCM);
    EXPECT_EQ(fromXbox.samples, expected);

    const Bytes ima = Riff({Chunk("fmt ", FmtBody(0x11, 2, 22050, 72, 4, {2, 0, 65, 0})),
                            Chunk("fact", {195 - 20, 0, 0, 0}), Chunk("data", adpcm)});
    const WaveAudio fromIma = MustRead(ima);
    EXPECT_EQ(fromIma.source, SourceFormat::IMAADPCM);
    ASSERT_EQ(fromIma.frames(), 175u) << "the fact chunk trims the last block's fill";
    EXPECT_TRUE(std::equal(fromIma.samples.begin(), fromIma.samples.end(), expected.begin()));

    // A trailing partial block is reported, not decoded.
    Bytes partial = adpcm;
    partial.resize(partial.size() + 10, 0x77);
    const WaveAudio withTail = MustRead(Riff(
        {Chunk("fmt ", FmtBody(0x69, 2, 22050, 72, 4, {2, 0, 64, 0})), Chunk("data", partial)}));
    EXPECT_EQ(withTail.samples, expected);
    EXPECT_EQ(withTail.ignoredBytes, 10u);
}

TEST(WaveReader, DecodesImaAdpcmBlocksOfOtherSizes) {
    // Mono, 68-byte blocks: a header and 64 code bytes, 129 frames.
    Bytes block = {0x10, 0x27, 30, 0};  // sample 10000, index 30
    for (int i = 0; i < 64; ++i)
        block.push_back(static_cast<std::uint8_t>(i * 7 + 3));
    ASSERT_TRUE(IMAADPCMBlockAlignValid(1, 68));
    ASSERT_EQ(IMAADPCMFramesPerBlock(1, 68), 129u);
    std::vector<std::int16_t> expected = {10000};
    ADPCMChannelState state{10000, 30};
    for (int i = 0; i < 64; ++i) {
        expected.push_back(ADPCMDecodeSample(state, block[4 + i] & 0x0F));
        expected.push_back(ADPCMDecodeSample(state, block[4 + i] >> 4));
    }
    const WaveAudio audio = MustRead(
        Riff({Chunk("fmt ", FmtBody(0x11, 1, 8000, 68, 4, {2, 0, 129, 0})), Chunk("data", block)}));
    EXPECT_THAT(audio.samples, ElementsAreArray(expected));
}

TEST(WaveReader, StreamingDataSizeReadsToTheEndOfTheFile) {
    Bytes file =
        Riff({Chunk("fmt ", FmtBody(1, 2, 8000, 4, 16)), Chunk("data", test::Samples16(kStereo))});
    std::memset(&file[file.size() - 16 - 4], 0xFF, 4);  // data size 0xFFFFFFFF
    EXPECT_THAT(MustRead(file).samples, ElementsAreArray(kStereo));
    // Sizes left at 0 by a writer that could not seek back: the data runs to the end too.
    std::memset(&file[4], 0, 4);
    std::memset(&file[file.size() - 16 - 4], 0, 4);
    EXPECT_THAT(MustRead(file).samples, ElementsAreArray(kStereo));
    // With a true RIFF size, a data chunk of 0 bytes is empty and what follows is not audio.
    const Bytes empty = Riff({Chunk("fmt ", FmtBody(1, 2, 8000, 4, 16)), Chunk("data", {})});
    EXPECT_TRUE(MustRead(empty).samples.empty());
}

TEST(WaveReader, RejectsWhatItCannotReadWithOneLineNamingIt) {
    const Bytes fmt = Chunk("fmt ", FmtBody(1, 1, 8000, 2, 16));
    const Bytes data = Chunk("data", {1, 0, 2, 0});
    EXPECT_THAT(ReadError({}), HasSubstr("not a WAVE file"));
    EXPECT_THAT(ReadError(Bytes{'R', 'I', 'F', 'X', 0, 0, 0, 0, 'W', 'A', 'V', 'E'}),
                HasSubstr("no RIFF header"));
    EXPECT_THAT(ReadError(Bytes{'R', 'I', 'F', 'F', 4, 0, 0, 0, 'A', 'V', 'I', ' '}),
                HasSubstr("\"AVI \""));
    EXPECT_THAT(ReadError(Riff({data})), HasSubstr("no fmt chunk"));
    EXPECT_THAT(ReadError(Riff({fmt})), HasSubstr("no data chunk"));
    EXPECT_THAT(ReadError(Riff({fmt, fmt, data})), HasSubstr("more than one fmt"));
    EXPECT_THAT(ReadError(Riff({Chunk("fmt ", Bytes(14, 1)), data})), HasSubstr("too short"));
    EXPECT_THAT(ReadError(Riff({Chunk("fmt ", FmtBody(2, 1, 8000, 256, 4)), data})),
                HasSubstr("Microsoft ADPCM"));
    EXPECT_THAT(ReadError(Riff({Chunk("fmt ", FmtBody(0x1234, 1, 8000, 2, 16)), data})),
                HasSubstr("format tag 0x1234"));
    EXPECT_THAT(ReadError(Riff({Chunk("fmt ", test::ExtensibleFmtBody(6, 1, 8000, 8)), data})),
                HasSubstr("A-law"));
    Bytes badGuid = test::ExtensibleFmtBody(1, 1, 8000, 16);
    badGuid.back() ^= 1;
    EXPECT_THAT(ReadError(Riff({Chunk("fmt ", badGuid), data})), HasSubstr("GUID"));
    Bytes shortExtensible = test::ExtensibleFmtBody(1, 1, 8000, 16);
    shortExtensible.resize(30);
    EXPECT_THAT(ReadError(Riff({Chunk("fmt ", shortExtensible), data})), HasSubstr("EXTENSIBLE"));
    EXPECT_THAT(ReadError(Riff({Chunk("fmt ", FmtBody(1, 0, 8000, 2, 16)), data})),
                HasSubstr("0 channels"));
    EXPECT_THAT(ReadError(Riff({Chunk("fmt ", FmtBody(1, 1, 0, 2, 16)), data})), HasSubstr("0 Hz"));
    EXPECT_THAT(ReadError(Riff({Chunk("fmt ", FmtBody(1, 1, 8000, 2, 12)), data})),
                HasSubstr("12 bits"));
    EXPECT_THAT(ReadError(Riff({Chunk("fmt ", FmtBody(1, 2, 8000, 2, 16)), data})),
                HasSubstr("block align 2"));
    EXPECT_THAT(ReadError(Riff({Chunk("fmt ", FmtBody(3, 1, 8000, 2, 16)), data})),
                HasSubstr("float"));
    EXPECT_THAT(ReadError(Riff({Chunk("fmt ", FmtBody(0x11, 1, 8000, 36, 3)), data})),
                HasSubstr("IMA ADPCM with 3 bits"));
    EXPECT_THAT(ReadError(Riff({Chunk("fmt ", FmtBody(0x11, 2, 8000, 36, 4)), data})),
                HasSubstr("block align 36 for 2 channels"));
    EXPECT_THAT(ReadError(Riff({fmt, data, data})), HasSubstr("more than one data"));
}

// Cuts valid files of each kind at every length: each cut either fails with a message or, when
// only padding after the audio is lost, still reads the full audio.
TEST(WaveReader, TruncatedFilesFailCleanly) {
    std::vector<std::int16_t> pcm(130);
    for (std::size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = static_cast<std::int16_t>(i * 101);
    Bytes adpcm(72);
    XBoxADPCMEncodeBlocks(pcm, adpcm, 1, 130);
    const std::vector<Bytes> files = {
        Riff({Chunk("LIST", Bytes(9, 'x')), Chunk("fmt ", FmtBody(1, 1, 8000, 2, 16)),
              Chunk("data", test::Samples16(pcm))}),
        Riff({Chunk("fmt ", test::ExtensibleFmtBody(3, 1, 8000, 32)), Chunk("data", Bytes(40, 0))}),
        Riff({Chunk("fmt ", FmtBody(0x69, 1, 8000, 36, 4, {2, 0, 64, 0})), Chunk("data", adpcm)}),
        Riff({Chunk("fmt ", FmtBody(0x11, 1, 8000, 36, 4, {2, 0, 65, 0})),
              Chunk("fact", {130, 0, 0, 0}), Chunk("data", adpcm)}),
    };
    for (const Bytes& full : files) {
        const WaveAudio whole = MustRead(full);
        ASSERT_GT(whole.samples.size(), 0u);
        for (std::size_t n = 0; n < full.size(); ++n) {
            const Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
            const Expected<WaveAudio> audio = ReadWave(cut);
            if (audio) {
                ADD_FAILURE() << "a file cut to " << n << " of " << full.size()
                              << " bytes was read without an error";
            } else {
                EXPECT_FALSE(audio.error().message.empty());
            }
        }
    }
}

}  // namespace
}  // namespace imabox
