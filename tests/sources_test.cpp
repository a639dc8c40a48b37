// SPDX-License-Identifier: MIT
// imabox encode/decode end to end on what people start from: FLAC, AIFF, Ogg Vorbis, MP3 and Opus
// files, rate and channel changes, standard input and output, raw blocks, and a damaged file in a
// batch. sox and ffmpeg write the inputs at test time.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace imabox {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using Bytes = std::vector<std::uint8_t>;

int Shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Bytes ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::string ReadText(const fs::path& path) {
    const Bytes bytes = ReadBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

std::uint32_t LE32(const Bytes& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::uint32_t{b[at + 3]} << 24);
}

// The 16-bit samples of a PCM WAVE file with the plain 44-byte header imabox decode writes.
std::vector<std::int16_t> Samples(const fs::path& path) {
    const Bytes bytes = ReadBytes(path);
    std::vector<std::int16_t> samples((bytes.size() - 44) / 2);
    std::memcpy(samples.data(), bytes.data() + 44, samples.size() * 2);
    return samples;
}

class Sources : public ::testing::Test {
  protected:
    void SetUp() override {
        if (Shell("command -v sox >/dev/null && command -v ffmpeg >/dev/null") != 0)
            GTEST_SKIP() << "sox and ffmpeg write this test's inputs";
        dir_ = fs::temp_directory_path() /
               (std::string("imabox_sources_") +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        // Half a second of music-like stereo at 44.1 kHz: a sweep and pink noise.
        ASSERT_EQ(Shell("sox -q -n -r 44100 -b 16 -c 2 " + Path("src.wav") +
                        " synth 0.5 sine 110-1760 pinknoise vol 0.5"),
                  0);
    }
    void TearDown() override {
        if (!dir_.empty())
            fs::remove_all(dir_);
    }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    // Runs imabox with `arguments` (paths relative to the test's folder), quietly.
    // Runs `arguments` (may go on with a pipeline) after imabox in the test's folder, with the
    // standard error of the whole line appended to log.txt; the status is the first failure's.
    int Imabox(const std::string& arguments) const {
        return Shell("cd " + dir_.string() + " && bash -o pipefail -c '(" IMABOX_CLI_PATH " " +
                     arguments + ") 2>>log.txt'");
    }

    fs::path dir_;
};

TEST_F(Sources, LosslessContainersGiveTheWaveBytesAtEveryQuality) {
    ASSERT_EQ(Shell("sox " + Path("src.wav") + " " + Path("src.flac")), 0);
    ASSERT_EQ(Shell("sox " + Path("src.wav") + " " + Path("src.aiff")), 0);
    for (const std::string quality : {"0", "4"}) {
        SCOPED_TRACE("quality " + quality);
        ASSERT_EQ(Imabox("encode --quiet -q " + quality + " src.wav -o wave" + quality + ".wav"),
                  0);
        for (const std::string container : {"flac", "aiff"}) {
            ASSERT_EQ(Imabox("encode --quiet -q " + quality + " src." + container + " -o " +
                             container + ".wav"),
                      0);
            EXPECT_EQ(ReadBytes(Path(container + ".wav")),
                      ReadBytes(Path("wave" + quality + ".wav")))
                << container;
        }
    }
    // A folder of outputs names them .wav whatever the input's container.
    ASSERT_EQ(Imabox("encode --quiet src.flac -d out"), 0);
    EXPECT_EQ(ReadBytes(Path("out/src.wav")), ReadBytes(Path("wave0.wav")));
}

// Lossy sources line up with ffmpeg's own decoding: same length, no offset.
TEST_F(Sources, LossySourcesDecodeInStepWithFfmpeg) {
    ASSERT_EQ(Shell("sox " + Path("src.wav") + " " + Path("src.ogg")), 0);
    ASSERT_EQ(Shell("ffmpeg -nostdin -v error -i " + Path("src.wav") + " " + Path("src.mp3")), 0);
    ASSERT_EQ(Shell("ffmpeg -nostdin -v error -i " + Path("src.wav") + " -c:a libopus " +
                    Path("src.opus")),
              0);
    for (const std::string container : {"ogg", "mp3", "opus"}) {
        SCOPED_TRACE(container);
        ASSERT_EQ(Imabox("encode --quiet src." + container + " -o x.wav"), 0);
        ASSERT_EQ(Imabox("decode --quiet x.wav -o back.wav"), 0);
        ASSERT_EQ(Shell("ffmpeg -nostdin -v error -y -i " + Path("src." + container) +
                        " -f s16le " + Path("ref.raw")),
                  0);
        const std::vector<std::int16_t> back = Samples(Path("back.wav"));
        const Bytes raw = ReadBytes(Path("ref.raw"));
        std::vector<std::int16_t> ref(raw.size() / 2);
        std::memcpy(ref.data(), raw.data(), ref.size() * 2);
        // Our decoding is padded to whole blocks of 65 frames, nothing more.
        ASSERT_EQ(back.size(), (ref.size() / 2 + 64) / 65 * 65 * 2);
        double signal = 0, noise = 0;
        for (std::size_t i = 0; i < ref.size(); ++i) {
            signal += static_cast<double>(ref[i]) * ref[i];
            noise +=
                (static_cast<double>(back[i]) - ref[i]) * (static_cast<double>(back[i]) - ref[i]);
        }
        EXPECT_GT(10 * std::log10(signal / noise), 15.0);
    }
}

// The frequency of a tone in channel 0 from its rising zero crossings, and its peak.
void MeasureTone(const std::vector<std::int16_t>& samples, unsigned channels, double rate,
                 double& hz, double& peak) {
    const std::size_t frames = samples.size() / channels;
    std::size_t first = 0, last = 0, crossings = 0;
    peak = 0;
    for (std::size_t i = frames / 10; i + 1 < frames * 9 / 10; ++i) {
        peak = std::max(peak, std::abs(static_cast<double>(samples[i * channels])));
        if (samples[i * channels] < 0 && samples[(i + 1) * channels] >= 0) {
            if (!crossings++)
                first = i;
            last = i;
        }
    }
    hz = static_cast<double>(crossings - 1) * rate / static_cast<double>(last - first);
}

TEST_F(Sources, RateAndChannelChangesKeepLengthAndTone) {
    // 1 s of 1 kHz at half scale on the left, silence on the right.
    ASSERT_EQ(Shell("sox -q -n -r 44100 -b 16 -c 2 " + Path("tone.flac") +
                    " synth 1 sine 1000 sine 1000 remix 1v0.5 0"),
              0);
    ASSERT_EQ(Imabox("encode tone.flac --rate 22050 -o r.wav > lines.txt"), 0);
    EXPECT_THAT(ReadText(Path("lines.txt")),
                HasSubstr("FLAC 16-bit, 2 channels, 44100 Hz -> 22050 Hz, 22050 frames"));
    ASSERT_EQ(Imabox("decode --quiet r.wav -o r.pcm.wav"), 0);
    std::vector<std::int16_t> out = Samples(Path("r.pcm.wav"));
    EXPECT_EQ(out.size(), 22100u * 2);  // 22050 frames, padded to whole blocks
    double hz = 0, peak = 0;
    MeasureTone(out, 2, 22050, hz, peak);
    EXPECT_NEAR(hz, 1000, 1);
    EXPECT_NEAR(peak, 16384, 800);

    // To one channel: the average of both, half the left's level. --like takes rate and
    // channels from a WAVE file.
    ASSERT_EQ(Shell("sox -q -n -r 48000 -b 16 -c 1 " + Path("like.wav") + " trim 0 0.1"), 0);
    ASSERT_EQ(Imabox("encode --quiet tone.flac --like like.wav -o m.wav"), 0);
    ASSERT_EQ(Imabox("decode --quiet m.wav -o m.pcm.wav"), 0);
    out = Samples(Path("m.pcm.wav"));
    EXPECT_EQ(out.size(), 48035u);  // 48000 frames, padded to whole blocks
    MeasureTone(out, 1, 48000, hz, peak);
    EXPECT_NEAR(hz, 1000, 1);
    EXPECT_NEAR(peak, 8192, 400);

    EXPECT_EQ(Imabox("encode --quiet tone.flac --channels 2 --rate 8000 -o ok.wav"), 0);
    EXPECT_NE(Imabox("encode --quiet src.wav --channels 3 -o bad.wav"), 0);
    // --like reads any container encode reads; a file that is none is a usage error.
    EXPECT_EQ(Imabox("encode --quiet src.wav --like tone.flac -o like.wav"), 0);
    std::ofstream(Path("notes.txt")) << "no audio in here, only words";
    EXPECT_EQ(Imabox("encode --quiet src.wav --like notes.txt -o bad.wav"), 2);
    EXPECT_FALSE(fs::exists(Path("bad.wav")));
}

TEST_F(Sources, PipesGiveTheBytesOfFiles) {
    ASSERT_EQ(Shell("sox " + Path("src.wav") + " " + Path("src.flac")), 0);
    ASSERT_EQ(Imabox("encode --quiet src.wav -o file.wav"), 0);
    ASSERT_EQ(Imabox("decode --quiet file.wav -o file.pcm.wav"), 0);
    const Bytes encoded = ReadBytes(Path("file.wav"));

    // Through pipes both sides (cat keeps standard output a pipe), the result line on stderr.
    ASSERT_EQ(Imabox("encode - -o - < src.wav 2>err.txt | cat > pipe.wav"), 0);
    EXPECT_EQ(ReadBytes(Path("pipe.wav")), encoded);
    EXPECT_THAT(ReadText(Path("err.txt")), HasSubstr("stdin -> stdout: 16-bit PCM"));
    ASSERT_EQ(Imabox("encode - < src.flac | cat > pipe.flac.wav"), 0);
    EXPECT_EQ(ReadBytes(Path("pipe.flac.wav")), encoded);
    ASSERT_EQ(Imabox("decode - -o - < file.wav | cat > pipe.pcm.wav"), 0);
    EXPECT_EQ(ReadBytes(Path("pipe.pcm.wav")), ReadBytes(Path("file.pcm.wav")));

    // A WAVE stream of unknown length, as ffmpeg writes one into a pipe: into a file, the same
    // bytes; into a pipe, the same blocks under a header whose sizes say "unknown".
    const std::string ffmpeg = "ffmpeg -nostdin -v error -i src.wav -f wav - | ";
    ASSERT_EQ(Shell("cd " + dir_.string() + " && " + ffmpeg + IMABOX_CLI_PATH +
                    " encode --quiet - -o stream.wav 2>/dev/null"),
              0);
    EXPECT_EQ(ReadBytes(Path("stream.wav")), encoded);
    ASSERT_EQ(Shell("cd " + dir_.string() + " && " + ffmpeg + IMABOX_CLI_PATH +
                    " encode --quiet - -o - 2>/dev/null | cat > stream.pipe.wav"),
              0);
    const Bytes streamed = ReadBytes(Path("stream.pipe.wav"));
    ASSERT_EQ(streamed.size(), encoded.size());
    EXPECT_EQ(LE32(streamed, 4), 0xFFFFFFFFu);
    EXPECT_EQ(LE32(streamed, 44), 0xFFFFFFFFu);
    EXPECT_TRUE(std::equal(streamed.begin() + 48, streamed.end(), encoded.begin() + 48));

    // Sizes left at 0 by a writer that could not seek back: read to the end as well.
    Bytes zero = ReadBytes(Path("src.wav"));
    ASSERT_EQ(std::string(zero.begin() + 36, zero.begin() + 40), "data");
    std::fill(zero.begin() + 4, zero.begin() + 8, 0);
    std::fill(zero.begin() + 40, zero.begin() + 44, 0);
    std::ofstream(Path("zero.wav"), std::ios::binary)
        .write(reinterpret_cast<const char*>(zero.data()),
               static_cast<std::streamsize>(zero.size()));
    ASSERT_EQ(Imabox("encode - < zero.wav | cat > zero.out.wav"), 0);
    EXPECT_EQ(ReadBytes(Path("zero.out.wav")), encoded);

    // Raw blocks: the payload alone.
    ASSERT_EQ(Imabox("encode --quiet --raw src.wav -o raw.bin"), 0);
    EXPECT_EQ(ReadBytes(Path("raw.bin")), Bytes(encoded.begin() + 48, encoded.end()));

    // convert keeps XBoxAudio's behaviour: "-" is a file name there.
    fs::copy_file(Path("src.wav"), Path("-"));
    ASSERT_EQ(Shell("cd " + dir_.string() +
                    " && " IMABOX_CLI_PATH " convert - converted.wav </dev/null >/dev/null"),
              0);
    EXPECT_EQ(ReadBytes(Path("converted.wav")), encoded);
}

// Containers whose header says how long the audio is: cut short, they fail as a cut WAVE file
// does. An Ogg file ends with the page that ends its stream.
TEST_F(Sources, TruncatedContainersFail) {
    ASSERT_EQ(Shell("cd " + dir_.string() +
                    " && sox src.wav src.aiff && sox src.wav src.au && sox src.wav src.w64 && "
                    "sox src.wav src.ogg && ffmpeg -nostdin -v error -i src.wav -rf64 always "
                    "-f wav src.rf64"),
              0);
    for (const std::string name : {"aiff", "au", "w64", "rf64", "ogg"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(Imabox("encode --quiet src." + name + " -o whole." + name + ".wav"), 0);
        const Bytes whole = ReadBytes(Path("src." + name));
        std::ofstream(Path("cut." + name), std::ios::binary)
            .write(reinterpret_cast<const char*>(whole.data()),
                   static_cast<std::streamsize>(whole.size() - 100));
        EXPECT_EQ(Imabox("encode --quiet cut." + name + " -o cut.wav"), 1);
        EXPECT_THAT(ReadText(Path("log.txt")), HasSubstr("imabox: cut." + name + ": truncated"));
    }
    // The header pages alone, up to the first page with a granule position (audio).
    const Bytes ogg = ReadBytes(Path("src.ogg"));
    const std::string pattern = "OggS";
    auto page = ogg.begin();
    while ((page = std::search(page + 1, ogg.end(), pattern.begin(), pattern.end())) != ogg.end() &&
           std::all_of(page + 6, page + 14, [](std::uint8_t b) { return b == 0; })) {
    }
    ASSERT_NE(page, ogg.end());
    std::ofstream(Path("headers.ogg"), std::ios::binary)
        .write(reinterpret_cast<const char*>(ogg.data()), page - ogg.begin());
    EXPECT_EQ(Imabox("encode --quiet headers.ogg -o cut.wav"), 1);
    EXPECT_FALSE(fs::exists(Path("cut.wav")));
}

// Streams of containers whose writers leave the sizes open (or too large) in a pipe are read to
// their end.
TEST_F(Sources, StreamsOfEveryContainerReadToTheirEnd) {
    ASSERT_EQ(Imabox("encode --quiet src.wav -o file.wav"), 0);
    const Bytes encoded = ReadBytes(Path("file.wav"));
    for (const std::string writer :
         {"ffmpeg -nostdin -v error -i src.wav -f au -",
          "ffmpeg -nostdin -v error -i src.wav -f aiff -",
          "ffmpeg -nostdin -v error -i src.wav -f w64 -", "sox src.wav -t aiff -"}) {
        SCOPED_TRACE(writer);
        ASSERT_EQ(Shell("cd " + dir_.string() + " && " + writer +
                        " | " IMABOX_CLI_PATH " encode --quiet - -o stream.wav 2>>log.txt"),
                  0)
            << ReadText(Path("log.txt"));
        EXPECT_EQ(ReadBytes(Path("stream.wav")), encoded);
    }
}

TEST_F(Sources, DecodeWritesFlacExactly) {
    ASSERT_EQ(Imabox("encode --quiet src.wav -o x.wav"), 0);
    ASSERT_EQ(Imabox("decode --quiet x.wav -o x.pcm.wav"), 0);
    ASSERT_EQ(Imabox("decode --quiet x.wav -o x.flac"), 0);
    ASSERT_EQ(Imabox("decode --quiet --format flac x.wav -o - | cat > piped.flac"), 0);
    for (const std::string name : {"x.flac", "piped.flac"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(Shell("sox " + Path(name) + " " + Path("back.wav")), 0);
        EXPECT_EQ(Samples(Path("back.wav")), Samples(Path("x.pcm.wav")));
    }
    // AIFF completes its header at the end: not into a pipe, but onto a file standard output
    // is redirected to. AU streams with its length unknown.
    EXPECT_EQ(Imabox("decode --quiet --format aiff x.wav -o - | cat > /dev/null"), 1);
    EXPECT_THAT(ReadText(Path("log.txt")), HasSubstr("cannot be written to a pipe"));
    ASSERT_EQ(Imabox("decode --quiet --format aiff x.wav -o - > redirected.aiff"), 0);
    ASSERT_EQ(Imabox("decode --quiet --format au x.wav -o - | cat > piped.au"), 0);
    for (const std::string name : {"redirected.aiff", "piped.au"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(Shell("sox " + Path(name) + " -b 16 " + Path("back.wav") + " 2>/dev/null"), 0);
        EXPECT_EQ(Samples(Path("back.wav")), Samples(Path("x.pcm.wav")));
    }
}

// info reads what encode reads and names the file it cannot read; libmpg123's own lines stay
// off standard error.
TEST_F(Sources, InfoAndMessagesOfOtherContainers) {
    ASSERT_EQ(Shell("cd " + dir_.string() +
                    " && sox src.wav src.flac && sox src.wav src.aiff && ffmpeg -nostdin -v error "
                    "-i src.wav -rf64 always -f wav src.rf64 && ffmpeg -nostdin -v error -i "
                    "src.wav src.mp3 && cat src.mp3 src.mp3 > twice.mp3"),
              0);
    for (const std::string name : {"flac", "aiff", "rf64"}) {
        ASSERT_EQ(Imabox("info src." + name + " > info.txt"), 0) << name;
        const std::string info = ReadText(Path("info.txt"));
        EXPECT_THAT(info, HasSubstr("Channels:           2\n"));
        EXPECT_THAT(info, HasSubstr("Frames per channel: 22050\n"));
    }
    EXPECT_EQ(Imabox("info missing.wav"), 1);
    EXPECT_THAT(ReadText(Path("log.txt")), HasSubstr("ERROR: missing.wav: cannot open"));

    fs::remove(Path("log.txt"));
    ASSERT_EQ(Imabox("encode --quiet twice.mp3 -o twice.wav"), 0);
    EXPECT_EQ(ReadText(Path("log.txt")), "encode: 1 of 1 files converted, 0 failed\n");

    // An AIFF file of 1000 frames at 8 kHz whose INST sustain loop runs from marker 1 (frame
    // 100) to marker 2 (frame 5000): its warning speaks of the AIFF file's loops.
    const std::string head =
        "464f524d0000083841494646434f4d4d000000120001000003e80010400bfa000000000000004d41524b0000"
        "001600020001000000640362656700020000138803656e64494e5354000000143c00007f007f000000010001"
        "000200000000000053534e44000007d80000000000000000";
    std::string aiff;
    for (std::size_t i = 0; i < head.size(); i += 2)
        aiff += static_cast<char>(std::stoi(head.substr(i, 2), nullptr, 16));
    aiff += std::string(2000, '\1');
    std::ofstream(Path("loop.aiff"), std::ios::binary) << aiff;
    fs::remove(Path("log.txt"));
    ASSERT_EQ(Imabox("encode --quiet loop.aiff -o loop.wav"), 0);
    EXPECT_THAT(ReadText(Path("log.txt")),
                HasSubstr("imabox: warning: loop.aiff: AIFF 16-bit loops: loop 1 (frames "
                          "100..4999) runs past the audio's 1000 frames; dropped\n"));
}

// info escapes control characters and calls a loop that ends before it starts invalid; chunks
// past the 65536th are said to be ignored as such.
TEST_F(Sources, WaveDetailsAreSaidPlainly) {
    const auto chunk = [](const std::string& id, std::string body) {
        if (body.size() % 2)
            body += '\0';
        const auto n = static_cast<std::uint32_t>(body.size());
        return id + std::string{char(n), char(n >> 8), char(n >> 16), char(n >> 24)} + body;
    };
    const auto le32 = [](std::uint32_t v) {
        return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
    };
    const std::string fmt = chunk("fmt ", std::string("\1\0\1\0", 4) + le32(8000) + le32(16000) +
                                              std::string("\2\0\x10\0", 4));
    std::string smpl;
    for (const std::uint32_t v : {0u, 0u, 125000u, 60u, 0u, 0u, 0u, 1u, 0u, 0u, 0u, 900u, 800u})
        smpl += le32(v);
    smpl += std::string(8, '\0');
    const std::string title = chunk("LIST", "INFO" + chunk("INAM", "evil\n\x1b[31mRED"));
    const std::string data = chunk("data", std::string(4000, '\0'));
    const std::string body = "WAVE" + fmt + chunk("smpl", smpl) + title + data;
    std::ofstream(Path("evil.wav"), std::ios::binary) << "RIFF" << le32(body.size()) << body;
    ASSERT_EQ(Imabox("info evil.wav > info.txt"), 0);
    const std::string info = ReadText(Path("info.txt"));
    EXPECT_THAT(info, HasSubstr("Loop:               frames 900..800 (invalid: it ends before it "
                                "starts)\n"));
    EXPECT_THAT(info, HasSubstr("Title:              evil\\n\\x1B[31mRED\n"));

    std::string junk;
    for (int i = 0; i < 70000; ++i)
        junk += chunk("junk", "");
    const std::string many = "WAVE" + fmt + data + junk;
    std::ofstream(Path("many.wav"), std::ios::binary) << "RIFF" << le32(many.size()) << many;
    ASSERT_EQ(Imabox("encode --quiet many.wav -o many.out.wav"), 0);
    EXPECT_THAT(ReadText(Path("log.txt")),
                HasSubstr("imabox: warning: many.wav: more than 65536 chunks: the 35728 bytes "
                          "from the next one on ignored\n"));
}

TEST_F(Sources, ADamagedContainerFailsAloneWithOneLine) {
    ASSERT_EQ(Shell("sox " + Path("src.wav") + " " + Path("whole.flac")), 0);
    ASSERT_EQ(Shell("head -c " + std::to_string(fs::file_size(Path("whole.flac")) / 2) + " " +
                    Path("whole.flac") + " > " + Path("cut.flac")),
              0);
    const std::string midi("MThd\0\0\0\6 and then no audio at all", 34);
    std::ofstream(Path("notes.mid"), std::ios::binary) << midi;
    EXPECT_EQ(Imabox("encode --quiet -d out src.wav cut.flac notes.mid"), 1);
    const std::string log = ReadText(Path("log.txt"));
    EXPECT_THAT(log, HasSubstr("imabox: cut.flac: "));
    EXPECT_THAT(log, HasSubstr("FLAC 16-bit"));
    EXPECT_THAT(log, HasSubstr("imabox: notes.mid: not a WAVE file nor another audio container "
                               "(starts 4D 54 68 64 \"MThd\"; libsndfile: "));
    EXPECT_THAT(log, HasSubstr("encode: 1 of 3 files converted, 2 failed"));
    EXPECT_TRUE(fs::exists(Path("out/src.wav")));
    EXPECT_FALSE(fs::exists(Path("out/cut.wav")));
    EXPECT_FALSE(fs::exists(Path("out/notes.wav")));
    // Nothing else was left in the folder (no temporary file).
    EXPECT_EQ(std::distance(fs::directory_iterator(Path("out")), fs::directory_iterator()), 1);
}

}  // namespace
}  // namespace imabox
