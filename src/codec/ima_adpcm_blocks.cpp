// SPDX-License-Identifier: MIT
#include "codec/ima_adpcm_blocks.hpp"

#include <algorithm>

#include "codec/xbox_adpcm.hpp"
#include "codec/xbox_adpcm_fast.hpp"

namespace imabox {

bool IMAADPCMBlockAlignValid(unsigned channels, unsigned blockAlign) {
    return channels != 0 && blockAlign % (4 * channels) == 0 && blockAlign >= 8 * channels;
}

unsigned IMAADPCMFramesPerBlock(unsigned channels, unsigned blockAlign) {
    return (blockAlign / channels - 4) * 2 + 1;
}

void IMAADPCMDecodeBlocks(std::span<const std::uint8_t> in, std::span<std::int16_t> pcm,
                          unsigned channels, unsigned blockAlign, std::uint64_t blocks) {
    if (!IMAADPCMBlockAlignValid(channels, blockAlign))
        return;
    const unsigned framesPerBlock = IMAADPCMFramesPerBlock(channels, blockAlign);
    blocks = std::min<std::uint64_t>(
        {blocks, in.size() / blockAlign, pcm.size() / (std::uint64_t{framesPerBlock} * channels)});
    if (blockAlign == kBlockBytesPerChannel * channels) {
        XBoxADPCMDecodeBlocksFast(in, pcm, channels, blocks * kFramesPerBlock);
        return;
    }
    const unsigned words = (blockAlign / channels - 4) / 4;  // code words per channel
    for (std::uint64_t b = 0; b < blocks; ++b) {
        const std::uint8_t* src = in.data() + b * blockAlign;
        std::int16_t* out = pcm.data() + b * framesPerBlock * channels;
        for (unsigned c = 0; c < channels; ++c) {
            const std::uint8_t* header = src + 4 * c;
            ADPCMChannelState state;
            state.predictor = static_cast<std::int16_t>(header[0] | (header[1] << 8));
            state.index = std::min<std::uint8_t>(header[2], kMaxStepIndex);
            out[c] = state.predictor;
            const std::uint8_t* codes = src + 4 * channels + 4 * c;
            std::int16_t* frame = out + channels + c;
            for (unsigned w = 0; w < words; ++w) {
                const std::uint8_t* word = codes + std::size_t{w} * 4 * channels;
                for (unsigned k = 0; k < 8; ++k) {
                    const unsigned code = (word[k / 2] >> (4 * (k & 1))) & 0x0F;
                    *frame = ADPCMDecodeSample(state, code);
                    frame += channels;
                }
            }
        }
    }
}

}  // namespace imabox
