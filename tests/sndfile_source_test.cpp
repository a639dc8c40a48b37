// SPDX-License-Identifier: MIT
// Containers other than WAVE through libsndfile: recognition by content, every container read
// from a file and from a pipe, damaged files, instrument loops, and FLAC written back. The
// inputs are written by sox and ffmpeg at test time.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "io/byte_stream.hpp"
#include "io/file.hpp"
#include "media/sndfile_sink.hpp"
#include "media/sndfile_source.hpp"
#include "wave/container_probe.hpp"

namespace imabox {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;

int Shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::uint8_t> Head(const std::string& text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

TEST(ContainerProbe, NamesWhatItFinds) {
    EXPECT_EQ(ProbeContainer(Head(std::string("RIFF\0\0\0\0WAVE", 12))).kind, ContainerKind::Wave);
    EXPECT_EQ(ProbeContainer(Head("fLaC")).name, "FLAC");
    EXPECT_EQ(ProbeContainer(Head(std::string("FORM\0\0\0\0AIFC", 12))).name, "AIFF-C");
    EXPECT_EQ(ProbeContainer(Head("ID3\x04")).name, "MP3");
    EXPECT_EQ(ProbeContainer(Head("\xFF\xFB\x90\x00")).name, "MP3");
    EXPECT_EQ(ProbeContainer(Head("\xFF\xFF\xFF\xFF")).kind, ContainerKind::Unknown);
    // An Ogg page names its codec after the segment table (here 1 segment).
    std::string ogg("OggS", 4);
    ogg += std::string(22, '\0') + '\x01' + '\x13' + "OpusHead";
    EXPECT_EQ(ProbeContainer(Head(ogg)).name, "Ogg Opus");
    // Any RIFF form goes to the WAVE reader, which names the form it refuses.
    EXPECT_EQ(ProbeContainer(Head(std::string("RIFF\0\0\0\0AVI ", 12))).kind, ContainerKind::Wave);
    EXPECT_EQ(ProbeContainer(Head("MThd")).name, "starts 4D 54 68 64 \"MThd\"");
    EXPECT_EQ(ProbeContainer({}).name, "empty input");
}

// Reads a forward-only pipe the way standard input is read.
struct Pipe {
    explicit Pipe(const std::string& command) : file(popen(command.c_str(), "r")), source(file) {}
    ~Pipe() { pclose(file); }
    std::FILE* file;
    FileByteSource source;
};

Expected<SndfileSource> OpenPipe(Pipe& pipe) {
    return SndfileSource::Open(pipe.source);
}

// A file opened for reading, seekable.
struct File {
    explicit File(const std::string& path) : handle(OpenFile(path, "rb")), source(handle.get()) {}
    FileHandle handle;
    FileByteSource source;
};

// Reads the whole source, in pieces of `frames` frames.
template <class Sample>
Expected<std::vector<Sample>> ReadAll(SndfileSource& source, std::size_t frames = 1000) {
    std::vector<Sample> all;
    std::vector<Sample> piece(frames * source.info().channels);
    while (true) {
        Expected<std::size_t> n = std::size_t{0};
        if constexpr (std::is_same_v<Sample, double>)
            n = source.ReadReal(piece);
        else
            n = source.ReadInt16(piece);
        if (!n)
            return n.error();
        if (n.value() == 0)
            return all;
        all.insert(all.end(), piece.begin(),
                   piece.begin() + static_cast<std::ptrdiff_t>(n.value() * source.info().channels));
    }
}

class Sndfile : public ::testing::Test {
  protected:
    void SetUp() override {
        if (Shell("command -v sox >/dev/null && command -v ffmpeg >/dev/null") != 0)
            GTEST_SKIP() << "sox and ffmpeg write this test's inputs";
        dir_ = fs::temp_directory_path() /
               (std::string("imabox_sndfile_") +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        // 0.5 s of two tones and noise, 16-bit stereo: every bit of the samples matters.
        ASSERT_EQ(Shell("sox -n -r 44100 -b 16 -c 2 " + Path("source.wav") +
                        " synth 0.5 sine 440 sine 1003 whitenoise vol 0.7 2>/dev/null"),
                  0);
        std::ifstream in(Path("source.wav"), std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
        ASSERT_GT(bytes.size(), 44u);
        samples_.resize((bytes.size() - 44) / 2);
        std::memcpy(samples_.data(), bytes.data() + 44, samples_.size() * 2);
    }
    void TearDown() override {
        if (!dir_.empty())
            fs::remove_all(dir_);
    }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

    fs::path dir_;
    std::vector<std::int16_t> samples_;  // what source.wav holds, interleaved
};

TEST_F(Sndfile, LosslessContainersGiveExactlyTheWaveSamplesFromFilesAndPipes) {
    ASSERT_EQ(Shell("sox " + Path("source.wav") + " " + Path("a.flac")), 0);
    ASSERT_EQ(Shell("sox " + Path("source.wav") + " " + Path("a.aiff")), 0);
    // FLAC written to a pipe does not know its length.
    ASSERT_EQ(Shell("ffmpeg -nostdin -loglevel error -i " + Path("source.wav") + " -f flac - > " +
                    Path("piped.flac")),
              0);
    for (const std::string name : {"a.flac", "a.aiff", "piped.flac"}) {
        SCOPED_TRACE(name);
        File input(Path(name));
        Expected<SndfileSource> file = SndfileSource::Open(input.source);
        ASSERT_TRUE(file.ok()) << file.error().message;
        EXPECT_TRUE(file->info().exact16);
        EXPECT_EQ(file->info().channels, 2);
        EXPECT_EQ(file->info().sampleRate, 44100u);
        EXPECT_THAT(file->info().format, HasSubstr("16-bit"));
        Expected<std::vector<std::int16_t>> fromFile = ReadAll<std::int16_t>(file.value(), 777);
        ASSERT_TRUE(fromFile.ok()) << fromFile.error().message;
        EXPECT_EQ(fromFile.value(), samples_);

        Pipe pipe("cat " + Path(name));
        Expected<SndfileSource> stream = OpenPipe(pipe);
        ASSERT_TRUE(stream.ok()) << stream.error().message;
        Expected<std::vector<std::int16_t>> fromPipe = ReadAll<std::int16_t>(stream.value());
        ASSERT_TRUE(fromPipe.ok()) << fromPipe.error().message;
        EXPECT_EQ(fromPipe.value(), samples_);
    }
    File pipedFile(Path("piped.flac"));
    Expected<SndfileSource> piped = SndfileSource::Open(pipedFile.source);
    ASSERT_TRUE(piped.ok());
    EXPECT_FALSE(piped->info().frames.has_value());
}

// Lossy sources agree with ffmpeg's own decoding of the same file: same length, no offset.
TEST_F(Sndfile, LossyContainersDecodeAsFfmpegDecodesThem) {
    // sox writes the Ogg Vorbis file: ffmpeg does not trim the end of the Ogg files it writes.
    ASSERT_EQ(Shell("sox " + Path("source.wav") + " " + Path("a.ogg")), 0);
    for (const std::string codec : {"libmp3lame", "libopus"}) {
        ASSERT_EQ(Shell("ffmpeg -nostdin -loglevel error -i " + Path("source.wav") + " -c:a " +
                        codec + " " + Path(codec == "libopus" ? "a.opus" : "a.mp3")),
                  0);
    }
    for (const std::string name : {"a.ogg", "a.mp3", "a.opus"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(Shell("ffmpeg -nostdin -loglevel error -i " + Path(name) +
                        " -f f32le -c:a pcm_f32le " + Path(name + ".raw")),
                  0);
        std::ifstream raw(Path(name + ".raw"), std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(raw)), {});
        std::vector<float> reference(bytes.size() / 4);
        std::memcpy(reference.data(), bytes.data(), reference.size() * 4);

        Pipe pipe("cat " + Path(name));
        Expected<SndfileSource> source = OpenPipe(pipe);
        ASSERT_TRUE(source.ok()) << source.error().message;
        EXPECT_FALSE(source->info().exact16);
        Expected<std::vector<double>> decoded = ReadAll<double>(source.value());
        ASSERT_TRUE(decoded.ok()) << decoded.error().message;
        ASSERT_EQ(decoded->size(), reference.size());
        double signal = 0, noise = 0;
        for (std::size_t i = 0; i < reference.size(); ++i) {
            const double want = reference[i] * 32768.0;  // ReadReal gives 16-bit units
            signal += want * want;
            noise += (decoded.value()[i] - want) * (decoded.value()[i] - want);
        }
        EXPECT_GT(10 * std::log10(signal / std::max(noise, 1e-30)), 40.0);
    }
}

TEST_F(Sndfile, TwentyFourBitSourcesReadAsFloatWithoutLoss) {
    ASSERT_EQ(
        Shell("sox " + Path("source.wav") + " -b 24 " + Path("a24.flac") + " vol 0.999 dither -s"),
        0);
    ASSERT_EQ(Shell("sox " + Path("a24.flac") + " -t s24 " + Path("a24.raw")), 0);
    std::ifstream raw(Path("a24.raw"), std::ios::binary);
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(raw)), {});
    File input(Path("a24.flac"));
    Expected<SndfileSource> source = SndfileSource::Open(input.source);
    ASSERT_TRUE(source.ok()) << source.error().message;
    EXPECT_FALSE(source->info().exact16);
    EXPECT_EQ(source->info().format, "FLAC 24-bit");
    Expected<std::vector<double>> decoded = ReadAll<double>(source.value());
    ASSERT_TRUE(decoded.ok());
    ASSERT_EQ(decoded->size() * 3, bytes.size());
    for (std::size_t i = 0; i < decoded->size(); ++i) {
        const std::int32_t v = static_cast<std::int32_t>((std::uint32_t{bytes[3 * i]} << 8) |
                                                         (std::uint32_t{bytes[3 * i + 1]} << 16) |
                                                         (std::uint32_t{bytes[3 * i + 2]} << 24)) >>
                               8;
        ASSERT_EQ(decoded.value()[i] * 256.0, static_cast<double>(v)) << "sample " << i;
    }
}

TEST_F(Sndfile, DamagedAndUnknownContainersAreOneLine) {
    ASSERT_EQ(Shell("sox " + Path("source.wav") + " " + Path("a.flac")), 0);
    const std::uintmax_t size = fs::file_size(Path("a.flac"));
    // The header alone, and the file cut in the middle of its frames.
    ASSERT_EQ(Shell("head -c 40 " + Path("a.flac") + " > " + Path("header.flac")), 0);
    ASSERT_EQ(Shell("head -c " + std::to_string(size / 2) + " " + Path("a.flac") + " > " +
                    Path("cut.flac")),
              0);
    std::ofstream(Path("song.flac")) << "MThd\0\0\0\6 not audio at all";

    File headerFile(Path("header.flac"));
    Expected<SndfileSource> header = SndfileSource::Open(headerFile.source);
    ASSERT_FALSE(header.ok());
    EXPECT_EQ(header.error().kind, ErrorKind::Container);
    EXPECT_THAT(header.error().message, StartsWith("cannot read this FLAC file (libsndfile: "));
    File unknownFile(Path("song.flac"));
    Expected<SndfileSource> unknown = SndfileSource::Open(unknownFile.source);
    ASSERT_FALSE(unknown.ok());
    EXPECT_EQ(unknown.error().message,
              "not a WAVE file nor another audio container (starts 4D 54 68 64 \"MThd\"; "
              "libsndfile: Format not recognised.)");

    for (const bool pipe : {false, true}) {
        SCOPED_TRACE(pipe ? "pipe" : "file");
        Pipe cat("cat " + Path("cut.flac"));
        File file(Path("cut.flac"));
        Expected<SndfileSource> cut = SndfileSource::Open(pipe ? cat.source : file.source);
        ASSERT_TRUE(cut.ok()) << cut.error().message;
        Expected<std::vector<std::int16_t>> read = ReadAll<std::int16_t>(cut.value());
        ASSERT_FALSE(read.ok());
        EXPECT_THAT(read.error().message, HasSubstr("FLAC 16-bit"));
        EXPECT_EQ(read.error().message.find('\n'), std::string::npos);
    }
}

// An AIFF file with a sustain loop from frame 100 to 900: markers in MARK, the loop in INST.
std::vector<char> LoopedAiff() {
    std::vector<char> b;
    const auto be = [&](std::uint32_t v, int bytes) {
        for (int i = bytes - 1; i >= 0; --i)
            b.push_back(static_cast<char>(v >> (8 * i)));
    };
    const auto text = [&](const char* t) { b.insert(b.end(), t, t + std::strlen(t)); };
    text("FORM");
    be(4 + 26 + 26 + 28 + 16 + 2000, 4);
    text("AIFFCOMM");
    be(18, 4);
    be(1, 2);       // channels
    be(1000, 4);    // frames
    be(16, 2);      // bits
    be(0x400D, 2);  // 22050 Hz as an 80-bit float: exponent, then the mantissa
    be(0xAC440000, 4);
    be(0, 4);
    text("MARK");
    be(18, 4);
    be(2, 2);
    be(1, 2), be(100, 4), be(0x0161, 2);  // id 1 at frame 100, named "a"
    be(2, 2), be(900, 4), be(0x0162, 2);  // id 2 at frame 900, named "b"
    text("INST");
    be(20, 4);
    be(60, 1), be(0, 1), be(0, 1), be(127, 1), be(1, 1), be(127, 1);  // note 60, keys, velocities
    be(0, 2);                                                         // gain
    be(1, 2), be(1, 2), be(2, 2);  // sustain loop: forward, from marker 1 to marker 2
    be(0, 2), be(0, 2), be(0, 2);  // no release loop
    text("SSND");
    be(8 + 2000, 4);
    be(0, 4), be(0, 4);
    b.resize(b.size() + 2000);
    return b;
}

TEST_F(Sndfile, InstrumentLoopsComeThrough) {
    const std::vector<char> aiff = LoopedAiff();
    std::ofstream(Path("loop.aiff"), std::ios::binary)
        .write(aiff.data(), static_cast<std::streamsize>(aiff.size()));

    File input(Path("loop.aiff"));
    Expected<SndfileSource> source = SndfileSource::Open(input.source);
    ASSERT_TRUE(source.ok()) << source.error().message;
    const std::optional<SourceInstrument> instrument = source->Instrument();
    ASSERT_TRUE(instrument.has_value());
    EXPECT_EQ(instrument->baseNote, 60);
    ASSERT_EQ(instrument->loops.size(), 1u);
    EXPECT_EQ(instrument->loops[0].mode, SourceLoop::Mode::Forward);
    EXPECT_EQ(instrument->loops[0].start, 100u);
    EXPECT_EQ(instrument->loops[0].end, 900u);

    File wave(Path("source.wav"));
    Expected<SndfileSource> plain = SndfileSource::Open(wave.source);
    ASSERT_TRUE(plain.ok());
    EXPECT_FALSE(plain->Instrument().has_value());
}

TEST_F(Sndfile, FlacSinkWritesTheSamplesBackExactlyToFilesAndPipes) {
    const std::optional<SndfileOutputFormat> flac = SndfileFormatForPath("dir.x/out.FLAC");
    ASSERT_TRUE(flac.has_value());
    EXPECT_FALSE(SndfileFormatForPath("dir.flac/out").has_value());
    EXPECT_EQ(std::string(FindSndfileFormat("aiff")->name), "aiff");
    EXPECT_FALSE(FindSndfileFormat("mp3").has_value());

    const auto write = [&](std::FILE* file) -> Expected<bool> {
        FileByteSink bytes(file);
        Expected<SndfileSink> sink = SndfileSink::Create(bytes, *flac, 2, 44100);
        if (!sink)
            return sink.error();
        for (std::size_t at = 0; at < samples_.size(); at += 2 * 1500) {
            const std::size_t n = std::min<std::size_t>(2 * 1500, samples_.size() - at);
            Expected<bool> ok = sink->Write(std::span(samples_).subspan(at, n));
            if (!ok)
                return ok;
        }
        return sink->Finish();
    };
    FileHandle file = OpenFile(Path("out.flac"), "wb");
    Expected<bool> written = write(file.get());
    ASSERT_TRUE(written.ok()) << written.error().message;
    ASSERT_TRUE(CloseFile(std::move(file)));
    std::FILE* pipe = popen(("cat > " + Path("piped.flac")).c_str(), "w");
    written = write(pipe);
    ASSERT_EQ(pclose(pipe), 0);
    ASSERT_TRUE(written.ok()) << written.error().message;

    for (const std::string name : {"out.flac", "piped.flac"}) {
        SCOPED_TRACE(name);
        File input(Path(name));
        Expected<SndfileSource> back = SndfileSource::Open(input.source);
        ASSERT_TRUE(back.ok()) << back.error().message;
        EXPECT_EQ(back->info().format, "FLAC 16-bit");
        Expected<std::vector<std::int16_t>> samples = ReadAll<std::int16_t>(back.value());
        ASSERT_TRUE(samples.ok());
        EXPECT_EQ(samples.value(), samples_);
    }
    // Formats whose header is completed at the end cannot go to a pipe; a full disk is an error.
    std::FILE* pipeOut = popen("cat > /dev/null", "w");
    FileByteSink pipeSink(pipeOut);
    Expected<SndfileSink> aiff =
        SndfileSink::Create(pipeSink, *FindSndfileFormat("aiff"), 2, 44100);
    pclose(pipeOut);
    ASSERT_FALSE(aiff.ok());
    EXPECT_THAT(aiff.error().message, HasSubstr("cannot be written to a pipe"));
    FileHandle full = OpenFile("/dev/full", "wb");
    ASSERT_TRUE(full);
    Expected<bool> failed = write(full.get());
    ASSERT_FALSE(failed.ok());
    EXPECT_THAT(failed.error().message, StartsWith("cannot write output: "));
}

}  // namespace
}  // namespace imabox
