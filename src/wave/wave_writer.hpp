// SPDX-License-Identifier: MIT
// Writes a WAVE file to a byte sink: the header, the payload a piece at a time, then whatever
// chunks follow the data.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "io/byte_stream.hpp"

namespace imabox {

enum class WaveCoding {
    PCM16,      // the 44-byte header
    XBoxADPCM,  // the 48-byte header XBoxAudio writes
};

struct WaveWriterOptions {
    bool raw = false;  // payload only, no header
};

class WaveWriter {
  public:
    WaveWriter(ByteSink& sink, WaveCoding coding, std::uint16_t channels, std::uint32_t sampleRate,
               const WaveWriterOptions& options = {});

    // Writes the header. With the payload size known in advance the header carries the real
    // sizes; otherwise 0xFFFFFFFF, which Finish replaces when the sink can seek. `trailerBytes`:
    // the bytes Finish will append after the data (chunks to carry over), counted in the RIFF size.
    bool Begin(std::optional<std::uint64_t> dataBytes, std::uint64_t trailerBytes = 0);
    bool Write(std::span<const std::uint8_t> payload);
    // Pads the data chunk to an even size, appends `trailer`, and fixes sizes written as unknown.
    bool Finish(std::span<const std::uint8_t> trailer = {});

    std::uint64_t dataBytes() const { return written_; }
    std::uint64_t fileBytes() const { return fileBytes_; }
    // Header bytes before the payload.
    std::size_t headerBytes() const;

  private:
    bool Put(std::span<const std::uint8_t> bytes);

    ByteSink& sink_;
    WaveCoding coding_;
    std::uint16_t channels_;
    std::uint32_t sampleRate_;
    WaveWriterOptions options_;
    std::optional<std::uint64_t> declared_;
    std::uint64_t trailerBytes_ = 0;
    std::uint64_t written_ = 0;
    std::uint64_t fileBytes_ = 0;
};

// The largest payload a WAVE file with this header can hold (its RIFF size is 32 bits).
std::uint64_t MaxWaveDataBytes(WaveCoding coding, std::uint64_t trailerBytes = 0);

}  // namespace imabox
