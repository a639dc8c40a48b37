// SPDX-License-Identifier: MIT
// The input level computation: peak over the last quarter second, clipping, digital silence.
#include "recorder/level_meter.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace imabox {
namespace {

std::vector<std::uint8_t> Samples(std::size_t count, std::int16_t value) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < count; ++i) {
        const auto v = static_cast<std::int16_t>(i % 2 == 0 ? value : -value);
        bytes.push_back(static_cast<std::uint8_t>(v & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
    }
    return bytes;
}

TEST(PeakDbfsTest, FullScaleIsZeroAndEachHalvingAboutSixDecibelsLess) {
    EXPECT_DOUBLE_EQ(PeakDbfs(32768), 0.0);
    EXPECT_NEAR(PeakDbfs(16384), -6.0206, 1e-4);
    EXPECT_NEAR(PeakDbfs(1), -90.309, 1e-3);
    EXPECT_TRUE(std::isinf(PeakDbfs(0)) && PeakDbfs(0) < 0);
}

TEST(LevelMeterTest, PeakCoversTheLastQuarterSecondOnly) {
    LevelMeter meter;
    meter.Reset();
    meter.Add(Samples(399, 20000));
    EXPECT_TRUE(std::isinf(meter.Read().peakDbfs)) << "published per whole 50 ms block";
    meter.Add(Samples(1, 0));
    EXPECT_NEAR(meter.Read().peakDbfs, PeakDbfs(20000), 1e-9);
    // Four more blocks: the loud one is still within the quarter second.
    meter.Add(Samples(4 * 400, 100));
    EXPECT_NEAR(meter.Read().peakDbfs, PeakDbfs(20000), 1e-9);
    // A fifth pushes it out.
    meter.Add(Samples(400, 100));
    EXPECT_NEAR(meter.Read().peakDbfs, PeakDbfs(100), 1e-9);
}

TEST(LevelMeterTest, PiecesOfAnySizeAndTheMostNegativeSample) {
    LevelMeter meter;
    meter.Reset();
    auto bytes = Samples(400, 5);
    bytes[2] = 0x00;  // sample 1: -32768
    bytes[3] = 0x80;
    for (std::size_t i = 0; i < bytes.size(); i += 6)
        meter.Add(std::span(bytes).subspan(i, std::min<std::size_t>(6, bytes.size() - i)));
    EXPECT_DOUBLE_EQ(meter.Read().peakDbfs, 0.0);
    EXPECT_TRUE(meter.Read().clipping);
}

TEST(LevelMeterTest, ClippingWarnsForASecondAfterTheLastFullScaleSample) {
    LevelMeter meter;
    meter.Reset();
    meter.Add(Samples(400, 32767));
    EXPECT_TRUE(meter.Read().clipping);
    meter.Add(Samples(7600, 1000));
    EXPECT_TRUE(meter.Read().clipping);
    meter.Add(Samples(400, 1000));
    EXPECT_FALSE(meter.Read().clipping);
    meter.Add(Samples(400, 32766));
    EXPECT_FALSE(meter.Read().clipping) << "below full scale";
}

TEST(LevelMeterTest, SilenceAfterAWholeSecondOfZeroSamples) {
    LevelMeter meter;
    meter.Reset();
    meter.Add(Samples(7600, 0));
    EXPECT_FALSE(meter.Read().silence);
    meter.Add(Samples(400, 0));
    EXPECT_TRUE(meter.Read().silence);
    // A quiet but live input is not silence.
    meter.Add(Samples(400, 1));
    EXPECT_FALSE(meter.Read().silence);
    meter.Reset();
    EXPECT_FALSE(meter.Read().silence);
    EXPECT_TRUE(std::isinf(meter.Read().peakDbfs));
}

}  // namespace
}  // namespace imabox
