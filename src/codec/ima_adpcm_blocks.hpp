// SPDX-License-Identifier: MIT
// Standard IMA ADPCM blocks of any size, as WAVE files with format tag 0x0011 hold them.
//
// A block of B bytes for C channels starts with C 4-byte headers (sample, step index, reserved),
// followed by 4-byte words of 8 codes, one word per channel in turn. It holds
// (B / C - 4) * 2 + 1 frames. With B = 36 * C this is exactly the Xbox ADPCM block.
#pragma once

#include <cstdint>
#include <span>

namespace imabox {

// True when `blockAlign` is a valid IMA ADPCM block size for `channels` (a whole number of
// 4-byte words per channel, with at least one word of codes).
bool IMAADPCMBlockAlignValid(unsigned channels, unsigned blockAlign);

// Frames per block for a valid block size.
unsigned IMAADPCMFramesPerBlock(unsigned channels, unsigned blockAlign);

// Decodes `blocks` consecutive blocks into interleaved PCM frames. Blocks of 36 bytes per channel
// go through XBoxADPCMDecodeBlocks. Only whole blocks that fit both spans are decoded; a header
// step index above 88 is clamped to 88.
void IMAADPCMDecodeBlocks(std::span<const std::uint8_t> in, std::span<std::int16_t> pcm,
                          unsigned channels, unsigned blockAlign, std::uint64_t blocks);

}  // namespace imabox
