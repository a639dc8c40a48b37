// SPDX-License-Identifier: MIT
// Whole files in memory, for tests and measurements: a WAVE file read into 16-bit samples, and
// 16-bit samples written as a WAVE file, through the same pipeline stages as Encode and Decode.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

#include "imabox/expected.hpp"
#include "imabox/sample_format.hpp"

namespace imabox {

struct WaveAudio {
    SourceFormat source = SourceFormat::PCM16;
    std::uint16_t channels = 0;
    std::uint32_t sampleRate = 0;
    std::vector<std::int16_t> samples;  // interleaved, channel 0 first; frames() * channels
    std::uint64_t clippedSamples = 0;
    bool dithered = false;
    std::uint64_t ignoredBytes = 0;

    std::uint64_t frames() const { return channels == 0 ? 0 : samples.size() / channels; }
};

// Reads every frame of a WAVE file held in memory (any format Encode or Decode reads).
Expected<WaveAudio> ReadWave(std::span<const std::uint8_t> file);
Expected<WaveAudio> ReadWaveFile(const std::filesystem::path& file);

// A complete Xbox ADPCM WAVE file (48-byte header) at `quality`, the last block completed with
// silence.
Expected<std::vector<std::uint8_t>> EncodeXBoxADPCMWave(const WaveAudio& audio, int quality = 0);

}  // namespace imabox
