#include "wave/wave_reader.hpp"

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "codec/ima_adpcm_blocks.hpp"
#include "codec/xbox_adpcm.hpp"
#include "convert/file_io.hpp"
#include "wave/wave_header.hpp"

namespace imabox {
namespace {

constexpr std::uint32_t kStreamingSize = 0xFFFFFFFF;  // size left by writers that cannot seek

// The 14 bytes every WAVE_FORMAT_EXTENSIBLE subformat GUID shares after its 2-byte format tag.
constexpr std::uint8_t kSubformatGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                                 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

std::string Hex16(std::uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(value));
    return text;
}

std::string ChunkName(std::uint32_t id) {
    std::string name;
    for (int i = 0; i < 4; ++i) {
        const char ch = static_cast<char>(id >> (8 * i));
        name += (ch >= 0x20 && ch < 0x7F) ? ch : '?';
    }
    return name;
}

// Names of formats people meet, for the error that rejects them.
std::string FormatTagName(std::uint16_t tag) {
    switch (tag) {
        case 0x0002:
            return "Microsoft ADPCM (format tag 0x0002)";
        case 0x0006:
            return "A-law (format tag 0x0006)";
        case 0x0007:
            return "mu-law (format tag 0x0007)";
        case 0x0031:
            return "GSM 6.10 (format tag 0x0031)";
        case 0x0050:
            return "MPEG audio (format tag 0x0050)";
        case 0x0055:
            return "MPEG Layer 3 (format tag 0x0055)";
        default:
            return "format tag " + Hex16(tag);
    }
}

struct FmtFields {
    std::uint16_t tag = 0;
    std::uint16_t channels = 0;
    std::uint32_t sampleRate = 0;
    std::uint16_t blockAlign = 0;
    std::uint16_t bits = 0;
};

Expected<FmtFields> ParseFmt(std::span<const std::uint8_t> body) {
    if (body.size() < 16) {
        return Error{"fmt chunk too short (" + std::to_string(body.size()) +
                     " bytes, at least 16 needed)"};
    }
    FmtFields f;
    f.tag = GetLE16(&body[0]);
    f.channels = GetLE16(&body[2]);
    f.sampleRate = GetLE32(&body[4]);
    f.blockAlign = GetLE16(&body[12]);
    f.bits = GetLE16(&body[14]);
    if (f.tag != kFormatExtensible)
        return f;
    // WAVE_FORMAT_EXTENSIBLE: cbSize >= 22, valid bits, channel mask, then the subformat GUID.
    if (body.size() < 40 || GetLE16(&body[16]) < 22) {
        return Error{"WAVE_FORMAT_EXTENSIBLE fmt chunk too short (" + std::to_string(body.size()) +
                     " bytes, 40 needed)"};
    }
    const std::uint16_t subformat = GetLE16(&body[24]);
    if (std::memcmp(&body[26], kSubformatGuidTail, sizeof kSubformatGuidTail) != 0)
        return Error{"unsupported WAVE_FORMAT_EXTENSIBLE subformat (not a standard GUID)"};
    if (subformat != kFormatPCM && subformat != kFormatIEEEFloat) {
        return Error{"unsupported WAVE_FORMAT_EXTENSIBLE subformat: " + FormatTagName(subformat)};
    }
    f.tag = subformat;
    return f;
}

Expected<SourceFormat> ClassifyFormat(const FmtFields& f) {
    if (f.channels == 0)
        return Error{"fmt chunk declares 0 channels"};
    if (f.sampleRate == 0)
        return Error{"fmt chunk declares a sample rate of 0 Hz"};
    const auto pcmCheck = [&](SourceFormat format, unsigned bytes) -> Expected<SourceFormat> {
        if (f.blockAlign != f.channels * bytes) {
            return Error{std::to_string(f.bits) + "-bit data with block align " +
                         std::to_string(f.blockAlign) + " for " + std::to_string(f.channels) +
                         " channels (expected " + std::to_string(f.channels * bytes) + ")"};
        }
        return format;
    };
    switch (f.tag) {
        case kFormatPCM:
            switch (f.bits) {
                case 8:
                    return pcmCheck(SourceFormat::PCM8, 1);
                case 16:
                    return pcmCheck(SourceFormat::PCM16, 2);
                case 24:
                    return pcmCheck(SourceFormat::PCM24, 3);
                case 32:
                    return pcmCheck(SourceFormat::PCM32, 4);
                default:
                    return Error{"unsupported integer PCM with " + std::to_string(f.bits) +
                                 " bits per sample (8, 16, 24 and 32 are supported)"};
            }
        case kFormatIEEEFloat:
            if (f.bits == 32)
                return pcmCheck(SourceFormat::Float32, 4);
            if (f.bits == 64)
                return pcmCheck(SourceFormat::Float64, 8);
            return Error{"unsupported float PCM with " + std::to_string(f.bits) +
                         " bits per sample (32 and 64 are supported)"};
        case kFormatXBoxADPCM:
            // Read as XBoxAudio reads it: the block size follows from the channel count alone.
            return SourceFormat::XBoxADPCM;
        case kFormatIMAADPCM:
            if (f.bits != 4) {
                return Error{"IMA ADPCM with " + std::to_string(f.bits) +
                             " bits per sample (only 4 is supported)"};
            }
            if (!IMAADPCMBlockAlignValid(f.channels, f.blockAlign)) {
                return Error{"IMA ADPCM with block align " + std::to_string(f.blockAlign) +
                             " for " + std::to_string(f.channels) + " channels"};
            }
            return SourceFormat::IMAADPCM;
        default:
            return Error{"unsupported format: " + FormatTagName(f.tag)};
    }
}

}  // namespace

Expected<WaveLayout> ParseWaveLayout(std::span<const std::uint8_t> file) {
    if (file.size() < 12)
        return Error{"not a WAVE file (" + std::to_string(file.size()) + " bytes)"};
    if (GetLE32(&file[0]) != kRiffId)
        return Error{"not a WAVE file (no RIFF header; found \"" + ChunkName(GetLE32(&file[0])) +
                     "\")"};
    if (GetLE32(&file[8]) != kWaveId)
        return Error{"not a WAVE file (RIFF form \"" + ChunkName(GetLE32(&file[8])) + "\")"};

    std::optional<FmtFields> fmt;
    std::optional<std::uint32_t> fact;
    bool haveData = false;
    std::size_t dataOffset = 0;
    std::size_t dataBytes = 0;
    std::size_t pos = 12;
    // Walks the whole file rather than trusting riffSize, which writers often leave wrong. Fewer
    // than 8 bytes after the last chunk are trailing padding.
    while (file.size() - pos >= 8) {
        const std::uint32_t id = GetLE32(&file[pos]);
        const std::uint32_t size = GetLE32(&file[pos + 4]);
        const std::size_t body = pos + 8;
        const std::size_t available = file.size() - body;
        if (id == kDataId) {
            if (haveData)
                return Error{"more than one data chunk"};
            haveData = true;
            dataOffset = body;
            if (size == kStreamingSize) {
                dataBytes = available;
            } else if (size > available) {
                return Error{"truncated file: data chunk declares " + std::to_string(size) +
                             " bytes, " + std::to_string(available) + " present"};
            } else {
                dataBytes = size;
            }
        } else if (size > available) {
            return Error{"truncated file: \"" + ChunkName(id) + "\" chunk declares " +
                         std::to_string(size) + " bytes, " + std::to_string(available) +
                         " present"};
        } else if (id == kFmtId) {
            if (fmt)
                return Error{"more than one fmt chunk"};
            const Expected<FmtFields> parsed = ParseFmt(file.subspan(body, size));
            if (!parsed)
                return parsed.error();
            fmt = parsed.value();
        } else if (id == kFactId && size >= 4) {
            fact = GetLE32(&file[body]);
        }
        // Chunks are padded to an even size; the pad byte may be missing after the last one.
        const std::size_t skip =
            std::size_t{size == kStreamingSize ? dataBytes : size} + (size & 1);
        if (skip >= file.size() - body)
            break;
        pos = body + skip;
    }
    if (!fmt)
        return Error{haveData ? "no fmt chunk" : "no fmt chunk and no data chunk"};
    if (!haveData)
        return Error{"no data chunk"};
    const Expected<SourceFormat> source = ClassifyFormat(*fmt);
    if (!source)
        return source.error();

    WaveLayout layout;
    layout.source = source.value();
    layout.channels = fmt->channels;
    layout.sampleRate = fmt->sampleRate;
    layout.blockAlign = fmt->blockAlign;
    layout.dataOffset = dataOffset;
    layout.dataBytes = dataBytes;
    layout.factFrames = fact;
    return layout;
}

double SampleQuantizer::NextUniform() {
    // xorshift64*: fast, and good enough to decorrelate dither from the signal.
    rng_ ^= rng_ >> 12;
    rng_ ^= rng_ << 25;
    rng_ ^= rng_ >> 27;
    return static_cast<double>((rng_ * 0x2545F4914F6CDD1Dull) >> 11) * 0x1.0p-53;
}

std::int16_t SampleQuantizer::Quantize(double x) {
    if (std::isnan(x)) {
        ++clipped_;
        return 0;
    }
    if (x > 32767.0 || x < -32768.0)
        ++clipped_;
    if (dither_)
        x += NextUniform() - NextUniform();
    const double rounded = std::floor(x + 0.5);
    if (rounded > 32767.0)
        return 32767;
    if (rounded < -32768.0)
        return -32768;
    return static_cast<std::int16_t>(rounded);
}

namespace {

std::int32_t GetLE24(const std::uint8_t* p) {
    const std::uint32_t u =
        std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16);
    return static_cast<std::int32_t>(u << 8) >> 8;
}

double GetFloat32(const std::uint8_t* p) {
    return static_cast<double>(std::bit_cast<float>(GetLE32(p)));
}

double GetFloat64(const std::uint8_t* p) {
    const std::uint64_t u = GetLE32(p) | (std::uint64_t{GetLE32(p + 4)} << 32);
    return std::bit_cast<double>(u);
}

// Reads every sample as a value in 16-bit units through `get`, dithering only when some sample
// is not an exact 16-bit value.
template <class Get>
void QuantizeAll(WaveAudio& audio, std::span<const std::uint8_t> data, unsigned bytes, Get get) {
    const std::size_t count = audio.samples.size();
    bool exact = true;
    for (std::size_t i = 0; i < count && exact; ++i) {
        const double x = get(&data[i * bytes]);
        exact = x == std::floor(x) && x >= -32768.0 && x <= 32767.0;
    }
    SampleQuantizer quantizer(!exact);
    for (std::size_t i = 0; i < count; ++i)
        audio.samples[i] = quantizer.Quantize(get(&data[i * bytes]));
    audio.dithered = !exact;
    audio.clippedSamples = quantizer.clipped();
}

void ReadPCM(WaveAudio& audio, std::span<const std::uint8_t> data, const WaveLayout& layout) {
    const unsigned bytes = layout.blockAlign / layout.channels;
    const std::size_t frames = data.size() / layout.blockAlign;
    audio.ignoredBytes = data.size() % layout.blockAlign;
    audio.samples.resize(frames * layout.channels);
    const std::size_t count = audio.samples.size();
    switch (layout.source) {
        case SourceFormat::PCM8:
            for (std::size_t i = 0; i < count; ++i)
                audio.samples[i] = static_cast<std::int16_t>((data[i] - 128) * 256);
            break;
        case SourceFormat::PCM16:
            for (std::size_t i = 0; i < count; ++i)
                audio.samples[i] = static_cast<std::int16_t>(GetLE16(&data[2 * i]));
            break;
        case SourceFormat::PCM24:
            QuantizeAll(audio, data, bytes,
                        [](const std::uint8_t* p) { return GetLE24(p) / 256.0; });
            break;
        case SourceFormat::PCM32:
            QuantizeAll(audio, data, bytes, [](const std::uint8_t* p) {
                return static_cast<std::int32_t>(GetLE32(p)) / 65536.0;
            });
            break;
        case SourceFormat::Float32:
            QuantizeAll(audio, data, bytes,
                        [](const std::uint8_t* p) { return GetFloat32(p) * 32768.0; });
            break;
        case SourceFormat::Float64:
            QuantizeAll(audio, data, bytes,
                        [](const std::uint8_t* p) { return GetFloat64(p) * 32768.0; });
            break;
        default:
            break;
    }
}

void ReadADPCM(WaveAudio& audio, std::span<const std::uint8_t> data, const WaveLayout& layout) {
    const unsigned channels = layout.channels;
    const unsigned blockAlign = layout.source == SourceFormat::XBoxADPCM
                                    ? kBlockBytesPerChannel * channels
                                    : layout.blockAlign;
    const unsigned framesPerBlock = IMAADPCMFramesPerBlock(channels, blockAlign);
    const std::uint64_t blocks = data.size() / blockAlign;
    audio.ignoredBytes = data.size() % blockAlign;
    audio.samples.resize(blocks * framesPerBlock * channels);
    IMAADPCMDecodeBlocks(data, audio.samples, channels, blockAlign, blocks);
    // A fact chunk gives the true length, without the last block's fill. A count that would cut
    // into earlier blocks is not believed (streaming writers leave 0 there).
    const std::uint64_t total = blocks * framesPerBlock;
    if (layout.factFrames && *layout.factFrames<total&& * layout.factFrames + framesPerBlock> total)
        audio.samples.resize(std::size_t{*layout.factFrames} * channels);
}

}  // namespace

Expected<WaveAudio> ReadWaveSamples(std::span<const std::uint8_t> file, const WaveLayout& layout) {
    WaveAudio audio;
    audio.source = layout.source;
    audio.channels = layout.channels;
    audio.sampleRate = layout.sampleRate;
    const auto data = file.subspan(layout.dataOffset, layout.dataBytes);
    try {
        if (layout.source == SourceFormat::XBoxADPCM || layout.source == SourceFormat::IMAADPCM)
            ReadADPCM(audio, data, layout);
        else
            ReadPCM(audio, data, layout);
    } catch (const std::bad_alloc&) {
        return Error{"out of memory"};
    }
    return audio;
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

Expected<WaveAudio> ReadWave(std::span<const std::uint8_t> file) {
    const Expected<WaveLayout> layout = ParseWaveLayout(file);
    if (!layout)
        return layout.error();
    return ReadWaveSamples(file, layout.value());
}

}  // namespace imabox
