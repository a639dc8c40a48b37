// SPDX-License-Identifier: MIT
// The one stage that turns real-valued audio (in 16-bit units) into 16-bit samples: TPDF dither
// where it is needed, rounding and saturation.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "wave/sample_stream.hpp"

namespace imabox {

// Converts x in 16-bit units (x = 1.5 lies halfway between 1 and 2) to a 16-bit sample. Adds
// triangular (TPDF) dither of +-1 unit when `dither` is set, rounds, saturates, and counts in
// `clipped` the inputs that lay outside the 16-bit range or were not finite (NaN becomes 0,
// infinities full scale).
class SampleQuantizer {
  public:
    explicit SampleQuantizer(bool dither) : dither_(dither) {}
    std::int16_t Quantize(double x);
    std::uint64_t clipped() const { return clipped_; }
    bool dither() const { return dither_; }

  private:
    double NextUniform();  // in [0, 1)

    bool dither_;
    std::uint64_t clipped_ = 0;
    std::uint64_t rng_ = 0x9E3779B97F4A7C15ull;  // fixed seed: the same input gives the same file
};

// True when x is an exact 16-bit value.
bool IsExact16(double x);

// A RealStream quantised to 16 bits. Whether to dither is a property of the whole stream: a
// source whose samples are all exact 16-bit values (a float or 24-bit copy of 16-bit audio) is
// converted exactly, any other is dithered throughout. A rewindable source is read once ahead to
// decide; a stream that cannot be read twice dithers exactly the samples that are not exact
// 16-bit values (the same result for both kinds of source; only mixed sources differ).
class QuantizeStage final : public Int16Stream {
  public:
    explicit QuantizeStage(std::unique_ptr<RealStream> source);
    const StreamShape& shape() const override { return source_->shape(); }
    Expected<std::size_t> Read(std::span<std::int16_t> out) override;
    bool Rewind() override;
    StreamStats stats() const override;

  private:
    enum class Policy { Undecided, Exact, Dither, DitherInexact };
    Expected<bool> Decide();

    std::unique_ptr<RealStream> source_;
    Policy policy_ = Policy::Undecided;
    SampleQuantizer quantizer_{false};
    bool ditheredAny_ = false;
    std::vector<double> buffer_;
};

}  // namespace imabox
