// SPDX-License-Identifier: MIT
// RIFF/WAVE header records and the builders of the two output layouts.
//
// Records hold their fields in host order and are converted to and from their little-endian
// file bytes field by field.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace imabox {

// Four-character ids as 32-bit little-endian words.
inline constexpr std::uint32_t kRiffId = 0x46464952;  // "RIFF"
inline constexpr std::uint32_t kWaveId = 0x45564157;  // "WAVE"
inline constexpr std::uint32_t kFmtId = 0x20746D66;   // "fmt "
inline constexpr std::uint32_t kDataId = 0x61746164;  // "data"
inline constexpr std::uint32_t kFactId = 0x74636166;  // "fact"

inline constexpr std::uint16_t kFormatPCM = 1;
inline constexpr std::uint16_t kFormatXBoxADPCM = 0x0069;
inline constexpr std::uint16_t kFormatIEEEFloat = 0x0003;
inline constexpr std::uint16_t kFormatIMAADPCM = 0x0011;
inline constexpr std::uint16_t kFormatExtensible = 0xFFFE;

// The size field streaming writers leave when they cannot seek back: "up to the end of the file".
inline constexpr std::uint32_t kUnknownChunkSize = 0xFFFFFFFF;

struct WaveRiffHeader {
    std::uint32_t id = 0;
    std::uint32_t riffSize = 0;  // length of everything after this field
    std::uint32_t form = 0;
};

struct WaveFmtChunk {
    std::uint32_t id = 0;
    std::uint32_t chunkSize = 0;
    std::uint16_t formatTag = 0;
    std::uint16_t channels = 0;
    std::uint32_t sampleRate = 0;
    std::uint32_t byteRate = 0;
    std::uint16_t blockAlign = 0;
    std::uint16_t bitsPerSample = 0;
};

struct XBoxADPCMFmtExtension {
    std::uint16_t cbSize = 0;
    std::uint16_t samplesPerBlock = 0;  // written as 64, though a block holds 65 frames
};

struct WaveChunkHeader {
    std::uint32_t id = 0;
    std::uint32_t size = 0;
};

// The records have no padding: their sizes are their file sizes.
static_assert(sizeof(WaveRiffHeader) == 12);
static_assert(sizeof(WaveFmtChunk) == 24);
static_assert(sizeof(XBoxADPCMFmtExtension) == 4);
static_assert(sizeof(WaveChunkHeader) == 8);

inline constexpr std::size_t kPCMHeaderBytes = 44;
inline constexpr std::size_t kXBoxADPCMHeaderBytes = 48;

// Little-endian field access.
inline std::uint16_t GetLE16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t GetLE32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}
inline void PutLE16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void PutLE32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

WaveRiffHeader ParseRiffHeader(std::span<const std::uint8_t, 12> bytes);
WaveFmtChunk ParseFmtChunk(std::span<const std::uint8_t, 24> bytes);
WaveChunkHeader ParseChunkHeader(std::span<const std::uint8_t, 8> bytes);
void SerializeRiffHeader(const WaveRiffHeader& record, std::span<std::uint8_t, 12> out);
void SerializeFmtChunk(const WaveFmtChunk& record, std::span<std::uint8_t, 24> out);
void SerializeFmtExtension(const XBoxADPCMFmtExtension& record, std::span<std::uint8_t, 4> out);
void SerializeChunkHeader(const WaveChunkHeader& record, std::span<std::uint8_t, 8> out);

// Fills `record` for output. Tag 1 (PCM) and 0x0069 (Xbox ADPCM) set every field; other tags set
// only id, formatTag, channels and sampleRate.
void BuildWaveFmtChunk(WaveFmtChunk& record, std::uint16_t formatTag, std::uint16_t channels,
                       std::uint32_t sampleRate);

// The 44-byte PCM layout: RIFF header, fmt chunk (16-byte body), data chunk header.
std::array<std::uint8_t, kPCMHeaderBytes> BuildPCMWaveHeader(std::uint16_t channels,
                                                             std::uint32_t sampleRate,
                                                             std::uint32_t dataBytes);
// The 48-byte Xbox ADPCM layout: RIFF header, fmt chunk with its 4-byte extension (20-byte body),
// data chunk header.
std::array<std::uint8_t, kXBoxADPCMHeaderBytes> BuildXBoxADPCMWaveHeader(std::uint16_t channels,
                                                                         std::uint32_t sampleRate,
                                                                         std::uint32_t dataBytes);

}  // namespace imabox
