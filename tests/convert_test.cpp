// SPDX-License-Identifier: MIT
// Header reading, header writing and whole conversions through the C++ API.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "codec/xbox_adpcm.hpp"
#include "exact/exact_messages.hpp"
#include "imabox/convert.hpp"
#include "io/errors.hpp"
#include "test_util.hpp"
#include "wave/wave_header.hpp"

namespace imabox {
namespace {

using test::Bytes;

struct Outcome {
    std::string console;
    Expected<MemoryOutput<ConvertReport>> result = Error{};
};

Outcome Convert(const Bytes& input) {
    Outcome o;
    o.result = ConvertMemory(input, {[&](std::string_view t) { o.console += t; }});
    return o;
}

std::string ErrorOf(const Bytes& input) {
    const Outcome o = Convert(input);
    return o.result ? "(no error)" : o.result.error().message;
}

std::uint32_t U32At(const Bytes& b, std::size_t at) {
    return GetLE32(&b[at]);
}
std::uint16_t U16At(const Bytes& b, std::size_t at) {
    return GetLE16(&b[at]);
}

TEST(WaveHeaders, XBoxADPCMByteRates) {
    const struct {
        std::uint16_t channels;
        std::uint32_t rate, byteRate;
    } cases[] = {{1, 8000, 4500},
                 {1, 22050, 12403},
                 {1, 44100, 24806},
                 {2, 44100, 49612},
                 {2, 48000, 54000}};
    for (const auto& c : cases) {
        WaveFmtChunk fmt;
        BuildWaveFmtChunk(fmt, kFormatXBoxADPCM, c.channels, c.rate);
        EXPECT_EQ(fmt.byteRate, c.byteRate) << c.channels << "ch " << c.rate;
        EXPECT_EQ(fmt.blockAlign, 36 * c.channels);
        EXPECT_EQ(fmt.bitsPerSample, 4);
        EXPECT_EQ(fmt.chunkSize, 20u);
    }
}

TEST(WaveHeaders, OutputLayoutsByteForByte) {
    const auto pcm = BuildPCMWaveHeader(2, 44100, 1000);
    const Bytes expectedPCM = {'R', 'I', 'F',  'F',  0x0C, 0x04, 0,    0,    'W',  'A', 'V',
                               'E', 'f', 'm',  't',  ' ',  16,   0,    0,    0,    1,   0,
                               2,   0,   0x44, 0xAC, 0,    0,    0x10, 0xB1, 0x02, 0,   4,
                               0,   16,  0,    'd',  'a',  't',  'a',  0xE8, 0x03, 0,   0};
    EXPECT_EQ(Bytes(pcm.begin(), pcm.end()), expectedPCM);

    const auto adpcm = BuildXBoxADPCMWaveHeader(1, 8000, 72);
    const Bytes expectedADPCM = {'R',  'I',  'F', 'F', 112,  0,    0,   0,   'W',  'A', 'V', 'E',
                                 'f',  'm',  't', ' ', 20,   0,    0,   0,   0x69, 0,   1,   0,
                                 0x40, 0x1F, 0,   0,   0x94, 0x11, 0,   0,   36,   0,   4,   0,
                                 2,    0,    64,  0,   'd',  'a',  't', 'a', 72,   0,   0,   0};
    EXPECT_EQ(Bytes(adpcm.begin(), adpcm.end()), expectedADPCM);
}

TEST(WaveHeaders, EveryHeaderFaultHasItsMessage) {
    const Bytes valid = test::MakePCMWave(1, 8000, {1, 2, 3});
    EXPECT_EQ(ErrorOf({}), "Incorrect RIFF header!");
    EXPECT_EQ(ErrorOf(Bytes(valid.begin(), valid.begin() + 12)), "Incorrect fmt header!");
    Bytes notWave = valid;
    notWave[8] = 'X';
    EXPECT_EQ(ErrorOf(notWave), "Incorrect WAVE header!");
    Bytes notRiff = valid;
    notRiff[0] = 'R' + 1;
    EXPECT_EQ(ErrorOf(notRiff), "Incorrect RIFF header!");
    Bytes notFmt = valid;
    notFmt[12] = 'F';
    EXPECT_EQ(ErrorOf(notFmt), "Incorrect fmt header!");

    for (std::uint16_t tag : {0, 2, 0x11, 3, 0xFFFE}) {
        test::FmtFields fmt;
        fmt.formatTag = tag;
        EXPECT_EQ(ErrorOf(test::MakeWave(fmt, {}, 0, {})), "Incorrect format!") << tag;
    }

    // An 18-byte fmt chunk: its cbSize is read as the start of the next chunk header.
    test::FmtFields fmt18;
    fmt18.chunkSize = 18;
    fmt18.extra = {0, 0};
    EXPECT_EQ(ErrorOf(test::MakeWave(fmt18, {}, 0, {})), "Incorrect data or fact header!");

    Bytes list = {'L', 'I', 'S', 'T', 4, 0, 0, 0, 'I', 'N', 'F', 'O'};
    EXPECT_EQ(ErrorOf(test::MakeWave({}, list, 0, {})), "Incorrect data or fact header!");

    const Bytes factThenList = {'f', 'a', 'c', 't', 4, 0, 0, 0, 1,   0,   0,   0,
                                'L', 'I', 'S', 'T', 4, 0, 0, 0, 'I', 'N', 'F', 'O'};
    EXPECT_EQ(ErrorOf(test::MakeWave({}, factThenList, 0, {})), "Incorrect data header!");

    // A truncated data header fails an id check; a data header without its size reads size 0.
    EXPECT_EQ(ErrorOf(Bytes(valid.begin(), valid.begin() + 38)), "Incorrect data or fact header!");
    EXPECT_EQ(ErrorOf(Bytes(valid.begin(), valid.begin() + 40)), "(no error)");
}

TEST(WaveHeaders, DirectionMessageComesBeforeTheBitDepthCheck) {
    test::FmtFields fmt;
    fmt.bitsPerSample = 8;
    const Outcome o = Convert(test::MakeWave(fmt, {}, 4, {1, 2, 3, 4}));
    ASSERT_FALSE(o.result);
    EXPECT_EQ(ExactMessageOf(o.result.error()), ExactMessage::BitsPerSample);
    EXPECT_EQ(o.console, "Converting PCM -> Xbox ADPCM\n");
}

TEST(WaveHeaders, OneFactChunkIsSkippedWithoutPadByte) {
    const std::vector<std::int16_t> samples(65, 1234);
    Bytes payload;
    for (auto s : samples)
        test::Append16(payload, static_cast<std::uint16_t>(s));
    for (std::uint32_t factSize : {0u, 3u, 4u}) {
        Bytes fact = {'f', 'a', 'c', 't'};
        test::Append32(fact, factSize);
        fact.resize(fact.size() + factSize, 0x77);
        const Outcome o = Convert(test::MakeWave({}, fact, 130, payload));
        ASSERT_TRUE(o.result) << factSize << ": " << o.result.error().message;
        EXPECT_EQ(GetLE16(&o.result->file[48]), 1234);
    }
}

TEST(WaveHeaders, XBoxADPCMInputIsAcceptedWhateverItsFmtDetails) {
    test::FmtFields fmt;
    fmt.formatTag = 0x0069;
    fmt.bitsPerSample = 13;
    fmt.chunkSize = 99;
    fmt.extra = {0xDE, 0xAD, 0xBE, 0xEF};
    const Outcome o = Convert(test::MakeWave(fmt, {}, 36, Bytes(36, 0)));
    ASSERT_TRUE(o.result) << o.result.error().message;
    EXPECT_EQ(o.result->file.size(), 44u + 130);
}

TEST(ConvertMemory, MonoPCM100Frames) {
    const Outcome o = Convert(test::MakePCMWave(1, 8000, test::RandomSamples(100, 4)));
    ASSERT_TRUE(o.result) << o.result.error().message;
    EXPECT_EQ(o.console,
              "Converting PCM -> Xbox ADPCM\n"
              "Number of samples per channel: 100\n"
              "Allocating extra size: 30\n"
              "Converting to Xbox ADPCM - DONE!\n");
    const Bytes& out = o.result->file;
    EXPECT_EQ(out.size(), 120u);
    EXPECT_EQ(U32At(out, 4), 112u);
    EXPECT_EQ(U32At(out, 44), 72u);
    EXPECT_EQ(o.result->report.blocks, 2u);
    EXPECT_EQ(o.result->report.paddingFrames, 30u);
}

TEST(ConvertMemory, StereoPCM65FramesNeedsNoPadding) {
    const auto samples = test::RandomSamples(130, 5);
    const Outcome o = Convert(test::MakePCMWave(2, 44100, samples));
    ASSERT_TRUE(o.result);
    EXPECT_EQ(o.console,
              "Converting PCM -> Xbox ADPCM\n"
              "Number of samples per channel: 65\n"
              "Converting to Xbox ADPCM - DONE!\n");
    const Bytes& out = o.result->file;
    ASSERT_EQ(out.size(), 48u + 72);
    EXPECT_EQ(U16At(out, 22), 2);
    EXPECT_EQ(U32At(out, 24), 44100u);
    EXPECT_EQ(static_cast<std::int16_t>(U16At(out, 48)), samples[0]);  // left header
    EXPECT_EQ(static_cast<std::int16_t>(U16At(out, 52)), samples[1]);  // right header
}

TEST(ConvertMemory, EmptyPCMGivesHeaderOnly) {
    const Outcome o = Convert(test::MakePCMWave(1, 8000, {}));
    ASSERT_TRUE(o.result);
    EXPECT_EQ(o.console,
              "Converting PCM -> Xbox ADPCM\n"
              "Number of samples per channel: 0\n"
              "Converting to Xbox ADPCM - DONE!\n");
    EXPECT_EQ(o.result->file.size(), 48u);
    EXPECT_EQ(U32At(o.result->file, 4), 40u);
    EXPECT_EQ(U32At(o.result->file, 44), 0u);
}

TEST(ConvertMemory, MonoXBoxADPCMTwoBlocks) {
    Bytes payload(72, 0x11);
    payload[2] = payload[38] = 10;
    const Outcome o = Convert(test::MakeXBoxADPCMWave(1, 22050, payload, 72));
    ASSERT_TRUE(o.result);
    EXPECT_EQ(o.console,
              "Converting Xbox ADPCM -> PCM\n"
              "Number of samples per channel: 36\n"
              "Converting to PCM - DONE!\n");
    const Bytes& out = o.result->file;
    EXPECT_EQ(out.size(), 304u);
    EXPECT_EQ(U32At(out, 4), 296u);
    EXPECT_EQ(U32At(out, 40), 260u);
    EXPECT_EQ(U32At(out, 24), 22050u);
}

TEST(ConvertMemory, XBoxADPCMBytesAfterTheLastWholeBlockAreIgnored) {
    Bytes payload(100, 0x37);
    const Outcome whole =
        Convert(test::MakeXBoxADPCMWave(1, 8000, Bytes(payload.begin(), payload.begin() + 72), 72));
    const Outcome extra = Convert(test::MakeXBoxADPCMWave(1, 8000, payload, 100));
    ASSERT_TRUE(whole.result && extra.result);
    EXPECT_EQ(extra.result->file.size(), 304u);
    EXPECT_EQ(test::PCMSamples(extra.result->file), test::PCMSamples(whole.result->file));
}

TEST(ConvertMemory, RoundTripRoundsUpToWholeBlocksAndKeepsFrameZero) {
    for (std::uint16_t channels : {1, 2, 3, 6}) {
        const std::size_t frames = 1000;
        const auto samples = test::RandomSamples(frames * channels, 10 + channels);
        const Outcome enc = Convert(test::MakePCMWave(channels, 8000, samples));
        ASSERT_TRUE(enc.result);
        const Outcome dec = Convert(enc.result->file);
        ASSERT_TRUE(dec.result);
        const auto decoded = test::PCMSamples(dec.result->file);
        ASSERT_EQ(decoded.size(), 1040u * channels);  // 16 blocks of 65 frames
        for (std::size_t f = 0; f < frames; f += 65) {
            for (unsigned c = 0; c < channels; ++c) {
                EXPECT_EQ(decoded[f * channels + c], samples[f * channels + c]);
            }
        }
        for (std::size_t i = frames * channels; i < decoded.size(); ++i) {
            // The padding is silence, so its decoded error stays small.
            EXPECT_LT(std::abs(decoded[i]), 20000);
        }
    }
}

TEST(ConvertMemory, DeclaredDataTheFileDoesNotHoldIsSilence) {
    // PCM: 130 frames declared, 10 present.
    const auto samples = test::RandomSamples(10, 6);
    Bytes payload;
    for (auto s : samples)
        test::Append16(payload, static_cast<std::uint16_t>(s));
    const Outcome o = Convert(test::MakeWave({}, {}, 260, payload));
    ASSERT_TRUE(o.result);
    EXPECT_EQ(o.result->file.size(), 48u + 72);
    EXPECT_EQ(static_cast<std::int16_t>(U16At(o.result->file, 48 + 36)), 0);  // block 2 frame 0

    // Xbox ADPCM: 72 bytes declared, one block present; the second decodes from zero bytes.
    Bytes block(36, 0x99);
    block[2] = 20;
    const Outcome d = Convert(test::MakeXBoxADPCMWave(1, 8000, block, 72));
    ASSERT_TRUE(d.result);
    const auto pcm = test::PCMSamples(d.result->file);
    ASSERT_EQ(pcm.size(), 130u);
    std::vector<std::int16_t> zeroBlock(65);
    Bytes zeros(36, 0);
    XBoxADPCMDecodeBlocks(zeros, zeroBlock, 1, 65);
    EXPECT_EQ(std::vector<std::int16_t>(pcm.begin() + 65, pcm.end()), zeroBlock);
}

TEST(ConvertMemory, PartialTrailingFrameIsIgnoredWithoutOverrun) {
    // 65 whole stereo frames plus 3 stray bytes: no padding, and the stray bytes have no room.
    auto samples = test::RandomSamples(130, 8);
    Bytes payload;
    for (auto s : samples)
        test::Append16(payload, static_cast<std::uint16_t>(s));
    payload.insert(payload.end(), {1, 2, 3});
    test::FmtFields fmt;
    fmt.channels = 2;
    const Outcome o =
        Convert(test::MakeWave(fmt, {}, static_cast<std::uint32_t>(payload.size()), payload));
    ASSERT_TRUE(o.result);
    EXPECT_EQ(o.result->file.size(), 48u + 72);
}

TEST(ConvertMemory, SoundBehaviourOnHostileCounts) {
    test::FmtFields zero;
    zero.channels = 0;
    const Outcome z = Convert(test::MakeWave(zero, {}, 4, {1, 2, 3, 4}));
    ASSERT_FALSE(z.result);
    EXPECT_EQ(ExactMessageOf(z.result.error()), ExactMessage::ChannelCount);
    EXPECT_EQ(z.console, "Converting PCM -> Xbox ADPCM\n");

    // 4 GiB of declared Xbox ADPCM would decode to more than a WAVE file can hold.
    const Outcome big = Convert(test::MakeXBoxADPCMWave(1, 8000, Bytes(36, 0), 0xFFFFFFFFu));
    ASSERT_FALSE(big.result);
    EXPECT_EQ(big.result.error().kind, ErrorKind::OutputTooLarge);
    EXPECT_EQ(big.console,
              "Converting Xbox ADPCM -> PCM\n"
              "Number of samples per channel: 2147483647\n");
}

class ConvertFileTest : public ::testing::Test {
  protected:
    test::TempDir dir;
    std::string console;
    ConvertOptions Options() {
        return {[this](std::string_view t) { console += t; }};
    }
};

TEST_F(ConvertFileTest, ConvertsBothWaysOnDisk) {
    const auto samples = test::RandomSamples(650, 9);
    test::WriteFileBytes(dir / "in.wav", test::MakePCMWave(1, 16000, samples));
    auto enc = ConvertFile(dir / "in.wav", dir / "x.wav", Options());
    ASSERT_TRUE(enc) << enc.error().message;
    const Bytes adpcm = test::ReadFileBytes(dir / "x.wav");
    EXPECT_EQ(adpcm, Convert(test::MakePCMWave(1, 16000, samples)).result->file);
    auto dec = ConvertFile(dir / "x.wav", dir / "y.wav", Options());
    ASSERT_TRUE(dec);
    EXPECT_EQ(test::ReadFileBytes(dir / "y.wav").size(), 44u + 1300);
    EXPECT_EQ(console,
              "Converting PCM -> Xbox ADPCM\n"
              "Number of samples per channel: 650\n"
              "Converting to Xbox ADPCM - DONE!\n"
              "Converting Xbox ADPCM -> PCM\n"
              "Number of samples per channel: 180\n"
              "Converting to PCM - DONE!\n");
}

TEST_F(ConvertFileTest, InputMayBeTheOutput) {
    test::WriteFileBytes(dir / "a.wav", test::MakePCMWave(2, 8000, test::RandomSamples(260, 1)));
    ASSERT_TRUE(ConvertFile(dir / "a.wav", dir / "a.wav", Options()));
    EXPECT_EQ(test::ReadFileBytes(dir / "a.wav").size(), 48u + 2 * 72);
}

TEST_F(ConvertFileTest, OpenFailures) {
    auto missing = ConvertFile(dir / "missing.wav", dir / "out.wav", Options());
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind, ErrorKind::InputOpen);
    EXPECT_EQ(console, "");
    EXPECT_FALSE(std::filesystem::exists(dir / "out.wav"));

    test::WriteFileBytes(dir / "in.wav", test::MakePCMWave(1, 8000, {1, 2}));
    auto noFolder = ConvertFile(dir / "in.wav", dir / "no" / "out.wav", Options());
    ASSERT_FALSE(noFolder);
    EXPECT_EQ(noFolder.error().kind, ErrorKind::OutputCreate);
    EXPECT_EQ(console.find("DONE"), std::string::npos);

    auto emptyOut = ConvertFile(dir / "in.wav", "", Options());
    ASSERT_FALSE(emptyOut);
    EXPECT_EQ(emptyOut.error().kind, ErrorKind::OutputCreate);
}

TEST_F(ConvertFileTest, WriteFailureIsReportedAndNotDone) {
    if (!std::filesystem::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    test::WriteFileBytes(dir / "in.wav", test::MakePCMWave(1, 8000, test::RandomSamples(6500, 2)));
    auto full = ConvertFile(dir / "in.wav", "/dev/full", Options());
    ASSERT_FALSE(full);
    EXPECT_EQ(full.error().kind, ErrorKind::OutputWrite);
    EXPECT_EQ(console.find("DONE"), std::string::npos);
}

TEST_F(ConvertFileTest, InfoReadsTheHeadersAndReportsWhatIsPresent) {
    test::WriteFileBytes(dir / "in.wav", test::MakePCMWave(2, 8000, test::RandomSamples(200, 3)));
    auto pcm = ReadWaveInfo(dir / "in.wav");
    ASSERT_TRUE(pcm);
    EXPECT_EQ(pcm->format, SourceFormat::PCM16);
    EXPECT_EQ(pcm->frames, 100u);
    EXPECT_EQ(pcm->dataBytes, 400u);
    ASSERT_TRUE(ConvertFile(dir / "in.wav", dir / "x.wav", {}));
    auto adpcm = ReadWaveInfo(dir / "x.wav");
    ASSERT_TRUE(adpcm);
    EXPECT_EQ(adpcm->format, SourceFormat::XBoxADPCM);
    EXPECT_EQ(adpcm->blocks, 2u);
    EXPECT_EQ(adpcm->frames, 130u);
    EXPECT_DOUBLE_EQ(adpcm->durationSeconds, 130.0 / 8000);
    test::WriteFileBytes(dir / "bad.wav", {'R', 'I', 'F', 'F'});
    auto bad = ReadWaveInfo(dir / "bad.wav");
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().kind, ErrorKind::NotWave);

    // A data chunk that declares more than the file holds: what is there, and what was declared.
    Bytes cut = test::ReadFileBytes(dir / "x.wav");
    cut.resize(cut.size() - 40);
    test::WriteFileBytes(dir / "cut.wav", cut);
    auto shortData = ReadWaveInfo(dir / "cut.wav");
    ASSERT_TRUE(shortData) << shortData.error().message;
    EXPECT_EQ(shortData->declaredDataBytes, 144u);  // two channels, two blocks
    EXPECT_EQ(shortData->dataBytes, 104u);
    EXPECT_EQ(shortData->blocks, 1u);
    EXPECT_EQ(shortData->frames, 65u);

    // The same read from memory.
    auto held = ReadWaveInfo(std::span<const std::uint8_t>(cut));
    ASSERT_TRUE(held) << held.error().message;
    EXPECT_EQ(held->declaredDataBytes, 144u);
    EXPECT_EQ(held->dataBytes, 104u);
    EXPECT_EQ(held->frames, 65u);
    const Bytes notWave = {'R', 'I', 'F', 'F'};
    auto badHeld = ReadWaveInfo(std::span<const std::uint8_t>(notWave));
    ASSERT_FALSE(badHeld);
    EXPECT_EQ(badHeld.error().kind, ErrorKind::NotWave);
}

// The converter's messages are part of its behaviour: XBoxAudio prints them after "ERROR: ".
// Each comes with the public kind callers compare.
TEST(ConvertMessages, EachKindPrintsItsFixedText) {
    const std::tuple<ExactMessage, ErrorKind, const char*> texts[] = {
        {ExactMessage::InputOpen, ErrorKind::InputOpen, "Could not open input file!"},
        {ExactMessage::RiffHeader, ErrorKind::NotWave, "Incorrect RIFF header!"},
        {ExactMessage::WaveHeader, ErrorKind::NotWave, "Incorrect WAVE header!"},
        {ExactMessage::FmtHeader, ErrorKind::MissingChunk, "Incorrect fmt header!"},
        {ExactMessage::FormatTag, ErrorKind::Unsupported, "Incorrect format!"},
        {ExactMessage::BitsPerSample, ErrorKind::Unsupported, "Only 16 bps is supported!"},
        {ExactMessage::DataOrFactHeader, ErrorKind::MissingChunk, "Incorrect data or fact header!"},
        {ExactMessage::DataHeader, ErrorKind::MissingChunk, "Incorrect data header!"},
        {ExactMessage::ChannelCount, ErrorKind::InvalidFmt, "Incorrect channel count!"},
        {ExactMessage::OutputTooLarge, ErrorKind::OutputTooLarge,
         "Output too large for a WAVE file!"},
        {ExactMessage::InputRead, ErrorKind::InputRead, "Could not read input file!"},
        {ExactMessage::OutputCreate, ErrorKind::OutputCreate, "Could not create output file!"},
        {ExactMessage::OutputWrite, ErrorKind::OutputWrite, "Could not write output file!"},
        {ExactMessage::OutOfMemory, ErrorKind::OutOfMemory, "Out of memory!"},
        {ExactMessage::Internal, ErrorKind::Internal, "Unexpected internal error!"},
    };
    for (const auto& [message, kind, text] : texts) {
        EXPECT_EQ(ExactText(message), text);
        const Error error = ExactError(message);
        EXPECT_EQ(error.kind, kind);
        EXPECT_EQ(error.message, text);
        EXPECT_EQ(ExactMessageOf(error), message);
    }
    // A general error of the same kind is none of these.
    EXPECT_FALSE(ExactMessageOf(MakeError(ErrorKind::NotWave, "RIFX")).has_value());
    // The console sees exactly that text.
    Outcome o = Convert(Bytes{'R', 'I', 'F', 'X'});
    ASSERT_FALSE(o.result);
    EXPECT_EQ(o.result.error().message, "Incorrect RIFF header!");
    EXPECT_EQ(o.result.error().kind, ErrorKind::NotWave);
}

}  // namespace
}  // namespace imabox
