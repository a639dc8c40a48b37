// imabox C++ API: conversion between 16-bit PCM and Xbox ADPCM WAVE files.
//
// These functions print nothing by themselves and never end the process. Progress messages go
// to the optional console sink, with the exact text the exported XBoxAudio prints; failures come
// back as an Error whose message is the text XBoxAudio prints after "ERROR: ".
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "imabox/expected.hpp"

namespace imabox {

// Receives each console message, newline included.
using ConsoleSink = std::function<void(std::string_view)>;

// The four-line banner XBoxAudio prints before anything else.
inline constexpr std::string_view kBanner =
    "Xbox ADPCM Decoder/Encoder\n"
    "Converter: imabox\n"
    "ADPCM routines: imabox\n"
    "\n";

enum class Encoding { PCM16, XboxADPCM };

struct ConvertOptions {
    ConsoleSink console;  // empty: silent
    // 1 keeps all the work on the calling thread; any other value (0, the default, means "as the
    // machine allows") lets the converter read or write on a second thread while it codes. The
    // output is the same byte for byte either way.
    unsigned threads = 0;
};

struct ConvertSummary {
    Encoding input = Encoding::PCM16;
    Encoding output = Encoding::XboxADPCM;
    std::uint16_t channels = 0;
    std::uint32_t sampleRate = 0;
    std::uint64_t inputFrames = 0;      // frames per channel, as printed ("Number of samples ...")
    std::uint64_t paddingFrames = 0;    // silent frames added to complete the last block
    std::uint64_t blocks = 0;           // Xbox ADPCM blocks coded or decoded
    std::uint64_t outputDataBytes = 0;  // payload bytes after the output header
};

// Converts the WAVE file `input` into `output`. The input is closed before the output is opened,
// so both may name the same file.
Expected<ConvertSummary> ConvertFile(const std::filesystem::path& input,
                                     const std::filesystem::path& output,
                                     const ConvertOptions& options = {});

struct MemoryConversion {
    ConvertSummary summary;
    std::vector<std::uint8_t> file;  // the whole output WAVE file
};

// Converts a WAVE file held in memory.
Expected<MemoryConversion> ConvertMemory(std::span<const std::uint8_t> input,
                                         const ConvertOptions& options = {});

// What the header reader finds in a WAVE file, without converting it.
struct WaveInfo {
    Encoding encoding = Encoding::PCM16;
    std::uint16_t channels = 0;
    std::uint32_t sampleRate = 0;
    std::uint32_t dataBytes = 0;  // declared size of the data chunk
    std::uint64_t frames = 0;     // frames per channel the payload decodes to
    std::uint64_t blocks = 0;     // whole Xbox ADPCM blocks (Xbox ADPCM only)
    double durationSeconds = 0.0;
    // Loops of a smpl chunk after the audio, in frames (end inclusive), and the LIST/INFO title.
    struct Loop {
        std::uint32_t start = 0;
        std::uint32_t end = 0;
    };
    std::vector<Loop> loops;
    std::string title;
};

Expected<WaveInfo> ReadWaveInfo(const std::filesystem::path& file);

}  // namespace imabox
