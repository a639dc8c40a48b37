// The float path's stages: channel changes, float to 16 bits with dither, and the resampler fed
// in pieces (length, a tone's frequency and level, and pieces that change nothing).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "convert/sample_stages.hpp"
#if defined(IMABOX_HAVE_SOXR)
#include "convert/resampler.hpp"
#endif

namespace imabox {
namespace {

using ::testing::HasSubstr;

TEST(Channels, AverageToOneDuplicateOneToTwoRefuseTheRest) {
    EXPECT_FALSE(CheckChannelChange(6, 1));
    EXPECT_FALSE(CheckChannelChange(1, 2));
    EXPECT_FALSE(CheckChannelChange(4, 4));
    ASSERT_TRUE(CheckChannelChange(2, 6));
    EXPECT_EQ(CheckChannelChange(2, 6)->message,
              "cannot change 2 channels to 6 (only to 1 channel, or from 1 to 2)");
    ASSERT_TRUE(CheckChannelChange(1, 0));

    std::vector<float> out;
    ChangeChannels(std::vector<float>{0.5f, -0.25f, 0.125f, 1.0f, 0.0f, -1.0f}, 3, 1, out);
    EXPECT_EQ(out, (std::vector<float>{0.125f, 0.0f}));
    ChangeChannels(std::vector<float>{0.5f, -0.25f}, 1, 2, out);
    EXPECT_EQ(out, (std::vector<float>{0.5f, 0.5f, -0.25f, -0.25f}));
    std::vector<std::int16_t> shorts;
    DuplicateChannels(std::vector<std::int16_t>{7, -32768}, 1, 2, shorts);
    EXPECT_EQ(shorts, (std::vector<std::int16_t>{7, 7, -32768, -32768}));
}

TEST(FloatTo16, ExactWithoutDitherAndUnbiasedWithItCountingClips) {
    std::vector<std::int16_t> ints = {-32768, -1, 0, 1, 12345, 32767};
    std::vector<float> floats;
    Int16ToFloat(ints, floats);
    std::vector<std::int16_t> back(ints.size());
    FloatTo16 plain(false);
    plain.Convert(floats, back);
    EXPECT_EQ(back, ints);
    EXPECT_EQ(plain.clipped(), 0u);

    // Dither: within one step of the value, mean error near zero, the same sequence each run.
    FloatTo16 dithered;
    FloatTo16 again;
    std::vector<float> half(100000, 100.5f / 32768.0f);
    std::vector<std::int16_t> a(half.size()), b(half.size());
    dithered.Convert(half, a);
    again.Convert(half, b);
    EXPECT_EQ(a, b);
    double sum = 0;
    for (const std::int16_t s : a) {
        ASSERT_GE(s, 99);
        ASSERT_LE(s, 102);
        sum += s;
    }
    EXPECT_NEAR(sum / a.size(), 100.5, 0.02);

    std::vector<float> loud = {1.5f, -2.0f, NAN, 0.0f};
    std::vector<std::int16_t> clipped(loud.size());
    dithered.Convert(loud, clipped);
    EXPECT_EQ(clipped[0], 32767);
    EXPECT_EQ(clipped[1], -32768);
    EXPECT_EQ(clipped[2], 0);
    EXPECT_EQ(dithered.clipped(), 3u);
}

#if defined(IMABOX_HAVE_SOXR)

std::vector<float> Tone(double hz, unsigned rate, std::size_t frames, unsigned channels) {
    std::vector<float> out(frames * channels);
    for (std::size_t i = 0; i < frames; ++i)
        for (unsigned c = 0; c < channels; ++c)
            out[i * channels + c] = static_cast<float>(
                (c ? 0.25 : 0.5) * std::sin(2 * std::numbers::pi * hz * i / rate));
    return out;
}

// Resamples in pieces of `piece` frames.
std::vector<float> Resample(const std::vector<float>& in, unsigned channels, unsigned from,
                            unsigned to, std::size_t piece) {
    Expected<Resampler> resampler = Resampler::Create(from, to, channels);
    EXPECT_TRUE(resampler.ok());
    std::vector<float> out;
    for (std::size_t at = 0; at < in.size(); at += piece * channels) {
        const std::size_t n = std::min(piece * channels, in.size() - at);
        EXPECT_TRUE(resampler->Process(std::span(in).subspan(at, n), out).ok());
    }
    EXPECT_TRUE(resampler->Flush(out).ok());
    return out;
}

// The frequency of a tone from its zero crossings, and its peak, away from the edges.
void Measure(std::span<const float> samples, unsigned channels, unsigned rate, double& hz,
             double& peak) {
    const std::size_t frames = samples.size() / channels;
    std::size_t first = 0, last = 0, crossings = 0;
    peak = 0;
    for (std::size_t i = frames / 10; i + 1 < frames - frames / 10; ++i) {
        peak = std::max(peak, double{std::abs(samples[i * channels])});
        if (samples[i * channels] < 0 && samples[(i + 1) * channels] >= 0) {
            if (!crossings++)
                first = i;
            last = i;
        }
    }
    hz = static_cast<double>(crossings - 1) * rate / static_cast<double>(last - first);
}

TEST(Resampler, KeepsLengthFrequencyAndLevelAcrossPieces) {
    struct Case {
        unsigned from, to;
        std::size_t frames;
    };
    for (const Case c : {Case{44100, 22050, 44101}, Case{8000, 44100, 8001},
                         Case{48000, 44100, 96000}, Case{22050, 32000, 11025}}) {
        SCOPED_TRACE(std::to_string(c.from) + " -> " + std::to_string(c.to));
        const std::vector<float> in = Tone(1000, c.from, c.frames, 2);
        const std::vector<float> out = Resample(in, 2, c.from, c.to, 4093);
        ASSERT_EQ(out.size() / 2, Resampler::OutputFrames(c.frames, c.from, c.to));
        double hz = 0, peak = 0;
        Measure(out, 2, c.to, hz, peak);
        EXPECT_NEAR(hz, 1000.0, 0.5);
        EXPECT_NEAR(peak, 0.5, 0.005);
        // Pieces do not change the result: one piece gives the same samples.
        EXPECT_EQ(Resample(in, 2, c.from, c.to, c.frames), out);
    }
    EXPECT_EQ(Resampler::OutputFrames(3, 44100, 22050), 2u);
    EXPECT_EQ(Resampler::OutputFrames(std::uint64_t{1} << 40, 48000, 44100),
              (std::uint64_t{1} << 40) / 48000 * 44100 +
                  ((std::uint64_t{1} << 40) % 48000 * 44100 + 24000) / 48000);
}

TEST(Resampler, RemovesWhatTheNewRateCannotHoldAndRefusesNonsense) {
    // 15 kHz at 44.1 kHz has no place at 22.05 kHz (Nyquist 11025 Hz): nothing audible is left.
    const std::vector<float> out = Resample(Tone(15000, 44100, 44100, 1), 1, 44100, 22050, 1000);
    double peak = 0;
    for (std::size_t i = out.size() / 10; i < out.size() * 9 / 10; ++i)
        peak = std::max(peak, double{std::abs(out[i])});
    EXPECT_LT(peak, 1e-4);
    Expected<Resampler> zero = Resampler::Create(0, 22050, 1);
    ASSERT_FALSE(zero.ok());
    EXPECT_THAT(zero.error().message, HasSubstr("0 Hz"));
}

#endif

}  // namespace
}  // namespace imabox
