// SPDX-License-Identifier: MIT
// Xbox ADPCM codec: IMA ADPCM sample coding and the 36-byte-per-channel block framing.
//
// A block holds 65 frames per channel. Each channel starts with a 4-byte header (frame 0 as a
// signed 16-bit sample, the step index, a zero byte); then come eight groups, each one 4-byte word
// per channel with the codes of 8 frames, earlier frame in the low nibble.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "codec/adpcm_primitives.hpp"

namespace imabox {

inline constexpr unsigned kFramesPerBlock = 65;        // 1 header sample + 64 coded samples
inline constexpr unsigned kBlockBytesPerChannel = 36;  // 4 header bytes + 32 code bytes
inline constexpr unsigned kMaxStepIndex = adpcm::kMaxIndex;

struct ADPCMChannelState {
    std::int16_t predictor = 0;  // last reconstructed sample
    std::uint8_t index = 0;      // step index, always 0..88 after an update
};

// The 89-entry IMA step-size table and the index-adjustment table (indexed by code & 7).
inline constexpr const auto& kADPCMStepTable = adpcm::kStepTable;
inline constexpr const auto& kADPCMIndexTable = adpcm::kIndexTable;

// The signed change the low 4 bits of `code` make to the predictor at step index `index`
// (0..88), before the sum is clamped to 16 bits.
inline std::int32_t ADPCMCodeDifference(unsigned index, unsigned code) {
    const std::int32_t diff =
        adpcm::Magnitude(kADPCMStepTable[index], static_cast<std::int32_t>(code & 7));
    return (code & 8) ? -diff : diff;
}

// The step index after `code` at step index `index`, kept within 0..88.
// (By table: scalar code runs faster with it than with the arithmetic of adpcm::NextIndex.)
inline std::uint8_t ADPCMNextIndex(unsigned index, unsigned code) {
    const int next = static_cast<int>(index) + kADPCMIndexTable[code & 7];
    return static_cast<std::uint8_t>(next < 0                    ? 0
                                     : next > int(kMaxStepIndex) ? kMaxStepIndex
                                                                 : next);
}

// The code for a difference `delta` (sample - predictor) at step size `step`: sign in bit 3, then
// whether the remaining difference exceeds step, step/2 and step/4 in turn (strictly greater).
unsigned ADPCMSampleCode(std::int32_t step, std::int32_t delta);

// Codes one sample; returns its 4-bit code and updates the state.
unsigned ADPCMEncodeSample(ADPCMChannelState& state, std::int16_t sample);

// Decodes the low 4 bits of code; returns the reconstructed sample and updates the state.
std::int16_t ADPCMDecodeSample(ADPCMChannelState& state, unsigned code);

// Codes every sample of `samples` into nibbles starting at byte bitOffset / 8 of `out` (high
// nibble first when bit 2 of bitOffset is set). A low-nibble store writes the whole byte; a
// high-nibble store keeps the low nibble. Returns the number of code bits written.
// `out` must hold the nibbles written; the run stops early rather than write past it.
std::size_t ADPCMEncodeRun(ADPCMChannelState& state, std::span<std::uint8_t> out,
                           std::size_t bitOffset, std::span<const std::int16_t> samples);

// Decodes bitCount / 4 codes starting at byte bitOffset / 8 of `in` (high nibble first when bit 2
// of bitOffset is set) into `out`. Returns the number of output bytes (2 per sample). Stops early
// when either span runs out.
std::size_t ADPCMDecodeRun(ADPCMChannelState& state, std::span<std::int16_t> out,
                           std::span<const std::uint8_t> in, std::size_t bitOffset,
                           std::size_t bitCount);

// Number of blocks for a frame count: ceil(frames / 65), 0 for no frames.
constexpr std::uint64_t XBoxADPCMBlockCount(std::uint64_t frames) {
    return frames == 0 ? 0 : (frames - 1) / kFramesPerBlock + 1;
}

// Whole blocks the block coders handle for these spans: ceil(frames / 65), but never more than
// both spans hold.
std::uint64_t XBoxADPCMFittingBlocks(std::size_t pcmSamples, std::size_t adpcmBytes,
                                     unsigned channels, std::uint64_t frames);

// Holds a predictor to the 16-bit sample range.
constexpr std::int32_t ADPCMClampSample(std::int32_t value) {
    return adpcm::Clamp16(value);
}

// One channel's 4-byte block header: frame 0 as a signed 16-bit sample, the step index, a zero
// byte.
inline void XBoxADPCMWriteBlockHeader(std::uint8_t* header, std::int16_t sample,
                                      std::uint8_t index) {
    const auto s = static_cast<std::uint16_t>(sample);
    header[0] = static_cast<std::uint8_t>(s);
    header[1] = static_cast<std::uint8_t>(s >> 8);
    header[2] = index;
    header[3] = 0;
}
inline std::int16_t XBoxADPCMBlockHeaderSample(const std::uint8_t* header) {
    return static_cast<std::int16_t>(header[0] | (header[1] << 8));
}
// The header's step index; one above 88 is read as 88.
inline std::uint8_t XBoxADPCMBlockHeaderIndex(const std::uint8_t* header) {
    return header[2] > kMaxStepIndex ? static_cast<std::uint8_t>(kMaxStepIndex) : header[2];
}

// Codes interleaved PCM frames into consecutive blocks. The step index starts at 0 and carries
// from block to block; the predictor restarts at each block's frame 0. Only whole blocks that fit
// both spans are coded (callers pass frames as a multiple of 65 with matching spans).
void XBoxADPCMEncodeBlocks(std::span<const std::int16_t> pcm, std::span<std::uint8_t> out,
                           unsigned channels, std::uint64_t frames);

// Decodes consecutive blocks into interleaved PCM frames. Each block stands alone. A header step
// index above 88 is clamped to 88. Only whole blocks that fit both spans are decoded.
void XBoxADPCMDecodeBlocks(std::span<const std::uint8_t> in, std::span<std::int16_t> pcm,
                           unsigned channels, std::uint64_t frames);

}  // namespace imabox
