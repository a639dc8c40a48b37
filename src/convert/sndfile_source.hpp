// Audio containers other than WAVE (FLAC, Ogg Vorbis and Opus, MP3, AIFF, CAF, Wave64, RF64, AU
// and the rest libsndfile knows), read a piece at a time from a file or from a forward-only stream
// such as standard input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "imabox/expected.hpp"
#include "wave/wave_header.hpp"

namespace imabox {

// A sustain or release loop of a sampled instrument, in frames of the source.
struct SourceLoop {
    enum class Mode { None, Forward, Backward, Alternating };
    Mode mode = Mode::Forward;
    std::uint32_t start = 0;
    std::uint32_t end = 0;
    std::uint32_t count = 0;  // 0: loops for ever
};

// Instrument data a container may carry (AIFF INST/MARK, FLAC and WAVE smpl...).
struct SourceInstrument {
    int gain = 0;
    int baseNote = 0;
    int detune = 0;
    int velocityLow = 0, velocityHigh = 0;
    int keyLow = 0, keyHigh = 0;
    std::vector<SourceLoop> loops;
};

struct SndfileInfo {
    std::string format;  // "FLAC 16-bit", "Ogg Vorbis", "MP3", "AIFF 24-bit"...
    std::uint16_t channels = 0;
    std::uint32_t sampleRate = 0;
    std::optional<std::uint64_t> frames;  // unknown for some streams
    // True when every sample is exactly a 16-bit value (lossless sources of at most 16 bits):
    // read them with ReadInt16. Other sources are read with ReadFloat.
    bool exact16 = false;
};

class SndfileSource {
  public:
    // Opens a file; its container is recognised from its content.
    static Expected<SndfileSource> OpenFile(const std::filesystem::path& path);
    // Opens a forward-only stream. `head` holds the bytes already taken from it to recognise
    // the container (they are read again first); `rest` yields the remaining bytes and must
    // outlive the source.
    static Expected<SndfileSource> OpenStream(std::span<const std::uint8_t> head, WaveSource& rest);

    SndfileSource(SndfileSource&&) noexcept;
    SndfileSource& operator=(SndfileSource&&) noexcept;
    ~SndfileSource();

    const SndfileInfo& info() const;
    std::optional<SourceInstrument> Instrument() const;

    // Read up to out.size() / channels frames into `out`, interleaved; return the frames read,
    // 0 at the end. A decoding error, or a lossless source that ends before its declared
    // length, is an error. ReadInt16 is for sources with exact16 only; ReadFloat gives samples
    // in the nominal range -1..1 (larger values are kept, not clipped).
    Expected<std::size_t> ReadInt16(std::span<std::int16_t> out);
    Expected<std::size_t> ReadFloat(std::span<float> out);

    struct State;  // opaque: the libsndfile handle and its input

  private:
    explicit SndfileSource(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace imabox
