// SPDX-License-Identifier: MIT
// The Xbox ADPCM coder of the pipeline: whole blocks in, whole blocks out, a piece at a time.
// Each channel's step index (and the plain coder's, which the searching coder falls back to) is
// carried from piece to piece, so the bytes never depend on the piece size.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace imabox {

class XBoxADPCMBlockEncoder {
  public:
    // quality 0: the plain coder XBoxAudio uses; 1..9: the searching coder, over `threads`
    // threads (0: one per core; the bytes do not depend on it).
    XBoxADPCMBlockEncoder(unsigned channels, int quality, unsigned threads = 1);

    // Codes `blocks` whole blocks of interleaved frames from `pcm` into `out`. Of those frames only
    // the first `validFrames` are audio (the rest is fill whose error the search ignores).
    void Encode(std::span<const std::int16_t> pcm, std::span<std::uint8_t> out,
                std::uint64_t blocks, std::uint64_t validFrames);

  private:
    unsigned channels_;
    int quality_;
    unsigned threads_;
    std::vector<std::uint8_t> indices_;  // per channel, at the start of the next block
};

}  // namespace imabox
