// Encode and Decode: any common WAVE file to Xbox ADPCM, ADPCM to 16-bit PCM, streaming from the
// input to the output under the output policy of io/output_file.hpp.
#include "api/encode_decode.hpp"

#include <cerrno>
#include <cstdio>
#include <new>
#include <system_error>

#include "exact/exact_converter.hpp"
#include "io/errors.hpp"
#include "io/file.hpp"
#include "io/output_file.hpp"
#include "pipeline/pipeline.hpp"
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

// The output policy's file as a byte sink.
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

// Streams the plan into `output` under the output policy (io/output_file.hpp): a regular file
// appears only once complete, and a failure leaves what was there untouched.
Expected<ConvertReport> WriteOutput(ConversionPlan& plan, const std::filesystem::path& output,
                                    const ConvertOptions& options) {
    io::OutputFile out = io::OutputFile::Open(output);
    if (!out)
        return OutputFailure(out.error());
    OutputFileSink sink(out);
    Expected<ConvertReport> report = RunConversion(plan, sink, {.raw = options.raw});
    if (!report) {
        if (report.error().kind == ErrorKind::OutputWrite && out.error().code)
            return OutputFailure(out.error());
        return report;  // the temporary file goes with `out`
    }
    if (!out.Commit())
        return OutputFailure(out.error());
    return report;
}

}  // namespace

Expected<ConvertReport> EncodeDecodeFile(const std::filesystem::path& input,
                                         const std::filesystem::path& output,
                                         const ConvertOptions& options) {
    try {
        std::error_code ec;
        if (std::filesystem::equivalent(input, output, ec))
            return MakeError(ErrorKind::OutputIsInput);
        Expected<FileHandle> in = OpenInput(input);
        if (!in)
            return in.error();
        FileByteSource source(in->get());
        Expected<ConversionPlan> plan = OpenConversion(source, options);
        if (!plan)
            return plan.error();
        return WriteOutput(plan.value(), output, options);
    } catch (const std::bad_alloc&) {
        return MakeError(ErrorKind::OutOfMemory);
    } catch (const std::length_error&) {
        return MakeError(ErrorKind::OutOfMemory);
    } catch (const std::filesystem::filesystem_error& e) {
        return MakeError(ErrorKind::Internal, e.what());
    }
}

namespace {

// Encode or Decode from `source` into `output` (a path: replaced once complete) or `stream`
// (written in order, not closed).
Expected<ConvertReport> EncodeDecodeSource(ByteSource& source, const std::filesystem::path* output,
                                           std::FILE* stream, const ConvertOptions& options) {
    try {
        Expected<ConversionPlan> plan = OpenConversion(source, options);
        if (!plan)
            return plan.error();
        if (output)
            return WriteOutput(plan.value(), *output, options);
        ForwardSink sink(stream);
        Expected<ConvertReport> report = RunConversion(plan.value(), sink, {.raw = options.raw});
        if (report && std::fflush(stream) != 0)
            return MakeError(ErrorKind::OutputWrite, SystemErrorText(errno));
        return report;
    } catch (const std::bad_alloc&) {
        return MakeError(ErrorKind::OutOfMemory);
    } catch (const std::length_error&) {
        return MakeError(ErrorKind::OutOfMemory);
    } catch (const std::filesystem::filesystem_error& e) {
        return MakeError(ErrorKind::Internal, e.what());
    }
}

Expected<bool> CheckStreamDirection(const ConvertOptions& options) {
    if (options.direction == ConvertDirection::Auto)
        return MakeError(ErrorKind::InvalidArgument, "streams are for Encode and Decode");
    return true;
}

}  // namespace

Expected<ConvertReport> ConvertFile(const std::filesystem::path& input,
                                    const std::filesystem::path& output,
                                    const ConvertOptions& options) {
    if (options.direction == ConvertDirection::Auto)
        return AutoConvertFile(input, output, options);
    return EncodeDecodeFile(input, output, options);
}

Expected<MemoryConversion> ConvertMemory(std::span<const std::uint8_t> input,
                                         const ConvertOptions& options) {
    if (options.direction == ConvertDirection::Auto)
        return AutoConvertMemory(input, options);
    return EncodeDecodeMemory(input, options);
}

Expected<ConvertReport> ConvertStream(std::FILE* input, std::FILE* output,
                                      const ConvertOptions& options) {
    if (const Expected<bool> ok = CheckStreamDirection(options); !ok)
        return ok.error();
    FileByteSource source(input);
    return EncodeDecodeSource(source, nullptr, output, options);
}

Expected<ConvertReport> ConvertStream(std::FILE* input, const std::filesystem::path& output,
                                      const ConvertOptions& options) {
    if (const Expected<bool> ok = CheckStreamDirection(options); !ok)
        return ok.error();
    FileByteSource source(input);
    return EncodeDecodeSource(source, &output, nullptr, options);
}

Expected<ConvertReport> ConvertStream(const std::filesystem::path& input, std::FILE* output,
                                      const ConvertOptions& options) {
    if (const Expected<bool> ok = CheckStreamDirection(options); !ok)
        return ok.error();
    Expected<FileHandle> in = OpenInput(input);
    if (!in)
        return in.error();
    FileByteSource source(in->get());
    return EncodeDecodeSource(source, nullptr, output, options);
}

Expected<MemoryConversion> EncodeDecodeMemory(std::span<const std::uint8_t> input,
                                              const ConvertOptions& options) {
    try {
        MemoryByteSource source(input);
        Expected<ConversionPlan> plan = OpenConversion(source, options);
        if (!plan)
            return plan.error();
        MemoryConversion result;
        if (plan->outputDataBytes)
            result.file.reserve(*plan->outputDataBytes + 48);
        MemoryByteSink sink(result.file);
        Expected<ConvertReport> report = RunConversion(plan.value(), sink, {.raw = options.raw});
        if (!report)
            return report.error();
        result.report = report.value();
        return result;
    } catch (const std::bad_alloc&) {
        return MakeError(ErrorKind::OutOfMemory);
    } catch (const std::length_error&) {
        return MakeError(ErrorKind::OutOfMemory);
    }
}

Expected<WaveInfo> ReadWaveInfoFrom(ByteSource& source) {
    try {
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
            const auto& fact = h.factFrames;
            if (fact && *fact<info.frames&& * fact + h.unitFrames()> info.frames)
                info.frames = *fact;
        }
        info.hasFact = h.factFrames.has_value();
        info.factFrames = h.factFrames.value_or(0);
        info.durationSeconds = static_cast<double>(info.frames) / h.sampleRate;
        for (const WaveChunk& chunk : h.otherChunks)
            info.otherChunks.push_back({chunk.id, chunk.position, chunk.size});
        info.trailingBytes = h.trailingBytes;
        Warnings ignored;
        const WaveMetadata metadata = ReadWaveMetadata(source, h.otherChunks, ignored);
        if (metadata.sampler)
            for (const SampleLoop& loop : metadata.sampler->loops)
                info.loops.push_back({loop.start, loop.end});
        info.title = InfoText(metadata, kInamId).value_or("");
        return info;
    } catch (const std::bad_alloc&) {
        return MakeError(ErrorKind::OutOfMemory);
    }
}

Expected<WaveInfo> ReadWaveInfo(const std::filesystem::path& file) {
    Expected<FileHandle> in = OpenInput(file);
    if (!in)
        return in.error();
    FileByteSource source(in->get());
    return ReadWaveInfoFrom(source);
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
