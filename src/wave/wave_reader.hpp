// The general WAVE reader: walks the chunk list of a file held in memory, finds the fmt and data
// chunks wherever they are, and turns the payload into 16-bit samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "imabox/expected.hpp"
#include "imabox/transcode.hpp"

namespace imabox {

inline constexpr std::uint16_t kFormatIEEEFloat = 0x0003;
inline constexpr std::uint16_t kFormatIMAADPCM = 0x0011;
inline constexpr std::uint16_t kFormatExtensible = 0xFFFE;

// Where the audio is and how it is stored.
struct WaveLayout {
    SourceFormat source = SourceFormat::PCM16;
    std::uint16_t channels = 0;
    std::uint32_t sampleRate = 0;
    std::uint16_t blockAlign = 0;             // bytes per frame (PCM) or per block (ADPCM)
    std::size_t dataOffset = 0;               // first payload byte in the file
    std::size_t dataBytes = 0;                // payload bytes present in the file
    std::optional<std::uint32_t> factFrames;  // sample count of a fact chunk, when there is one
};

// Finds and checks the fmt and data chunks. Every failure is one line naming what was found.
Expected<WaveLayout> ParseWaveLayout(std::span<const std::uint8_t> file);

// Converts the payload described by `layout` to interleaved 16-bit samples.
Expected<WaveAudio> ReadWaveSamples(std::span<const std::uint8_t> file, const WaveLayout& layout);

// Converts samples of more than 16 bits to 16 bits: x is in 16-bit units (x = 1.5 lies halfway
// between 1 and 2). Adds triangular (TPDF) dither of +-1 unit when `dither` is set, rounds,
// saturates, and counts in `clipped` the inputs that lay outside the 16-bit range or were not
// finite (NaN and infinities become 0 and full scale).
class SampleQuantizer {
  public:
    explicit SampleQuantizer(bool dither) : dither_(dither) {}
    std::int16_t Quantize(double x);
    std::uint64_t clipped() const { return clipped_; }

  private:
    double NextUniform();  // in [0, 1)

    bool dither_;
    std::uint64_t clipped_ = 0;
    std::uint64_t rng_ = 0x9E3779B97F4A7C15ull;  // fixed seed: the same input gives the same file
};

}  // namespace imabox
