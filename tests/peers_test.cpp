// SPDX-License-Identifier: MIT
// imabox against the files other programs write and read: sox, ffmpeg and Python's wave module
// write the inputs; libsndfile decodes the optimized streams. Also the encode/decode commands
// end to end. A peer that is not installed skips its test (CI installs them all).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "imabox/convert.hpp"
#include "support/wave_audio.hpp"
#include "wave_bytes.hpp"

namespace imabox {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using ::testing::HasSubstr;

int Shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Have(const std::string& tool) {
    return Shell("command -v " + tool + " >/dev/null 2>&1") == 0;
}

Bytes ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

class Peers : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               (std::string("imabox_peers_") +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        // The reference: 2 channels of 16-bit audio using the full range, 3000 frames.
        for (int i = 0; i < 3000; ++i) {
            const double t = i / 8000.0;
            source_.push_back(
                static_cast<std::int16_t>(std::lround(20000 * std::sin(6.2832 * 440 * t))));
            source_.push_back(static_cast<std::int16_t>(((i * 7919) % 65536) - 32768));
        }
        const Bytes file = test::Riff({test::Chunk("fmt ", test::FmtBody(1, 2, 8000, 4, 16)),
                                       test::Chunk("data", test::Samples16(source_))});
        std::ofstream(Path("source.wav"), std::ios::binary)
            .write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

    // What 8-bit storage keeps of the source: the high byte.
    std::vector<std::int16_t> Source8() const {
        std::vector<std::int16_t> out;
        for (const std::int16_t s : source_)
            out.push_back(static_cast<std::int16_t>((s >> 8) * 256));
        return out;
    }

    void ExpectReads(const std::string& name, SourceFormat format,
                     const std::vector<std::int16_t>& expected) {
        SCOPED_TRACE(name);
        const Expected<WaveAudio> audio = ReadWaveFile(Path(name));
        ASSERT_TRUE(audio.ok()) << audio.error().message;
        EXPECT_EQ(audio->source, format);
        EXPECT_EQ(audio->channels, 2);
        EXPECT_EQ(audio->sampleRate, 8000u);
        EXPECT_EQ(audio->samples, expected);
        EXPECT_FALSE(audio->dithered);
    }

    fs::path dir_;
    std::vector<std::int16_t> source_;
};

TEST_F(Peers, ReadsWhatSoxWrites) {
    if (!Have("sox"))
        GTEST_SKIP() << "sox not installed";
    const std::string in = Path("source.wav");
    ASSERT_EQ(Shell("sox -D " + in + " -b 8 " + Path("u8.wav") + " 2>/dev/null"), 0);
    ASSERT_EQ(Shell("sox " + in + " -b 24 " + Path("s24.wav")), 0);
    ASSERT_EQ(Shell("sox " + in + " -b 32 " + Path("s32.wav")), 0);
    ASSERT_EQ(Shell("sox " + in + " -e floating-point -b 32 " + Path("f32.wav")), 0);
    ASSERT_EQ(Shell("sox " + in + " -e floating-point -b 64 " + Path("f64.wav")), 0);
    // sox rounds to 8 bits; its own widening back to 16 bits gives the expected samples.
    ASSERT_EQ(Shell("sox " + Path("u8.wav") + " -b 16 " + Path("u8to16.wav")), 0);
    const Expected<WaveAudio> widened = ReadWaveFile(Path("u8to16.wav"));
    ASSERT_TRUE(widened.ok());
    ExpectReads("u8.wav", SourceFormat::PCM8, widened->samples);
    ExpectReads("s24.wav", SourceFormat::PCM24, source_);
    ExpectReads("s32.wav", SourceFormat::PCM32, source_);
    ExpectReads("f32.wav", SourceFormat::Float32, source_);
    ExpectReads("f64.wav", SourceFormat::Float64, source_);
}

TEST_F(Peers, ReadsWhatFfmpegWritesWithItsListChunk) {
    if (!Have("ffmpeg"))
        GTEST_SKIP() << "ffmpeg not installed";
    const std::string ffmpeg =
        "ffmpeg -nostdin -hide_banner -loglevel error -y -i " + Path("source.wav") + " -c:a ";
    const std::vector<std::pair<std::string, SourceFormat>> codecs = {
        {"pcm_u8", SourceFormat::PCM8},       {"pcm_s16le", SourceFormat::PCM16},
        {"pcm_s24le", SourceFormat::PCM24},   {"pcm_s32le", SourceFormat::PCM32},
        {"pcm_f32le", SourceFormat::Float32}, {"pcm_f64le", SourceFormat::Float64}};
    for (const auto& [codec, format] : codecs) {
        const std::string name = codec + ".wav";
        ASSERT_EQ(Shell(ffmpeg + codec + " " + Path(name)), 0);
        const Bytes bytes = ReadBytes(Path(name));
        EXPECT_NE(std::search(bytes.begin(), bytes.end(), std::begin("LIST"), std::end("LIST") - 1),
                  bytes.end())
            << name << " has the LIST chunk this test is about";
        ExpectReads(name, format, format == SourceFormat::PCM8 ? Source8() : source_);
    }
}

TEST_F(Peers, ReadsWhatPythonsWaveModuleWrites) {
    if (!Have("python3"))
        GTEST_SKIP() << "python3 not installed";
    const std::string script = Path("write.py");
    std::ofstream(script) << R"(import sys, wave
src = wave.open(sys.argv[1], 'rb')
frames = src.readframes(src.getnframes())
for width in (1, 2, 3, 4):
    out = bytearray()
    for i in range(0, len(frames), 2):
        lo, hi = frames[i], frames[i + 1]
        out += {1: bytes([(hi + 128) & 255]), 2: bytes([lo, hi]),
                3: bytes([0, lo, hi]), 4: bytes([0, 0, lo, hi])}[width]
    w = wave.open(sys.argv[2] + str(width) + '.wav', 'wb')
    w.setnchannels(2); w.setsampwidth(width); w.setframerate(8000)
    w.writeframes(bytes(out)); w.close()
)";
    ASSERT_EQ(Shell("python3 " + script + " " + Path("source.wav") + " " + Path("py")), 0);
    ExpectReads("py1.wav", SourceFormat::PCM8, Source8());
    ExpectReads("py2.wav", SourceFormat::PCM16, source_);
    ExpectReads("py3.wav", SourceFormat::PCM24, source_);
    ExpectReads("py4.wav", SourceFormat::PCM32, source_);
}

// Optimized streams are standard IMA ADPCM: relabelled as format 0x0011 with 65 samples per
// block, libsndfile decodes them to exactly the samples imabox's decoder gives.
TEST_F(Peers, LibsndfileDecodesOptimizedStreamsLikeImabox) {
    WaveAudio audio;
    audio.channels = 2;
    audio.sampleRate = 8000;
    audio.samples = source_;
    for (const int quality : {0, 1, 5, 9}) {
        SCOPED_TRACE("quality " + std::to_string(quality));
        Expected<Bytes> xbox = EncodeXBoxADPCMWave(audio, quality);
        ASSERT_TRUE(xbox.ok());
        const Expected<WaveAudio> ours = ReadWave(xbox.value());
        ASSERT_TRUE(ours.ok());

        Bytes ima = xbox.value();
        ima[20] = 0x11;  // format tag
        ima[38] = 65;    // samples per block
        const std::string path = Path("ima" + std::to_string(quality) + ".wav");
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(ima.data()), std::streamsize(ima.size()));

        SF_INFO info{};
        SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
        ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
        EXPECT_EQ(info.format & SF_FORMAT_SUBMASK, SF_FORMAT_IMA_ADPCM);
        ASSERT_EQ(info.channels, 2);
        std::vector<std::int16_t> theirs(static_cast<std::size_t>(info.frames) * 2);
        const sf_count_t got = sf_readf_short(file, theirs.data(), info.frames);
        sf_close(file);
        EXPECT_EQ(got, info.frames);
        ASSERT_EQ(theirs.size(), ours->samples.size());
        EXPECT_EQ(theirs, ours->samples);
    }
}

std::string Cli() {
    return IMABOX_CLI_PATH;
}

TEST_F(Peers, BatchWithABadFileInTheMiddleConvertsTheRestAndExits1) {
    const fs::path out = dir_ / "out";
    std::ofstream(Path("bad.wav")) << "not a wave file";
    fs::copy_file(Path("source.wav"), Path("a.wav"));
    fs::copy_file(Path("source.wav"), Path("c.wav"));
    const std::string log = Path("log.txt");
    EXPECT_EQ(Shell(Cli() + " encode --quality 2 -j 2 -d " + out.string() + " " + Path("a.wav") +
                    " " + Path("bad.wav") + " " + Path("c.wav") + " >" + log + " 2>&1"),
              1);
    const Bytes text = ReadBytes(log);
    const std::string messages(text.begin(), text.end());
    EXPECT_THAT(messages, HasSubstr("bad.wav: not a WAVE file"));
    EXPECT_THAT(messages, HasSubstr("encode: 2 of 3 files converted, 1 failed"));
    EXPECT_TRUE(fs::exists(out / "a.wav"));
    EXPECT_TRUE(fs::exists(out / "c.wav"));
    EXPECT_FALSE(fs::exists(out / "bad.wav"));
    EXPECT_EQ(std::distance(fs::directory_iterator(out), {}), 2) << "no temporary files";

    // Decoding them back: the default output name sits beside the input.
    EXPECT_EQ(Shell(Cli() + " decode --quiet " + (out / "a.wav").string() + " 2>/dev/null"), 0);
    const Expected<WaveAudio> decoded = ReadWaveFile(out / "a.pcm.wav");
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(decoded->source, SourceFormat::PCM16);
    EXPECT_EQ(decoded->frames(), 3055u);  // 3000 rounded up to whole blocks
}

TEST_F(Peers, CommandsRefuseTheWrongDirectionAndAmbiguousOutputs) {
    const std::string log = Path("log.txt");
    EXPECT_EQ(Shell(Cli() + " decode " + Path("source.wav") + " 2>" + log), 1);
    const Bytes text = ReadBytes(log);
    EXPECT_THAT(std::string(text.begin(), text.end()), HasSubstr("already 16-bit PCM"));
    EXPECT_EQ(Shell(Cli() + " encode -o " + Path("x.wav") + " " + Path("source.wav") + " " +
                    Path("source.wav") + " 2>/dev/null"),
              2);
    EXPECT_NE(Shell(Cli() + " encode --quality 10 " + Path("source.wav") + " 2>/dev/null"), 0);
    EXPECT_FALSE(fs::exists(Path("source.xbox.wav")));
    EXPECT_FALSE(fs::exists(Path("x.wav")));
    // Two inputs that would write the same output: the second one fails, the first converts.
    fs::create_directories(dir_ / "sub");
    fs::copy_file(Path("source.wav"), dir_ / "sub" / "source.wav");
    EXPECT_EQ(Shell(Cli() + " encode -d " + Path("o") + " " + Path("source.wav") + " " +
                    (dir_ / "sub" / "source.wav").string() + " >/dev/null 2>&1"),
              1);
    EXPECT_TRUE(fs::exists(dir_ / "o" / "source.wav"));
}

}  // namespace
}  // namespace imabox
