// SPDX-License-Identifier: MIT
#include "exact/strict_header.hpp"

#include <array>

#include "exact/exact_messages.hpp"
#include "wave/wave_header.hpp"

namespace imabox {
namespace {

// Reads a whole record's bytes; what the input does not hold stays zero.
template <std::size_t N>
bool ReadRecord(ByteSource& source, std::array<std::uint8_t, N>& bytes) {
    bytes.fill(0);
    source.Read(bytes);
    return !source.Failed();
}

}  // namespace

Expected<StrictHeader> ReadStrictHeader(ByteSource& source, const ConsoleSink& console) {
    std::array<std::uint8_t, 12> riffBytes;
    std::array<std::uint8_t, 24> fmtBytes;
    std::array<std::uint8_t, 8> chunkBytes;

    if (!ReadRecord(source, riffBytes))
        return ExactError(ExactMessage::InputRead);
    const WaveRiffHeader riff = ParseRiffHeader(riffBytes);
    if (riff.id != kRiffId)
        return ExactError(ExactMessage::RiffHeader);
    if (riff.form != kWaveId)
        return ExactError(ExactMessage::WaveHeader);

    if (!ReadRecord(source, fmtBytes))
        return ExactError(ExactMessage::InputRead);
    const WaveFmtChunk fmt = ParseFmtChunk(fmtBytes);
    if (fmt.id != kFmtId)
        return ExactError(ExactMessage::FmtHeader);

    if (fmt.formatTag == kFormatXBoxADPCM) {
        Print(console, "Converting Xbox ADPCM -> PCM\n");
        std::array<std::uint8_t, 4> extension;  // content not used
        if (!ReadRecord(source, extension))
            return ExactError(ExactMessage::InputRead);
    } else if (fmt.formatTag == kFormatPCM) {
        Print(console, "Converting PCM -> Xbox ADPCM\n");
        if (fmt.bitsPerSample != 16)
            return ExactError(ExactMessage::BitsPerSample);
    } else {
        return ExactError(ExactMessage::FormatTag);
    }

    if (!ReadRecord(source, chunkBytes))
        return ExactError(ExactMessage::InputRead);
    WaveChunkHeader chunk = ParseChunkHeader(chunkBytes);
    if (chunk.id == kFactId) {
        source.Skip(chunk.size);  // no pad byte for an odd size
        if (!ReadRecord(source, chunkBytes))
            return ExactError(ExactMessage::InputRead);
        chunk = ParseChunkHeader(chunkBytes);
        if (chunk.id != kDataId)
            return ExactError(ExactMessage::DataHeader);
    } else if (chunk.id != kDataId) {
        return ExactError(ExactMessage::DataOrFactHeader);
    }
    return StrictHeader{fmt.formatTag, fmt.channels, fmt.sampleRate, chunk.size};
}

}  // namespace imabox
