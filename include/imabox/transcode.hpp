// imabox C++ API for the WAVE files other programs write: a reader for common WAVE formats, the
// Xbox ADPCM encoder with its quality levels, and conversion in either direction, in memory or
// between files.
//
// Unlike ConvertFile (which keeps XBoxAudio's exact behaviour), these functions accept chunks in
// any order, fmt chunks of 16, 18 and 40 bytes, 8/16/24/32-bit integer and 32/64-bit float PCM,
// and both Xbox ADPCM (0x0069) and standard IMA ADPCM (0x0011). They print nothing and never end
// the process: failures come back as a one-line Error.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "imabox/expected.hpp"

namespace imabox {

// The sample format found in an input file.
enum class SourceFormat {
    PCM8,       // unsigned 8-bit integer
    PCM16,      // signed 16-bit integer
    PCM24,      // signed 24-bit integer
    PCM32,      // signed 32-bit integer
    Float32,    // IEEE float, nominal range -1..1
    Float64,    // IEEE double, nominal range -1..1
    XBoxADPCM,  // format tag 0x0069, 36 bytes per channel per block
    IMAADPCM,   // format tag 0x0011
};

// A short human-readable name, e.g. "24-bit PCM" or "Xbox ADPCM (0x0069)".
std::string DescribeSourceFormat(SourceFormat format);

// Audio read from a WAVE file, as interleaved signed 16-bit frames.
struct WaveAudio {
    SourceFormat source = SourceFormat::PCM16;
    std::uint16_t channels = 0;
    std::uint32_t sampleRate = 0;
    std::vector<std::int16_t> samples;  // interleaved, channel 0 first; frames() * channels
    // Samples that did not fit 16 bits (float outside -1..1, NaN or infinity) and were clipped.
    std::uint64_t clippedSamples = 0;
    // True when the source held more than 16 bits of precision and TPDF dither was added before
    // rounding. Sources whose samples are all exact 16-bit values are converted without dither.
    bool dithered = false;
    // Bytes at the end of the data chunk that do not make a whole frame (PCM) or block (ADPCM).
    std::uint64_t ignoredBytes = 0;

    std::uint64_t frames() const { return channels == 0 ? 0 : samples.size() / channels; }
};

// Reads a whole WAVE file held in memory. Chunks may come in any order; unknown chunks are
// skipped. A data chunk that runs past the end of the file is an error, except for the size
// 0xFFFFFFFF that streaming writers leave, which reads to the end of the file. A fact chunk's
// sample count trims decoded ADPCM to its true length.
Expected<WaveAudio> ReadWave(std::span<const std::uint8_t> file);
Expected<WaveAudio> ReadWaveFile(const std::filesystem::path& file);

inline constexpr int kMaxEncodeQuality = 9;

// What encoding does with a loop (a WAVE smpl chunk) that does not lie on whole blocks.
enum class LoopAlignMode {
    Off,       // loop points kept as they are
    Unroll,    // start unrolled to a block boundary; the loop repeated until it fills whole blocks
    Resample,  // start unrolled to a block boundary; the file resampled so the loop fills whole
               // blocks, refused when that changes the pitch by more than maxLoopCents
};

struct EncodeOptions {
    // 0: the plain encoder XBoxAudio uses, byte for byte. 1..9: a search over codes and block
    // start step indices that lowers the squared error; higher levels search more. Every level
    // writes a stream any IMA ADPCM decoder plays, and no level has more error than level 0.
    int quality = 0;
    LoopAlignMode loopAlign = LoopAlignMode::Resample;
    double maxLoopCents = 5.0;
};

// Builds a complete Xbox ADPCM WAVE file (48-byte header) from 16-bit audio. The last block is
// completed with silence. Fails when the result would exceed the 4 GiB WAVE limit or the quality
// is out of range.
Expected<std::vector<std::uint8_t>> EncodeXBoxADPCMWave(const WaveAudio& audio,
                                                        const EncodeOptions& options = {});
// Builds a complete 16-bit PCM WAVE file (44-byte header).
Expected<std::vector<std::uint8_t>> EncodePCMWave(const WaveAudio& audio);

enum class TranscodeDirection {
    Encode,  // any supported non-Xbox-ADPCM input -> Xbox ADPCM
    Decode,  // Xbox ADPCM or IMA ADPCM input -> 16-bit PCM
};

struct TranscodeOptions {
    TranscodeDirection direction = TranscodeDirection::Encode;
    EncodeOptions encode;
};

struct TranscodeReport {
    SourceFormat source = SourceFormat::PCM16;
    std::uint16_t channels = 0;
    std::uint32_t sampleRate = 0;
    std::uint64_t frames = 0;         // frames read from the input
    std::uint64_t paddingFrames = 0;  // silent frames added to complete the last block
    std::uint64_t clippedSamples = 0;
    bool dithered = false;
    std::uint64_t ignoredBytes = 0;
    std::uint64_t outputBytes = 0;   // size of the whole output file
    std::uint64_t outputFrames = 0;  // frames in the output, block fill included
    std::string loop;  // what became of the loop, e.g. "loop 1000..46999 -> 1040..47099: ..."
    // Chunks dropped or mended on the way, one line each naming the chunk.
    std::vector<std::string> warnings;
};

struct MemoryTranscode {
    TranscodeReport report;
    std::vector<std::uint8_t> file;
};

// Converts a WAVE file in memory in the given direction. An input already in the target format
// (Xbox ADPCM for Encode, 16-bit PCM for Decode) or not ADPCM at all for Decode is an error.
Expected<MemoryTranscode> TranscodeMemory(std::span<const std::uint8_t> input,
                                          const TranscodeOptions& options);

// Converts the file `input` into `output`. The output is written to a temporary file in the
// output's folder and renamed over `output` only once complete, so a failure never leaves a
// partial output behind. `input` and `output` must not be the same file.
Expected<TranscodeReport> TranscodeFile(const std::filesystem::path& input,
                                        const std::filesystem::path& output,
                                        const TranscodeOptions& options);

}  // namespace imabox
