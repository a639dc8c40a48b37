// The streaming pipeline behind Encode and Decode: a source yields the headers and then audio a
// piece at a time, a coder turns pieces into pieces, a sink writes them. Nothing holds a whole
// payload.
//
//   OpenConversion(source, options)   reads and checks the headers (no payload yet), and
//                                     chooses the output: its format and, when the input's size
//                                     is known, its exact size
//   RunConversion(plan, sink)         streams the payload through and returns the report
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "imabox/convert.hpp"
#include "io/byte_stream.hpp"
#include "wave/sample_stream.hpp"
#include "wave/wave_walker.hpp"
#include "wave/wave_writer.hpp"

namespace imabox {

// Frames are handed from stage to stage in pieces of about this many bytes of 16-bit PCM.
inline constexpr std::size_t kPipelinePieceBytes = std::size_t{1} << 20;

// Channel counts the output headers can describe: Xbox ADPCM's block align (36 per channel) and
// 16-bit PCM's (2 per channel) are 16-bit fields.
inline constexpr unsigned kMaxXBoxADPCMChannels = 0xFFFF / 36;  // 1820
inline constexpr unsigned kMaxPCM16Channels = 0xFFFF / 2;       // 32767

struct ConversionPlan {
    ConvertDirection direction = ConvertDirection::Encode;
    WaveHeader header;
    std::unique_ptr<Int16Stream> audio;  // the input as 16-bit frames
    WaveCoding output = WaveCoding::XBoxADPCM;
    std::optional<std::uint64_t> outputDataBytes;  // known when the input's frames are
    int quality = 0;
    std::size_t pieceBytes = kPipelinePieceBytes;
    // Chunks written after the data (loops and metadata carried over), what became of the loop,
    // and the warnings about chunks dropped or mended.
    std::vector<std::uint8_t> trailer;
    std::string loop;
    std::vector<std::string> warnings;
    // The input's frames when the loop alignment changed how many the coder gets.
    std::optional<std::uint64_t> inputFrames;
};

// Reads the headers from `source` (payload untouched) and plans an Encode or Decode conversion.
// `source` must outlive the plan.
Expected<ConversionPlan> OpenConversion(ByteSource& source, const ConvertOptions& options);

// Streams the payload into `sink` as a WAVE file (or raw blocks, with `writer` options).
Expected<ConvertReport> RunConversion(ConversionPlan& plan, ByteSink& sink,
                                      const WaveWriterOptions& writer = {});

}  // namespace imabox
