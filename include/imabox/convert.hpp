// SPDX-License-Identifier: MIT
// imabox C++ API: Xbox ADPCM WAVE files from and to other audio, one entry point per operation.
//
// - Convert is the exported XBoxAudio's exact behaviour: its strict header reader (16-bit PCM or
//   Xbox ADPCM, in the two layouts it has always read), the direction taken from the input's
//   format tag, the output written in place, and its console messages sent to `console`.
// - Encode reads the WAVE files other programs write (8/16/24/32-bit PCM, 32/64-bit float, plain
//   or extensible, IMA ADPCM 0x0011; chunks in any order), and in builds with libsndfile other
//   containers (FLAC, Ogg, MP3, AIFF...), and writes Xbox ADPCM.
// - Decode reads Xbox ADPCM (0x0069) or IMA ADPCM (0x0011) and writes 16-bit PCM.
// - ReadWaveInfo tells what a WAVE file holds without converting it.
// Encode and Decode stream: memory stays a few MiB whatever the file's size. Their file output is
// written to a temporary file beside the output and renamed over it only once complete.
//
// Nothing is printed (except through `console`) and the process never ends: failures come back as
// an Error (see expected.hpp) whose message is one line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "imabox/expected.hpp"
#include "imabox/sample_format.hpp"

namespace imabox {

enum class Encoding { PCM16, XBoxADPCM };

// The whole output file of a conversion in memory, and its report.
template <class Report>
struct MemoryOutput {
    Report report;
    std::vector<std::uint8_t> file;
};

// ---------------------------------------------------------------------------------------------
// Convert: XBoxAudio's exact converter.

// Receives each console message, newline included.
using ConsoleSink = std::function<void(std::string_view)>;

struct ConvertOptions {
    // Receives XBoxAudio's console messages. Empty: silent.
    ConsoleSink console;
    // 1 keeps all the work on the calling thread; any other value (0, the default, means "as
    // the machine allows") lets reading or writing run on a second thread. Never changes a byte.
    unsigned threads = 0;
};

struct ConvertReport {
    SourceFormat input = SourceFormat::PCM16;  // PCM16 or XBoxADPCM
    Encoding output = Encoding::XBoxADPCM;     // the other one
    std::uint16_t channels = 0;
    std::uint32_t sampleRate = 0;
    // Frames per channel as printed ("Number of samples per channel"): the data size over
    // 2 x channels, in both directions.
    std::uint64_t inputFrames = 0;
    std::uint64_t paddingFrames = 0;    // silent frames added to complete the last block
    std::uint64_t blocks = 0;           // Xbox ADPCM blocks coded or decoded
    std::uint64_t outputDataBytes = 0;  // payload bytes after the output header
    std::uint64_t outputBytes = 0;      // the whole output file
};

// Converts the WAVE file `input` into `output`. The input is closed before the output is opened,
// so both may name the same file.
Expected<ConvertReport> ConvertFile(const std::filesystem::path& input,
                                    const std::filesystem::path& output,
                                    const ConvertOptions& options = {});
// Converts a WAVE file held in memory.
Expected<MemoryOutput<ConvertReport>> ConvertMemory(std::span<const std::uint8_t> input,
                                                    const ConvertOptions& options = {});

// ---------------------------------------------------------------------------------------------
// Encode: any supported audio to Xbox ADPCM.

inline constexpr int kMaxEncodeQuality = 9;

// What Encode does with a loop (a WAVE smpl chunk) that does not lie on whole blocks.
enum class LoopAlignMode {
    Off,       // loop points kept as they are
    Unroll,    // start unrolled to a block boundary; the loop repeated until it fills whole blocks
    Resample,  // start unrolled to a block boundary; the file resampled so the loop fills whole
               // blocks, refused when that changes the pitch by more than maxLoopCents
};

// The mode named "off", "unroll" or "resample"; nothing for any other name.
std::optional<LoopAlignMode> ParseLoopAlignMode(std::string_view name);

// Listeners notice about 5 to 10 cents on a held tone: 5 keeps a resampled loop below that. A
// loop of 11 270 frames or more always fits whole blocks within 5 cents.
inline constexpr double kDefaultMaxLoopCents = 5.0;

struct EncodeOptions {
    // 0: the plain encoder XBoxAudio uses, byte for byte. 1..9: a search over codes and block
    // start step indices that lowers the squared error; higher levels search more. Every level
    // writes a stream any IMA ADPCM decoder plays, none has more error than level 0.
    int quality = 0;
    // The searching coder's threads (0: one per processor core). Never changes a byte.
    unsigned threads = 0;
    // The output's sample rate and channel count, 0 keeping the input's. A new rate is made by
    // resampling at very high quality (in builds with libsoxr); channels become 1 (the average of
    // the input's) or 2 from 1 (the channel twice).
    std::uint32_t sampleRate = 0;
    unsigned channels = 0;
    // How a loop is put on block boundaries, and the largest pitch change in cents that
    // resampling may make for it.
    LoopAlignMode loopAlign = LoopAlignMode::Resample;
    double maxLoopCents = kDefaultMaxLoopCents;
    // Write the blocks alone, no header.
    bool raw = false;
};

struct EncodeReport {
    SourceFormat input = SourceFormat::PCM16;
    // For inputs other than WAVE, the container and its coding ("FLAC 16-bit", "Ogg Vorbis",
    // "MP3"...), and `input` is PCM16; empty for WAVE files.
    std::string inputContainer{};
    std::uint16_t inputChannels = 0;
    std::uint32_t inputSampleRate = 0;
    // The output's rate and channels (those of the input unless a change was asked for).
    std::uint16_t outputChannels = 0;
    std::uint32_t outputSampleRate = 0;
    std::uint64_t inputFrames = 0;    // frames read from the input
    std::uint64_t paddingFrames = 0;  // silent frames added to complete the last block
    std::uint64_t blocks = 0;         // Xbox ADPCM blocks coded
    // Samples that did not fit 16 bits (float outside -1..1, NaN, infinity, resampler ringing)
    // and were clipped; whether TPDF dither was added (sources of more than 16 bits whose samples
    // are not all exact 16-bit values); bytes at the end of the data chunk short of a whole frame
    // or block; bytes after the last chunk too short to be a chunk.
    std::uint64_t clippedSamples = 0;
    bool dithered = false;
    std::uint64_t ignoredBytes = 0;
    std::uint64_t trailingBytes = 0;
    std::uint64_t outputDataBytes = 0;  // payload bytes after the output header
    std::uint64_t outputBytes = 0;      // the whole output file
    // What became of the loop ("loop 1000..46999 -> 1040..47099: ..."; empty without one), and
    // the chunks dropped or mended on the way, one line each naming the chunk.
    std::string loop;
    std::vector<std::string> warnings;
};

// Encodes the file `input` into `output`; both may not name the same file.
Expected<EncodeReport> EncodeFile(const std::filesystem::path& input,
                                  const std::filesystem::path& output,
                                  const EncodeOptions& options = {});
Expected<MemoryOutput<EncodeReport>> EncodeMemory(std::span<const std::uint8_t> input,
                                                  const EncodeOptions& options = {});
// Open streams (standard input and output, pipes) on either side; the other side may be a path
// (an output path is replaced once complete, as by EncodeFile). The input is read once, forward;
// a WAVE stream whose sizes are 0xFFFFFFFF or 0 is read to its end. The output is written in
// order: its header carries the real sizes when they are known before writing (any input whose
// length is known), 0xFFFFFFFF otherwise, completed at the end when the output is a regular
// file. Streams are not closed.
Expected<EncodeReport> EncodeStream(std::FILE* input, std::FILE* output,
                                    const EncodeOptions& options = {});
Expected<EncodeReport> EncodeStream(std::FILE* input, const std::filesystem::path& output,
                                    const EncodeOptions& options = {});
Expected<EncodeReport> EncodeStream(const std::filesystem::path& input, std::FILE* output,
                                    const EncodeOptions& options = {});

// ---------------------------------------------------------------------------------------------
// Decode: Xbox ADPCM or IMA ADPCM to 16-bit PCM.

struct DecodeOptions {
    // The output container: "wav" (or empty: the default) or one of DecodeFormats().
    std::string format{};
    // Write the 16-bit samples alone, no header (WAVE only).
    bool raw = false;
};

struct DecodeReport {
    SourceFormat input = SourceFormat::XBoxADPCM;  // XBoxADPCM or IMAADPCM
    std::uint16_t channels = 0;                    // the input's and the output's
    std::uint32_t sampleRate = 0;
    std::uint64_t frames = 0;  // frames decoded
    std::uint64_t blocks = 0;  // ADPCM blocks decoded (the last one may be partial)
    // Bytes at the end of the data chunk short of a whole block; bytes after the last chunk too
    // short to be a chunk.
    std::uint64_t ignoredBytes = 0;
    std::uint64_t trailingBytes = 0;
    std::uint64_t outputDataBytes = 0;  // payload bytes after the output header (WAVE)
    std::uint64_t outputBytes = 0;      // the whole output file (WAVE)
    // The chunks dropped or mended on the way, one line each naming the chunk.
    std::vector<std::string> warnings;
};

// The output containers Decode writes in this build: "wav", then those of libsndfile ("flac",
// "aiff", "caf", "w64", "au", "ogg") when the build has it.
std::vector<std::string> DecodeFormats();

Expected<DecodeReport> DecodeFile(const std::filesystem::path& input,
                                  const std::filesystem::path& output,
                                  const DecodeOptions& options = {});
Expected<MemoryOutput<DecodeReport>> DecodeMemory(std::span<const std::uint8_t> input,
                                                  const DecodeOptions& options = {});
// As EncodeStream.
Expected<DecodeReport> DecodeStream(std::FILE* input, std::FILE* output,
                                    const DecodeOptions& options = {});
Expected<DecodeReport> DecodeStream(std::FILE* input, const std::filesystem::path& output,
                                    const DecodeOptions& options = {});
Expected<DecodeReport> DecodeStream(const std::filesystem::path& input, std::FILE* output,
                                    const DecodeOptions& options = {});

// ---------------------------------------------------------------------------------------------
// Info.

// One chunk of a WAVE file other than fmt, fact and data.
struct WaveChunkInfo {
    std::uint32_t id = 0;        // four characters, little-endian ("LIST" = 0x5453494C)
    std::uint64_t position = 0;  // offset of the chunk's body in the file
    std::uint32_t size = 0;      // declared body size
};

// What a WAVE file holds, read without converting it (the general reader: every file Encode or
// Decode reads).
struct WaveInfo {
    SourceFormat format = SourceFormat::PCM16;
    std::uint16_t formatTag = 0;  // as written (0xFFFE for extensible)
    std::uint16_t channels = 0;
    std::uint32_t sampleRate = 0;
    std::uint16_t blockAlign = 0;
    std::uint16_t bitsPerSample = 0;
    std::uint64_t dataOffset = 0;         // first payload byte
    std::uint64_t declaredDataBytes = 0;  // the data chunk's size field (0xFFFFFFFF: unknown)
    std::uint64_t dataBytes = 0;          // payload bytes present in the file
    std::uint64_t frames = 0;             // frames per channel the present payload holds
    std::uint64_t blocks = 0;             // whole ADPCM blocks present (ADPCM only)
    bool hasFact = false;
    std::uint32_t factFrames = 0;
    double durationSeconds = 0.0;
    std::vector<WaveChunkInfo> otherChunks;
    std::uint64_t trailingBytes = 0;  // bytes after the last chunk, too few to be one
    // The loops of a smpl chunk, in frames (end inclusive), and the LIST/INFO title.
    struct Loop {
        std::uint32_t start = 0;
        std::uint32_t end = 0;
    };
    std::vector<Loop> loops;
    std::string title;
    // More than 65536 chunks: the bytes from the next chunk on, not read.
    std::uint64_t bytesPastChunkLimit = 0;
    // A container other than WAVE ("FLAC 16-bit", "AIFF 24-bit"...): only the channels, the
    // rate, the frames (when the header says), the duration and the loops are set.
    std::string container;
};

Expected<WaveInfo> ReadWaveInfo(const std::filesystem::path& file);
// The same for a WAVE file held in memory.
Expected<WaveInfo> ReadWaveInfo(std::span<const std::uint8_t> file);

}  // namespace imabox
