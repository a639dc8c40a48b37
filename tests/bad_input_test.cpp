// SPDX-License-Identifier: MIT
// A catalogue of damaged and hostile inputs through the error-returning API. Every one must end in
// either a well-formed output file or one of the defined error messages: never a crash, a hang or
// an out-of-bounds access (the sanitizer build runs this test too).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "codec/xbox_adpcm.hpp"
#include "exact/exact_messages.hpp"
#include "exact/strict_header.hpp"
#include "imabox/convert.hpp"
#include "io/errors.hpp"
#include "test_util.hpp"
#include "wave/wave_header.hpp"

namespace imabox {
namespace {

using test::Bytes;

constexpr ExactMessage kRiff = ExactMessage::RiffHeader;
constexpr ExactMessage kWave = ExactMessage::WaveHeader;
constexpr ExactMessage kFmt = ExactMessage::FmtHeader;
constexpr ExactMessage kFormat = ExactMessage::FormatTag;
constexpr ExactMessage kBits = ExactMessage::BitsPerSample;
constexpr ExactMessage kData = ExactMessage::DataHeader;
constexpr ExactMessage kDataOrFact = ExactMessage::DataOrFactHeader;
constexpr ExactMessage kChannels = ExactMessage::ChannelCount;

struct Outcome {
    std::string console;
    Expected<MemoryOutput<ConvertReport>> result = Error{};
    // The failure's message; nothing for a success.
    std::optional<ExactMessage> error() const {
        return result ? std::nullopt : ExactMessageOf(result.error());
    }
    std::string message() const { return result ? "(no error)" : result.error().message; }
};

Outcome Convert(const Bytes& input) {
    Outcome o;
    o.result = ConvertMemory(input, {[&](std::string_view t) { o.console += t; }});
    return o;
}

// A failure the converter defines, with the table's text.
bool IsDefined(const Error& e) {
    const std::optional<ExactMessage> message = ExactMessageOf(e);
    for (const ExactMessage known :
         {kRiff, kWave, kFmt, kFormat, kBits, kData, kDataOrFact, kChannels,
          ExactMessage::OutputTooLarge, ExactMessage::InputRead, ExactMessage::OutOfMemory}) {
        if (message == known)
            return true;
    }
    return false;
}

// Empty when the outcome is sound: a defined failure that claims no success, or a well-formed
// file of the other encoding whose header agrees with its size.
std::string Unsound(const Outcome& o) {
    if (!o.result) {
        if (!IsDefined(o.result.error()))
            return "undefined failure: " + o.result.error().message;
        if (o.console.find("DONE!") != std::string::npos)
            return "DONE! printed for a failure";
        return "";
    }
    const Bytes& file = o.result->file;
    MemoryByteSource source(file);
    const auto header = ReadStrictHeader(source, nullptr);
    if (!header)
        return "output headers unreadable: " + header.error().message;
    const bool adpcm = o.result->report.output == Encoding::XBoxADPCM;
    const std::size_t headerBytes = adpcm ? kXBoxADPCMHeaderBytes : kPCMHeaderBytes;
    if (header->formatTag != (adpcm ? kFormatXBoxADPCM : kFormatPCM))
        return "output has the wrong format tag";
    if (header->channels != o.result->report.channels || header->channels == 0)
        return "output channel count";
    if (file.size() != headerBytes + header->dataSize || GetLE32(&file[4]) != file.size() - 8)
        return "output sizes disagree with the file";
    const std::size_t unit = adpcm ? std::size_t{kBlockBytesPerChannel} * header->channels
                                   : std::size_t{kFramesPerBlock} * 2 * header->channels;
    if (header->dataSize % unit != 0)
        return "output payload is not whole blocks";
    const std::string_view done =
        adpcm ? "Converting to Xbox ADPCM - DONE!\n" : "Converting to PCM - DONE!\n";
    if (!o.console.ends_with(done))
        return "no DONE! after a success";
    return "";
}

// A stereo PCM file of 150 frames (44 + 600 bytes) and its Xbox ADPCM conversion (48 + 216).
Bytes PCMFile() {
    return test::MakePCMWave(2, 8000, test::RandomSamples(300, 41));
}
Bytes XBoxADPCMFile() {
    return Convert(PCMFile()).result->file;
}

// `file` cut to `length` bytes, as the converter must see it: what is missing reads as zero.
Bytes ZeroBeyond(Bytes file, std::size_t length) {
    std::fill(file.begin() + static_cast<std::ptrdiff_t>(length), file.end(), 0);
    return file;
}

TEST(BadInput, EveryPrefixOfAPCMFile) {
    const Bytes full = PCMFile();
    ASSERT_EQ(full.size(), 644u);
    for (std::size_t length = 0; length <= full.size(); ++length) {
        SCOPED_TRACE(length);
        const Bytes prefix(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length));
        const Outcome o = Convert(prefix);
        EXPECT_EQ(Unsound(o), "");
        // The format tag is complete from 21 bytes on (its high byte is 0), the bit depth from 35.
        const std::optional<ExactMessage> expected = length < 4    ? kRiff
                                                     : length < 12 ? kWave
                                                     : length < 16 ? kFmt
                                                     : length < 21 ? kFormat
                                                     : length < 35 ? kBits
                                                     : length < 40 ? kDataOrFact
                                                                   : std::optional<ExactMessage>();
        EXPECT_EQ(o.error(), expected);
        if (length >= 40) {
            // A cut data size or payload converts like the whole file with zeros past the cut.
            const Outcome same = Convert(ZeroBeyond(full, length));
            ASSERT_TRUE(o.result) << o.message();
            ASSERT_TRUE(same.result);
            EXPECT_EQ(o.result->file, same.result->file);
        }
        if (length >= 21 && length < 35) {
            EXPECT_EQ(o.console, "Converting PCM -> Xbox ADPCM\n");
        }
    }
}

TEST(BadInput, EveryPrefixOfAnXBoxADPCMFile) {
    const Bytes full = XBoxADPCMFile();
    ASSERT_EQ(full.size(), 48u + 216);
    for (std::size_t length = 0; length <= full.size(); ++length) {
        SCOPED_TRACE(length);
        const Bytes prefix(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length));
        const Outcome o = Convert(prefix);
        EXPECT_EQ(Unsound(o), "");
        const std::optional<ExactMessage> expected = length < 4    ? kRiff
                                                     : length < 12 ? kWave
                                                     : length < 16 ? kFmt
                                                     : length < 21 ? kFormat
                                                     : length < 44 ? kDataOrFact
                                                                   : std::optional<ExactMessage>();
        EXPECT_EQ(o.error(), expected);
        if (length >= 44) {
            // A missing tail decodes from zero bytes.
            const Outcome same = Convert(ZeroBeyond(full, length));
            ASSERT_TRUE(o.result) << o.message();
            ASSERT_TRUE(same.result);
            EXPECT_EQ(o.result->file, same.result->file);
        }
    }
}

// Flips every bit of the header one at a time. Ids, format tag, bit depth and a channel count of 0
// fail with their message; fields the reader does not consult change nothing; the sample rate
// and the data size change the output as they should.
void FlipEveryHeaderBit(const Bytes& file, bool adpcm) {
    const std::size_t headerBytes = adpcm ? kXBoxADPCMHeaderBytes : kPCMHeaderBytes;
    const std::size_t dataHeader = headerBytes - 8;
    const Outcome base = Convert(file);
    ASSERT_TRUE(base.result);
    const Bytes basePayload(base.result->file.begin() + (adpcm ? 44 : 48), base.result->file.end());
    for (std::size_t at = 0; at < headerBytes; ++at) {
        // The data size's top byte would declare gigabytes of silence; see DeclaredDataSize.
        if (at == headerBytes - 1)
            continue;
        for (unsigned bit = 0; bit < 8; ++bit) {
            SCOPED_TRACE(testing::Message() << "byte " << at << " bit " << bit);
            Bytes flipped = file;
            flipped[at] ^= static_cast<std::uint8_t>(1u << bit);
            const Outcome o = Convert(flipped);
            EXPECT_EQ(Unsound(o), "");
            if (at < 4) {
                EXPECT_EQ(o.error(), kRiff);
            } else if (at >= 8 && at < 12) {
                EXPECT_EQ(o.error(), kWave);
            } else if (at >= 12 && at < 16) {
                EXPECT_EQ(o.error(), kFmt);
            } else if (at == 20 || at == 21) {
                EXPECT_EQ(o.error(), kFormat);
            } else if ((at == 34 || at == 35) && !adpcm) {
                EXPECT_EQ(o.error(), kBits);
            } else if (at >= dataHeader && at < dataHeader + 4) {
                EXPECT_EQ(o.error(), kDataOrFact);
            } else if (at == 22 || at == 23) {
                const unsigned channels = GetLE16(&flipped[22]);
                if (channels == 0) {
                    EXPECT_EQ(o.error(), kChannels);
                } else {
                    ASSERT_TRUE(o.result) << o.message();
                    EXPECT_EQ(o.result->report.channels, channels);
                }
            } else if (at >= 24 && at < 28) {
                ASSERT_TRUE(o.result) << o.message();
                EXPECT_EQ(o.result->report.sampleRate, GetLE32(&flipped[24]));
                EXPECT_TRUE(std::equal(
                    basePayload.begin(), basePayload.end(),
                    o.result->file.end() - static_cast<std::ptrdiff_t>(basePayload.size())));
            } else if (at >= dataHeader + 4) {
                ASSERT_TRUE(o.result) << o.message();
                const std::uint32_t declared = GetLE32(&flipped[dataHeader + 4]);
                EXPECT_EQ(o.result->report.blocks,
                          adpcm ? declared / (36u * 2) : XBoxADPCMBlockCount(declared / (2u * 2)));
            } else {
                // riffSize, fmt chunkSize, byteRate, blockAlign, the extension and the bit depth
                // of Xbox ADPCM are not consulted.
                ASSERT_TRUE(o.result) << o.message();
                EXPECT_EQ(o.result->file, base.result->file);
            }
        }
    }
}

TEST(BadInput, SingleBitFlipsInEveryPCMHeaderByte) {
    FlipEveryHeaderBit(PCMFile(), false);
}

TEST(BadInput, SingleBitFlipsInEveryXBoxADPCMHeaderByte) {
    FlipEveryHeaderBit(XBoxADPCMFile(), true);
}

Bytes Fact(std::uint32_t size, const Bytes& content) {
    Bytes chunk{'f', 'a', 'c', 't'};
    test::Append32(chunk, size);
    for (const std::uint8_t b : content)
        chunk.push_back(b);
    return chunk;
}

TEST(BadInput, FactChunkSizes) {
    const auto samples = test::RandomSamples(100, 5);
    const Bytes plain = test::MakePCMWave(1, 8000, samples);
    const Bytes payload(plain.begin() + 44, plain.end());
    const auto withFact = [&](const Bytes& chunks) {
        return Convert(
            test::MakeWave({}, chunks, static_cast<std::uint32_t>(payload.size()), payload));
    };
    const Outcome expected = Convert(plain);
    ASSERT_TRUE(expected.result);

    // Zero, odd and even sizes are skipped exactly, without a pad byte.
    for (const Bytes& fact : {Fact(0, {}), Fact(1, {7}), Fact(3, {1, 2, 3}), Fact(4, {1, 2, 3, 4}),
                              Fact(255, Bytes(255, 9))}) {
        SCOPED_TRACE(fact.size());
        const Outcome o = withFact(fact);
        ASSERT_TRUE(o.result) << o.message();
        EXPECT_EQ(o.result->file, expected.result->file);
    }
    // Sizes that do not land on the data chunk: huge, one short, one long (a pad byte after an
    // odd size), and a second fact chunk.
    for (const Bytes& chunks : {Fact(0xFFFFFFFFu, {1, 2, 3, 4}), Fact(0x80000000u, {}),
                                Fact(5, {1, 2, 3, 4}), Fact(3, {1, 2, 3, 0}), Fact(3, {1, 2}), [] {
                                    Bytes two = Fact(4, {1, 2, 3, 4});
                                    const Bytes second = Fact(4, {5, 6, 7, 8});
                                    two.insert(two.end(), second.begin(), second.end());
                                    return two;
                                }()}) {
        SCOPED_TRACE(chunks.size());
        const Outcome o = withFact(chunks);
        EXPECT_EQ(o.error(), kData);
        EXPECT_EQ(Unsound(o), "");
    }
}

TEST(BadInput, HugeFactChunkInAFile) {
    // The file reader seeks past the end rather than reading; what follows reads as zeros.
    test::TempDir dir;
    Bytes payload(200, 1);
    test::WriteFileBytes(dir / "in.wav", test::MakeWave({}, Fact(0xFFFFFFF0u, {}), 200, payload));
    const auto r = ConvertFile(dir / "in.wav", dir / "out.wav");
    ASSERT_FALSE(r);
    EXPECT_EQ(ExactMessageOf(r.error()), kData);
    EXPECT_FALSE(std::filesystem::exists(dir / "out.wav"));
}

TEST(BadInput, DeclaredDataSizeLargerAndSmallerThanTheFile) {
    for (const bool adpcm : {false, true}) {
        SCOPED_TRACE(adpcm ? "Xbox ADPCM" : "PCM");
        const Bytes full = adpcm ? XBoxADPCMFile() : PCMFile();
        const std::size_t sizeAt = adpcm ? 44 : 40;
        const std::size_t payload = full.size() - sizeAt - 4;
        for (const std::uint32_t declared :
             {0u, 1u, 3u, 71u, 72u, 73u, 143u, static_cast<std::uint32_t>(payload - 1),
              static_cast<std::uint32_t>(payload + 1), static_cast<std::uint32_t>(payload + 999),
              16u << 20}) {
            SCOPED_TRACE(declared);
            Bytes file = full;
            PutLE32(&file[sizeAt], declared);
            const Outcome o = Convert(file);
            ASSERT_TRUE(o.result) << o.message();
            EXPECT_EQ(Unsound(o), "");
            // The same as a file holding exactly `declared` bytes, zeros where it has none.
            Bytes exact(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                         file.size(), sizeAt + 4 + declared)));
            exact.resize(sizeAt + 4 + declared, 0);
            const Outcome same = Convert(exact);
            ASSERT_TRUE(same.result);
            EXPECT_EQ(o.result->file, same.result->file);
            const std::uint64_t blocks =
                adpcm ? declared / 72u : XBoxADPCMBlockCount(declared / 4u);
            EXPECT_EQ(o.result->report.blocks, blocks);
        }
    }
    // Declared Xbox ADPCM that would decode past what a WAVE file can hold.
    Bytes huge = XBoxADPCMFile();
    PutLE32(&huge[44], 0xFFFFFFFFu);
    const Outcome o = Convert(huge);
    EXPECT_EQ(o.error(), ExactMessage::OutputTooLarge);
    EXPECT_EQ(Unsound(o), "");
}

TEST(BadInput, ChannelCounts) {
    for (const unsigned channels : {0u, 1u, 2u, 255u, 65535u}) {
        SCOPED_TRACE(channels);
        const auto count = static_cast<std::uint16_t>(channels);
        // 70 frames of PCM, and two blocks' worth of Xbox ADPCM bytes.
        const std::size_t perChannel = channels == 0 ? 1 : channels;
        const auto samples = test::RandomSamples(70 * perChannel, channels);
        test::FmtFields fmt;
        fmt.channels = count;
        Bytes payload;
        for (const std::int16_t s : samples)
            test::Append16(payload, static_cast<std::uint16_t>(s));
        const Outcome pcm =
            Convert(test::MakeWave(fmt, {}, static_cast<std::uint32_t>(payload.size()), payload));
        const Bytes blocks(72 * perChannel, 0x37);
        const Outcome adpcm = Convert(test::MakeXBoxADPCMWave(
            count, 8000, blocks, static_cast<std::uint32_t>(blocks.size())));
        EXPECT_EQ(Unsound(pcm), "");
        EXPECT_EQ(Unsound(adpcm), "");
        if (channels == 0) {
            EXPECT_EQ(pcm.error(), kChannels);
            EXPECT_EQ(adpcm.error(), kChannels);
            continue;
        }
        ASSERT_TRUE(pcm.result) << pcm.message();
        ASSERT_TRUE(adpcm.result) << adpcm.message();
        EXPECT_EQ(pcm.result->report.blocks, 2u);
        EXPECT_EQ(pcm.result->file.size(), 48u + 72 * channels);
        EXPECT_EQ(adpcm.result->report.blocks, 2u);
        EXPECT_EQ(adpcm.result->file.size(), 44u + 260 * channels);
        EXPECT_EQ(GetLE16(&adpcm.result->file[22]), channels);
        // Back to PCM: frame 0 of both blocks is exact in every channel.
        const Outcome back = Convert(pcm.result->file);
        ASSERT_TRUE(back.result);
        const auto decoded = test::PCMSamples(back.result->file);
        ASSERT_EQ(decoded.size(), 130u * channels);
        for (unsigned c = 0; c < channels; ++c) {
            ASSERT_EQ(decoded[c], samples[c]);
            ASSERT_EQ(decoded[65 * channels + c], samples[65 * channels + c]);
        }
    }
}

TEST(BadInput, ConverterFuzzCorpus) {
    // The fuzz seeds and every input a fuzzer once broke the converter with, in every build.
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(IMABOX_FUZZ_CORPUS_DIR)) {
        SCOPED_TRACE(entry.path().filename().string());
        const Outcome o = Convert(test::ReadFileBytes(entry.path()));
        EXPECT_EQ(Unsound(o), "");
        if (o.result) {
            const Outcome back = Convert(o.result->file);
            EXPECT_TRUE(back.result) << back.message();
            EXPECT_EQ(Unsound(back), "");
        }
        ++files;
    }
    EXPECT_GE(files, 20u);
}

}  // namespace
}  // namespace imabox
