// Conversion of common WAVE files to Xbox ADPCM and of ADPCM files to 16-bit PCM, behind the
// encode and decode commands. Headers and the plain encoder are the ones XBoxAudio uses.
#include "imabox/transcode.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <system_error>

#include "codec/xbox_adpcm.hpp"
#include "codec/xbox_adpcm_fast.hpp"
#include "codec/xbox_adpcm_search.hpp"
#include "convert/file_io.hpp"
#include "io/output_file.hpp"
#include "wave/wave_header.hpp"
#include "wave/wave_reader.hpp"

namespace imabox {
namespace {

constexpr std::uint64_t kMaxRiffSize = std::numeric_limits<std::uint32_t>::max();

std::string SystemMessage(int error) {
    return std::generic_category().message(error);
}

Expected<FileHandle> OpenInput(const std::filesystem::path& path) {
    std::error_code ec;
    if (path.empty())
        return Error{"no input file name"};
    if (std::filesystem::is_directory(path, ec))
        return Error{"is a directory"};
    errno = 0;
    FileHandle in = OpenFile(path, "rb");
    if (!in)
        return Error{"cannot open: " + SystemMessage(errno)};
    return in;
}

Expected<std::vector<std::uint8_t>> ReadAll(std::FILE* in) {
    std::vector<std::uint8_t> bytes;
    std::array<std::uint8_t, 1 << 16> chunk;
    while (true) {
        const std::size_t n = std::fread(chunk.data(), 1, chunk.size(), in);
        bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n));
        if (n < chunk.size())
            break;
    }
    if (std::ferror(in))
        return Error{"read error: " + SystemMessage(errno)};
    return bytes;
}

Expected<std::vector<std::uint8_t>> ReadWholeFile(const std::filesystem::path& path) {
    Expected<FileHandle> in = OpenInput(path);
    if (!in)
        return in.error();
    return ReadAll(in->get());
}

void SamplesToFileOrder(std::span<const std::int16_t> samples, std::uint8_t* out) {
    for (const std::int16_t s : samples) {
        PutLE16(out, static_cast<std::uint16_t>(s));
        out += 2;
    }
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

    const Expected<WaveAudio> audio = ReadWaveSamples(input, layout.value());
    if (!audio)
        return audio.error();
    const Expected<std::vector<std::uint8_t>> file =
        options.direction == TranscodeDirection::Encode
            ? EncodeXBoxADPCMWave(audio.value(), options.encode)
            : EncodePCMWave(audio.value());
    if (!file)
        return file.error();

    MemoryTranscode result;
    TranscodeReport& r = result.report;
    r.source = source;
    r.channels = audio->channels;
    r.sampleRate = audio->sampleRate;
    r.frames = audio->frames();
    if (options.direction == TranscodeDirection::Encode)
        r.paddingFrames = XBoxADPCMBlockCount(r.frames) * kFramesPerBlock - r.frames;
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
        Expected<FileHandle> in = OpenInput(input);
        if (!in)
            return in.error();
        io::OutputFile out = io::OutputFile::Open(output);
        if (!out)
            return Error{out.error().Message()};
        const Expected<std::vector<std::uint8_t>> bytes = ReadAll(in->get());
        if (!bytes)
            return bytes.error();
        Expected<MemoryTranscode> result = TranscodeMemory(bytes.value(), options);
        if (!result)
            return result.error();
        if (!out.Write(result->file) || !out.Commit())
            return Error{out.error().Message()};
        return result->report;
    } catch (const std::bad_alloc&) {
        return Error{"out of memory"};
    } catch (const std::filesystem::filesystem_error& e) {
        return Error{e.what()};
    }
}

}  // namespace imabox
