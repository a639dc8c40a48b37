// SPDX-License-Identifier: MIT
// Arbitrary PCM, 1 to 8 channels, encoded into blocks and decoded again. Frame 0 of every block is
// exact; block headers carry the step index the previous block ended with (0 for the first); the
// packed codes are the one-sample encoder's, and decoding reproduces the encoder's own
// reconstruction, which is also what the one-sample decoder gives code by code. The nibble runs
// are checked at both nibble positions and odd lengths too.
#include <algorithm>
#include <array>
#include <vector>

#include "codec/xbox_adpcm.hpp"
#include "fuzz_support.hpp"

namespace imabox::fuzz {
namespace {

void CheckBlocks(unsigned channels, std::span<const std::uint8_t> bytes) {
    const std::size_t inputFrames = bytes.size() / 2 / channels;
    const std::uint64_t blocks = XBoxADPCMBlockCount(inputFrames);
    const std::size_t frames = blocks * kFramesPerBlock;
    std::vector<std::int16_t> pcm(frames * channels);  // the last block padded with silence
    for (std::size_t i = 0; i < inputFrames * channels; ++i)
        pcm[i] = static_cast<std::int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));

    std::vector<std::uint8_t> adpcm(blocks * kBlockBytesPerChannel * channels);
    XBoxADPCMEncodeBlocks(pcm, adpcm, channels, frames);
    std::vector<std::int16_t> decoded(pcm.size());
    XBoxADPCMDecodeBlocks(adpcm, decoded, channels, frames);

    std::vector<ADPCMChannelState> encoder(channels);  // step index 0 at the start of the stream
    for (std::uint64_t b = 0; b < blocks; ++b) {
        const std::uint8_t* block = &adpcm[b * kBlockBytesPerChannel * channels];
        const std::int16_t* in = &pcm[b * kFramesPerBlock * channels];
        const std::int16_t* out = &decoded[b * kFramesPerBlock * channels];
        for (unsigned c = 0; c < channels; ++c) {
            const std::uint8_t* header = &block[4 * c];
            Require(static_cast<std::int16_t>(header[0] | (header[1] << 8)) == in[c],
                    "header holds frame 0");
            Require(header[2] == encoder[c].index && header[3] == 0,
                    "header holds the carried step index and a zero byte");
            Require(out[c] == in[c], "frame 0 decodes exactly");
            encoder[c].predictor = in[c];
            ADPCMChannelState decoder{in[c], header[2]};
            for (unsigned k = 0; k < 64; ++k) {
                const unsigned group = k / 8, inGroup = k % 8;
                const std::uint8_t byte =
                    block[4 * channels + 4 * (group * channels + c) + inGroup / 2];
                const unsigned code = inGroup % 2 ? byte >> 4 : byte & 0x0F;
                const std::size_t at = (1 + k) * channels + c;
                Require(code == ADPCMEncodeSample(encoder[c], in[at]), "codes are the encoder's");
                Require(ADPCMDecodeSample(decoder, code) == encoder[c].predictor &&
                            decoder.index == encoder[c].index,
                        "decoder state follows the encoder's");
                Require(out[at] == encoder[c].predictor, "block decode reproduces the encoder");
            }
        }
    }
}

// A run of any length from either nibble position: the neighbouring nibbles are kept or cleared
// as the packing rules say, and the decode mirrors the encode.
void CheckRun(std::span<const std::uint8_t> bytes, bool highFirst) {
    std::vector<std::int16_t> samples(bytes.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    const std::size_t bitOffset = highFirst ? 4 : 0;
    const std::size_t nibbles = bitOffset / 4 + samples.size();
    std::vector<std::uint8_t> packed((nibbles + 1) / 2, 0xAB);
    ADPCMChannelState encoder{samples.empty() ? std::int16_t{0} : samples[0], 40};
    const ADPCMChannelState start = encoder;
    const std::size_t bits = ADPCMEncodeRun(encoder, packed, bitOffset, samples);
    Require(bits == samples.size() * 4, "a run reports 4 bits per sample");
    if (!packed.empty()) {
        if (highFirst)
            Require((packed[0] & 0x0F) == 0x0B, "a high-nibble start keeps the low nibble");
        if (nibbles % 2 == 1 && !samples.empty())
            Require((packed.back() >> 4) == 0, "an odd run leaves the last high nibble 0");
    }
    ADPCMChannelState decoder = start;
    std::vector<std::int16_t> out(samples.size());
    const std::size_t outBytes = ADPCMDecodeRun(decoder, out, packed, bitOffset, bits);
    Require(outBytes == samples.size() * 2, "a run decodes every code");
    Require(decoder.predictor == encoder.predictor && decoder.index == encoder.index,
            "decode ends in the encoder's state");
}

}  // namespace
}  // namespace imabox::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace imabox::fuzz;
    InputReader reader(data, size);
    const std::uint8_t mode = reader.Byte();
    const unsigned channels = 1 + mode % 8;
    CheckBlocks(channels, reader.Rest());
    CheckRun(reader.Rest(), (mode & 0x80) != 0);
    return 0;
}
