// SPDX-License-Identifier: MIT
// The public Encode and Decode entry points (any common audio file to Xbox ADPCM, ADPCM to 16-bit
// PCM), streaming through the pipeline with the build's media adapters under the output policy of
// io/output_file.hpp; and ReadWaveInfo.
#include <cerrno>
#include <cstdio>
#include <new>
#include <optional>
#include <system_error>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#endif

#include "api/wave_info.hpp"
#include "imabox/convert.hpp"
#include "io/errors.hpp"
#include "io/file.hpp"
#include "io/output_file.hpp"
#include "media/media.hpp"
#include "pipeline/pipeline.hpp"
#include "wave/container_probe.hpp"
#include "wave/wave_metadata.hpp"
#include "wave/wave_walker.hpp"

namespace imabox {
namespace {

// Opens `input` for reading, with a plain message for what goes wrong.
Expected<FileHandle> OpenInput(const std::filesystem::path& input) {
    if (input.empty())
        return MakeError(ErrorKind::InputOpen, "no file name given");
    std::error_code ec;
    if (std::filesystem::is_directory(input, ec))
        return MakeError(ErrorKind::InputIsFolder);
    errno = 0;
    FileHandle in = OpenFile(input, "rb");
    if (!in)
        return MakeError(ErrorKind::InputOpen, SystemErrorText(errno));
    return in;
}

// A stream such as standard output, written strictly in order: even redirected to a file
// (perhaps in append mode) nothing is written back.
class ForwardSink final : public ByteSink {
  public:
    explicit ForwardSink(std::FILE* file) : sink_(file) {}
    bool Write(std::span<const std::uint8_t> bytes) override { return sink_.Write(bytes); }
    int ErrorNumber() const override { return sink_.ErrorNumber(); }

  private:
    FileByteSink sink_;
};

Error OutputFailure(const io::OutputError& error);

// Whether `stream` is a regular file written from its start, not appended to (standard output
// redirected with >): bytes written may then be written again.
bool WritableBack(std::FILE* stream) {
#if defined(_WIN32)
    (void)stream;
    return false;
#else
    const int fd = fileno(stream);
    struct stat st;
    const int flags = fd < 0 ? -1 : fcntl(fd, F_GETFL);
    return flags >= 0 && (flags & O_APPEND) == 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
           ftello(stream) == 0;
#endif
}

// The output policy's file as a byte sink. Its write errors name the file.
class OutputFileSink final : public ByteSink {
  public:
    explicit OutputFileSink(io::OutputFile& out) : out_(out) {}
    bool Write(std::span<const std::uint8_t> bytes) override { return out_.Write(bytes); }
    bool Seekable() const override { return out_.seekable(); }
    bool WriteAt(std::uint64_t position, std::span<const std::uint8_t> bytes) override {
        FileByteSink file(out_.stream());
        return file.WriteAt(position, bytes);
    }
    int ErrorNumber() const override { return out_.error().code.value(); }
    Error WriteError() const override {
        return out_.error().code ? OutputFailure(out_.error()) : ByteSink::WriteError();
    }

  private:
    io::OutputFile& out_;
};

Error OutputFailure(const io::OutputError& error) {
    switch (error.step) {
        case io::OutputError::Step::Open:
        case io::OutputError::Step::Create:
            return Error{ErrorKind::OutputCreate, error.Message()};
        case io::OutputError::Step::Write:
            return Error{ErrorKind::OutputWrite, error.Message()};
        case io::OutputError::Step::Replace:
            return Error{ErrorKind::OutputRename, error.Message()};
    }
    return Error{ErrorKind::OutputWrite, error.Message()};
}

// Runs `convert`, turning what it may throw into errors: allocations that fail, and file system
// queries.
template <class Convert>
auto Guarded(Convert&& convert) -> decltype(convert()) {
    try {
        return convert();
    } catch (const std::bad_alloc&) {
        return MakeError(ErrorKind::OutOfMemory);
    } catch (const std::length_error&) {
        return MakeError(ErrorKind::OutOfMemory);
    } catch (const std::filesystem::filesystem_error& e) {
        return MakeError(ErrorKind::Internal, e.what());
    }
}

// Streams the plan into `output` under the output policy (io/output_file.hpp): a regular file
// appears only once complete, and a failure leaves what was there untouched.
Expected<ConversionReport> WriteOutput(ConversionPlan& plan, const std::filesystem::path& output,
                                       bool raw) {
    io::OutputFile out = io::OutputFile::Open(output);
    if (!out)
        return OutputFailure(out.error());
    OutputFileSink sink(out);
    Expected<ConversionReport> report = RunConversion(plan, sink, {.raw = raw});
    if (!report)
        return report;  // the temporary file goes with `out`
    if (!out.Commit())
        return OutputFailure(out.error());
    return report;
}

Expected<ConversionReport> ConvertFiles(const std::filesystem::path& input,
                                        const std::filesystem::path& output,
                                        const ConversionRequest& request) {
    return Guarded([&]() -> Expected<ConversionReport> {
        std::error_code ec;
        if (std::filesystem::equivalent(input, output, ec))
            return MakeError(ErrorKind::OutputIsInput);
        Expected<FileHandle> in = OpenInput(input);
        if (!in)
            return in.error();
        FileByteSource source(in->get());
        Expected<ConversionPlan> plan = OpenConversion(source, request, AvailableMedia());
        if (!plan)
            return plan.error();
        return WriteOutput(plan.value(), output, request.raw());
    });
}

// From `source` into `output` (a path: replaced once complete) or `stream` (written in order,
// not closed).
Expected<ConversionReport> ConvertSource(ByteSource& source, const std::filesystem::path* output,
                                         std::FILE* stream, const ConversionRequest& request) {
    return Guarded([&]() -> Expected<ConversionReport> {
        Expected<ConversionPlan> plan = OpenConversion(source, request, AvailableMedia());
        if (!plan)
            return plan.error();
        if (output)
            return WriteOutput(plan.value(), *output, request.raw());
        if (!plan->outputFormat.empty() && WritableBack(stream)) {
            // A container whose header is completed at the end, onto a regular file.
            FileByteSink file(stream);
            Expected<ConversionReport> report = RunConversion(plan.value(), file);
            if (report && std::fflush(stream) != 0)
                return MakeError(ErrorKind::OutputWrite, SystemErrorText(errno));
            return report;
        }
        ForwardSink sink(stream);
        Expected<ConversionReport> report =
            RunConversion(plan.value(), sink, {.raw = request.raw()});
        if (report && std::fflush(stream) != 0)
            return MakeError(ErrorKind::OutputWrite, SystemErrorText(errno));
        return report;
    });
}

Expected<ConversionReport> ConvertStreams(std::FILE* input, std::FILE* output,
                                          const ConversionRequest& request) {
    FileByteSource source(input);
    return ConvertSource(source, nullptr, output, request);
}

Expected<ConversionReport> ConvertStreams(std::FILE* input, const std::filesystem::path& output,
                                          const ConversionRequest& request) {
    FileByteSource source(input);
    return ConvertSource(source, &output, nullptr, request);
}

Expected<ConversionReport> ConvertStreams(const std::filesystem::path& input, std::FILE* output,
                                          const ConversionRequest& request) {
    Expected<FileHandle> in = OpenInput(input);
    if (!in)
        return in.error();
    FileByteSource source(in->get());
    return ConvertSource(source, nullptr, output, request);
}

Expected<MemoryOutput<ConversionReport>> ConvertBytes(std::span<const std::uint8_t> input,
                                                      const ConversionRequest& request) {
    return Guarded([&]() -> Expected<MemoryOutput<ConversionReport>> {
        MemoryByteSource source(input);
        Expected<ConversionPlan> plan = OpenConversion(source, request, AvailableMedia());
        if (!plan)
            return plan.error();
        MemoryOutput<ConversionReport> result;
        if (plan->outputDataBytes)
            result.file.reserve(*plan->outputDataBytes + 48);
        MemoryByteSink sink(result.file);
        Expected<ConversionReport> report =
            RunConversion(plan.value(), sink, {.raw = request.raw()});
        if (!report)
            return report.error();
        result.report = std::move(report).value();
        return result;
    });
}

DecodeReport ToDecodeReport(ConversionReport r) {
    DecodeReport d;
    d.input = r.input;
    d.channels = r.inputChannels;
    d.sampleRate = r.inputSampleRate;
    d.frames = r.inputFrames;
    d.blocks = r.blocks;
    d.ignoredBytes = r.ignoredBytes;
    d.trailingBytes = r.trailingBytes;
    d.outputDataBytes = r.outputDataBytes;
    d.outputBytes = r.outputBytes;
    d.warnings = std::move(r.warnings);
    return d;
}

Expected<DecodeReport> ToDecodeReport(Expected<ConversionReport> r) {
    if (!r)
        return r.error();
    return ToDecodeReport(std::move(r).value());
}

Expected<MemoryOutput<DecodeReport>> ToDecodeReport(Expected<MemoryOutput<ConversionReport>> r) {
    if (!r)
        return r.error();
    return MemoryOutput<DecodeReport>{ToDecodeReport(std::move(r->report)), std::move(r->file)};
}

}  // namespace

Expected<EncodeReport> EncodeFile(const std::filesystem::path& input,
                                  const std::filesystem::path& output,
                                  const EncodeOptions& options) {
    return ConvertFiles(input, output, ConversionRequest::ForEncode(options));
}

Expected<MemoryOutput<EncodeReport>> EncodeMemory(std::span<const std::uint8_t> input,
                                                  const EncodeOptions& options) {
    return ConvertBytes(input, ConversionRequest::ForEncode(options));
}

Expected<EncodeReport> EncodeStream(std::FILE* input, std::FILE* output,
                                    const EncodeOptions& options) {
    return ConvertStreams(input, output, ConversionRequest::ForEncode(options));
}

Expected<EncodeReport> EncodeStream(std::FILE* input, const std::filesystem::path& output,
                                    const EncodeOptions& options) {
    return ConvertStreams(input, output, ConversionRequest::ForEncode(options));
}

Expected<EncodeReport> EncodeStream(const std::filesystem::path& input, std::FILE* output,
                                    const EncodeOptions& options) {
    return ConvertStreams(input, output, ConversionRequest::ForEncode(options));
}

std::vector<std::string> DecodeFormats() {
    std::vector<std::string> formats{"wav"};
    for (std::string& format : AvailableMedia().OutputFormats())
        formats.push_back(std::move(format));
    return formats;
}

Expected<DecodeReport> DecodeFile(const std::filesystem::path& input,
                                  const std::filesystem::path& output,
                                  const DecodeOptions& options) {
    return ToDecodeReport(ConvertFiles(input, output, ConversionRequest::ForDecode(options)));
}

Expected<MemoryOutput<DecodeReport>> DecodeMemory(std::span<const std::uint8_t> input,
                                                  const DecodeOptions& options) {
    return ToDecodeReport(ConvertBytes(input, ConversionRequest::ForDecode(options)));
}

Expected<DecodeReport> DecodeStream(std::FILE* input, std::FILE* output,
                                    const DecodeOptions& options) {
    return ToDecodeReport(ConvertStreams(input, output, ConversionRequest::ForDecode(options)));
}

Expected<DecodeReport> DecodeStream(std::FILE* input, const std::filesystem::path& output,
                                    const DecodeOptions& options) {
    return ToDecodeReport(ConvertStreams(input, output, ConversionRequest::ForDecode(options)));
}

Expected<DecodeReport> DecodeStream(const std::filesystem::path& input, std::FILE* output,
                                    const DecodeOptions& options) {
    return ToDecodeReport(ConvertStreams(input, output, ConversionRequest::ForDecode(options)));
}

namespace {

// What `info` and --like read of a container other than WAVE; nothing for a WAVE file (or
// fewer bytes than any header, which the WAVE reader explains) and for a stream.
std::optional<Expected<WaveInfo>> ReadOtherContainerInfo(ByteSource& source) {
    if (!source.Seekable())
        return std::nullopt;
    std::uint8_t head[kContainerProbeBytes];
    const std::uint64_t start = source.Position();
    const std::size_t headBytes = source.Read(head);
    if (source.Failed())
        return Expected<WaveInfo>(
            MakeError(ErrorKind::InputRead, SystemErrorText(source.ErrorNumber())));
    if (!source.Seek(start))
        return Expected<WaveInfo>(MakeError(ErrorKind::InputRead, "cannot go back to the start"));
    const ContainerProbe probe = ProbeContainer(std::span(head, headBytes));
    if (probe.kind != ContainerKind::Other &&
        (probe.kind != ContainerKind::Unknown || headBytes < 12))
        return std::nullopt;
    Expected<std::optional<ContainerAudio>> opened = AvailableMedia().OpenContainer(source, probe);
    if (!opened)
        return Expected<WaveInfo>(opened.error());
    if (!opened.value())
        return std::nullopt;
    const ContainerAudio& audio = **opened;
    const StreamShape& shape =
        audio.streams.int16 ? audio.streams.int16->shape() : audio.streams.real->shape();
    WaveInfo info;
    info.container = audio.format;
    info.channels = static_cast<std::uint16_t>(shape.channels);
    info.sampleRate = shape.sampleRate;
    info.frames = shape.frames.value_or(0);
    info.durationSeconds = static_cast<double>(info.frames) / shape.sampleRate;
    if (audio.sampler)
        for (const SampleLoop& loop : audio.sampler->loops)
            info.loops.push_back({loop.start, loop.end});
    return Expected<WaveInfo>(std::move(info));
}

}  // namespace

Expected<WaveInfo> ReadWaveInfoFrom(ByteSource& source) {
    return Guarded([&]() -> Expected<WaveInfo> {
        if (std::optional<Expected<WaveInfo>> other = ReadOtherContainerInfo(source))
            return std::move(other).value();
        const Expected<WaveHeader> read = ReadWaveHeader(source, {.acceptShortData = true});
        if (!read)
            return read.error();
        const WaveHeader& h = read.value();
        WaveInfo info;
        info.format = h.format;
        info.formatTag = h.formatTag;
        info.channels = h.channels;
        info.sampleRate = h.sampleRate;
        info.blockAlign = h.blockAlign;
        info.bitsPerSample = h.bitsPerSample;
        info.dataOffset = h.dataOffset;
        info.declaredDataBytes = h.declaredDataBytes;
        info.dataBytes = h.dataBytes.value_or(0);
        const std::uint64_t units = info.dataBytes / h.unitBytes();
        info.frames = units * h.unitFrames();
        if (h.adpcm()) {
            info.blocks = units;
            // A fact chunk may say how many frames of the last block are real.
            if (h.factFrames) {
                const std::uint64_t declared = *h.factFrames;
                if (declared < info.frames && declared + h.unitFrames() > info.frames)
                    info.frames = declared;
            }
        }
        info.hasFact = h.factFrames.has_value();
        info.factFrames = h.factFrames.value_or(0);
        info.durationSeconds = static_cast<double>(info.frames) / h.sampleRate;
        for (const WaveChunk& chunk : h.otherChunks)
            info.otherChunks.push_back({chunk.id, chunk.position, chunk.size});
        info.trailingBytes = h.trailingBytes;
        info.bytesPastChunkLimit = h.bytesPastChunkLimit;
        Warnings ignored;
        const WaveMetadata metadata = ReadWaveMetadata(source, h.otherChunks, ignored);
        if (metadata.sampler)
            for (const SampleLoop& loop : metadata.sampler->loops)
                info.loops.push_back({loop.start, loop.end});
        info.title = InfoText(metadata, kInamId).value_or("");
        return info;
    });
}

Expected<WaveInfo> ReadWaveInfo(const std::filesystem::path& file) {
    return Guarded([&]() -> Expected<WaveInfo> {
        Expected<FileHandle> in = OpenInput(file);
        if (!in)
            return in.error();
        FileByteSource source(in->get());
        return ReadWaveInfoFrom(source);
    });
}

Expected<WaveInfo> ReadWaveInfo(std::span<const std::uint8_t> file) {
    MemoryByteSource source(file);
    return ReadWaveInfoFrom(source);
}

std::string DescribeSourceFormat(SourceFormat format) {
    switch (format) {
        case SourceFormat::PCM8:
            return "8-bit PCM";
        case SourceFormat::PCM16:
            return "16-bit PCM";
        case SourceFormat::PCM24:
            return "24-bit PCM";
        case SourceFormat::PCM32:
            return "32-bit PCM";
        case SourceFormat::Float32:
            return "32-bit float";
        case SourceFormat::Float64:
            return "64-bit float";
        case SourceFormat::XBoxADPCM:
            return "Xbox ADPCM (0x0069)";
        case SourceFormat::IMAADPCM:
            return "IMA ADPCM (0x0011)";
    }
    return "unknown";
}

}  // namespace imabox
