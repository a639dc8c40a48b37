// SPDX-License-Identifier: MIT
// Audio containers other than WAVE (FLAC, Ogg Vorbis and Opus, MP3, AIFF, CAF, Wave64, RF64, AU
// and the rest libsndfile knows), read a piece at a time from a file or from a forward-only
// stream such as standard input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "imabox/expected.hpp"
#include "io/byte_stream.hpp"
#include "media/instrument.hpp"
#include "wave/sample_stream.hpp"

namespace imabox {

struct SndfileInfo {
    std::string format;  // "FLAC 16-bit", "Ogg Vorbis", "MP3", "AIFF 24-bit"...
    std::uint16_t channels = 0;
    std::uint32_t sampleRate = 0;
    std::optional<std::uint64_t> frames;  // unknown for some streams
    // True when every sample is exactly a 16-bit value (lossless sources of at most 16 bits):
    // read them with ReadInt16. Other sources are read with ReadReal.
    bool exact16 = false;
    bool lossless = true;
};

class SndfileSource {
  public:
    // Opens the container that starts at `source`'s current position, which must be its first
    // byte. The container is recognised from its content. A source that cannot seek (a pipe) is
    // read forward, keeping its last bytes so that the decoder can look back a little. `source`
    // must outlive this object.
    static Expected<SndfileSource> Open(ByteSource& source);

    SndfileSource(SndfileSource&&) noexcept;
    SndfileSource& operator=(SndfileSource&&) noexcept;
    ~SndfileSource();

    const SndfileInfo& info() const;
    std::optional<SourceInstrument> Instrument() const;

    // Read up to out.size() / channels frames into `out`, interleaved; return the frames read,
    // 0 at the end. A decoding error, or a lossless source that ends before its declared
    // length, is an error. ReadInt16 is for sources with exact16 only; ReadReal gives samples
    // in 16-bit units (full scale is 32768; larger values are kept, not clipped).
    Expected<std::size_t> ReadInt16(std::span<std::int16_t> out);
    Expected<std::size_t> ReadReal(std::span<double> out);
    // Back to the first frame; false when the input cannot seek.
    bool Rewind();

    struct State;  // opaque: the libsndfile handle and its input

  private:
    explicit SndfileSource(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

// The audio of a container other than WAVE as the pipeline reads it: an Int16Stream for exact
// 16-bit sources, a RealStream for the others (exactly one is set), with the format's name.
struct SndfileAudio {
    std::string format;
    PayloadStreams streams;
    std::optional<SourceInstrument> instrument;
};
Expected<SndfileAudio> OpenSndfileAudio(ByteSource& source);

}  // namespace imabox
