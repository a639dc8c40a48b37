// SPDX-License-Identifier: MIT
#include "wave/wave_header.hpp"

#include <algorithm>

namespace imabox {

WaveRiffHeader ParseRiffHeader(std::span<const std::uint8_t, 12> b) {
    return {GetLE32(&b[0]), GetLE32(&b[4]), GetLE32(&b[8])};
}

WaveFmtChunk ParseFmtChunk(std::span<const std::uint8_t, 24> b) {
    WaveFmtChunk r;
    r.id = GetLE32(&b[0]);
    r.chunkSize = GetLE32(&b[4]);
    r.formatTag = GetLE16(&b[8]);
    r.channels = GetLE16(&b[10]);
    r.sampleRate = GetLE32(&b[12]);
    r.byteRate = GetLE32(&b[16]);
    r.blockAlign = GetLE16(&b[20]);
    r.bitsPerSample = GetLE16(&b[22]);
    return r;
}

WaveChunkHeader ParseChunkHeader(std::span<const std::uint8_t, 8> b) {
    return {GetLE32(&b[0]), GetLE32(&b[4])};
}

void SerializeRiffHeader(const WaveRiffHeader& r, std::span<std::uint8_t, 12> out) {
    PutLE32(&out[0], r.id);
    PutLE32(&out[4], r.riffSize);
    PutLE32(&out[8], r.form);
}

void SerializeFmtChunk(const WaveFmtChunk& r, std::span<std::uint8_t, 24> out) {
    PutLE32(&out[0], r.id);
    PutLE32(&out[4], r.chunkSize);
    PutLE16(&out[8], r.formatTag);
    PutLE16(&out[10], r.channels);
    PutLE32(&out[12], r.sampleRate);
    PutLE32(&out[16], r.byteRate);
    PutLE16(&out[20], r.blockAlign);
    PutLE16(&out[22], r.bitsPerSample);
}

void SerializeFmtExtension(const XBoxADPCMFmtExtension& r, std::span<std::uint8_t, 4> out) {
    PutLE16(&out[0], r.cbSize);
    PutLE16(&out[2], r.samplesPerBlock);
}

void SerializeChunkHeader(const WaveChunkHeader& r, std::span<std::uint8_t, 8> out) {
    PutLE32(&out[0], r.id);
    PutLE32(&out[4], r.size);
}

void BuildWaveFmtChunk(WaveFmtChunk& r, std::uint16_t formatTag, std::uint16_t channels,
                       std::uint32_t sampleRate) {
    r.id = kFmtId;
    r.formatTag = formatTag;
    r.channels = channels;
    r.sampleRate = sampleRate;
    if (formatTag == kFormatPCM) {
        r.chunkSize = 16;
        r.byteRate = sampleRate * channels * 2u;
        r.blockAlign = static_cast<std::uint16_t>(channels * 2u);
        r.bitsPerSample = 16;
    } else if (formatTag == kFormatXBoxADPCM) {
        r.chunkSize = 20;
        r.blockAlign = static_cast<std::uint16_t>(36u * channels);
        r.bitsPerSample = 4;
        // Divides by 64, like samplesPerBlock, although a block holds 65 frames.
        r.byteRate = (std::uint32_t{r.blockAlign} * sampleRate) >> 6;
    }
}

std::array<std::uint8_t, kPCMHeaderBytes> BuildPCMWaveHeader(std::uint16_t channels,
                                                             std::uint32_t sampleRate,
                                                             std::uint32_t dataBytes) {
    std::array<std::uint8_t, kPCMHeaderBytes> out{};
    const std::span<std::uint8_t, kPCMHeaderBytes> s(out);
    SerializeRiffHeader({kRiffId, dataBytes + 36, kWaveId}, s.subspan<0, 12>());
    WaveFmtChunk fmt;
    BuildWaveFmtChunk(fmt, kFormatPCM, channels, sampleRate);
    SerializeFmtChunk(fmt, s.subspan<12, 24>());
    SerializeChunkHeader({kDataId, dataBytes}, s.subspan<36, 8>());
    return out;
}

std::array<std::uint8_t, kXBoxADPCMHeaderBytes> BuildXBoxADPCMWaveHeader(std::uint16_t channels,
                                                                         std::uint32_t sampleRate,
                                                                         std::uint32_t dataBytes) {
    std::array<std::uint8_t, kXBoxADPCMHeaderBytes> out{};
    const std::span<std::uint8_t, kXBoxADPCMHeaderBytes> s(out);
    SerializeRiffHeader({kRiffId, dataBytes + 40, kWaveId}, s.subspan<0, 12>());
    WaveFmtChunk fmt;
    BuildWaveFmtChunk(fmt, kFormatXBoxADPCM, channels, sampleRate);
    SerializeFmtChunk(fmt, s.subspan<12, 24>());
    SerializeFmtExtension({2, 64}, s.subspan<36, 4>());
    SerializeChunkHeader({kDataId, dataBytes}, s.subspan<40, 8>());
    return out;
}

}  // namespace imabox
