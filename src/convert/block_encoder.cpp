#include "convert/block_encoder.hpp"

#include <algorithm>
#include <array>

#include "codec/xbox_adpcm.hpp"
#include "codec/xbox_adpcm_fast.hpp"
#include "codec/xbox_adpcm_search.hpp"

namespace imabox {
namespace {

// The searching coder over a piece, from the plain coder's carried step indices. (The one place
// the pipeline calls the searching coder.)
void SearchBlocks(std::span<const std::int16_t> pcm, std::span<std::uint8_t> out, unsigned channels,
                  std::uint64_t blocks, std::uint64_t validFrames, int quality,
                  std::span<std::uint8_t> plainIndices) {
    const XBoxADPCMSearchLevel level = XBoxADPCMSearchLevelFor(quality);
    std::array<std::int16_t, kFramesPerBlock> samples;
    std::array<std::uint8_t, 64> codes;
    for (std::uint64_t b = 0; b < blocks; ++b) {
        const std::int16_t* in = pcm.data() + b * kFramesPerBlock * channels;
        std::uint8_t* dst = out.data() + b * kBlockBytesPerChannel * channels;
        const std::uint64_t first = b * kFramesPerBlock;
        const unsigned valid = validFrames <= first ? 0u
                                                    : static_cast<unsigned>(std::min<std::uint64_t>(
                                                          validFrames - first, kFramesPerBlock));
        for (unsigned c = 0; c < channels; ++c) {
            for (unsigned k = 0; k < kFramesPerBlock; ++k)
                samples[k] = in[std::size_t{k} * channels + c];
            std::uint64_t error = 0;
            const std::uint8_t start =
                XBoxADPCMSearchBlock(samples, valid, plainIndices[c], level, codes, error);
            std::uint8_t* header = dst + 4 * c;
            header[0] = static_cast<std::uint8_t>(samples[0]);
            header[1] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(samples[0]) >> 8);
            header[2] = start;
            header[3] = 0;
            for (unsigned g = 0; g < 8; ++g) {
                std::uint8_t* word = dst + 4 * channels + (std::size_t{g} * channels + c) * 4;
                for (unsigned j = 0; j < 4; ++j)
                    word[j] = static_cast<std::uint8_t>(codes[8 * g + 2 * j] |
                                                        (codes[8 * g + 2 * j + 1] << 4));
            }
        }
    }
}

}  // namespace

XBoxADPCMBlockEncoder::XBoxADPCMBlockEncoder(unsigned channels, int quality)
    : channels_(channels), quality_(quality), indices_(channels, 0) {}

void XBoxADPCMBlockEncoder::Encode(std::span<const std::int16_t> pcm, std::span<std::uint8_t> out,
                                   std::uint64_t blocks, std::uint64_t validFrames) {
    blocks = std::min(blocks, XBoxADPCMFittingBlocks(pcm.size(), out.size(), channels_,
                                                     blocks * kFramesPerBlock));
    if (blocks == 0)
        return;
    if (quality_ <= 0) {
        XBoxADPCMEncodeBlockRange(pcm.data(), out.data(), channels_, 0, blocks, indices_);
        return;
    }
    SearchBlocks(pcm, out, channels_, blocks, validFrames, quality_, indices_);
}

}  // namespace imabox
