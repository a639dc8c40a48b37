// SPDX-License-Identifier: MIT
// Audio a piece at a time. A source yields interleaved frames either as 16-bit integers
// (Int16Stream: 8/16-bit PCM, decoded ADPCM) or as real values in 16-bit units (RealStream:
// 24/32-bit PCM and float, where 1.5 lies halfway between 1 and 2). Stages between a source and
// a coder (resampling, mixing) are RealStreams over RealStreams; one quantising stage turns a
// RealStream into an Int16Stream at the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "imabox/expected.hpp"
#include "io/byte_stream.hpp"
#include "wave/wave_walker.hpp"

namespace imabox {

struct StreamShape {
    unsigned channels = 0;
    std::uint32_t sampleRate = 0;
    std::optional<std::uint64_t> frames;  // the whole stream's frames, when known in advance
};

// What a source met that its frames do not show.
struct StreamStats {
    std::uint64_t ignoredBytes = 0;    // at the end of the payload, short of a frame or block
    std::uint64_t clippedSamples = 0;  // outside the 16-bit range, or not finite
    bool dithered = false;
};

template <class Sample>
class SampleStream {
  public:
    virtual ~SampleStream() = default;
    virtual const StreamShape& shape() const = 0;
    // Reads up to out.size() / channels whole frames; returns the frames read, 0 at the end.
    virtual Expected<std::size_t> Read(std::span<Sample> out) = 0;
    // Back to the first frame; false when the source cannot seek (a pipe).
    virtual bool Rewind() = 0;
    virtual StreamStats stats() const = 0;
};

using Int16Stream = SampleStream<std::int16_t>;
using RealStream = SampleStream<double>;

// The payload that `header` describes, from `source` positioned at its first byte. Exactly one of
// the two is set: int16 for 8/16-bit PCM and ADPCM, real for the others.
struct PayloadStreams {
    std::unique_ptr<Int16Stream> int16;
    std::unique_ptr<RealStream> real;
};
Expected<PayloadStreams> OpenPayload(ByteSource& source, const WaveHeader& header);

}  // namespace imabox
