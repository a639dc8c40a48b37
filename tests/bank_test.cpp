// SPDX-License-Identifier: MIT
// Wave banks: banks the writer makes read back and survive extract-and-put-back byte for byte;
// banks made by hand from the format's byte tables read right; replacements of other sizes keep
// every other entry; bad banks are refused with one line; a 1 GiB bank is rewritten in pieces.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cmath>
#include <cstring>
#include <filesystem>

#include "bank/wave_bank.hpp"
#include "imabox/bank.hpp"
#include "imabox/convert.hpp"
#include "io/byte_stream.hpp"
#include "test_util.hpp"
#include "wave_bytes.hpp"

namespace imabox {
namespace {

using test::Bytes;
using test::Chunk;
using test::Put16;
using test::Put32;

std::vector<std::int16_t> Tone(std::size_t frames, unsigned channels, double step) {
    std::vector<std::int16_t> samples;
    for (std::size_t i = 0; i < frames; ++i)
        for (unsigned c = 0; c < channels; ++c)
            samples.push_back(static_cast<std::int16_t>(9000 * std::sin(step * i + c)));
    return samples;
}

// A 16-bit PCM WAVE file with `extra` chunks after the data.
Bytes ToneWave(unsigned channels, std::uint32_t rate, std::size_t frames, const Bytes& extra = {}) {
    Bytes file = test::Riff({Chunk("fmt ", test::FmtBody(1, channels, rate, 2 * channels, 16)),
                             Chunk("data", test::Samples16(Tone(frames, channels, 0.05)))});
    file.insert(file.end(), extra.begin(), extra.end());
    const auto riff = static_cast<std::uint32_t>(file.size() - 8);
    std::memcpy(&file[4], &riff, 4);
    return file;
}

Bytes SmplChunk(std::uint32_t start, std::uint32_t end) {
    Bytes body;
    for (int i = 0; i < 7; ++i)
        Put32(body, i == 3 ? 60 : 0);
    Put32(body, 1);  // loops
    Put32(body, 0);  // sampler data
    for (const std::uint32_t v : {0u, 0u, start, end, 0u, 0u})
        Put32(body, v);
    return Chunk("smpl", body);
}

Bytes WsmpChunk(std::uint32_t start, std::uint32_t length) {
    Bytes body;
    Put32(body, 20);  // cbSize
    Put16(body, 60);  // unity note
    Put16(body, 0);   // fine tune
    Put32(body, 0);   // gain
    Put32(body, 0);   // options
    Put32(body, 1);   // loops
    for (const std::uint32_t v : {16u, 0u, start, length})
        Put32(body, v);
    return Chunk("wsmp", body);
}

BankSink Into(Bytes& out) {
    return [&out](std::span<const std::uint8_t> b) {
        out.insert(out.end(), b.begin(), b.end());
        return true;
    };
}

Expected<WaveBank> OpenBytes(const Bytes& bank) {
    return WaveBank::Open(
        [&bank](std::uint64_t at, std::span<std::uint8_t> out) {
            const std::size_t n = std::min<std::size_t>(out.size(), bank.size() - at);
            std::memcpy(out.data(), bank.data() + at, n);
            return n;
        },
        bank.size());
}

Bytes Written(const WaveBank& bank) {
    Bytes out;
    const Expected<bool> ok = bank.Write(Into(out));
    EXPECT_TRUE(ok) << (ok ? "" : ok.error().message);
    return out;
}

// Every entry extracted as a WAVE file and put back in its place.
Bytes PutBack(const Bytes& original) {
    Expected<WaveBank> bank = OpenBytes(original);
    EXPECT_TRUE(bank) << (bank ? "" : bank.error().message);
    if (!bank)
        return {};
    for (std::size_t i = 0; i < bank->info().entries.size(); ++i) {
        Bytes wave;
        EXPECT_TRUE(bank->ExtractWave(i, false, Into(wave)));
        const Expected<BankReplaceReport> r = bank->Replace(i, wave);
        EXPECT_TRUE(r) << (r ? "" : r.error().message);
    }
    return Written(bank.value());
}

class BankFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        test::WriteFileBytes(dir_ / "loop.wav", ToneWave(1, 22050, 20000, SmplChunk(1000, 15999)));
        test::WriteFileBytes(dir_ / "stereo.wav", ToneWave(2, 44100, 9000));
        test::WriteFileBytes(dir_ / "short.wav", ToneWave(1, 11025, 100));
    }
    Bytes Build(unsigned version, bool streaming) {
        Expected<WaveBank> bank =
            WaveBank::Create({.version = version, .streaming = streaming, .name = "unit"});
        EXPECT_TRUE(bank);
        for (const char* name : {"loop.wav", "stereo.wav", "short.wav"}) {
            const auto r = bank->Append(dir_ / name, std::filesystem::path(name).stem().string());
            EXPECT_TRUE(r) << (r ? "" : r.error().message);
        }
        return Written(bank.value());
    }
    test::TempDir dir_;
};

TEST_F(BankFiles, EveryVersionAndLayoutReadsBackAndPutsBackByteForByte) {
    for (const unsigned version : {1u, 2u, 3u}) {
        for (const bool streaming : {false, true}) {
            SCOPED_TRACE("version " + std::to_string(version) + (streaming ? " streaming" : ""));
            const Bytes bytes = Build(version, streaming);
            Expected<WaveBank> bank = OpenBytes(bytes);
            ASSERT_TRUE(bank) << bank.error().message;
            const BankInfo& info = bank->info();
            EXPECT_EQ(info.version, version);
            EXPECT_EQ(info.streaming, version > 1 && streaming);
            EXPECT_EQ(info.name, "unit");
            ASSERT_EQ(info.entries.size(), 3u);
            const BankEntryInfo& loop = info.entries[0];
            EXPECT_EQ(loop.codec, BankCodec::XBoxADPCM);
            EXPECT_EQ(loop.sampleRate, 22050u);
            // 20000 frames in whole blocks of 65, more when the loop was unrolled onto blocks.
            EXPECT_EQ(loop.bytes % 36, 0u);
            EXPECT_GE(loop.bytes, 308u * 36);
            EXPECT_EQ(loop.frames, loop.bytes / 36 * 65);
            ASSERT_TRUE(loop.looped);
            EXPECT_EQ(loop.loopStartBytes % 36, 0u);
            EXPECT_EQ(loop.loopLengthBytes % 36, 0u);
            EXPECT_EQ(loop.loopStart % 65, 0u);
            EXPECT_EQ((loop.loopEnd + 1) % 65, 0u);
            EXPECT_EQ(info.entries[1].channels, 2u);
            EXPECT_EQ(info.entries[1].sampleRate, 44100u);
            EXPECT_FALSE(info.entries[1].looped);
            EXPECT_EQ(info.entries[2].name, version > 1 ? "short" : "");
            EXPECT_EQ(PutBack(bytes), bytes);
        }
    }
}

TEST(BankWriter, CompactBankReadsBackAndPutsBackByteForByte) {
    bank::Bank b = bank::NewBank(3, false, false, "compact");
    b.flags |= bank::kFlagCompact;
    b.entryBytes = bank::kCompactEntryBytes;
    b.compactFormat = bank::EncodeFormatWord({bank::Codec::XBoxADPCM, 1, 22050, 4}, 3);
    for (const std::uint64_t blocks : {3u, 20u, 1u}) {
        bank::Entry e;
        e.formatWord = b.compactFormat;
        e.format = bank::DecodeFormatWord(e.formatWord, 3);
        e.length = blocks * 36;
        b.entries.push_back(e);
    }
    Bytes bytes;
    MemoryByteSink sink(bytes);
    ASSERT_TRUE(bank::WriteBank(
        b,
        [&](std::size_t i, ByteSink& out) -> Expected<bool> {
            const Bytes data(b.entries[i].length, static_cast<std::uint8_t>(i + 1));
            return out.Write(data);
        },
        sink));
    Expected<WaveBank> bank = OpenBytes(bytes);
    ASSERT_TRUE(bank) << bank.error().message;
    EXPECT_TRUE(bank->info().compact);
    ASSERT_EQ(bank->info().entries.size(), 3u);
    EXPECT_EQ(bank->info().entries[1].bytes, 720u);
    EXPECT_EQ(bank->info().entries[2].bytes, 36u);
    Bytes entry;
    ASSERT_TRUE(bank->ReadEntry(1, Into(entry)));
    EXPECT_EQ(entry, Bytes(720, 2));
    EXPECT_EQ(PutBack(bytes), bytes);
    // A compact bank has no loops to set.
    const Expected<BankReplaceReport> looped =
        bank->Replace(0, ToneWave(1, 22050, 1000), {.quality = 0, .threads = 1, .loop = {{0, 64}}});
    ASSERT_FALSE(looped);
    EXPECT_NE(looped.error().message.find("compact"), std::string::npos);
}

// Version 1 from its byte table: 0x50-byte header, 20-byte entries, the rate from bit 4.
Bytes HandMadeV1() {
    Bytes b = {'W', 'B', 'N', 'D'};
    Put32(b, 1);
    Put32(b, 0x1234);  // flags, kept unread
    Put32(b, 2);
    const std::string name = "HANDMADE";
    b.insert(b.end(), name.begin(), name.end());
    b.resize(0x20, 0);
    b.resize(0x50, 0xAB);                    // unknown bytes, kept
    Put32(b, 1 | (1 << 1) | (22050u << 4));  // Xbox ADPCM, mono, 22050 Hz
    Put32(b, 0);
    Put32(b, 144);  // 4 blocks
    Put32(b, 36);   // loop: blocks 1 and 2
    Put32(b, 72);
    Put32(b, 0x800AC442);  // the word the format notes decode as 16-bit mono 44100 Hz
    Put32(b, 144);
    Put32(b, 100);
    Put32(b, 0);
    Put32(b, 0);
    for (int i = 0; i < 244; ++i)
        b.push_back(static_cast<std::uint8_t>(i));
    return b;
}

// Version 3 from its byte tables: segments, 40-byte bank data, names, data at 2048.
Bytes HandMadeV3(std::uint32_t secondOffset = 2048, std::uint32_t secondWord = 0x80158888) {
    Bytes b = {'W', 'B', 'N', 'D'};
    Put32(b, 3);
    for (const std::uint32_t v : {0x28u, 40u, 0x50u, 48u, 0x80u, 128u, 2048u, 4096u})
        Put32(b, v);
    Put32(b, 0x00010001);  // streaming, names
    Put32(b, 2);
    const std::string name = "PSYCHO";
    b.insert(b.end(), name.begin(), name.end());
    b.resize(0x28 + 0x18, 0);
    for (const std::uint32_t v : {24u, 64u, 2048u, 0u})
        Put32(b, v);
    for (const std::uint32_t v : {0x00010000u, 0x000AC445u, 0u, 720u, 360u, 360u})
        Put32(b, v);
    for (const std::uint32_t v : {0u, secondWord, secondOffset, 1000u, 0u, 0u})
        Put32(b, v);
    for (const char* entry : {"first", "second"}) {
        Bytes slot(64, 0);
        std::memcpy(slot.data(), entry, std::strlen(entry));
        b.insert(b.end(), slot.begin(), slot.end());
    }
    b.resize(2048 + 4096, 0);  // the zero fill after each entry included
    for (int i = 0; i < 720; ++i)
        b[2048 + i] = static_cast<std::uint8_t>(i % 251);
    for (int i = 0; i < 1000; ++i)
        b[2048 + secondOffset + i] = static_cast<std::uint8_t>(i % 241);
    return b;
}

TEST(BankReader, ReadsBanksMadeByHandFromTheByteTables) {
    {
        const Bytes v1 = HandMadeV1();
        Expected<WaveBank> bank = OpenBytes(v1);
        ASSERT_TRUE(bank) << bank.error().message;
        const BankInfo& info = bank->info();
        EXPECT_EQ(info.version, 1u);
        EXPECT_EQ(info.name, "HANDMADE");
        ASSERT_EQ(info.entries.size(), 2u);
        EXPECT_EQ(info.entries[0].codec, BankCodec::XBoxADPCM);
        EXPECT_EQ(info.entries[0].sampleRate, 22050u);
        EXPECT_EQ(info.entries[0].frames, 4u * 65);
        EXPECT_EQ(info.entries[0].loopStart, 65u);
        EXPECT_EQ(info.entries[0].loopEnd, 194u);
        EXPECT_EQ(info.entries[1].codec, BankCodec::PCM);
        EXPECT_EQ(info.entries[1].bitsPerSample, 16u);
        EXPECT_EQ(info.entries[1].sampleRate, 44100u);
        EXPECT_EQ(info.entries[1].bytes, 100u);
        Bytes entry;
        ASSERT_TRUE(bank->ReadEntry(1, Into(entry)));
        EXPECT_EQ(entry.front(), 144);
        // Written again unchanged: the same bytes, unknown fields included.
        EXPECT_EQ(Written(bank.value()), v1);
    }
    {
        const Bytes v3 = HandMadeV3();
        Expected<WaveBank> bank = OpenBytes(v3);
        ASSERT_TRUE(bank) << bank.error().message;
        const BankInfo& info = bank->info();
        EXPECT_EQ(info.version, 3u);
        EXPECT_TRUE(info.streaming);
        EXPECT_EQ(info.alignment, 2048u);
        EXPECT_EQ(info.name, "PSYCHO");
        ASSERT_EQ(info.entries.size(), 2u);
        EXPECT_EQ(info.entries[0].name, "first");
        EXPECT_EQ(info.entries[0].codec, BankCodec::XBoxADPCM);
        EXPECT_EQ(info.entries[0].sampleRate, 22050u);
        EXPECT_EQ(info.entries[0].loopStart, 650u);
        EXPECT_EQ(info.entries[0].loopEnd, 1299u);
        EXPECT_EQ(info.entries[1].name, "second");
        EXPECT_EQ(info.entries[1].codec, BankCodec::PCM);
        EXPECT_EQ(info.entries[1].channels, 2u);
        EXPECT_EQ(info.entries[1].sampleRate, 44100u);
        EXPECT_EQ(Written(bank.value()), v3);
        // Its Xbox ADPCM entry as a 0x0069 file holding the same bytes.
        Bytes wave;
        ASSERT_TRUE(bank->ExtractWave(0, false, Into(wave)));
        ASSERT_GE(wave.size(), 48u + 720);
        EXPECT_EQ(wave[20], 0x69);
        EXPECT_TRUE(std::equal(v3.begin() + 2048, v3.begin() + 2048 + 720, wave.begin() + 48));
        Bytes pcm;
        ASSERT_TRUE(bank->ExtractWave(0, true, Into(pcm)));
        EXPECT_EQ(pcm[20], 1);
        EXPECT_GE(pcm.size(), 44u + 20 * 65 * 2);
    }
}

TEST(BankReader, RefusesBadBanksWithOneLine) {
    Bytes truncated = HandMadeV3();
    truncated.resize(3000);
    Bytes countPast = HandMadeV1();
    countPast[12] = 0xE8;  // 1000 entries
    countPast[13] = 0x03;
    Bytes unknown = HandMadeV3();
    unknown[4] = 4;
    Bytes swapped = HandMadeV3();
    std::memcpy(swapped.data(), "DNBW", 4);
    const struct {
        const char* what;
        Bytes bytes;
        const char* says;
    } cases[] = {
        {"truncated", truncated, "past the file"},
        {"count past the file", countPast, "entry count 1000"},
        {"overlapping", HandMadeV3(360), "overlap"},
        {"unknown version", unknown, "version 4"},
        {"Xbox 360", swapped, "DNBW"},
        {"not a bank", Bytes(100, 0), "WBND"},
        {"empty", Bytes{}, "truncated"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Expected<WaveBank> bank = OpenBytes(c.bytes);
        ASSERT_FALSE(bank);
        EXPECT_NE(bank.error().message.find(c.says), std::string::npos) << bank.error().message;
        EXPECT_EQ(bank.error().message.find('\n'), std::string::npos);
    }
}

TEST_F(BankFiles, ReplacementsLongerAndShorterKeepEveryOtherEntry) {
    const Bytes original = Build(2, false);
    Expected<WaveBank> before = OpenBytes(original);
    ASSERT_TRUE(before);
    std::vector<Bytes> entries(3);
    for (std::size_t i = 0; i < 3; ++i)
        ASSERT_TRUE(before->ReadEntry(i, Into(entries[i])));
    for (const std::size_t frames : {100000u, 500u}) {
        SCOPED_TRACE(frames);
        Expected<WaveBank> bank = OpenBytes(original);
        ASSERT_TRUE(bank);
        // Another rate and channel count: converted to the entry's (stereo, 44100 Hz).
        const Expected<BankReplaceReport> r = bank->Replace(1, ToneWave(1, 22050, frames));
        ASSERT_TRUE(r) << r.error().message;
        const Bytes rewritten = Written(bank.value());
        Expected<WaveBank> after = OpenBytes(rewritten);
        ASSERT_TRUE(after) << after.error().message;
        const BankEntryInfo& e = after->info().entries[1];
        EXPECT_EQ(e.channels, 2u);
        EXPECT_EQ(e.sampleRate, 44100u);
        EXPECT_EQ(e.bytes, (frames * 2 + 64) / 65 * 72);
        for (const std::size_t i : {0u, 2u}) {
            Bytes now;
            ASSERT_TRUE(after->ReadEntry(i, Into(now)));
            EXPECT_EQ(now, entries[i]);
            EXPECT_EQ(after->info().entries[i].loopStartBytes,
                      before->info().entries[i].loopStartBytes);
            EXPECT_EQ(after->info().entries[i].name, before->info().entries[i].name);
        }
        bank::Warnings warnings;
        MemoryByteSource source(rewritten);
        const Expected<bank::Bank> layout = bank::ReadBank(source, warnings);
        ASSERT_TRUE(layout);
        EXPECT_EQ(layout->dataOffset % layout->alignment, 0u);
        for (const bank::Entry& entry : layout->entries)
            EXPECT_EQ(entry.offset % layout->alignment, 0u);
        EXPECT_EQ(layout->dataOffset + layout->dataLength, rewritten.size());
    }
    // The looped entry replaced by audio without a loop: the loop is cleared, with a warning.
    Expected<WaveBank> bank = OpenBytes(original);
    const Expected<BankReplaceReport> r = bank->Replace(0, ToneWave(1, 22050, 3000));
    ASSERT_TRUE(r);
    EXPECT_FALSE(bank->info().entries[0].looped);
    ASSERT_EQ(r->warnings.size(), 1u);
    EXPECT_NE(r->warnings[0].find("cleared"), std::string::npos);
    // --loop sets one, in the source's frames.
    const Expected<BankReplaceReport> looped = bank->Replace(
        0, ToneWave(1, 22050, 3000), {.quality = 0, .threads = 1, .loop = {{130, 2079}}});
    ASSERT_TRUE(looped) << looped.error().message;
    EXPECT_TRUE(bank->info().entries[0].looped);
    EXPECT_EQ(bank->info().entries[0].loopStartBytes, 2u * 36);
    EXPECT_EQ(bank->info().entries[0].loopLengthBytes, 30u * 36);
}

// A file's conversion runs while the bank is written, beside the copying of the other entries:
// the bank comes out as converting first would make it, the junk a bank may hold between its
// entries becomes zero fill, and a source that fails only then leaves nothing written.
TEST_F(BankFiles, FileReplacementsConvertWhileTheBankIsWritten) {
    Bytes original = Build(3, true);
    {
        bank::Warnings warnings;
        MemoryByteSource source(original);
        const Expected<bank::Bank> layout = bank::ReadBank(source, warnings);
        ASSERT_TRUE(layout);
        const bank::Entry& first = layout->entries[0];
        const std::uint64_t gap = layout->dataOffset + first.offset + first.length;
        ASSERT_LT(gap, layout->dataOffset + layout->entries[1].offset);
        original[gap] = 0xAA;
    }
    const auto bankPath = dir_ / "bank.xwb";
    test::WriteFileBytes(bankPath, original);
    const Bytes source = ToneWave(1, 22050, 100000, SmplChunk(20000, 79999));
    test::WriteFileBytes(dir_ / "new.wav", source);

    Expected<WaveBank> eager = OpenBytes(original);
    ASSERT_TRUE(eager && eager->Replace(2, source));
    const Bytes expected = Written(eager.value());
    Expected<WaveBank> deferred = WaveBank::Open(bankPath);
    ASSERT_TRUE(deferred);
    const Expected<BankReplaceReport> r = deferred->Replace(2, dir_ / "new.wav");
    ASSERT_TRUE(r) << r.error().message;
    EXPECT_TRUE(deferred->info().entries[2].looped);
    ASSERT_TRUE(deferred->Write(dir_ / "out.xwb"));
    const Bytes written = test::ReadFileBytes(dir_ / "out.xwb");
    EXPECT_EQ(written, expected);
    bank::Warnings warnings;
    MemoryByteSource bytes(written);
    const Expected<bank::Bank> layout = bank::ReadBank(bytes, warnings);
    ASSERT_TRUE(layout);
    const bank::Entry& first = layout->entries[0];
    EXPECT_EQ(written[layout->dataOffset + first.offset + first.length], 0);

    // The source cut short after the replacement was planned: the write fails naming it, and
    // the bank written in place is left as it was.
    test::WriteFileBytes(dir_ / "cut.wav", source);
    Expected<WaveBank> failing = WaveBank::Open(bankPath);
    ASSERT_TRUE(failing && failing->Replace(2, dir_ / "cut.wav"));
    std::filesystem::resize_file(dir_ / "cut.wav", 20000);
    const Expected<bool> failed = failing->Write(bankPath);
    ASSERT_FALSE(failed);
    EXPECT_NE(failed.error().message.find("cut.wav"), std::string::npos) << failed.error().message;
    EXPECT_EQ(test::ReadFileBytes(bankPath), original);
    // No temporary file is left beside it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()),
                            std::filesystem::directory_iterator()),
              7);
}

TEST(BankReplace, RefusesWmaEntries) {
    Expected<WaveBank> bank = OpenBytes(HandMadeV3(2048, 0x000AC446));  // entry 1: WMA
    ASSERT_TRUE(bank) << bank.error().message;
    const Expected<BankReplaceReport> r = bank->Replace(1, ToneWave(1, 22050, 100));
    ASSERT_FALSE(r);
    EXPECT_NE(r.error().message.find("WMA"), std::string::npos);
}

TEST(WsmpLoops, ReadLikeSmplAndCarriedAsWsmp) {
    const Bytes input = ToneWave(1, 22050, 20000, WsmpChunk(1000, 12000));
    const Expected<MemoryOutput<EncodeReport>> out = EncodeMemory(input);
    ASSERT_TRUE(out) << out.error().message;
    const std::string text(out->file.begin(), out->file.end());
    EXPECT_NE(text.find("wsmp"), std::string::npos);
    EXPECT_EQ(text.find("smpl"), std::string::npos);
    EXPECT_FALSE(out->report.loop.empty());
    // The loop moved onto blocks, as a smpl loop would be.
    const std::size_t at = text.find("wsmp") + 8;
    const std::uint32_t start = out->file[at + 28] | (out->file[at + 29] << 8);
    const std::uint32_t length = out->file[at + 32] | (out->file[at + 33] << 8);
    EXPECT_EQ(start % 65, 0u);
    EXPECT_EQ(length % 65, 0u);
    EXPECT_GE(length, 11000u);
}

// A 1 GiB streaming bank (sparse) with one entry replaced and written again: the child's address
// space is far smaller than the bank.
TEST(BankMemory, LargeBankIsRewrittenInPieces) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizers reserve address space of their own";
#endif
    test::TempDir dir;
    const std::filesystem::path path = dir / "large.xwb";
    const std::uint64_t big = (std::uint64_t{1} << 30) / 36 * 36;
    Bytes head = HandMadeV3();
    head.resize(2048);
    const auto put = [&head](std::size_t at, std::uint32_t v) { std::memcpy(&head[at], &v, 4); };
    const std::uint64_t second = (big + 2047) / 2048 * 2048;
    put(0x24, static_cast<std::uint32_t>(second + 2048));  // wave data length
    put(0x50 + 12, static_cast<std::uint32_t>(big));       // entry 0: 2 GiB
    put(0x50 + 16, 0);
    put(0x50 + 20, 0);
    put(0x50 + 24 + 4, 0x000AC445);  // entry 1: Xbox ADPCM
    put(0x50 + 24 + 8, static_cast<std::uint32_t>(second));
    put(0x50 + 24 + 12, 720);
    test::WriteFileBytes(path, head);
    std::filesystem::resize_file(path, 2048 + second + 2048);
    const Bytes replacement = ToneWave(1, 22050, 5000);
    const test::ChildResult child = test::RunInChild([&] {
        const rlimit limit{256u << 20, 256u << 20};
        setrlimit(RLIMIT_AS, &limit);
        Expected<WaveBank> bank = WaveBank::Open(path);
        if (!bank)
            std::_Exit(3);
        if (!bank->Replace(1, replacement, {.quality = 0, .threads = 1, .loop = std::nullopt}))
            std::_Exit(4);
        std::uint64_t written = 0;
        const Expected<bool> ok = bank->Write([&](std::span<const std::uint8_t> b) {
            written += b.size();
            return true;
        });
        if (!ok)
            std::_Exit(5);
        std::printf("%llu", static_cast<unsigned long long>(written));
    });
    ASSERT_EQ(child.exitStatus, 0);
    const std::uint64_t entryBytes = (5000 + 64) / 65 * 36;
    EXPECT_EQ(child.output, std::to_string(2048 + second + (entryBytes + 2047) / 2048 * 2048));
}

}  // namespace
}  // namespace imabox

#if defined(IMABOX_TOOL)
namespace imabox {
namespace {

// The commands: extracted files sort in entry order, a bad bank writes nothing, info points at
// bank list.
TEST(BankCommand, ExtractNamesSortAndBadBanksWriteNothing) {
    test::TempDir dir;
    test::WriteFileBytes(dir / "game.xwb", HandMadeV3());
    const test::ChildResult extracted =
        test::RunProgram(IMABOX_TOOL, {"bank", "extract", (dir / "game.xwb").string()});
    ASSERT_EQ(extracted.exitStatus, 0) << extracted.output;
    EXPECT_EQ(extracted.output, (dir / "game" / "000_first.wav").string() + "\n" +
                                    (dir / "game" / "001_second.wav").string() + "\n");
    const Bytes first = test::ReadFileBytes(dir / "game" / "000_first.wav");
    const std::string text(first.begin(), first.end());
    EXPECT_NE(text.find("smpl"), std::string::npos);

    Bytes bad = HandMadeV3(360);  // overlapping entries
    test::WriteFileBytes(dir / "bad.xwb", bad);
    test::WriteFileBytes(dir / "new.wav", ToneWave(1, 22050, 1000));
    const test::ChildResult replaced = test::RunProgram(
        IMABOX_TOOL, {"bank", "replace", (dir / "bad.xwb").string(), "0",
                      (dir / "new.wav").string(), "-o", (dir / "out.xwb").string()});
    EXPECT_EQ(replaced.exitStatus, 1);
    EXPECT_FALSE(std::filesystem::exists(dir / "out.xwb"));
    EXPECT_EQ(test::ReadFileBytes(dir / "bad.xwb"), bad);

    const test::ChildResult info =
        test::RunProgram(IMABOX_TOOL, {"info", (dir / "game.xwb").string()});
    EXPECT_NE(info.output.find("imabox bank list"), std::string::npos);
}

}  // namespace
}  // namespace imabox
#endif
