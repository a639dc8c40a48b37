// SPDX-License-Identifier: MIT
// What the pipeline asks of the libraries a build may have: a reader of containers other than
// WAVE, a writer of output containers other than WAVE, and a resampler. src/media implements
// them (media/media.hpp gives the set a build has, the missing ones saying so when asked); the
// pipeline never depends on which are present.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "imabox/expected.hpp"
#include "io/byte_stream.hpp"
#include "wave/container_probe.hpp"
#include "wave/sample_stream.hpp"
#include "wave/wave_metadata.hpp"

namespace imabox {

// The audio of a container other than WAVE: its streams (an Int16Stream for exact 16-bit
// sources, a RealStream for the others), the container's name ("FLAC 16-bit", "MP3"...) and the
// loops and pitch it carries, as a smpl chunk.
struct ContainerAudio {
    std::string format;
    PayloadStreams streams;
    std::optional<SamplerChunk> sampler;
};

// Changes the sample rate of interleaved frames (in 16-bit units), a piece at a time.
class RateConverter {
  public:
    virtual ~RateConverter() = default;
    // Resamples the whole frames of `in` and appends the frames ready so far to `out`.
    virtual Expected<bool> Process(std::span<const double> in, std::vector<double>& out) = 0;
    // Ends the input: appends the frames still held back. No Process may follow.
    virtual Expected<bool> Flush(std::vector<double>& out) = 0;
};

// Writes 16-bit frames as an output container other than WAVE.
class AudioSink {
  public:
    virtual ~AudioSink() = default;
    // Writes whole interleaved frames.
    virtual Expected<bool> Write(std::span<const std::int16_t> samples) = 0;
    // Completes the output (headers, final blocks).
    virtual Expected<bool> Finish() = 0;
};

// The frames a rate change makes of `frames` input frames: their duration at the output rate,
// rounded to the nearest frame (what MediaAdapters::Resample's stream holds).
inline std::uint64_t ResampledFrames(std::uint64_t frames, std::uint32_t inputRate,
                                     std::uint32_t outputRate) {
    // frames * outputRate / inputRate rounded half up, in two parts so that nothing overflows:
    // the remainder times the rate fits 64 bits.
    const std::uint64_t whole = frames / inputRate;
    const std::uint64_t rest = frames % inputRate;
    return whole * outputRate + (rest * outputRate + inputRate / 2) / inputRate;
}

class MediaAdapters {
  public:
    virtual ~MediaAdapters() = default;

    // Opens the container that starts at `source`'s position, which `probe` did not find to be
    // WAVE. Nothing when this build reads no other container and the input may still be WAVE
    // (its first bytes were not recognised): the WAVE reader then says what is wrong.
    virtual Expected<std::optional<ContainerAudio>> OpenContainer(
        ByteSource& source, const ContainerProbe& probe) const = 0;

    // Whether this build can change sample rates.
    virtual bool CanResample() const = 0;
    // `source` at `sampleRate`, of ResampledFrames frames when the source's are known. Nothing is
    // read before the stream is.
    virtual Expected<std::unique_ptr<RealStream>> Resample(std::unique_ptr<RealStream> source,
                                                           std::uint32_t sampleRate) const = 0;
    // A rate converter taking `inputRate` frames in for `outputRate` out (only the ratio
    // matters).
    virtual Expected<std::unique_ptr<RateConverter>> CreateRateConverter(
        std::uint32_t inputRate, std::uint32_t outputRate, unsigned channels) const = 0;

    // The output containers other than WAVE this build writes, by name ("flac", "aiff"...).
    virtual std::vector<std::string> OutputFormats() const = 0;
    // Why `format` (a name or an extension, any case) cannot be written; nothing when it can.
    virtual std::optional<Error> CheckOutputFormat(const std::string& format) const = 0;
    // Writes `format`, which CheckOutputFormat accepted, into `sink` (which must outlive it).
    virtual Expected<std::unique_ptr<AudioSink>> CreateSink(ByteSink& sink,
                                                            const std::string& format,
                                                            unsigned channels,
                                                            std::uint32_t sampleRate) const = 0;
};

}  // namespace imabox
