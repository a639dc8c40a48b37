#include "convert/resampler.hpp"

#include <soxr.h>

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
        return Error{"cannot resample " + std::to_string(channels) + " channels from " +
                     std::to_string(inputRate) + " Hz to " + std::to_string(outputRate) + " Hz"};
    try {
        auto state = std::make_unique<State>();
        state->channels = channels;
        state->ratio = static_cast<double>(outputRate) / inputRate;
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
        soxr_error_t error = nullptr;
        state->soxr = soxr_create(inputRate, outputRate, channels, &error, &io, &quality, nullptr);
        if (!state->soxr || error)
            return Error{std::string("cannot start the resampler: ") +
                         (error ? error : "unknown error")};
        return Resampler(std::move(state));
    } catch (const std::bad_alloc&) {
        return Error{"out of memory"};
    }
}

Expected<bool> Resampler::Run(const float* in, std::size_t frames, std::vector<float>& out) {
    const unsigned channels = state_->channels;
    // Room for what this input yields plus what the filter held back; loop while it fills up.
    const std::size_t room = static_cast<std::size_t>(frames * state_->ratio) + 1024;
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
            return Error{std::string("resampling failed: ") + error};
        consumed += used;
        if (made < room && consumed == frames)
            return true;
    }
}

Expected<bool> Resampler::Process(std::span<const float> in, std::vector<float>& out) {
    try {
        return Run(in.data(), in.size() / state_->channels, out);
    } catch (const std::bad_alloc&) {
        return Error{"out of memory"};
    }
}

Expected<bool> Resampler::Flush(std::vector<float>& out) {
    try {
        return Run(nullptr, 0, out);
    } catch (const std::bad_alloc&) {
        return Error{"out of memory"};
    }
}

std::uint64_t Resampler::OutputFrames(std::uint64_t inputFrames, std::uint32_t inputRate,
                                      std::uint32_t outputRate) {
    // inputFrames * outputRate / inputRate rounded half up, in two parts so that nothing
    // overflows: the remainder times the rate fits 64 bits.
    const std::uint64_t whole = inputFrames / inputRate;
    const std::uint64_t rest = inputFrames % inputRate;
    return whole * outputRate + (rest * outputRate + inputRate / 2) / inputRate;
}

}  // namespace imabox
