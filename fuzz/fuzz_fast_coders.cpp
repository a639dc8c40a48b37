// SPDX-License-Identifier: MIT
// The product's fast block coders, reached directly: arbitrary PCM, 1 to 8 channels, any kernel,
// segment length and guessed step index for the encoder, and arbitrary payloads for the decoder.
// Both must write exactly the plain one-block-at-a-time coder's bytes and samples, and the block
// range encoder, cut anywhere with its step indices carried over, must too.
#include <algorithm>
#include <vector>

#include "codec/xbox_adpcm.hpp"
#include "codec/xbox_adpcm_fast.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace imabox;
    using namespace imabox::fuzz;
    InputReader reader(data, size);
    const unsigned channels = 1 + reader.Byte() % 8;
    const std::uint8_t kernelByte = reader.Byte();
    const ADPCMKernel kernel = kernelByte % 2 && ADPCMKernelSupported(ADPCMKernel::AVX2)
                                   ? ADPCMKernel::AVX2
                                   : ADPCMKernel::Portable;
    ADPCMEncodeTuning tuning;
    tuning.kernel = kernel;
    tuning.segmentBlocks = reader.Byte() % 9;  // 0 lets the coder choose
    const std::uint8_t guess = reader.Byte();
    tuning.guessIndex = guess > 88 ? -1 : guess;
    const unsigned cut = reader.Byte();

    // The rest is PCM, in whole blocks (the last completed with its own bytes again).
    const std::span<const std::uint8_t> rest = reader.Rest();
    const std::size_t blockSamples = std::size_t{kFramesPerBlock} * channels;
    const std::size_t blocks = (rest.size() / 2 + blockSamples - 1) / blockSamples;
    std::vector<std::int16_t> pcm(blocks * blockSamples);
    for (std::size_t i = 0; i < pcm.size() && !rest.empty(); ++i) {
        const std::size_t at = 2 * i;
        pcm[i] =
            static_cast<std::int16_t>(rest[at % rest.size()] | (rest[(at + 1) % rest.size()] << 8));
    }
    const std::uint64_t frames = blocks * kFramesPerBlock;
    const std::size_t bytes = blocks * kBlockBytesPerChannel * channels;

    std::vector<std::uint8_t> plain(bytes), fast(bytes), ranges(bytes);
    XBoxADPCMEncodeBlocks(pcm, plain, channels, frames);
    XBoxADPCMEncodeBlocksFast(pcm, fast, channels, frames, tuning);
    Require(fast == plain, "the fast encoder writes the plain encoder's bytes");

    // Two ranges, cut after `cut` blocks, with the step indices carried between them.
    std::vector<std::uint8_t> indices(channels, 0);
    const std::uint64_t first = std::min<std::uint64_t>(cut, blocks);
    XBoxADPCMEncodeBlockRange(pcm.data(), ranges.data(), channels, 0, first, indices, tuning);
    XBoxADPCMEncodeBlockRange(pcm.data(), ranges.data(), channels, first, blocks - first, indices,
                              tuning);
    Require(ranges == plain, "block ranges with carried indices write the plain encoder's bytes");

    // The decoder on the same bytes read as a payload (any step index, any code).
    std::vector<std::uint8_t> payload(rest.begin(), rest.end());
    payload.resize(bytes);
    std::vector<std::int16_t> slow(pcm.size()), quick(pcm.size());
    XBoxADPCMDecodeBlocks(payload, slow, channels, frames);
    XBoxADPCMDecodeBlocksFast(payload, quick, channels, frames, kernel);
    Require(quick == slow, "the fast decoder gives the plain decoder's samples");
    return 0;
}
