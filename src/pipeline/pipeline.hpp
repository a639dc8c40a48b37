// SPDX-License-Identifier: MIT
// The streaming pipeline behind Encode and Decode: a source yields the headers and then audio a
// piece at a time, a coder turns pieces into pieces, a sink writes them. Nothing holds a whole
// payload.
//
//   OpenConversion(source, request)   reads and checks a WAVE file's headers (no payload yet),
//                                     opens its payload as a sample stream and plans: the output
//                                     format and, when the input's size is known, its exact size
//   PlanConversion(description, ...)  the same for audio another reader opened
//   RunConversion(plan, sink)         streams the payload through and returns the report
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "imabox/convert.hpp"
#include "io/byte_stream.hpp"
#include "pipeline/media_adapters.hpp"
#include "wave/sample_stream.hpp"
#include "wave/wave_metadata.hpp"
#include "wave/wave_walker.hpp"
#include "wave/wave_writer.hpp"

namespace imabox {

// Frames are handed from stage to stage in pieces of about this many bytes of 16-bit PCM.
inline constexpr std::size_t kPipelinePieceBytes = std::size_t{1} << 20;

// Channel counts the output headers can describe: Xbox ADPCM's block align (36 per channel) and
// 16-bit PCM's (2 per channel) are 16-bit fields.
inline constexpr unsigned kMaxXBoxADPCMChannels = 0xFFFF / 36;  // 1820
inline constexpr unsigned kMaxPCM16Channels = 0xFFFF / 2;       // 32767

// What a source says about itself before its audio: a WAVE file's headers, or whatever another
// reader finds.
struct SourceDescription {
    SourceFormat format = SourceFormat::PCM16;
    unsigned channels = 0;
    std::uint32_t sampleRate = 0;
    unsigned blockFrames = 1;         // frames the source decodes at once (an ADPCM block), else 1
    std::uint64_t trailingBytes = 0;  // ignored after the input's last chunk
    std::vector<WaveChunk> otherChunks;  // chunks a writer may carry over
    std::string container;  // a container other than WAVE: "FLAC 16-bit", "MP3"...; else empty
    // Loops and metadata read from those chunks (or, for other containers, from what their
    // reader gives), and the warnings about chunks that could not be read.
    WaveMetadata metadata;
    std::vector<std::string> warnings;
};

// What is asked of the pipeline: an encoding (Xbox ADPCM output) or a decoding (16-bit PCM).
struct ConversionRequest {
    WaveCoding output = WaveCoding::XBoxADPCM;
    EncodeOptions encode;  // for an encoding
    DecodeOptions decode;  // for a decoding

    static ConversionRequest ForEncode(const EncodeOptions& options) {
        return {WaveCoding::XBoxADPCM, options, {}};
    }
    static ConversionRequest ForDecode(const DecodeOptions& options) {
        return {WaveCoding::PCM16, {}, options};
    }
    bool raw() const { return output == WaveCoding::XBoxADPCM ? encode.raw : decode.raw; }
};

// What a conversion did: an encoding's report, of which a decoding's is made.
using ConversionReport = EncodeReport;

// The description of a WAVE file's headers.
SourceDescription DescribeWave(const WaveHeader& header);

struct ConversionPlan {
    const MediaAdapters* media = nullptr;  // the adapters the plan was made with
    // The input read from a stream whose first bytes were taken to recognise its container.
    std::unique_ptr<ByteSource> replay;
    SourceDescription source;            // the input's format, channels and rate
    std::unique_ptr<Int16Stream> audio;  // the input as 16-bit frames, at the output's shape
    WaveCoding output = WaveCoding::XBoxADPCM;
    std::optional<std::uint64_t> outputDataBytes;  // known when the input's frames are
    int quality = 0;
    unsigned searchThreads = 0;  // threads of the searching coder (0: one per core)
    std::string outputFormat;    // Decode: a container libsndfile writes; empty for WAVE
    std::size_t pieceBytes = kPipelinePieceBytes;
    // Chunks written after the data (loops and metadata carried over), what became of the loop,
    // and the warnings about chunks dropped or mended.
    std::vector<std::uint8_t> trailer;
    std::string loop;
    std::vector<std::string> warnings;
    // The input's frames when the loop alignment changed how many the coder gets.
    std::optional<std::uint64_t> inputFrames;
};

// Plans an Encode or Decode conversion of audio already open: checks the direction, the options
// and the limits of the output header, and puts the quantising stage after a real-valued source.
// `media` (other containers, resampling) must outlive the plan.
Expected<ConversionPlan> PlanConversion(SourceDescription source, PayloadStreams audio,
                                        const ConversionRequest& request,
                                        const MediaAdapters& media);

// Reads a WAVE file's headers from `source` (payload untouched), or opens another container
// through `media`, and plans the conversion of its payload. `source` and `media` must outlive
// the plan.
// `adjust`, when given, sees the input's loops and metadata (in the input's frames) before they
// are planned, e.g. to set a loop.
using MetadataAdjuster = std::function<void(WaveMetadata&)>;
Expected<ConversionPlan> OpenConversion(ByteSource& source, const ConversionRequest& request,
                                        const MediaAdapters& media,
                                        const MetadataAdjuster& adjust = {});

// What a plan tells of its conversion before it runs: the input's format, container, channels
// and rate, the output's channels and rate, the loop and the warnings.
void DescribePlan(const ConversionPlan& plan, ConversionReport& report);

// Streams the payload into `sink` as a WAVE file (or raw blocks, with `writer` options).
Expected<ConversionReport> RunConversion(ConversionPlan& plan, ByteSink& sink,
                                         const WaveWriterOptions& writer = {});

}  // namespace imabox
