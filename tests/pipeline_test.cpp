// SPDX-License-Identifier: MIT
// The streaming pipeline: pieces of any size give the same bytes, streams (which cannot seek) read
// what files read, header limits, trailing bytes, and memory that does not grow with the input.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "imabox/convert.hpp"
#include "io/byte_stream.hpp"
#include "media/media.hpp"
#include "no_media.hpp"
#include "pipeline/pipeline.hpp"
#include "test_util.hpp"
#include "wave/wave_header.hpp"
#include "wave_bytes.hpp"

namespace imabox {
namespace {

using test::Bytes;
using test::Chunk;
using test::FmtBody;
using test::Riff;

// A memory stream that cannot seek and has no known size, like a pipe.
class PipeSource final : public ByteSource {
  public:
    explicit PipeSource(std::span<const std::uint8_t> data) : memory_(data) {}
    std::size_t Read(std::span<std::uint8_t> out) override { return memory_.Read(out); }
    void Skip(std::uint64_t bytes) override { memory_.Skip(bytes); }
    bool Failed() const override { return false; }
    std::uint64_t Position() const override { return memory_.Position(); }
    std::optional<std::uint64_t> Size() const override { return std::nullopt; }
    bool Seekable() const override { return false; }
    bool Seek(std::uint64_t) override { return false; }

  private:
    MemoryByteSource memory_;
};

// A sink that cannot seek back, like standard output.
class PipeSink final : public ByteSink {
  public:
    bool Write(std::span<const std::uint8_t> bytes) override {
        bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
        return true;
    }
    Bytes bytes_;
};

enum class Way { Encode, Decode };

ConversionRequest Request(Way way, int quality = 0) {
    if (way == Way::Decode)
        return ConversionRequest::ForDecode({});
    EncodeOptions o;
    o.quality = quality;
    return ConversionRequest::ForEncode(o);
}

// Converts `file` read from `source` with pieces of `pieceBytes`.
Expected<MemoryOutput<ConversionReport>> RunSource(ByteSource& source,
                                                   const ConversionRequest& request,
                                                   std::size_t pieceBytes) {
    Expected<ConversionPlan> plan = OpenConversion(source, request, AvailableMedia());
    if (!plan)
        return plan.error();
    plan->pieceBytes = pieceBytes;
    MemoryOutput<ConversionReport> result;
    MemoryByteSink sink(result.file);
    Expected<ConversionReport> report = RunConversion(plan.value(), sink);
    if (!report)
        return report.error();
    result.report = report.value();
    return result;
}

Expected<MemoryOutput<ConversionReport>> RunMemory(const Bytes& file,
                                                   const ConversionRequest& request,
                                                   std::size_t pieceBytes) {
    MemoryByteSource source(file);
    return RunSource(source, request, pieceBytes);
}

// `frames` frames of a signal in every sample format the pipeline reads, in 16-bit units.
double Signal(std::size_t i) {
    return 9000.0 * std::sin(0.021 * double(i)) + 3000.0 * std::sin(0.37 * double(i) + 1.0);
}

Bytes Payload(SourceFormat format, std::size_t samples, bool exact) {
    Bytes b;
    for (std::size_t i = 0; i < samples; ++i) {
        const double x = exact ? std::round(Signal(i)) : Signal(i);
        switch (format) {
            case SourceFormat::PCM8:
                b.push_back(static_cast<std::uint8_t>(128 + std::lround(x / 256)));
                break;
            case SourceFormat::PCM16:
                test::Put16(b, static_cast<std::uint16_t>(std::lround(x)));
                break;
            case SourceFormat::PCM24: {
                const auto v = static_cast<std::uint32_t>(std::lround(x * 256));
                b.insert(b.end(), {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16)});
                break;
            }
            case SourceFormat::PCM32:
                test::Put32(b, static_cast<std::uint32_t>(std::lround(x * 65536)));
                break;
            case SourceFormat::Float32:
                test::Put32(b, std::bit_cast<std::uint32_t>(static_cast<float>(x / 32768)));
                break;
            case SourceFormat::Float64: {
                const auto u = std::bit_cast<std::uint64_t>(x / 32768);
                test::Put32(b, static_cast<std::uint32_t>(u));
                test::Put32(b, static_cast<std::uint32_t>(u >> 32));
                break;
            }
            default:
                break;
        }
    }
    return b;
}

Bytes FmtFor(SourceFormat format, unsigned channels) {
    unsigned tag = 1, bits = 16;
    switch (format) {
        case SourceFormat::PCM8:
            bits = 8;
            break;
        case SourceFormat::PCM24:
            bits = 24;
            break;
        case SourceFormat::PCM32:
            bits = 32;
            break;
        case SourceFormat::Float32:
            tag = 3;
            bits = 32;
            break;
        case SourceFormat::Float64:
            tag = 3;
            bits = 64;
            break;
        default:
            break;
    }
    return Chunk("fmt ", FmtBody(tag, channels, 22050, channels * bits / 8, bits));
}

Bytes PCMFile(SourceFormat format, unsigned channels, std::size_t frames, bool exact = false) {
    return Riff({Chunk("LIST", Bytes(7, 'i')), FmtFor(format, channels),
                 Chunk("data", Payload(format, frames * channels, exact))});
}

// ADPCM blocks: Xbox ADPCM (0x0069) encoded here, or IMA ADPCM (0x0011) of 72 bytes per channel
// (137 frames a block) from arbitrary codes. `fact` adds a fact chunk.
Bytes ADPCMFile(bool xbox, unsigned channels, std::size_t blocks,
                std::optional<std::uint32_t> fact) {
    Bytes data;
    unsigned blockAlign = 72 * channels;
    if (xbox) {
        const Bytes pcm = PCMFile(SourceFormat::PCM16, channels, blocks * 65, true);
        auto encoded = EncodeMemory(pcm);
        EXPECT_TRUE(encoded.ok());
        data.assign(encoded->file.begin() + 48, encoded->file.end());
        blockAlign = 36 * channels;
    } else {
        const auto codes = test::RandomSamples(blocks * blockAlign / 2, 5);
        data = test::Samples16(std::vector<std::int16_t>(codes.begin(), codes.end()));
    }
    const unsigned blockFrames = (blockAlign / channels - 4) * 2 + 1;
    std::vector<Bytes> chunks = {
        Chunk("fmt ", FmtBody(xbox ? 0x69 : 0x11, channels, 22050, blockAlign, 4,
                              {2, 0, std::uint8_t(blockFrames), 0}))};
    if (fact) {
        Bytes body;
        test::Put32(body, *fact);
        chunks.push_back(Chunk("fact", body));
    }
    chunks.push_back(Chunk("data", data));
    return Riff(chunks);
}

// An Xbox ADPCM file without the chunks carried after its data (a stream, which cannot go back
// to the chunks before its audio, carries none).
Bytes WithoutTrailer(Bytes file) {
    const auto get32 = [&](std::size_t at) {
        return std::uint32_t{file[at]} | std::uint32_t{file[at + 1]} << 8 |
               std::uint32_t{file[at + 2]} << 16 | std::uint32_t{file[at + 3]} << 24;
    };
    file.resize(std::min<std::size_t>(file.size(), 48 + get32(44)));
    const std::uint32_t riff = static_cast<std::uint32_t>(file.size() - 8);
    for (int i = 0; i < 4; ++i)
        file[4 + i] = static_cast<std::uint8_t>(riff >> (8 * i));
    return file;
}

constexpr SourceFormat kPCMFormats[] = {SourceFormat::PCM8,    SourceFormat::PCM16,
                                        SourceFormat::PCM24,   SourceFormat::PCM32,
                                        SourceFormat::Float32, SourceFormat::Float64};

// Pieces of one block, of a few blocks, and of the whole file give the same bytes, for lengths
// around the piece size; so does a stream that cannot seek (for exact sources: a stream decides
// dither per sample, a file per payload).
TEST(Pipeline, PieceBoundariesDoNotChangeABytePerSampleFormat) {
    for (const SourceFormat format : kPCMFormats) {
        for (const unsigned channels : {1u, 3u}) {
            // A piece of 2 blocks (the smallest piece size used below) holds 130 frames.
            for (const std::size_t frames : {0u, 1u, 64u, 65u, 66u, 129u, 130u, 131u, 1000u}) {
                SCOPED_TRACE(DescribeSourceFormat(format) + ", " + std::to_string(channels) +
                             " channels, " + std::to_string(frames) + " frames");
                const Bytes file = PCMFile(format, channels, frames);
                const auto whole = RunMemory(file, Request(Way::Encode), kPipelinePieceBytes);
                ASSERT_TRUE(whole.ok()) << whole.error().message;
                EXPECT_EQ(whole->report.inputFrames, frames);
                for (const std::size_t piece : {1u, 2u * 130 * channels, 3u * 130 * channels}) {
                    const auto pieces = RunMemory(file, Request(Way::Encode), piece);
                    ASSERT_TRUE(pieces.ok());
                    EXPECT_EQ(pieces->file, whole->file) << piece << "-byte pieces";
                }
                const Bytes exactFile = PCMFile(format, channels, frames, true);
                const auto exact = RunMemory(exactFile, Request(Way::Encode), 260);
                PipeSource pipe(exactFile);
                const auto streamed = RunSource(pipe, Request(Way::Encode), 260);
                ASSERT_TRUE(exact.ok() && streamed.ok());
                EXPECT_EQ(streamed->file, WithoutTrailer(exact->file));
                EXPECT_FALSE(streamed->report.dithered);
            }
        }
    }
}

TEST(Pipeline, ADPCMPieceBoundariesAndFactTrimming) {
    for (const bool xbox : {true, false}) {
        const std::size_t blockFrames = xbox ? 65 : 137;
        for (const std::size_t blocks : {1u, 2u, 3u, 17u}) {
            for (const bool withFact : {false, true}) {
                // A fact count that trims the last block's fill.
                const std::uint32_t factFrames = std::uint32_t(blocks * blockFrames - 5);
                SCOPED_TRACE(std::string(xbox ? "Xbox" : "IMA") + ", " + std::to_string(blocks) +
                             " blocks, fact " + (withFact ? "yes" : "no"));
                const Bytes file =
                    ADPCMFile(xbox, 2, blocks, withFact ? std::optional(factFrames) : std::nullopt);
                const auto whole = RunMemory(file, Request(Way::Decode), kPipelinePieceBytes);
                ASSERT_TRUE(whole.ok()) << whole.error().message;
                const std::size_t expected = withFact ? factFrames : blocks * blockFrames;
                EXPECT_EQ(whole->report.inputFrames, expected);
                EXPECT_EQ(whole->file.size(), 44 + expected * 4);
                for (const std::size_t piece :
                     {std::size_t{1}, 4 * blockFrames, 6 * blockFrames + 7}) {
                    const auto pieces = RunMemory(file, Request(Way::Decode), piece);
                    ASSERT_TRUE(pieces.ok());
                    EXPECT_EQ(pieces->file, whole->file) << piece << "-byte pieces";
                }
                PipeSource pipe(file);
                const auto streamed = RunSource(pipe, Request(Way::Decode), 1000);
                ASSERT_TRUE(streamed.ok());
                EXPECT_EQ(streamed->file, whole->file);
                if (!xbox) {  // IMA ADPCM encodes too: its blocks are not whole pieces there
                    const auto a = RunMemory(file, Request(Way::Encode), kPipelinePieceBytes);
                    const auto b = RunMemory(file, Request(Way::Encode), 300);
                    ASSERT_TRUE(a.ok() && b.ok());
                    EXPECT_EQ(a->file, b->file);
                    EXPECT_EQ(a->report.inputFrames, expected);
                }
            }
        }
    }
}

TEST(Pipeline, SearchingEncoderCarriesItsStateAcrossPieces) {
    const Bytes file = PCMFile(SourceFormat::PCM16, 2, 700, true);
    const auto whole = RunMemory(file, Request(Way::Encode, 2), kPipelinePieceBytes);
    const auto pieces = RunMemory(file, Request(Way::Encode, 2), 2 * 260);
    ASSERT_TRUE(whole.ok() && pieces.ok());
    EXPECT_EQ(pieces->file, whole->file);
}

// Truncated tails: a partial frame is ignored and counted; a data chunk that declares more than
// there is fails, in a file before anything is written and in a stream when it ends.
TEST(Pipeline, TruncatedTails) {
    for (const SourceFormat format : kPCMFormats) {
        SCOPED_TRACE(DescribeSourceFormat(format));
        Bytes payload = Payload(format, 200, false);
        payload.push_back(7);  // a 101st frame's first byte
        const Bytes partial = Riff({FmtFor(format, 2), Chunk("data", payload)});
        const auto r = RunMemory(partial, Request(Way::Encode), 260);
        ASSERT_TRUE(r.ok()) << r.error().message;
        EXPECT_EQ(r->report.inputFrames, 100u);
        EXPECT_EQ(r->report.ignoredBytes, 1u);
        PipeSource pipe(partial);
        const auto streamed = RunSource(pipe, Request(Way::Encode), 260);
        ASSERT_TRUE(streamed.ok());
        EXPECT_EQ(streamed->report.ignoredBytes, 1u);

        Bytes cut = Riff({FmtFor(format, 2), Chunk("data", Payload(format, 200, false))});
        cut.resize(cut.size() - 16);
        const auto file = RunMemory(cut, Request(Way::Encode), 260);
        ASSERT_FALSE(file.ok());
        EXPECT_EQ(file.error().kind, ErrorKind::Truncated);
        PipeSource cutPipe(cut);
        const auto stream = RunSource(cutPipe, Request(Way::Encode), 260);
        ASSERT_FALSE(stream.ok());
        EXPECT_EQ(stream.error().kind, ErrorKind::Truncated);
    }
}

// Stray bytes after the last chunk are reported, not fatal, whether or not they look like the
// start of a chunk; a stream needs its fmt chunk before the audio.
TEST(Pipeline, TrailingBytesAndChunkOrder) {
    const Bytes file = PCMFile(SourceFormat::PCM16, 1, 100);
    for (const Bytes& tail : {Bytes{1, 2, 3}, Bytes{'J', 'U', 'N', 'K', 0xFF, 0xFF, 0, 0, 9, 9}}) {
        Bytes withTail = file;
        withTail.insert(withTail.end(), tail.begin(), tail.end());
        const auto r = EncodeMemory(withTail);
        ASSERT_TRUE(r.ok()) << r.error().message;
        EXPECT_EQ(r->report.trailingBytes, tail.size());
        EXPECT_EQ(r->file, EncodeMemory(file)->file);
    }
    const Bytes late =
        Riff({Chunk("data", test::Samples16({1, 2, 3, 4})), FmtFor(SourceFormat::PCM16, 1)});
    EXPECT_TRUE(EncodeMemory(late).ok());
    PipeSource pipe(late);
    const auto streamed = RunSource(pipe, Request(Way::Encode), 260);
    ASSERT_FALSE(streamed.ok());
    EXPECT_EQ(streamed.error().kind, ErrorKind::MissingChunk);
}

// Channel counts the output header cannot describe are refused before anything is read: 36 x
// channels must fit Xbox ADPCM's 16-bit block align, 2 x channels 16-bit PCM's.
TEST(Pipeline, RefusesChannelCountsTheOutputHeaderCannotHold) {
    const auto pcm = [](unsigned channels) {
        return Riff({Chunk("fmt ", FmtBody(1, channels, 8000, 2 * channels, 16)),
                     Chunk("data", Bytes(2 * channels, 0))});
    };
    const auto encoded = EncodeMemory(pcm(1820));
    ASSERT_TRUE(encoded.ok()) << encoded.error().message;
    EXPECT_EQ(GetLE16(&encoded->file[32]), 36u * 1820);
    const auto tooMany = EncodeMemory(pcm(1821));
    ASSERT_FALSE(tooMany.ok());
    EXPECT_EQ(tooMany.error().kind, ErrorKind::TooManyChannels);
    EXPECT_THAT(tooMany.error().message, ::testing::HasSubstr("1821 channels"));

    const auto xbox = [](unsigned channels) {
        return Riff({Chunk("fmt ", FmtBody(0x69, channels, 8000, 0, 4, {2, 0, 64, 0})),
                     Chunk("data", Bytes(36 * channels, 0))});
    };
    const auto decoded = DecodeMemory(xbox(32767));
    ASSERT_TRUE(decoded.ok()) << decoded.error().message;
    EXPECT_EQ(GetLE16(&decoded->file[32]), 2u * 32767);
    const auto decodedTooMany = DecodeMemory(xbox(32768));
    ASSERT_FALSE(decodedTooMany.ok());
    EXPECT_EQ(decodedTooMany.error().kind, ErrorKind::TooManyChannels);
}

// What WAVE does not cover (other containers, rates, output formats) the pipeline asks of its
// media adapters, whatever the build has.
TEST(Pipeline, AsksItsMediaAdaptersForWhatWaveLacks) {
    const test::NoMedia media;
    const auto refusal = [&](const Bytes& file, const ConversionRequest& request) {
        MemoryByteSource source(file);
        const Expected<ConversionPlan> plan = OpenConversion(source, request, media);
        return plan ? std::string("planned") : plan.error().message;
    };
    Bytes flac = {'f', 'L', 'a', 'C'};
    flac.resize(64, 0);
    EXPECT_EQ(refusal(flac, Request(Way::Encode)), "no reader for FLAC");
    const Bytes pcm = PCMFile(SourceFormat::PCM16, 2, 1000);
    EXPECT_EQ(refusal(pcm, Request(Way::Encode)), "planned");
    EncodeOptions rate;
    rate.sampleRate = 12345;
    EXPECT_EQ(refusal(pcm, ConversionRequest::ForEncode(rate)), "no resampler to 12345");
    const Bytes xbox = ADPCMFile(true, 2, 3, std::nullopt);
    EXPECT_EQ(refusal(xbox, ConversionRequest::ForDecode({.format = "wav"})), "planned");
    EXPECT_EQ(refusal(xbox, ConversionRequest::ForDecode({.format = "flac"})),
              "no writer for flac");
}

// encode's pool: several files at once, each exactly what one conversion writes (ThreadSanitizer
// runs this through the tool, label "threads").
TEST(Pipeline, EncodePoolConvertsManyFilesAtOnce) {
    test::TempDir dir;
    std::vector<std::string> args = {"encode", "--quiet", "-j", "3",
                                     "-q",     "1",       "-d", (dir / "out").string()};
    std::vector<Bytes> expected;
    for (unsigned i = 0; i < 6; ++i) {
        const Bytes file = PCMFile(SourceFormat::PCM24, 1 + i % 2, 3000 + 100 * i);
        const std::string name = "in" + std::to_string(i) + ".wav";
        test::WriteFileBytes(dir / name, file);
        args.push_back((dir / name).string());
        const auto one = EncodeMemory(file, {.quality = 1});
        ASSERT_TRUE(one.ok());
        expected.push_back(one->file);
    }
    const test::ChildResult r = test::RunProgram(IMABOX_TOOL, args);
    ASSERT_EQ(r.exitStatus, 0) << r.output;
    for (unsigned i = 0; i < 6; ++i) {
        EXPECT_EQ(test::ReadFileBytes(dir / "out" / ("in" + std::to_string(i) + ".wav")),
                  expected[i])
            << i;
    }
}

// Peak memory of a child process that converts a large sparse file with the tool: the pipeline
// holds pieces, never the payload.
long PeakKiB(const std::vector<std::string>& args) {
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return -1;
    return usage.ru_maxrss;
}

// A sparse file: `header` followed by `dataBytes` of zeros that take no disk.
void WriteSparse(const std::filesystem::path& path, Bytes header, std::uint64_t dataBytes) {
    PutLE32(&header[4], static_cast<std::uint32_t>(header.size() - 8 + dataBytes));
    PutLE32(&header[header.size() - 4], static_cast<std::uint32_t>(dataBytes));
    test::WriteFileBytes(path, header);
    std::filesystem::resize_file(path, header.size() + dataBytes);
}

TEST(Pipeline, MemoryDoesNotGrowWithTheInput) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizers hold memory of their own";
#endif
    if (!std::filesystem::exists("/dev/null"))
        GTEST_SKIP() << "no /dev/null";
    test::TempDir dir;
    // 256 MiB of 16-bit PCM and 64 MiB of Xbox ADPCM (230 MiB of PCM once decoded), written to
    // /dev/null in place.
    WriteSparse(dir / "big.wav", test::MakePCMWave(2, 44100, {}), std::uint64_t{256} << 20);
    WriteSparse(dir / "big.xbox.wav", test::MakeXBoxADPCMWave(2, 44100, {}, 0),
                std::uint64_t{64} << 20);
    const long encodeKiB = PeakKiB({IMABOX_TOOL, "encode", "--quiet", "-j", "1",
                                    (dir / "big.wav").string(), "-o", "/dev/null"});
    ASSERT_GT(encodeKiB, 0) << "encode failed";
    EXPECT_LT(encodeKiB, 24 * 1024) << "encode held " << encodeKiB << " KiB";
    const long decodeKiB = PeakKiB({IMABOX_TOOL, "decode", "--quiet", "-j", "1",
                                    (dir / "big.xbox.wav").string(), "-o", "/dev/null"});
    ASSERT_GT(decodeKiB, 0) << "decode failed";
    EXPECT_LT(decodeKiB, 24 * 1024) << "decode held " << decodeKiB << " KiB";
}

// Exit status of the tool run in a child whose address space is limited to `limitBytes`.
int RunWithAddressLimit(const std::vector<std::string>& args, rlim_t limitBytes) {
    const pid_t pid = fork();
    if (pid == 0) {
        const struct rlimit limit { limitBytes, limitBytes };
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        if (setrlimit(RLIMIT_AS, &limit) == 0)
            execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status)
                                                                           : -1;
}

// Small inputs whose stages once grew with the channel count, the resampling ratio or the
// repeats of an unrolled loop convert within 256 MiB of address space.
TEST(Pipeline, MemoryDoesNotGrowWithChannelsRatioOrRepeats) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizers reserve address space of their own";
#endif
    test::TempDir dir;
    // 1820 channels of 2 frames, to one channel.
    test::WriteFileBytes(dir / "wide.wav",
                         test::MakePCMWave(1820, 8000, std::vector<std::int16_t>(2 * 1820)));
    // 25 s of stereo at 1 kHz, to 768 kHz.
    std::vector<std::int16_t> tone(2 * 25000);
    for (std::size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<std::int16_t>(8000 * std::sin(0.3 * static_cast<double>(i / 2)));
    test::WriteFileBytes(dir / "slow.wav", test::MakePCMWave(2, 1000, tone));
    // 8 channels with a loop of 524288 frames from frame 1, unrolled 65 times.
    Bytes smpl;
    for (const std::uint32_t v : {0u, 0u, 22675u, 60u, 0u, 0u, 0u, 1u, 0u, 0u, 0u, 1u, 524288u})
        test::Put32(smpl, v);
    smpl.resize(smpl.size() + 8);
    test::FmtFields fmt;
    fmt.channels = 8;
    fmt.sampleRate = 44100;
    WriteSparse(dir / "loop.wav", test::MakeWave(fmt, Chunk("smpl", smpl), 0, {}),
                std::uint64_t{600000} * 16);
    const std::string tool = IMABOX_TOOL;
    std::vector<std::vector<std::string>> runs = {
        {tool, "encode", "-j1", dir / "wide.wav", "--channels", "1"},
        {tool, "encode", "-j1", dir / "loop.wav", "--loop-align", "unroll"}};
#if defined(IMABOX_HAVE_SOXR)  // a rate change needs the resampler
    runs.push_back({tool, "encode", "-j1", dir / "slow.wav", "--rate", "768000"});
#endif
    for (const std::vector<std::string>& args : runs) {
        std::vector<std::string> run = args;
        run.insert(run.end(), {"--quiet", "-o", "/dev/null"});
        EXPECT_EQ(RunWithAddressLimit(run, rlim_t{256} << 20), 0) << args[3];
    }
}

}  // namespace
}  // namespace imabox
