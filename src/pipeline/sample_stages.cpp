// SPDX-License-Identifier: MIT
#include "pipeline/sample_stages.hpp"

#include <algorithm>
#include <string>

#include "io/errors.hpp"

namespace imabox {

std::optional<Error> CheckChannelChange(unsigned from, unsigned to) {
    if (to == 0)
        return MakeError(ErrorKind::InvalidArgument, "cannot make 0 channels");
    if (from == to || to == 1 || (from == 1 && to == 2))
        return std::nullopt;
    return MakeError(ErrorKind::InvalidArgument, "cannot change " + std::to_string(from) +
                                                     " channels to " + std::to_string(to) +
                                                     " (only to 1 channel, or from 1 to 2)");
}

void ChangeChannels(std::span<const double> in, unsigned from, unsigned to,
                    std::vector<double>& out) {
    const std::size_t frames = in.size() / from;
    out.resize(frames * to);
    if (from == to) {
        std::copy_n(in.begin(), frames * from, out.begin());
    } else if (to == 1) {
        for (std::size_t f = 0; f < frames; ++f) {
            double sum = 0;
            for (unsigned c = 0; c < from; ++c)
                sum += in[f * from + c];
            out[f] = sum / from;
        }
    } else {  // 1 to 2
        for (std::size_t f = 0; f < frames; ++f)
            out[2 * f] = out[2 * f + 1] = in[f];
    }
}

void ChangeChannels(std::span<const std::int16_t> in, unsigned from, unsigned to,
                    std::vector<std::int16_t>& out) {
    const std::size_t frames = in.size() / from;
    out.resize(frames * to);
    if (from == to) {
        std::copy_n(in.begin(), frames * from, out.begin());
    } else {  // 1 to 2
        for (std::size_t f = 0; f < frames; ++f)
            out[2 * f] = out[2 * f + 1] = in[f];
    }
}

template <class Sample>
ChannelStage<Sample>::ChannelStage(std::unique_ptr<SampleStream<Sample>> source, unsigned channels)
    : source_(std::move(source)), shape_(source_->shape()) {
    shape_.channels = channels;
}

template <class Sample>
Expected<std::size_t> ChannelStage<Sample>::Read(std::span<Sample> out) {
    const unsigned from = source_->shape().channels;
    const unsigned to = shape_.channels;
    const std::size_t frames = out.size() / to;
    // The input is read in pieces of at most kChannelStageBytes (whatever its channel count),
    // until the output asked for is full or the input ends.
    const std::size_t pieceFrames =
        std::max<std::size_t>(1, kChannelStageBytes / (sizeof(Sample) * from));
    std::size_t done = 0;
    while (done < frames) {
        in_.resize(std::min(frames - done, pieceFrames) * from);
        const Expected<std::size_t> got = source_->Read(in_);
        if (!got)
            return got;
        if (*got == 0)
            break;
        ChangeChannels(std::span<const Sample>(in_).first(*got * from), from, to, out_);
        std::copy(out_.begin(), out_.end(), out.begin() + static_cast<std::ptrdiff_t>(done * to));
        done += *got;
    }
    return done;
}

template class ChannelStage<std::int16_t>;
template class ChannelStage<double>;

Expected<std::size_t> Int16AsReal::Read(std::span<double> out) {
    buffer_.resize(out.size());
    const Expected<std::size_t> got = source_->Read(buffer_);
    if (!got)
        return got;
    const std::size_t count = *got * source_->shape().channels;
    for (std::size_t i = 0; i < count; ++i)
        out[i] = buffer_[i];
    return got;
}

}  // namespace imabox
