// SPDX-License-Identifier: MIT
#include "pipeline/quantize.hpp"

#include <algorithm>
#include <cmath>

#include "io/errors.hpp"

namespace imabox {
namespace {

constexpr std::size_t kDecideSamples = std::size_t{1} << 16;

}  // namespace

double SampleQuantizer::NextUniform() {
    // xorshift64*: fast, and good enough to decorrelate dither from the signal.
    rng_ ^= rng_ >> 12;
    rng_ ^= rng_ << 25;
    rng_ ^= rng_ >> 27;
    return static_cast<double>((rng_ * 0x2545F4914F6CDD1Dull) >> 11) * 0x1.0p-53;
}

std::int16_t SampleQuantizer::Quantize(double x) {
    if (std::isnan(x)) {
        ++clipped_;
        return 0;
    }
    if (x > 32767.0 || x < -32768.0)
        ++clipped_;
    if (dither_)
        x += NextUniform() - NextUniform();
    const double rounded = std::floor(x + 0.5);
    if (rounded > 32767.0)
        return 32767;
    if (rounded < -32768.0)
        return -32768;
    return static_cast<std::int16_t>(rounded);
}

bool IsExact16(double x) {
    return x == std::floor(x) && x >= -32768.0 && x <= 32767.0;
}

QuantizeStage::QuantizeStage(std::unique_ptr<RealStream> source) : source_(std::move(source)) {}

Expected<bool> QuantizeStage::Decide() {
    if (!source_->Rewind()) {
        policy_ = Policy::DitherInexact;
        quantizer_ = SampleQuantizer(true);
        return true;
    }
    const unsigned channels = source_->shape().channels;
    std::vector<double> piece(
        std::max<std::size_t>(channels, kDecideSamples / channels * channels));
    bool exact = true;
    while (exact) {
        const Expected<std::size_t> frames = source_->Read(piece);
        if (!frames)
            return frames.error();
        if (*frames == 0)
            break;
        for (std::size_t i = 0; i < *frames * channels && exact; ++i)
            exact = IsExact16(piece[i]);
    }
    if (!source_->Rewind())
        return MakeError(ErrorKind::InputRead, "cannot seek back to the audio");
    policy_ = exact ? Policy::Exact : Policy::Dither;
    quantizer_ = SampleQuantizer(!exact);
    ditheredAny_ = !exact;
    return true;
}

Expected<std::size_t> QuantizeStage::Read(std::span<std::int16_t> out) {
    if (policy_ == Policy::Undecided) {
        const Expected<bool> decided = Decide();
        if (!decided)
            return decided.error();
    }
    if (buffer_.size() < out.size())
        buffer_.resize(out.size());
    const Expected<std::size_t> frames = source_->Read(std::span(buffer_).first(out.size()));
    if (!frames)
        return frames;
    const std::size_t count = *frames * source_->shape().channels;
    if (policy_ == Policy::DitherInexact) {
        for (std::size_t i = 0; i < count; ++i) {
            const double x = buffer_[i];
            if (IsExact16(x)) {
                out[i] = static_cast<std::int16_t>(x);
            } else {
                out[i] = quantizer_.Quantize(x);
                ditheredAny_ = true;
            }
        }
    } else {
        for (std::size_t i = 0; i < count; ++i)
            out[i] = quantizer_.Quantize(buffer_[i]);
    }
    return frames;
}

bool QuantizeStage::Rewind() {
    if (!source_->Rewind())
        return false;
    quantizer_ = SampleQuantizer(quantizer_.dither());
    return true;
}

StreamStats QuantizeStage::stats() const {
    StreamStats stats = source_->stats();
    stats.clippedSamples += quantizer_.clipped();
    stats.dithered = ditheredAny_;
    return stats;
}

}  // namespace imabox
