// SPDX-License-Identifier: MIT
// The searching encoder on arbitrary PCM, 1 to 4 channels, with search parameters taken from the
// input (every start stride, scan length, kept start count and spread, merge width and code
// radius; beams up to 32 so each run stays short). Coded in two runs on two threads it gives the
// same bytes as in one. Every block header holds frame 0 exactly, a valid step index and a zero
// byte; no block of any channel has more error over the real frames than the plain encoder's;
// and the error the block search reports is the error its codes decode to.
#include <algorithm>
#include <array>
#include <vector>

#include "codec/xbox_adpcm.hpp"
#include "codec/xbox_adpcm_search.hpp"
#include "fuzz_support.hpp"

namespace imabox::fuzz {
namespace {

constexpr std::uint64_t kMaxBlocks = 6;

// Squared error of one channel of one block over its first `valid` frames.
std::uint64_t BlockError(const std::int16_t* in, const std::int16_t* out, unsigned channels,
                         unsigned c, unsigned valid) {
    std::uint64_t error = 0;
    for (unsigned k = 0; k < valid; ++k) {
        const std::int64_t e = std::int64_t{in[k * channels + c]} - out[k * channels + c];
        error += static_cast<std::uint64_t>(e * e);
    }
    return error;
}

void Check(unsigned channels, const XBoxADPCMSearchLevel& level, unsigned trim,
           std::span<const std::uint8_t> bytes) {
    const std::size_t inputFrames =
        std::min<std::size_t>(bytes.size() / 2 / channels, kMaxBlocks * kFramesPerBlock);
    const std::uint64_t validFrames = inputFrames - std::min<std::size_t>(trim, inputFrames);
    const std::uint64_t blocks = XBoxADPCMBlockCount(inputFrames);
    const std::size_t frames = blocks * kFramesPerBlock;
    std::vector<std::int16_t> pcm(frames * channels);  // the last block padded with silence
    for (std::size_t i = 0; i < inputFrames * channels; ++i)
        pcm[i] = static_cast<std::int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));

    const std::size_t size = blocks * kBlockBytesPerChannel * channels;
    std::vector<std::uint8_t> plain(size), searched(size);
    XBoxADPCMEncodeBlocks(pcm, plain, channels, frames);
    XBoxADPCMEncodeBlocksSearch(pcm, searched, channels, frames, validFrames, level);
    // The same stream in two runs on two threads: the same bytes.
    std::vector<std::uint8_t> runs(size);
    std::vector<std::uint8_t> plainIndex(channels, 0);
    const std::uint64_t cut = blocks / 2;
    const std::span<const std::int16_t> input(pcm);
    XBoxADPCMEncodeSearchRun(input.first(cut * kFramesPerBlock * channels),
                             std::span(runs).first(cut * kBlockBytesPerChannel * channels),
                             channels, validFrames, level, plainIndex, 2);
    XBoxADPCMEncodeSearchRun(input.subspan(cut * kFramesPerBlock * channels),
                             std::span(runs).subspan(cut * kBlockBytesPerChannel * channels),
                             channels, validFrames - std::min(validFrames, cut * kFramesPerBlock),
                             level, plainIndex, 2);
    Require(runs == searched, "runs on threads give the bytes of one run");
    std::vector<std::int16_t> plainOut(pcm.size()), searchedOut(pcm.size());
    XBoxADPCMDecodeBlocks(plain, plainOut, channels, frames);
    XBoxADPCMDecodeBlocks(searched, searchedOut, channels, frames);

    for (std::uint64_t b = 0; b < blocks; ++b) {
        const std::uint64_t first = b * kFramesPerBlock;
        const unsigned valid = validFrames <= first ? 0u
                                                    : static_cast<unsigned>(std::min<std::uint64_t>(
                                                          validFrames - first, kFramesPerBlock));
        const std::size_t at = first * channels;
        for (unsigned c = 0; c < channels; ++c) {
            const std::uint8_t* header = &searched[b * kBlockBytesPerChannel * channels + 4 * c];
            Require(static_cast<std::int16_t>(header[0] | (header[1] << 8)) == pcm[at + c],
                    "header holds frame 0");
            Require(header[2] <= kMaxStepIndex && header[3] == 0,
                    "header holds a valid step index and a zero byte");
            Require(BlockError(&pcm[at], &searchedOut[at], channels, c, valid) <=
                        BlockError(&pcm[at], &plainOut[at], channels, c, valid),
                    "no block is worse than the plain encoder's");
        }
    }

    // Channel 0 block by block: the reported error is the decoded one, and the index handed on
    // is the plain encoder's.
    ADPCMChannelState chain{0, 0};
    for (std::uint64_t b = 0; b < blocks; ++b) {
        std::array<std::int16_t, kFramesPerBlock> x;
        for (unsigned k = 0; k < kFramesPerBlock; ++k)
            x[k] = pcm[(b * kFramesPerBlock + k) * channels];
        const unsigned valid = 1 + static_cast<unsigned>(b * 7 % kFramesPerBlock);
        std::uint8_t index = chain.index;
        std::array<std::uint8_t, 64> codes;
        std::uint64_t error = ~std::uint64_t{0};
        const std::uint8_t start = XBoxADPCMSearchBlock(x, valid, index, level, codes, error);
        Require(start <= kMaxStepIndex, "the block search starts from a valid index");
        ADPCMChannelState decoder{x[0], start};
        std::uint64_t measured = 0;
        for (unsigned k = 0; k < 64; ++k) {
            const std::int64_t e = x[k + 1] - ADPCMDecodeSample(decoder, codes[k]);
            if (k + 1 < valid)
                measured += static_cast<std::uint64_t>(e * e);
        }
        Require(error == measured, "the reported error is the decoded error");
        chain.predictor = x[0];
        for (unsigned k = 1; k < kFramesPerBlock; ++k)
            ADPCMEncodeSample(chain, x[k]);
        Require(index == chain.index, "the plain encoder's end index is handed on");
    }
}

}  // namespace
}  // namespace imabox::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace imabox::fuzz;
    InputReader reader(data, size);
    const unsigned channels = 1 + reader.Byte() % 4;
    imabox::XBoxADPCMSearchLevel level{};
    level.startStride = reader.Byte() % 10;  // 0: no scan
    level.scanLength = reader.Byte() % 70;   // below 2 is taken as 2, above the block as 65
    level.startKeep = reader.Byte() % 12;    // 0 is taken as 1
    level.startSpread = reader.Byte() % 8;
    level.beamWidth = reader.Byte() % 33;  // 0 is taken as 1
    level.codeRadius = reader.Byte() % 4;  // above 2 is taken as 2
    level.mergeBits = reader.Byte() % 10;  // above 8 is taken as 8
    level.jumps = reader.Byte() % 3;       // above 1 is taken as 1
    level.perIndex = reader.Byte() % 4;
    level.lookahead = reader.Byte() % 6;     // above 4 is taken as 4
    level.cappedWidth = reader.Byte() % 34;  // 0: the beam's width; above 32 is taken as 32
    const unsigned trim = reader.Byte() % 80;
    Check(channels, level, trim, reader.Rest());
    return 0;
}
