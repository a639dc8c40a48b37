// SPDX-License-Identifier: MIT
// The block decoder on arbitrary payloads, 1 to 8 channels, and frame counts and output sizes that
// need not match the payload. It decodes exactly the whole blocks that fit everywhere, touches no
// sample beyond them, and gives what the one-sample decoder gives code by code from each block
// header (a step index above 88 counts as 88).
#include <algorithm>
#include <array>
#include <vector>

#include "codec/xbox_adpcm.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace imabox;
    using namespace imabox::fuzz;
    InputReader reader(data, size);
    const unsigned channels = 1 + reader.Byte() % 8;
    const std::uint64_t frames = reader.U16();
    const std::size_t pcmSamples = reader.U16();
    // Exactly sized copies, so a read or write past either end is caught.
    const std::vector<std::uint8_t> payload(reader.Rest().begin(), reader.Rest().end());
    constexpr std::int16_t kUntouched = 0x5A5A;
    std::vector<std::int16_t> pcm(pcmSamples, kUntouched);

    XBoxADPCMDecodeBlocks(payload, pcm, channels, frames);

    const std::uint64_t blocks = std::min(
        {XBoxADPCMBlockCount(frames), std::uint64_t{pcmSamples / (kFramesPerBlock * channels)},
         std::uint64_t{payload.size() / (kBlockBytesPerChannel * channels)}});
    const std::size_t decoded = blocks * kFramesPerBlock * channels;
    for (std::size_t i = decoded; i < pcm.size(); ++i)
        Require(pcm[i] == kUntouched, "nothing written past the whole blocks");

    for (std::uint64_t b = 0; b < blocks; ++b) {
        const std::uint8_t* block = &payload[b * kBlockBytesPerChannel * channels];
        const std::int16_t* frame = &pcm[b * kFramesPerBlock * channels];
        for (unsigned c = 0; c < channels; ++c) {
            ADPCMChannelState state;
            state.predictor = static_cast<std::int16_t>(block[4 * c] | (block[4 * c + 1] << 8));
            state.index = std::min<std::uint8_t>(block[4 * c + 2], kMaxStepIndex);
            Require(frame[c] == state.predictor, "frame 0 is the header sample");
            for (unsigned k = 0; k < 64; ++k) {
                const unsigned group = k / 8, inGroup = k % 8;
                const std::uint8_t byte =
                    block[4 * channels + 4 * (group * channels + c) + inGroup / 2];
                const unsigned code = inGroup % 2 ? byte >> 4 : byte & 0x0F;
                const std::int16_t expected = ADPCMDecodeSample(state, code);
                Require(state.index <= kMaxStepIndex, "step index stays in 0..88");
                Require(frame[(1 + k) * channels + c] == expected,
                        "block decode equals the one-sample decoder");
            }
        }
    }
    return 0;
}
