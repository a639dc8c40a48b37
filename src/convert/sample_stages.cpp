#include "convert/sample_stages.hpp"

#include <string>

namespace imabox {

std::optional<Error> CheckChannelChange(unsigned from, unsigned to) {
    if (to == 0)
        return Error{"cannot make 0 channels"};
    if (from == to || to == 1 || (from == 1 && to == 2))
        return std::nullopt;
    return Error{"cannot change " + std::to_string(from) + " channels to " + std::to_string(to) +
                 " (only to 1 channel, or from 1 to 2)"};
}

void ChangeChannels(std::span<const float> in, unsigned from, unsigned to,
                    std::vector<float>& out) {
    const std::size_t frames = in.size() / from;
    out.resize(frames * to);
    if (from == to) {
        std::copy(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(frames * from), out.begin());
    } else if (to == 1) {
        const float scale = 1.0f / static_cast<float>(from);
        for (std::size_t f = 0; f < frames; ++f) {
            float sum = 0;
            for (unsigned c = 0; c < from; ++c)
                sum += in[f * from + c];
            out[f] = sum * scale;
        }
    } else {  // 1 to 2
        for (std::size_t f = 0; f < frames; ++f)
            out[2 * f] = out[2 * f + 1] = in[f];
    }
}

void DuplicateChannels(std::span<const std::int16_t> in, unsigned from, unsigned to,
                       std::vector<std::int16_t>& out) {
    const std::size_t frames = in.size() / from;
    out.resize(frames * to);
    if (from == to) {
        std::copy(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(frames * from), out.begin());
        return;
    }
    for (std::size_t f = 0; f < frames; ++f)
        for (unsigned c = 0; c < to; ++c)
            out[f * to + c] = in[f];
}

void Int16ToFloat(std::span<const std::int16_t> in, std::vector<float>& out) {
    out.resize(in.size());
    for (std::size_t i = 0; i < in.size(); ++i)
        out[i] = static_cast<float>(in[i]) * (1.0f / 32768.0f);
}

void FloatTo16::Convert(std::span<const float> in, std::span<std::int16_t> out) {
    for (std::size_t i = 0; i < in.size(); ++i)
        out[i] = quantizer_.Quantize(static_cast<double>(in[i]) * 32768.0);
}

}  // namespace imabox
