// SPDX-License-Identifier: MIT
#include "media/soxr_resampler.hpp"

#include <soxr.h>

#include "io/errors.hpp"
#include "pipeline/media_adapters.hpp"

#include <algorithm>
#include <new>
#include <string>

namespace imabox {

struct Resampler::State {
    soxr_t soxr = nullptr;
    unsigned channels = 0;
    double ratio = 1;
    ~State() {
        if (soxr)
            soxr_delete(soxr);
    }
};

Resampler::Resampler(std::unique_ptr<State> state) : state_(std::move(state)) {}
Resampler::Resampler(Resampler&&) noexcept = default;
Resampler& Resampler::operator=(Resampler&&) noexcept = default;
Resampler::~Resampler() = default;

Expected<Resampler> Resampler::Create(std::uint32_t inputRate, std::uint32_t outputRate,
                                      unsigned channels) {
    if (inputRate == 0 || outputRate == 0 || channels == 0)
        return MakeError(ErrorKind::InvalidArgument, "cannot resample " + std::to_string(channels) +
                                                         " channels from " +
                                                         std::to_string(inputRate) + " Hz to " +
                                                         std::to_string(outputRate) + " Hz");
    // Past this factor between the rates the resampler's work no longer ends in useful time.
    constexpr std::uint64_t kMaxFactor = std::uint64_t{1} << 18;
    if (std::uint64_t{inputRate} > kMaxFactor * outputRate ||
        std::uint64_t{outputRate} > kMaxFactor * inputRate)
        return MakeError(ErrorKind::InvalidArgument,
                         "cannot resample from " + std::to_string(inputRate) + " Hz to " +
                             std::to_string(outputRate) + " Hz: the rates are more than " +
                             std::to_string(kMaxFactor) + " times apart");
    try {
        auto state = std::make_unique<State>();
        state->channels = channels;
        state->ratio = static_cast<double>(outputRate) / inputRate;
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
        soxr_error_t error = nullptr;
        state->soxr = soxr_create(inputRate, outputRate, channels, &error, &io, &quality, nullptr);
        if (!state->soxr || error)
            return MakeError(ErrorKind::Internal, std::string("cannot start the resampler: ") +
                                                      (error ? error : "unknown error"));
        return Resampler(std::move(state));
    } catch (const std::bad_alloc&) {
        return MakeError(ErrorKind::OutOfMemory);
    }
}

Expected<bool> Resampler::Run(const double* in, std::size_t frames, std::vector<double>& out) {
    const unsigned channels = state_->channels;
    // Room for what this input yields plus what the filter held back; loop while it fills up.
    const std::size_t room = static_cast<std::size_t>(frames * state_->ratio) + 65536;
    std::size_t consumed = 0;
    while (true) {
        const std::size_t start = out.size();
        out.resize(start + room * channels);
        std::size_t used = 0;
        std::size_t made = 0;
        const soxr_error_t error =
            soxr_process(state_->soxr, in ? in + consumed * channels : nullptr, frames - consumed,
                         in ? &used : nullptr, out.data() + start, room, &made);
        out.resize(start + made * channels);
        if (error)
            return MakeError(ErrorKind::Internal, std::string("resampling failed: ") + error);
        consumed += used;
        if (made < room && consumed == frames)
            return true;
    }
}

Expected<bool> Resampler::Process(std::span<const double> in, std::vector<double>& out) {
    try {
        return Run(in.data(), in.size() / state_->channels, out);
    } catch (const std::bad_alloc&) {
        return MakeError(ErrorKind::OutOfMemory);
    }
}

Expected<bool> Resampler::Flush(std::vector<double>& out) {
    try {
        return Run(nullptr, 0, out);
    } catch (const std::bad_alloc&) {
        return MakeError(ErrorKind::OutOfMemory);
    }
}

std::uint64_t Resampler::OutputFrames(std::uint64_t inputFrames, std::uint32_t inputRate,
                                      std::uint32_t outputRate) {
    return ResampledFrames(inputFrames, inputRate, outputRate);
}

ResampleStage::ResampleStage(std::unique_ptr<RealStream> source, Resampler resampler,
                             StreamShape shape)
    : source_(std::move(source)), resampler_(std::move(resampler)), shape_(shape) {}

Expected<std::unique_ptr<ResampleStage>> ResampleStage::Create(std::unique_ptr<RealStream> source,
                                                               std::uint32_t sampleRate) {
    const StreamShape& in = source->shape();
    Expected<Resampler> resampler = Resampler::Create(in.sampleRate, sampleRate, in.channels);
    if (!resampler)
        return resampler.error();
    StreamShape shape = in;
    shape.sampleRate = sampleRate;
    if (in.frames)
        shape.frames = Resampler::OutputFrames(*in.frames, in.sampleRate, sampleRate);
    return std::unique_ptr<ResampleStage>(
        new ResampleStage(std::move(source), std::move(resampler).value(), shape));
}

Expected<std::size_t> ResampleStage::Read(std::span<double> out) {
    const unsigned channels = shape_.channels;
    const std::size_t want = out.size() / channels;
    const std::uint64_t inputRate = source_->shape().sampleRate;
    const std::uint64_t outputRate = shape_.sampleRate;
    // Resample input pieces of what the ratio needs for the frames asked (at most
    // kResamplerInputBytes) until enough is ready or the input ends.
    const std::size_t maxInput =
        std::max<std::size_t>(1, kResamplerInputBytes / (sizeof(double) * channels));
    while ((ready_.size() - readyAt_) / channels < want && !flushed_) {
        if (readyAt_ > 0) {
            ready_.erase(ready_.begin(), ready_.begin() + static_cast<std::ptrdiff_t>(readyAt_));
            readyAt_ = 0;
        }
        // At least 1024 frames when their output stays small: soxr works best on pieces.
        const std::uint64_t missing = want - ready_.size() / channels;
        const std::uint64_t needed = std::max<std::uint64_t>(
            (missing * inputRate + outputRate - 1) / outputRate,
            std::min<std::uint64_t>(1024, (std::uint64_t{1} << 20) * inputRate / outputRate));
        input_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(needed, maxInput)) *
                      channels);
        const Expected<std::size_t> got = source_->Read(input_);
        if (!got)
            return got;
        const Expected<bool> done =
            *got == 0 ? resampler_.Flush(ready_)
                      : resampler_.Process(std::span(input_).first(*got * channels), ready_);
        if (!done)
            return done.error();
        flushed_ = *got == 0;
    }
    const std::size_t frames = std::min(want, (ready_.size() - readyAt_) / channels);
    std::copy_n(ready_.begin() + static_cast<std::ptrdiff_t>(readyAt_), frames * channels,
                out.begin());
    readyAt_ += frames * channels;
    return frames;
}

}  // namespace imabox
