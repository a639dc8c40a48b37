// SPDX-License-Identifier: MIT
#include "codec/xbox_adpcm.hpp"

#include <algorithm>
#include <array>
#include <vector>

namespace imabox {

unsigned ADPCMSampleCode(std::int32_t step, std::int32_t delta) {
    unsigned code = 0;
    if (delta < 0) {
        code = 8;
        delta = -delta;
    }
    if (delta > step) {
        code |= 4;
        delta -= step;
    }
    const std::int32_t half = step >> 1;
    if (delta > half) {
        code |= 2;
        delta -= half;
    }
    if (delta > (half >> 1))
        code |= 1;
    return code;
}

unsigned ADPCMEncodeSample(ADPCMChannelState& state, std::int16_t sample) {
    const unsigned code =
        ADPCMSampleCode(kADPCMStepTable[state.index], std::int32_t{sample} - state.predictor);
    // The encoder's state moves exactly as a decoder's does for the same code.
    ADPCMDecodeSample(state, code);
    return code;
}

std::int16_t ADPCMDecodeSample(ADPCMChannelState& state, unsigned code) {
    code &= 0x0F;
    state.predictor = static_cast<std::int16_t>(
        ADPCMClampSample(state.predictor + ADPCMCodeDifference(state.index, code)));
    state.index = ADPCMNextIndex(state.index, code);
    return state.predictor;
}

std::size_t ADPCMEncodeRun(ADPCMChannelState& state, std::span<std::uint8_t> out,
                           std::size_t bitOffset, std::span<const std::int16_t> samples) {
    std::size_t byte = bitOffset / 8;
    bool high = (bitOffset & 4) != 0;
    std::size_t written = 0;
    for (const std::int16_t sample : samples) {
        if (byte >= out.size())
            break;
        const unsigned code = ADPCMEncodeSample(state, sample);
        if (high) {
            out[byte] = static_cast<std::uint8_t>((code << 4) | (out[byte] & 0x0F));
            ++byte;
        } else {
            out[byte] = static_cast<std::uint8_t>(code);
        }
        high = !high;
        ++written;
    }
    return written * 4;
}

std::size_t ADPCMDecodeRun(ADPCMChannelState& state, std::span<std::int16_t> out,
                           std::span<const std::uint8_t> in, std::size_t bitOffset,
                           std::size_t bitCount) {
    std::size_t byte = bitOffset / 8;
    bool high = (bitOffset & 4) != 0;
    const std::size_t count = std::min(bitCount / 4, out.size());
    std::size_t decoded = 0;
    for (; decoded < count && byte < in.size(); ++decoded) {
        if (high) {
            out[decoded] = ADPCMDecodeSample(state, in[byte] >> 4);
            ++byte;
        } else {
            out[decoded] = ADPCMDecodeSample(state, in[byte]);
        }
        high = !high;
    }
    return decoded * 2;
}

std::uint64_t XBoxADPCMFittingBlocks(std::size_t pcmSamples, std::size_t adpcmBytes,
                                     unsigned channels, std::uint64_t frames) {
    if (channels == 0)
        return 0;
    const std::uint64_t pcmBlocks = pcmSamples / (std::uint64_t{kFramesPerBlock} * channels);
    const std::uint64_t adpcmBlocks =
        adpcmBytes / (std::uint64_t{kBlockBytesPerChannel} * channels);
    return std::min({XBoxADPCMBlockCount(frames), pcmBlocks, adpcmBlocks});
}

void XBoxADPCMEncodeBlocks(std::span<const std::int16_t> pcm, std::span<std::uint8_t> out,
                           unsigned channels, std::uint64_t frames) {
    const std::uint64_t blocks = XBoxADPCMFittingBlocks(pcm.size(), out.size(), channels, frames);
    if (blocks == 0)
        return;
    std::vector<ADPCMChannelState> states(channels);
    const std::int16_t* in = pcm.data();
    std::uint8_t* dst = out.data();
    std::array<std::int16_t, 8> scratch;
    for (std::uint64_t b = 0; b < blocks; ++b) {
        for (unsigned c = 0; c < channels; ++c) {
            states[c].predictor = in[c];
            XBoxADPCMWriteBlockHeader(dst, in[c], states[c].index);
            dst += 4;
        }
        in += channels;
        for (unsigned g = 0; g < 8; ++g) {
            for (unsigned c = 0; c < channels; ++c) {
                for (unsigned k = 0; k < 8; ++k)
                    scratch[k] = in[k * channels + c];
                ADPCMEncodeRun(states[c], std::span<std::uint8_t>(dst, 4), 0, scratch);
                dst += 4;
            }
            in += 8 * channels;
        }
    }
}

void XBoxADPCMDecodeBlocks(std::span<const std::uint8_t> in, std::span<std::int16_t> pcm,
                           unsigned channels, std::uint64_t frames) {
    const std::uint64_t blocks = XBoxADPCMFittingBlocks(pcm.size(), in.size(), channels, frames);
    if (blocks == 0)
        return;
    std::vector<ADPCMChannelState> states(channels);
    const std::uint8_t* src = in.data();
    std::int16_t* out = pcm.data();
    std::array<std::int16_t, 8> scratch;
    for (std::uint64_t b = 0; b < blocks; ++b) {
        for (unsigned c = 0; c < channels; ++c) {
            states[c].predictor = XBoxADPCMBlockHeaderSample(src);
            states[c].index = XBoxADPCMBlockHeaderIndex(src);
            out[c] = states[c].predictor;
            src += 4;
        }
        out += channels;
        for (unsigned g = 0; g < 8; ++g) {
            for (unsigned c = 0; c < channels; ++c) {
                ADPCMDecodeRun(states[c], scratch, std::span<const std::uint8_t>(src, 4), 0, 32);
                for (unsigned k = 0; k < 8; ++k)
                    out[k * channels + c] = scratch[k];
                src += 4;
            }
            out += 8 * channels;
        }
    }
}

}  // namespace imabox
