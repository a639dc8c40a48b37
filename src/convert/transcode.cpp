// Conversion of common WAVE files to Xbox ADPCM and of ADPCM files to 16-bit PCM, behind the
// encode and decode commands. Headers and the plain encoder are the ones XBoxAudio uses.
#include "imabox/transcode.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <new>
#include <random>
#include <system_error>

#include "codec/xbox_adpcm.hpp"
#include "codec/xbox_adpcm_fast.hpp"
#include "codec/xbox_adpcm_search.hpp"
#include "convert/file_io.hpp"
#include "convert/loop_align.hpp"
#include "convert/loop_stream.hpp"
#include "wave/wave_header.hpp"
#include "wave/wave_metadata.hpp"
#include "wave/wave_reader.hpp"

namespace imabox {
namespace {

constexpr std::uint64_t kMaxRiffSize = std::numeric_limits<std::uint32_t>::max();

std::string SystemMessage(int error) {
    return std::generic_category().message(error);
}

Expected<std::vector<std::uint8_t>> ReadWholeFile(const std::filesystem::path& path) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec))
        return Error{"is a directory"};
    errno = 0;
    FileHandle in = OpenFile(path, "rb");
    if (!in)
        return Error{"cannot open: " + SystemMessage(errno)};
    std::vector<std::uint8_t> bytes;
    std::array<std::uint8_t, 1 << 16> chunk;
    while (true) {
        const std::size_t n = std::fread(chunk.data(), 1, chunk.size(), in.get());
        bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n));
        if (n < chunk.size())
            break;
    }
    if (std::ferror(in.get()))
        return Error{"read error: " + SystemMessage(errno)};
    return bytes;
}

void SamplesToFileOrder(std::span<const std::int16_t> samples, std::uint8_t* out) {
    for (const std::int16_t s : samples) {
        PutLE16(out, static_cast<std::uint16_t>(s));
        out += 2;
    }
}

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

// Writes `bytes` to a temporary file beside `output` and renames it over `output`. The
// temporary file is removed on any failure.
Expected<bool> WriteAtomically(const std::filesystem::path& output,
                               std::span<const std::uint8_t> bytes) {
    std::filesystem::path temporary;
    FileHandle out;
    for (int attempt = 0; attempt < 8 && !out; ++attempt) {
        temporary = TemporaryPath(output);
        errno = 0;
        out = OpenFile(temporary, "wbx");
        if (!out && errno != EEXIST)
            break;
    }
    if (!out)
        return Error{"cannot create a temporary file beside " + output.string() + ": " +
                     SystemMessage(errno)};
    const bool written = WriteAll(out.get(), bytes);
    const int writeErrno = errno;
    std::error_code ec;
    if (!CloseFile(std::move(out)) || !written) {
        std::filesystem::remove(temporary, ec);
        return Error{"cannot write output: " + SystemMessage(writeErrno ? writeErrno : EIO)};
    }
    std::filesystem::rename(temporary, output, ec);
    if (ec) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        return Error{"cannot rename output into place: " + ec.message()};
    }
    return true;
}

}  // namespace

Expected<WaveAudio> ReadWaveFile(const std::filesystem::path& file) {
    try {
        const Expected<std::vector<std::uint8_t>> bytes = ReadWholeFile(file);
        if (!bytes)
            return bytes.error();
        return ReadWave(bytes.value());
    } catch (const std::bad_alloc&) {
        return Error{"out of memory"};
    }
}

Expected<std::vector<std::uint8_t>> EncodeXBoxADPCMWave(const WaveAudio& audio,
                                                        const EncodeOptions& options) {
    if (options.quality < 0 || options.quality > kMaxEncodeQuality)
        return Error{"quality must be 0 to " + std::to_string(kMaxEncodeQuality)};
    if (audio.channels == 0 || audio.samples.size() % audio.channels != 0)
        return Error{"audio has no channels or a partial frame"};
    const unsigned channels = audio.channels;
    const std::uint64_t frames = audio.frames();
    const std::uint64_t blocks = XBoxADPCMBlockCount(frames);
    const std::uint64_t dataBytes = blocks * kBlockBytesPerChannel * channels;
    if (dataBytes + kXBoxADPCMHeaderBytes - 8 > kMaxRiffSize)
        return Error{"output too large for a WAVE file"};
    try {
        std::span<const std::int16_t> pcm = audio.samples;
        std::vector<std::int16_t> padded;
        if (blocks * kFramesPerBlock != frames) {  // complete the last block with silence
            padded.resize(blocks * kFramesPerBlock * channels);
            std::copy(pcm.begin(), pcm.end(), padded.begin());
            pcm = padded;
        }
        std::vector<std::uint8_t> file(kXBoxADPCMHeaderBytes + dataBytes);
        const auto header = BuildXBoxADPCMWaveHeader(audio.channels, audio.sampleRate,
                                                     static_cast<std::uint32_t>(dataBytes));
        std::copy(header.begin(), header.end(), file.begin());
        const std::span<std::uint8_t> payload = std::span(file).subspan(kXBoxADPCMHeaderBytes);
        if (options.quality == 0)
            XBoxADPCMEncodeBlocksFast(pcm, payload, channels, blocks * kFramesPerBlock);
        else
            XBoxADPCMEncodeBlocksSearch(pcm, payload, channels, blocks * kFramesPerBlock, frames,
                                        options.quality);
        return file;
    } catch (const std::bad_alloc&) {
        return Error{"out of memory"};
    }
}

Expected<std::vector<std::uint8_t>> EncodePCMWave(const WaveAudio& audio) {
    if (audio.channels == 0 || audio.samples.size() % audio.channels != 0)
        return Error{"audio has no channels or a partial frame"};
    const std::uint64_t dataBytes = std::uint64_t{audio.samples.size()} * 2;
    if (dataBytes + kPCMHeaderBytes - 8 > kMaxRiffSize)
        return Error{"output too large for a WAVE file"};
    try {
        std::vector<std::uint8_t> file(kPCMHeaderBytes + dataBytes);
        const auto header = BuildPCMWaveHeader(audio.channels, audio.sampleRate,
                                               static_cast<std::uint32_t>(dataBytes));
        std::copy(header.begin(), header.end(), file.begin());
        SamplesToFileOrder(audio.samples, file.data() + kPCMHeaderBytes);
        return file;
    } catch (const std::bad_alloc&) {
        return Error{"out of memory"};
    }
}

Expected<MemoryTranscode> TranscodeMemory(std::span<const std::uint8_t> input,
                                          const TranscodeOptions& options) {
    const Expected<WaveLayout> layout = ParseWaveLayout(input);
    if (!layout)
        return layout.error();
    const SourceFormat source = layout->source;
    const bool adpcm = source == SourceFormat::XBoxADPCM || source == SourceFormat::IMAADPCM;
    if (options.direction == TranscodeDirection::Encode && source == SourceFormat::XBoxADPCM)
        return Error{"already Xbox ADPCM (format tag 0x0069); nothing to encode"};
    if (options.direction == TranscodeDirection::Decode && !adpcm) {
        if (source == SourceFormat::PCM16)
            return Error{"already 16-bit PCM; nothing to decode"};
        return Error{"not ADPCM (found " + DescribeSourceFormat(source) +
                     "); decode reads Xbox or IMA ADPCM"};
    }
    if (options.direction == TranscodeDirection::Encode &&
        (options.encode.quality < 0 || options.encode.quality > kMaxEncodeQuality))
        return Error{"quality must be 0 to " + std::to_string(kMaxEncodeQuality)};

    Expected<WaveAudio> audio = ReadWaveSamples(input, layout.value());
    if (!audio)
        return audio.error();

    // The chunks that travel with the audio, moved to where the audio goes.
    MemoryTranscode result;
    TranscodeReport& r = result.report;
    WaveMetadata metadata = CollectWaveMetadata(input, r.warnings);
    const std::uint64_t inputFrames = audio->frames();
    if (options.direction == TranscodeDirection::Encode) {
        const Expected<std::optional<LoopAlignPlan>> plan = AlignMetadataLoop(
            metadata, inputFrames, audio->sampleRate, audio->sampleRate,
            {.mode = options.encode.loopAlign, .maxCents = options.encode.maxLoopCents},
            r.warnings);
        if (!plan)
            return plan.error();
        if (plan.value()) {
            r.loop = DescribeLoopAlignment(*plan.value());
            if (plan.value()->changesAudio()) {
                Expected<std::vector<std::int16_t>> aligned =
                    AlignLoopSamples(*plan.value(), audio->samples, audio->channels);
                if (!aligned)
                    return aligned.error();
                audio->samples = std::move(aligned).value();
            }
        }
    } else {
        if (metadata.sampler)
            CheckLoops(*metadata.sampler, inputFrames, r.warnings);
        MoveFramePositions(
            metadata,
            [&](std::uint64_t p) { return p <= inputFrames ? std::optional(p) : std::nullopt; },
            r.warnings);
    }

    Expected<std::vector<std::uint8_t>> file =
        options.direction == TranscodeDirection::Encode
            ? EncodeXBoxADPCMWave(audio.value(), options.encode)
            : EncodePCMWave(audio.value());
    if (!file)
        return file.error();
    if (!metadata.empty()) {
        const std::vector<std::uint8_t> chunks = BuildMetadataChunks(metadata);
        if (file->size() + chunks.size() - 8 > kMaxRiffSize)
            return Error{"output too large for a WAVE file"};
        file->insert(file->end(), chunks.begin(), chunks.end());
        PutLE32(file->data() + 4, static_cast<std::uint32_t>(file->size() - 8));
    }

    r.source = source;
    r.channels = audio->channels;
    r.sampleRate = audio->sampleRate;
    r.frames = inputFrames;
    r.outputFrames = audio->frames();
    if (options.direction == TranscodeDirection::Encode) {
        r.paddingFrames = XBoxADPCMBlockCount(r.outputFrames) * kFramesPerBlock - r.outputFrames;
        r.outputFrames += r.paddingFrames;
    }
    r.clippedSamples = audio->clippedSamples;
    r.dithered = audio->dithered;
    r.ignoredBytes = audio->ignoredBytes;
    result.file = std::move(file).value();
    r.outputBytes = result.file.size();
    return result;
}

Expected<TranscodeReport> TranscodeFile(const std::filesystem::path& input,
                                        const std::filesystem::path& output,
                                        const TranscodeOptions& options) {
    try {
        std::error_code ec;
        if (std::filesystem::equivalent(input, output, ec))
            return Error{"output is the input file"};
        const Expected<std::vector<std::uint8_t>> bytes = ReadWholeFile(input);
        if (!bytes)
            return bytes.error();
        Expected<MemoryTranscode> result = TranscodeMemory(bytes.value(), options);
        if (!result)
            return result.error();
        const Expected<bool> written = WriteAtomically(output, result->file);
        if (!written)
            return written.error();
        return result->report;
    } catch (const std::bad_alloc&) {
        return Error{"out of memory"};
    } catch (const std::filesystem::filesystem_error& e) {
        return Error{e.what()};
    }
}

}  // namespace imabox
