// SPDX-License-Identifier: MIT
#include "pipeline/block_encoder.hpp"

#include <algorithm>

#include "codec/xbox_adpcm.hpp"
#include "codec/xbox_adpcm_fast.hpp"
#include "codec/xbox_adpcm_search.hpp"

namespace imabox {

XBoxADPCMBlockEncoder::XBoxADPCMBlockEncoder(unsigned channels, int quality, unsigned threads)
    : channels_(channels), quality_(quality), threads_(threads), indices_(channels, 0) {}

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
    // The searching coder codes runs of blocks from the plain coder's carried step indices.
    XBoxADPCMEncodeSearchRun(pcm.first(blocks * kFramesPerBlock * channels_),
                             out.first(blocks * kBlockBytesPerChannel * channels_), channels_,
                             validFrames, quality_, indices_, threads_);
}

}  // namespace imabox
