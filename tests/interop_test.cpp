// SPDX-License-Identifier: MIT
// Xbox ADPCM written by imabox is standard IMA ADPCM in 36-byte blocks per channel: relabelled
// as format tag 0x0011 with 65 samples per block, a standard decoder (libsndfile) must give
// exactly the samples imabox's own decoder gives.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "imabox/convert.hpp"
#include "support/wave_audio.hpp"
#include "test_util.hpp"

namespace imabox {
namespace {

std::vector<std::int16_t> DecodeWithLibsndfile(const std::filesystem::path& path, int* channels) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        ADD_FAILURE() << "libsndfile: " << sf_strerror(nullptr);
        return {};
    }
    EXPECT_EQ(info.format & SF_FORMAT_SUBMASK, SF_FORMAT_IMA_ADPCM);
    *channels = info.channels;
    std::vector<std::int16_t> samples(static_cast<std::size_t>(info.frames * info.channels));
    EXPECT_EQ(sf_readf_short(file, samples.data(), info.frames), info.frames);
    sf_close(file);
    return samples;
}

std::vector<std::int16_t> TestSignal(std::size_t frames, unsigned channels, std::uint32_t seed) {
    // A mix of tones and noise, loud enough to move the step index across its range.
    auto noise = test::RandomSamples(frames * channels, seed);
    std::vector<std::int16_t> s(frames * channels);
    for (std::size_t f = 0; f < frames; ++f) {
        for (unsigned c = 0; c < channels; ++c) {
            const double tone = 20000 * std::sin(0.01 * f * (c + 1)) * ((f / 3000) % 2);
            s[f * channels + c] = static_cast<std::int16_t>(tone + noise[f * channels + c] / 8);
        }
    }
    return s;
}

TEST(Interop, LibsndfileDecodesRelabelledFilesToImaboxSamples) {
    test::TempDir dir;
    for (std::uint16_t channels : {1, 2}) {
        const auto pcm = TestSignal(20000, channels, channels);
        const auto encoded = ConvertMemory(test::MakePCMWave(channels, 22050, pcm));
        ASSERT_TRUE(encoded);
        const auto decoded = ConvertMemory(encoded->file);
        ASSERT_TRUE(decoded);
        const auto ours = test::PCMSamples(decoded->file);

        test::Bytes relabelled = encoded->file;
        relabelled[20] = 0x11;  // format tag: IMA ADPCM
        relabelled[21] = 0x00;
        relabelled[38] = 65;  // samples per block, as standard decoders count them
        const auto path = dir / ("ima" + std::to_string(channels) + ".wav");
        test::WriteFileBytes(path, relabelled);

        int theirChannels = 0;
        const auto theirs = DecodeWithLibsndfile(path, &theirChannels);
        EXPECT_EQ(theirChannels, channels);
        ASSERT_EQ(theirs.size(), ours.size()) << channels << " channels";
        EXPECT_EQ(theirs, ours) << channels << " channels";
    }
}

// Every level of the searching encoder writes the same standard stream format: libsndfile plays
// each level's output exactly as imabox's decoder does.
TEST(Interop, LibsndfileDecodesEveryEncoderLevelToImaboxSamples) {
    test::TempDir dir;
    for (std::uint16_t channels : {1, 2}) {
        WaveAudio audio;
        audio.channels = channels;
        audio.sampleRate = 16000;
        audio.samples = TestSignal(3001, channels, 10 + channels);  // the last block padded
        for (const int quality : {1, 2, 5, 9}) {
            SCOPED_TRACE(std::to_string(channels) + " channels, quality " +
                         std::to_string(quality));
            const auto encoded = EncodeXBoxADPCMWave(audio, quality);
            ASSERT_TRUE(encoded);
            const auto ours = ReadWave(encoded.value());
            ASSERT_TRUE(ours);

            test::Bytes relabelled = encoded.value();
            relabelled[20] = 0x11;  // format tag: IMA ADPCM
            relabelled[21] = 0x00;
            relabelled[38] = 65;  // samples per block, as standard decoders count them
            const auto path = dir / ("q" + std::to_string(quality) + ".wav");
            test::WriteFileBytes(path, relabelled);
            int theirChannels = 0;
            const auto theirs = DecodeWithLibsndfile(path, &theirChannels);
            EXPECT_EQ(theirChannels, channels);
            ASSERT_GE(theirs.size(), ours->samples.size());
            EXPECT_TRUE(std::equal(ours->samples.begin(), ours->samples.end(), theirs.begin()));
        }
    }
}

}  // namespace
}  // namespace imabox
