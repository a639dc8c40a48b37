// Small stages of the float path: channel changes, and the one step from float to 16 bits.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "imabox/expected.hpp"
#include "wave/wave_reader.hpp"

namespace imabox {

// Whether `from` channels can become `to`: the same count, any count to 1 (the average of the
// channels) or 1 to 2 (the channel duplicated). Otherwise one line saying what is refused.
std::optional<Error> CheckChannelChange(unsigned from, unsigned to);

// Replaces `out` with the frames of `in` (interleaved, `from` channels) changed to `to`
// channels as CheckChannelChange allows.
void ChangeChannels(std::span<const float> in, unsigned from, unsigned to, std::vector<float>& out);
// The same for 16-bit samples, for the changes that stay exact: equal counts and 1 to 2.
void DuplicateChannels(std::span<const std::int16_t> in, unsigned from, unsigned to,
                       std::vector<std::int16_t>& out);

// 16-bit samples as floats in the nominal range -1..1 (x / 32768, exact).
void Int16ToFloat(std::span<const std::int16_t> in, std::vector<float>& out);

// The last stage of the float path: scales by 32768, adds TPDF dither of +-1 unit, rounds and
// saturates, counting the samples that lay outside the 16-bit range. One object per stream, so
// the dither sequence and the count run across pieces.
class FloatTo16 {
  public:
    explicit FloatTo16(bool dither = true) : quantizer_(dither) {}
    // out.size() must be at least in.size().
    void Convert(std::span<const float> in, std::span<std::int16_t> out);
    std::uint64_t clipped() const { return quantizer_.clipped(); }

  private:
    SampleQuantizer quantizer_;
};

}  // namespace imabox
