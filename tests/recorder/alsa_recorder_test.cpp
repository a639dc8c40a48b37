// SPDX-License-Identifier: MIT
// The recorder on ALSA itself, with test configurations from the build tree selected through
// ALSA_CONFIG_PATH: a file plugin that "captures" a known raw input, and a default PCM that does
// not exist.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "imabox/convert.hpp"
#include "imabox/recorder.hpp"
#include "imabox/xbox_audio.h"
#include "recording_file.hpp"

namespace imabox {
namespace {

using testing::ExpectRecordingOf;
using testing::Payload;
using testing::ReadBytes;
using testing::ScratchDir;

const std::filesystem::path kALSADir = IMABOX_ALSA_TEST_DIR;

void UseALSAConfig(const char* name) {
    ASSERT_EQ(::setenv("ALSA_CONFIG_PATH", (kALSADir / name).c_str(), 1), 0);
}

// Waits until the recording holds at least `seconds`; false after ten seconds without.
bool WaitForSeconds(std::int32_t seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (RecordedSeconds() < seconds) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class ALSARecorderTest : public ::testing::Test {
  protected:
    void TearDown() override { StopRecording(); }
    ScratchDir dir_;
    // The raw input the file plugin delivers. Past its end the plugin delivers undefined bytes,
    // so comparisons stay within it.
    const std::vector<std::uint8_t> input_ = ReadBytes(kALSADir / "capture-input.raw");
};

TEST_F(ALSARecorderTest, RecordsTheInputFromItsStartInOrder) {
    UseALSAConfig("capture-file.conf");
    ASSERT_GE(input_.size(), 64u * 16000);
    const auto path = dir_ / "alsa.wav";
    ASSERT_EQ(XBoxADPCMSoundRecorderStart(path.wstring().c_str()), 999);
    ASSERT_TRUE(WaitForSeconds(2));
    const std::int32_t seconds = XBoxADPCMSoundRecorderStop();
    ASSERT_GE(seconds, 2);

    const auto file = ReadBytes(path);
    ExpectRecordingOf(file, static_cast<std::uint32_t>(seconds));
    const std::size_t compared = std::min(file.size() - 44, input_.size());
    EXPECT_TRUE(std::equal(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(compared),
                           file.begin() + 44));
}

TEST_F(ALSARecorderTest, SecondsLimitGivesExactlyThatAndTheFileConvertsToXboxADPCM) {
    UseALSAConfig("capture-file.conf");
    const auto path = dir_ / "three.wav";
    ASSERT_EQ(StartRecording(path, 3), 999);
    ASSERT_TRUE(WaitForSeconds(3));
    // The device keeps delivering; the file stays at three seconds.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(StopRecording(), 3);
    const auto file = ReadBytes(path);
    ExpectRecordingOf(file, 3);
    EXPECT_TRUE(std::equal(file.begin() + 44, file.end(), input_.begin()));

    const auto adpcm = dir_ / "three.xbox.wav";
    const auto converted = ConvertFile(path, adpcm);
    ASSERT_TRUE(converted) << converted.error().message;
    EXPECT_EQ(converted->output, Encoding::XBoxADPCM);
    EXPECT_EQ(converted->inputFrames, 24000u);
    const auto info = ReadWaveInfo(adpcm);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->format, SourceFormat::XBoxADPCM);
    EXPECT_EQ(info->sampleRate, 8000u);
}

TEST_F(ALSARecorderTest, NoCaptureDeviceGives1QuietlyAndStopLeavesAnEmptyValidFile) {
    UseALSAConfig("no-capture.conf");
    const auto path = dir_ / "none.wav";
    ::testing::internal::CaptureStderr();
    const std::int32_t started = XBoxADPCMSoundRecorderStart(path.wstring().c_str());
    const std::int32_t stopped = XBoxADPCMSoundRecorderStop();
    const std::string diagnostics = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(started, 1);
    EXPECT_EQ(stopped, 0);
    EXPECT_EQ(diagnostics, "");
    ExpectRecordingOf(ReadBytes(path), 0);
}

}  // namespace
}  // namespace imabox
