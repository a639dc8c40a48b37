// SPDX-License-Identifier: MIT
#include "wave/wave_walker.hpp"

#include <array>
#include <cstdio>
#include <cstring>
#include <string>

#include "codec/ima_adpcm_blocks.hpp"
#include "codec/xbox_adpcm.hpp"
#include "io/errors.hpp"
#include "wave/wave_header.hpp"

namespace imabox {
namespace {

// The 14 bytes every WAVE_FORMAT_EXTENSIBLE subformat GUID shares after its 2-byte format tag.
constexpr std::uint8_t kSubformatGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                                 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
constexpr std::size_t kFmtBytesRead = 40;  // what any fmt chunk needs of its body

std::string Hex16(std::uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(value));
    return text;
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
    std::uint16_t writtenTag = 0;
    std::uint16_t tag = 0;  // the subformat's for extensible
    std::uint16_t channels = 0;
    std::uint32_t sampleRate = 0;
    std::uint16_t blockAlign = 0;
    std::uint16_t bits = 0;
};

// `body` holds the first bytes of a fmt chunk of `size` bytes.
Expected<FmtFields> ParseFmt(std::span<const std::uint8_t> body, std::uint32_t size) {
    if (size < 16) {
        return MakeError(ErrorKind::InvalidFmt, "fmt chunk too short (" + std::to_string(size) +
                                                    " bytes, at least 16 needed)");
    }
    FmtFields f;
    f.writtenTag = f.tag = GetLE16(&body[0]);
    f.channels = GetLE16(&body[2]);
    f.sampleRate = GetLE32(&body[4]);
    f.blockAlign = GetLE16(&body[12]);
    f.bits = GetLE16(&body[14]);
    if (f.tag != kFormatExtensible)
        return f;
    // WAVE_FORMAT_EXTENSIBLE: cbSize >= 22, valid bits, channel mask, then the subformat GUID.
    if (size < 40 || GetLE16(&body[16]) < 22) {
        return MakeError(ErrorKind::InvalidFmt, "WAVE_FORMAT_EXTENSIBLE fmt chunk too short (" +
                                                    std::to_string(size) + " bytes, 40 needed)");
    }
    const std::uint16_t subformat = GetLE16(&body[24]);
    if (std::memcmp(&body[26], kSubformatGuidTail, sizeof kSubformatGuidTail) != 0) {
        return MakeError(ErrorKind::Unsupported,
                         "unsupported WAVE_FORMAT_EXTENSIBLE subformat (not a standard GUID)");
    }
    if (subformat != kFormatPCM && subformat != kFormatIEEEFloat) {
        return MakeError(ErrorKind::Unsupported, "unsupported WAVE_FORMAT_EXTENSIBLE subformat: " +
                                                     FormatTagName(subformat));
    }
    f.tag = subformat;
    return f;
}

Expected<SourceFormat> ClassifyFormat(const FmtFields& f) {
    if (f.channels == 0)
        return MakeError(ErrorKind::InvalidFmt, "fmt chunk declares 0 channels");
    if (f.sampleRate == 0)
        return MakeError(ErrorKind::InvalidFmt, "fmt chunk declares a sample rate of 0 Hz");
    const auto pcmCheck = [&](SourceFormat format, unsigned bytes) -> Expected<SourceFormat> {
        if (f.blockAlign != f.channels * bytes) {
            return MakeError(ErrorKind::InvalidFmt,
                             std::to_string(f.bits) + "-bit data with block align " +
                                 std::to_string(f.blockAlign) + " for " +
                                 std::to_string(f.channels) + " channels (expected " +
                                 std::to_string(f.channels * bytes) + ")");
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
                    return MakeError(ErrorKind::Unsupported,
                                     "unsupported integer PCM with " + std::to_string(f.bits) +
                                         " bits per sample (8, 16, 24 and 32 are supported)");
            }
        case kFormatIEEEFloat:
            if (f.bits == 32)
                return pcmCheck(SourceFormat::Float32, 4);
            if (f.bits == 64)
                return pcmCheck(SourceFormat::Float64, 8);
            return MakeError(ErrorKind::Unsupported, "unsupported float PCM with " +
                                                         std::to_string(f.bits) +
                                                         " bits per sample (32 and 64 are "
                                                         "supported)");
        case kFormatXBoxADPCM:
            // Read as XBoxAudio reads it: the block size follows from the channel count alone.
            return SourceFormat::XBoxADPCM;
        case kFormatIMAADPCM:
            if (f.bits != 4) {
                return MakeError(ErrorKind::Unsupported, "IMA ADPCM with " +
                                                             std::to_string(f.bits) +
                                                             " bits per sample (only 4 is "
                                                             "supported)");
            }
            if (!IMAADPCMBlockAlignValid(f.channels, f.blockAlign)) {
                return MakeError(ErrorKind::InvalidFmt,
                                 "IMA ADPCM with block align " + std::to_string(f.blockAlign) +
                                     " for " + std::to_string(f.channels) + " channels");
            }
            return SourceFormat::IMAADPCM;
        default:
            return MakeError(ErrorKind::Unsupported, "unsupported format: " + FormatTagName(f.tag));
    }
}

Error ReadFailure(const ByteSource& source) {
    return MakeError(ErrorKind::InputRead, SystemErrorText(source.ErrorNumber()));
}

Error TruncatedChunk(std::uint32_t id, std::uint64_t declared, std::uint64_t present) {
    const std::string what = id == kDataId ? "data" : "\"" + ChunkName(id) + "\"";
    return MakeError(ErrorKind::Truncated, what + " chunk declares " + std::to_string(declared) +
                                               " bytes, " + std::to_string(present) + " present");
}

}  // namespace

std::string ChunkName(std::uint32_t id) {
    std::string name;
    for (int i = 0; i < 4; ++i) {
        const char ch = static_cast<char>(id >> (8 * i));
        name += (ch >= 0x20 && ch < 0x7F) ? ch : '?';
    }
    return name;
}

unsigned WaveHeader::unitBytes() const {
    if (format == SourceFormat::XBoxADPCM)
        return kBlockBytesPerChannel * channels;
    return blockAlign;
}

unsigned WaveHeader::unitFrames() const {
    if (format == SourceFormat::XBoxADPCM)
        return kFramesPerBlock;
    if (format == SourceFormat::IMAADPCM)
        return IMAADPCMFramesPerBlock(channels, blockAlign);
    return 1;
}

Expected<WaveHeader> ReadWaveHeader(ByteSource& source, const WaveWalkOptions& options) {
    const std::uint64_t start = source.Position();
    std::array<std::uint8_t, 12> riff{};
    const std::size_t got = source.Read(riff);
    if (source.Failed())
        return ReadFailure(source);
    if (got < riff.size())
        return MakeError(ErrorKind::NotWave, std::to_string(got) + " bytes");
    if (GetLE32(&riff[0]) != kRiffId) {
        return MakeError(ErrorKind::NotWave,
                         "no RIFF header; found \"" + ChunkName(GetLE32(&riff[0])) + "\"");
    }
    if (GetLE32(&riff[8]) != kWaveId) {
        return MakeError(ErrorKind::NotWave, "RIFF form \"" + ChunkName(GetLE32(&riff[8])) + "\"");
    }

    // Writers that cannot seek leave the sizes as 0xFFFFFFFF or 0: then a data chunk of that size
    // runs to the end of the input.
    const std::uint32_t riffSize = GetLE32(&riff[4]);
    const bool sizesLeftOpen = riffSize == 0 || riffSize == kUnknownChunkSize;

    // A seekable source is walked to its end, whatever riffSize says (writers often leave it
    // wrong); a stream stops at the data chunk.
    const bool seekable = source.Seekable() && source.Size().has_value();
    const std::uint64_t end = seekable ? source.Size().value_or(0) : 0;
    WaveHeader header;
    std::optional<FmtFields> fmt;
    bool haveData = false;
    std::size_t chunks = 0;
    std::uint64_t pos = start + 12;
    while (true) {
        if (seekable && end - pos < 8) {
            header.trailingBytes = end - pos;
            break;
        }
        std::array<std::uint8_t, 8> chunkHeader{};
        const std::size_t n = source.Read(chunkHeader);
        if (source.Failed())
            return ReadFailure(source);
        if (n < chunkHeader.size()) {
            header.trailingBytes = n;
            break;
        }
        if (++chunks > kMaxChunks) {
            if (fmt && haveData && seekable) {
                // Junk after the audio (zeros, say) that happens to parse as tiny chunks.
                header.bytesPastChunkLimit = end - pos;
                break;
            }
            return MakeError(ErrorKind::NotWave,
                             "more than " + std::to_string(kMaxChunks) + " chunks");
        }
        const std::uint32_t id = GetLE32(&chunkHeader[0]);
        const std::uint32_t size = GetLE32(&chunkHeader[4]);
        const std::uint64_t body = pos + 8;
        const std::uint64_t available = seekable ? end - body : 0;
        std::uint64_t skip = std::uint64_t{size} + (size & 1);  // chunks are padded to even sizes
        if (id == kDataId) {
            if (haveData)
                return MakeError(ErrorKind::DuplicateChunk, "data");
            haveData = true;
            header.dataOffset = body;
            header.declaredDataBytes = size;
            const bool toTheEnd = size == kUnknownChunkSize || (size == 0 && sizesLeftOpen);
            if (!seekable) {
                if (!toTheEnd)
                    header.dataBytes = size;
                if (!fmt) {
                    return MakeError(ErrorKind::MissingChunk,
                                     "no fmt chunk before the data chunk (a stream cannot be read "
                                     "back)");
                }
                break;  // a stream: the audio follows
            }
            if (toTheEnd) {
                header.dataBytes = available;
                skip = available + 1;
            } else if (size > available) {
                if (!options.acceptShortData)
                    return TruncatedChunk(id, size, available);
                header.dataBytes = available;
            } else {
                header.dataBytes = size;
            }
        } else if (seekable && size > available) {
            if (fmt && haveData) {
                // Stray bytes after the audio that happen to look like a chunk header.
                header.trailingBytes = end - pos;
                break;
            }
            return TruncatedChunk(id, size, available);
        } else if (id == kFmtId) {
            if (fmt)
                return MakeError(ErrorKind::DuplicateChunk, "fmt");
            std::array<std::uint8_t, kFmtBytesRead> bytes{};
            const std::size_t want = std::min<std::size_t>(size, bytes.size());
            if (source.Read(std::span(bytes).first(want)) < want) {
                if (source.Failed())
                    return ReadFailure(source);
                return TruncatedChunk(id, size, source.Position() - body);
            }
            const Expected<FmtFields> parsed = ParseFmt(bytes, size);
            if (!parsed)
                return parsed.error();
            fmt = parsed.value();
        } else if (id == kFactId && size >= 4) {
            std::array<std::uint8_t, 4> bytes{};
            if (source.Read(bytes) < bytes.size()) {
                if (source.Failed())
                    return ReadFailure(source);
                return TruncatedChunk(id, size, source.Position() - body);
            }
            header.factFrames = GetLE32(bytes.data());
        } else if (id != kFactId && header.otherChunks.size() < kMaxListedChunks) {
            header.otherChunks.push_back({id, body, size});
        }
        // The pad byte may be missing after the last chunk.
        if (seekable && skip >= available)
            break;
        pos = body + skip;
        if (seekable) {
            if (!source.Seek(pos))
                return ReadFailure(source);
        } else if (source.Position() < pos) {
            source.Skip(pos - source.Position());
        }
    }
    if (!fmt) {
        return MakeError(ErrorKind::MissingChunk,
                         haveData ? "no fmt chunk" : "no fmt chunk and no data chunk");
    }
    if (!haveData)
        return MakeError(ErrorKind::MissingChunk, "no data chunk");
    const Expected<SourceFormat> format = ClassifyFormat(*fmt);
    if (!format)
        return format.error();

    header.format = format.value();
    header.formatTag = fmt->writtenTag;
    header.channels = fmt->channels;
    header.sampleRate = fmt->sampleRate;
    header.blockAlign = fmt->blockAlign;
    header.bitsPerSample = fmt->bits;
    if (seekable && !source.Seek(header.dataOffset))
        return ReadFailure(source);
    if (source.Failed())
        return ReadFailure(source);
    return header;
}

}  // namespace imabox
