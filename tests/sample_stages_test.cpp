// SPDX-License-Identifier: MIT
// The stages between a source and the coder: channel changes, 16-bit audio into the float path,
// and the resampler fed in pieces (length, a tone's frequency and level, and pieces that change
// nothing).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "pipeline/sample_stages.hpp"
#if defined(IMABOX_HAVE_SOXR)
#include "media/soxr_resampler.hpp"
#endif

namespace imabox {
namespace {

using ::testing::HasSubstr;

// A stream over samples held in memory, read in pieces of at most `piece` frames.
template <class Sample>
class MemoryStream final : public SampleStream<Sample> {
  public:
    MemoryStream(std::vector<Sample> samples, unsigned channels, std::uint32_t rate,
                 std::size_t piece = 1000)
        : samples_(std::move(samples)), piece_(piece) {
        shape_.channels = channels;
        shape_.sampleRate = rate;
        shape_.frames = samples_.size() / channels;
    }
    const StreamShape& shape() const override { return shape_; }
    Expected<std::size_t> Read(std::span<Sample> out) override {
        const std::size_t frames = std::min(
            {out.size() / shape_.channels, piece_, (samples_.size() - at_) / shape_.channels});
        std::copy_n(samples_.begin() + static_cast<std::ptrdiff_t>(at_), frames * shape_.channels,
                    out.begin());
        at_ += frames * shape_.channels;
        return frames;
    }
    bool Rewind() override {
        at_ = 0;
        return true;
    }
    StreamStats stats() const override { return {}; }

  private:
    std::vector<Sample> samples_;
    std::size_t piece_;
    std::size_t at_ = 0;
    StreamShape shape_;
};

template <class Sample>
std::vector<Sample> ReadAll(SampleStream<Sample>& stream, std::size_t piece = 777) {
    std::vector<Sample> all;
    std::vector<Sample> buffer(piece * stream.shape().channels);
    while (true) {
        const Expected<std::size_t> got = stream.Read(buffer);
        EXPECT_TRUE(got.ok());
        if (!got || *got == 0)
            return all;
        all.insert(all.end(), buffer.begin(),
                   buffer.begin() + static_cast<std::ptrdiff_t>(*got * stream.shape().channels));
    }
}

TEST(Channels, AverageToOneDuplicateOneToTwoRefuseTheRest) {
    EXPECT_FALSE(CheckChannelChange(6, 1));
    EXPECT_FALSE(CheckChannelChange(1, 2));
    EXPECT_FALSE(CheckChannelChange(4, 4));
    ASSERT_TRUE(CheckChannelChange(2, 6));
    EXPECT_EQ(CheckChannelChange(2, 6)->message,
              "cannot change 2 channels to 6 (only to 1 channel, or from 1 to 2)");
    EXPECT_EQ(CheckChannelChange(2, 6)->kind, ErrorKind::InvalidArgument);
    ASSERT_TRUE(CheckChannelChange(1, 0));

    ChannelStage<double> mono(std::make_unique<MemoryStream<double>>(
                                  std::vector<double>{0.5, -0.25, 0.125, 3.0, 0.0, -1.0}, 3, 8000),
                              1);
    EXPECT_EQ(mono.shape().channels, 1u);
    EXPECT_EQ(mono.shape().frames, 2u);
    EXPECT_EQ(ReadAll(mono), (std::vector<double>{0.125, 2.0 / 3.0}));
    ChannelStage<std::int16_t> stereo(
        std::make_unique<MemoryStream<std::int16_t>>(std::vector<std::int16_t>{7, -32768}, 1, 8000),
        2);
    EXPECT_EQ(ReadAll(stereo), (std::vector<std::int16_t>{7, 7, -32768, -32768}));
    ASSERT_TRUE(stereo.Rewind());
    EXPECT_EQ(ReadAll(stereo).size(), 4u);

    Int16AsReal real(std::make_unique<MemoryStream<std::int16_t>>(
        std::vector<std::int16_t>{-32768, -1, 0, 32767}, 2, 8000));
    EXPECT_EQ(ReadAll(real), (std::vector<double>{-32768, -1, 0, 32767}));
}

#if defined(IMABOX_HAVE_SOXR)

std::vector<double> Tone(double hz, unsigned rate, std::size_t frames, unsigned channels) {
    std::vector<double> out(frames * channels);
    for (std::size_t i = 0; i < frames; ++i)
        for (unsigned c = 0; c < channels; ++c)
            out[i * channels + c] =
                (c ? 0.25 : 0.5) * std::sin(2 * std::numbers::pi * hz * i / rate);
    return out;
}

// Resamples in pieces of `piece` frames.
std::vector<double> Resample(const std::vector<double>& in, unsigned channels, unsigned from,
                             unsigned to, std::size_t piece) {
    Expected<Resampler> resampler = Resampler::Create(from, to, channels);
    EXPECT_TRUE(resampler.ok());
    std::vector<double> out;
    for (std::size_t at = 0; at < in.size(); at += piece * channels) {
        const std::size_t n = std::min(piece * channels, in.size() - at);
        EXPECT_TRUE(resampler->Process(std::span(in).subspan(at, n), out).ok());
    }
    EXPECT_TRUE(resampler->Flush(out).ok());
    return out;
}

// The frequency of a tone from its zero crossings, and its peak, away from the edges.
void Measure(std::span<const double> samples, unsigned channels, unsigned rate, double& hz,
             double& peak) {
    const std::size_t frames = samples.size() / channels;
    std::size_t first = 0, last = 0, crossings = 0;
    peak = 0;
    for (std::size_t i = frames / 10; i + 1 < frames - frames / 10; ++i) {
        peak = std::max(peak, std::abs(samples[i * channels]));
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
        const std::vector<double> in = Tone(1000, c.from, c.frames, 2);
        const std::vector<double> out = Resample(in, 2, c.from, c.to, 4093);
        ASSERT_EQ(out.size() / 2, Resampler::OutputFrames(c.frames, c.from, c.to));
        double hz = 0, peak = 0;
        Measure(out, 2, c.to, hz, peak);
        EXPECT_NEAR(hz, 1000.0, 0.5);
        EXPECT_NEAR(peak, 0.5, 0.005);
        // Pieces do not change the result: one piece gives the same samples, and so does the
        // stage the pipeline uses, read in pieces of another size.
        EXPECT_EQ(Resample(in, 2, c.from, c.to, c.frames), out);
        Expected<std::unique_ptr<ResampleStage>> stage =
            ResampleStage::Create(std::make_unique<MemoryStream<double>>(in, 2, c.from), c.to);
        ASSERT_TRUE(stage.ok());
        EXPECT_EQ((*stage)->shape().frames, out.size() / 2);
        EXPECT_EQ((*stage)->shape().sampleRate, c.to);
        EXPECT_FALSE((*stage)->Rewind());
        EXPECT_EQ(ReadAll(**stage, 1500), out);
    }
    EXPECT_EQ(Resampler::OutputFrames(3, 44100, 22050), 2u);
    EXPECT_EQ(Resampler::OutputFrames(std::uint64_t{1} << 40, 48000, 44100),
              (std::uint64_t{1} << 40) / 48000 * 44100 +
                  ((std::uint64_t{1} << 40) % 48000 * 44100 + 24000) / 48000);
}

TEST(Resampler, RemovesWhatTheNewRateCannotHoldAndRefusesNonsense) {
    // 15 kHz at 44.1 kHz has no place at 22.05 kHz (Nyquist 11025 Hz): nothing audible is left.
    const std::vector<double> out = Resample(Tone(15000, 44100, 44100, 1), 1, 44100, 22050, 1000);
    double peak = 0;
    for (std::size_t i = out.size() / 10; i < out.size() * 9 / 10; ++i)
        peak = std::max(peak, std::abs(out[i]));
    EXPECT_LT(peak, 1e-4);
    Expected<Resampler> zero = Resampler::Create(0, 22050, 1);
    ASSERT_FALSE(zero.ok());
    EXPECT_THAT(zero.error().message, HasSubstr("0 Hz"));
}

#endif

}  // namespace
}  // namespace imabox
