// SPDX-License-Identifier: MIT
// Conversion in memory and between files: directions, byte-exact agreement with XBoxAudio's
// converter at quality 0, and outputs that appear only when complete.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "imabox/convert.hpp"
#include "wave_bytes.hpp"

namespace imabox {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::Chunk;
using test::FmtBody;
using test::Riff;
using ::testing::HasSubstr;

Bytes Pcm16File(unsigned channels, unsigned frames) {
    std::vector<std::int16_t> pcm(std::size_t{channels} * frames);
    for (std::size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = static_cast<std::int16_t>(std::lround(12000 * std::sin(0.03 * double(i))));
    return Riff({Chunk("fmt ", FmtBody(1, channels, 22050, 2 * channels, 16)),
                 Chunk("data", test::Samples16(pcm))});
}

EncodeOptions Encode(int quality = 0) {
    EncodeOptions o;
    o.quality = quality;
    return o;
}

DecodeOptions Decode() {
    return {};
}

template <class Result>
ErrorKind KindOf(const Expected<Result>& r) {
    return r ? ErrorKind::Internal : r.error().kind;
}

TEST(EncodeDecode, QualityZeroWritesExactlyWhatTheConverterWrites) {
    for (const unsigned frames : {0u, 1u, 64u, 65u, 100u, 1000u}) {
        for (const unsigned channels : {1u, 2u}) {
            const Bytes input = Pcm16File(channels, frames);
            const auto converted = ConvertMemory(input);
            const auto encoded = EncodeMemory(input, Encode());
            ASSERT_TRUE(converted.ok() && encoded.ok());
            EXPECT_EQ(encoded->file, converted->file) << frames << " frames";
            EXPECT_EQ(encoded->report.paddingFrames, converted->report.paddingFrames);
            EXPECT_EQ(encoded->report.inputFrames, frames);
            // And decoding gives what the converter's decoder gives.
            const auto back = DecodeMemory(encoded->file, Decode());
            const auto convertedBack = ConvertMemory(converted->file);
            ASSERT_TRUE(back.ok() && convertedBack.ok());
            EXPECT_EQ(back->file, convertedBack->file);
        }
    }
}

TEST(EncodeDecode, OptimizedOutputHasTheSameLayout) {
    const Bytes input = Pcm16File(2, 500);
    const auto plain = EncodeMemory(input, Encode(0));
    const auto best = EncodeMemory(input, Encode(7));
    ASSERT_TRUE(plain.ok() && best.ok());
    ASSERT_EQ(best->file.size(), plain->file.size());
    EXPECT_TRUE(std::equal(plain->file.begin(), plain->file.begin() + 48, best->file.begin()));
    EXPECT_NE(best->file, plain->file);
}

TEST(EncodeDecode, RefusesTheWrongDirectionAndBadQuality) {
    const Bytes pcm = Pcm16File(1, 100);
    const auto xbox = EncodeMemory(pcm, Encode());
    ASSERT_TRUE(xbox.ok());
    EXPECT_EQ(KindOf(EncodeMemory(xbox->file, Encode())), ErrorKind::NothingToDo);
    EXPECT_EQ(KindOf(DecodeMemory(pcm, Decode())), ErrorKind::NothingToDo);
    const Bytes s24 = Riff({Chunk("fmt ", FmtBody(1, 1, 8000, 3, 24)), Chunk("data", Bytes(9))});
    EXPECT_EQ(KindOf(DecodeMemory(s24, Decode())), ErrorKind::WrongDirection);
    EXPECT_THAT(DecodeMemory(s24, Decode()).error().message, HasSubstr("24-bit PCM"));
    EXPECT_EQ(KindOf(EncodeMemory(pcm, Encode(10))), ErrorKind::InvalidArgument);
    EXPECT_EQ(KindOf(EncodeMemory(pcm, Encode(-1))), ErrorKind::InvalidArgument);
    // IMA ADPCM can go either way.
    Bytes ima = xbox->file;
    ima[20] = 0x11;
    EXPECT_TRUE(DecodeMemory(ima, Decode()).ok());
    EXPECT_TRUE(EncodeMemory(ima, Encode()).ok());
}

TEST(EncodeDecode, ReportsDitherClippingAndIgnoredBytes) {
    Bytes f32;
    for (const float x : {0.25f, 0.1234567f, 3.0f})
        test::Put32(f32, std::bit_cast<std::uint32_t>(x));
    f32.push_back(0);  // a partial frame
    const auto r = EncodeMemory(
        Riff({Chunk("fmt ", FmtBody(3, 1, 8000, 4, 32)), Chunk("data", f32)}), Encode());
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->report.input, SourceFormat::Float32);
    EXPECT_TRUE(r->report.dithered);
    EXPECT_EQ(r->report.clippedSamples, 1u);
    EXPECT_EQ(r->report.ignoredBytes, 1u);
    EXPECT_EQ(r->report.inputFrames, 3u);
    EXPECT_EQ(r->report.paddingFrames, 62u);
}

class EncodeDecodeFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("imabox_encode_decode_" +
                std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path Write(const std::string& name, const Bytes& bytes) {
        std::ofstream(dir_ / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        return dir_ / name;
    }
    static Bytes Read(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    std::size_t FilesInDir() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_), {}));
    }

    fs::path dir_;
};

TEST_F(EncodeDecodeFiles, WritesTheOutputAndLeavesNoTemporaryFile) {
    const fs::path in = Write("in.wav", Pcm16File(2, 300));
    const auto r = EncodeFile(in, dir_ / "out.wav", Encode(3));
    ASSERT_TRUE(r.ok()) << r.error().message;
    const Bytes out = Read(dir_ / "out.wav");
    EXPECT_EQ(out.size(), r->outputBytes);
    EXPECT_EQ(out.size(), 48u + 5 * 72);
    EXPECT_EQ(FilesInDir(), 2u);
}

TEST_F(EncodeDecodeFiles, AFailedConversionLeavesAnExistingOutputUntouched) {
    const Bytes previous = {'o', 'l', 'd'};
    const fs::path out = Write("out.wav", previous);
    const fs::path bad = Write("bad.wav", Bytes{'R', 'I', 'F', 'F', 0, 0});
    EXPECT_FALSE(EncodeFile(bad, out, Encode()).ok());
    EXPECT_FALSE(EncodeFile(dir_ / "missing.wav", out, Encode()).ok());
    EXPECT_EQ(Read(out), previous);
    EXPECT_EQ(FilesInDir(), 2u) << "no temporary file left behind";
}

TEST_F(EncodeDecodeFiles, ReplacesAnExistingOutputWhenDone) {
    const fs::path out = Write("out.wav", Bytes{'o', 'l', 'd'});
    const fs::path in = Write("in.wav", Pcm16File(1, 65));
    ASSERT_TRUE(EncodeFile(in, out, Encode()).ok());
    EXPECT_EQ(Read(out).size(), 48u + 36);
}

TEST_F(EncodeDecodeFiles, RefusesToOverwriteItsInputAndReportsMissingFolders) {
    const Bytes original = Pcm16File(1, 65);
    const fs::path in = Write("in.wav", original);
    EXPECT_EQ(KindOf(EncodeFile(in, in, Encode())), ErrorKind::OutputIsInput);
    EXPECT_EQ(KindOf(EncodeFile(in, dir_ / "." / "in.wav", Encode())), ErrorKind::OutputIsInput);
    EXPECT_EQ(Read(in), original);
    EXPECT_EQ(KindOf(EncodeFile(in, dir_ / "no" / "such" / "out.wav", Encode())),
              ErrorKind::OutputCreate);
    EXPECT_EQ(KindOf(EncodeFile(dir_, dir_ / "x.wav", Encode())), ErrorKind::InputIsFolder);
    // An empty name says so, rather than quoting errno.
    const auto empty = EncodeFile("", dir_ / "x.wav", Encode());
    EXPECT_EQ(KindOf(empty), ErrorKind::InputOpen);
    EXPECT_THAT(empty.error().message, HasSubstr("no file name"));
}

}  // namespace
}  // namespace imabox
