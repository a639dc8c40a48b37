// Encode and Decode: any common WAVE file to Xbox ADPCM, ADPCM to 16-bit PCM, streaming from the
// input to a temporary file that replaces the output once complete.
#include "convert/encode_decode.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <new>
#include <random>
#include <system_error>

#include "convert/pipeline.hpp"
#include "io/errors.hpp"
#include "io/file.hpp"
#include "wave/wave_metadata.hpp"
#include "wave/wave_walker.hpp"

namespace imabox {
namespace {

// A name for the temporary output next to `output`, unique across threads and processes.
std::filesystem::path TemporaryPath(const std::filesystem::path& output) {
    static std::atomic<std::uint64_t> counter{0};
    static const std::uint64_t seed = [] {
        std::random_device device;
        return (std::uint64_t{device()} << 32) ^ device() ^
               static_cast<std::uint64_t>(
                   std::chrono::steady_clock::now().time_since_epoch().count());
    }();
    const std::uint64_t n = seed + 0x9E3779B97F4A7C15ull * ++counter;
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%016llx.tmp", static_cast<unsigned long long>(n));
    std::filesystem::path name = ".";
    name += output.filename();
    name += suffix;
    return output.parent_path() / name;
}

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

// Streams the plan into a temporary file beside `output` and renames it over `output`. The
// temporary file is removed on any failure.
Expected<ConvertReport> WriteReplacing(ConversionPlan& plan, const std::filesystem::path& output) {
    std::filesystem::path temporary;
    FileHandle out;
    for (int attempt = 0; attempt < 8 && !out; ++attempt) {
        temporary = TemporaryPath(output);
        errno = 0;
        out = OpenFile(temporary, "wbx");
        if (!out && errno != EEXIST)
            break;
    }
    if (!out) {
        return MakeError(ErrorKind::OutputCreate, "a temporary file beside " + output.string() +
                                                      ": " + SystemErrorText(errno));
    }
    std::error_code ignored;
    Expected<ConvertReport> report = MakeError(ErrorKind::Internal);
    {
        FileByteSink sink(out.get());
        report = RunConversion(plan, sink);
    }
    errno = 0;
    const bool closed = CloseFile(std::move(out));
    const int closeErrno = errno != 0 ? errno : EIO;
    if (report && !closed)
        report = MakeError(ErrorKind::OutputWrite, SystemErrorText(closeErrno));
    if (!report) {
        std::filesystem::remove(temporary, ignored);
        return report;
    }
    std::error_code ec;
    std::filesystem::rename(temporary, output, ec);
    if (ec) {
        std::filesystem::remove(temporary, ignored);
        return MakeError(ErrorKind::OutputRename, ec.message());
    }
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
        return WriteReplacing(plan.value(), output);
    } catch (const std::bad_alloc&) {
        return MakeError(ErrorKind::OutOfMemory);
    } catch (const std::length_error&) {
        return MakeError(ErrorKind::OutOfMemory);
    } catch (const std::filesystem::filesystem_error& e) {
        return MakeError(ErrorKind::Internal, e.what());
    }
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
        Expected<ConvertReport> report = RunConversion(plan.value(), sink);
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

Expected<ConvertReport> ConvertFile(const std::filesystem::path& input,
                                    const std::filesystem::path& output,
                                    const ConvertOptions& options) {
    if (options.direction == ConvertDirection::Auto)
        return ConvertStrictFile(input, output, options);
    return EncodeDecodeFile(input, output, options);
}

Expected<MemoryConversion> ConvertMemory(std::span<const std::uint8_t> input,
                                         const ConvertOptions& options) {
    if (options.direction == ConvertDirection::Auto)
        return ConvertStrictMemory(input, options);
    return EncodeDecodeMemory(input, options);
}

Expected<WaveInfo> ReadWaveInfo(const std::filesystem::path& file) {
    try {
        Expected<FileHandle> in = OpenInput(file);
        if (!in)
            return in.error();
        FileByteSource source(in->get());
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
