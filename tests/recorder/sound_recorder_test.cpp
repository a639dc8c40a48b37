// SPDX-License-Identifier: MIT
// The recorder against the scripted capture backend: what lands in the file for a given input,
// the failure results, write and device failures during a recording, and Stop racing a stream
// of full buffers.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <random>
#include <thread>

#include "imabox/recorder.hpp"
#include "imabox/xbox_audio.h"
#include "recorder/wave_in_test_backend.hpp"
#include "recording_file.hpp"

namespace imabox {
namespace {

using testing::ExpectRecordingOf;
using testing::Payload;
using testing::ReadBytes;
using testing::ScratchDir;

// `seconds` of distinct 16-bit samples: every buffer differs from every other, so a buffer that
// is lost, repeated, torn or out of order shows in the file.
std::vector<std::uint8_t> Input(double seconds, std::uint32_t seed = 1) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(seconds * 8000) * 2);
    std::mt19937 random(seed);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(random());
    return bytes;
}

std::span<const std::uint8_t> FirstSeconds(const std::vector<std::uint8_t>& input,
                                           std::uint32_t seconds) {
    return std::span(input).first(seconds * 16000);
}

bool SameBytes(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

class SoundRecorderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        StopRecording();
        TestWaveInReset();
    }
    void TearDown() override {
        StopRecording();
        EXPECT_EQ(TestWaveInGetCounts().openNow, 0) << "a device was left open";
    }
    // Feeds `bytes` and waits until the recorder has handled every full buffer among them.
    static void Deliver(std::span<const std::uint8_t> bytes) {
        TestWaveInFeed(bytes);
        ASSERT_TRUE(TestWaveInWaitDrained());
    }
    ScratchDir dir_;
};

TEST_F(SoundRecorderTest, StopBeforeTheFirstSecondLeavesAnEmptyValidFile) {
    const auto path = dir_ / "empty.wav";
    ASSERT_EQ(XBoxADPCMSoundRecorderStart(path.wstring().c_str()), 999);
    Deliver(Input(0.75));
    EXPECT_EQ(RecordedSeconds(), 0);
    EXPECT_EQ(XBoxADPCMSoundRecorderStop(), 0);
    ExpectRecordingOf(ReadBytes(path), 0);
    EXPECT_EQ(TestWaveInGetCounts().stops, 1);
}

TEST_F(SoundRecorderTest, KeepsWholeSecondsInOrderAndDropsThePartlyFilledLast) {
    const auto path = dir_ / "two.wav";
    const auto input = Input(2.5);
    ASSERT_EQ(XBoxADPCMSoundRecorderStart(path.wstring().c_str()), 999);
    // Uneven pieces: buffers fill across deliveries.
    Deliver(std::span(input).first(6000));
    Deliver(std::span(input).subspan(6000, 20000));
    EXPECT_EQ(RecordedSeconds(), 1);
    Deliver(std::span(input).subspan(26000));
    EXPECT_EQ(RecordedSeconds(), 2);
    EXPECT_EQ(XBoxADPCMSoundRecorderStop(), 2);

    const auto file = ReadBytes(path);
    ExpectRecordingOf(file, 2);
    EXPECT_TRUE(SameBytes(Payload(file), FirstSeconds(input, 2)));
}

TEST_F(SoundRecorderTest, StartsAgainAfterStopWithANewFile) {
    const auto first = dir_ / "first.wav";
    const auto second = dir_ / "second.wav";
    const auto input1 = Input(1.5, 7);
    const auto input2 = Input(3, 8);

    ASSERT_EQ(StartRecording(first), 999);
    Deliver(input1);
    EXPECT_EQ(StopRecording(), 1);
    ASSERT_EQ(StartRecording(second), 999);
    EXPECT_EQ(RecordedSeconds(), 0);
    Deliver(input2);
    EXPECT_EQ(StopRecording(), 3);

    const auto file1 = ReadBytes(first);
    ExpectRecordingOf(file1, 1);
    EXPECT_TRUE(SameBytes(Payload(file1), FirstSeconds(input1, 1)));
    // Nothing of the first recording's discarded half second reaches the second one.
    const auto file2 = ReadBytes(second);
    ExpectRecordingOf(file2, 3);
    EXPECT_TRUE(SameBytes(Payload(file2), FirstSeconds(input2, 3)));
    EXPECT_EQ(TestWaveInGetCounts().opens, 2);
}

TEST_F(SoundRecorderTest, SecondStartIsRefusedAndTheRunningRecordingGoesOn) {
    const auto path = dir_ / "running.wav";
    const auto other = dir_ / "other.wav";
    const auto input = Input(2);
    ASSERT_EQ(StartRecording(path), 999);
    Deliver(std::span(input).first(16000));
    EXPECT_EQ(XBoxADPCMSoundRecorderStart(other.wstring().c_str()), 5);
    EXPECT_FALSE(std::filesystem::exists(other));
    EXPECT_EQ(TestWaveInGetCounts().openAttempts, 1);
    Deliver(std::span(input).subspan(16000));
    EXPECT_EQ(StopRecording(), 2);
    const auto file = ReadBytes(path);
    ExpectRecordingOf(file, 2);
    EXPECT_TRUE(SameBytes(Payload(file), input));
}

TEST_F(SoundRecorderTest, StopWhileIdleTouchesNothing) {
    const auto path = dir_ / "done.wav";
    EXPECT_EQ(XBoxADPCMSoundRecorderStop(), 0);
    ASSERT_EQ(StartRecording(path), 999);
    Deliver(Input(1));
    EXPECT_EQ(StopRecording(), 1);
    const auto before = ReadBytes(path);
    EXPECT_EQ(XBoxADPCMSoundRecorderStop(), 0);
    EXPECT_EQ(ReadBytes(path), before);
    const auto counts = TestWaveInGetCounts();
    EXPECT_EQ(counts.openAttempts, 1);
    EXPECT_EQ(counts.stops, 1);
}

TEST_F(SoundRecorderTest, FileThatCannotBeWrittenGives4AndLeavesTheRecorderIdle) {
    const auto missingDir = dir_ / "no-such-dir" / "x.wav";
    EXPECT_EQ(XBoxADPCMSoundRecorderStart(missingDir.wstring().c_str()), 4);
    EXPECT_EQ(XBoxADPCMSoundRecorderStart(nullptr), 4);
    // Created, but the placeholder header cannot be written.
    EXPECT_EQ(XBoxADPCMSoundRecorderStart(L"/dev/full"), 4);
    EXPECT_EQ(TestWaveInGetCounts().openAttempts, 0);
    EXPECT_EQ(XBoxADPCMSoundRecorderStop(), 0);

    const auto path = dir_ / "after.wav";
    ASSERT_EQ(StartRecording(path), 999);
    Deliver(Input(1));
    EXPECT_EQ(StopRecording(), 1);
}

struct DeviceFault {
    TestWaveInFaults faults;
    std::int32_t result;
};

void PrintTo(const DeviceFault& fault, std::ostream* out) {
    *out << "open " << fault.faults.open << ", queue " << fault.faults.queue << ", start "
         << fault.faults.start << " -> " << fault.result;
}

class SoundRecorderDeviceFaultTest : public SoundRecorderTest,
                                     public ::testing::WithParamInterface<DeviceFault> {};

TEST_P(SoundRecorderDeviceFaultTest, StopAfterAFailedStartLeavesAnEmptyValidFile) {
    const auto path = dir_ / "failed.wav";
    TestWaveInSetFaults(GetParam().faults);
    EXPECT_EQ(XBoxADPCMSoundRecorderStart(path.wstring().c_str()), GetParam().result);
    EXPECT_EQ(ReadBytes(path).size(), 44u);
    // The failed recording is still open: it has to be stopped before another can start.
    EXPECT_EQ(StartRecording(dir_ / "other.wav"), 5);
    EXPECT_EQ(XBoxADPCMSoundRecorderStop(), 0);
    ExpectRecordingOf(ReadBytes(path), 0);
    EXPECT_EQ(TestWaveInGetCounts().openNow, 0);

    TestWaveInSetFaults({});
    const auto next = dir_ / "next.wav";
    ASSERT_EQ(StartRecording(next), 999);
    Deliver(Input(1));
    EXPECT_EQ(StopRecording(), 1);
}

INSTANTIATE_TEST_SUITE_P(Faults, SoundRecorderDeviceFaultTest,
                         ::testing::Values(DeviceFault{{MMSYSERR_BADDEVICEID, 0, 0}, 1},
                                           DeviceFault{{MMSYSERR_ALLOCATED, 0, 0}, 1},
                                           DeviceFault{{0, MMSYSERR_NOMEM, 0}, 2},
                                           DeviceFault{{0, 0, MMSYSERR_ERROR}, 3}),
                         [](const ::testing::TestParamInfo<DeviceFault>& info) {
                             return "Result" + std::to_string(info.param.result) + "_" +
                                    std::to_string(info.index);
                         });

TEST_F(SoundRecorderTest, SecondsLimitKeepsTheFileAtThatLength) {
    const auto path = dir_ / "limited.wav";
    const auto input = Input(5);
    ASSERT_EQ(StartRecording(path, 2), 999);
    Deliver(input);
    EXPECT_EQ(RecordedSeconds(), 2);
    EXPECT_EQ(StopRecording(), 2);
    const auto file = ReadBytes(path);
    ExpectRecordingOf(file, 2);
    EXPECT_TRUE(SameBytes(Payload(file), FirstSeconds(input, 2)));
}

// A file size limit makes a write fail part way, as a full disk does.
class FileSizeLimit {
  public:
    FileSizeLimit() {
        previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &saved_);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previousHandler_);
    }
    bool Set(rlim_t bytes) {
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        return setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    bool Lift() { return setrlimit(RLIMIT_FSIZE, &saved_) == 0; }

  private:
    rlimit saved_{};
    void (*previousHandler_)(int) = SIG_DFL;
};

// Waits until the recording reports a failure; "" after five seconds without one.
std::string WaitForFailure() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::string failure;
    while ((failure = RecordingFailure()).empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return failure;
}

TEST_F(SoundRecorderTest, FailedWriteEndsTheRecordingAndKeepsTheWholeSecondsBeforeIt) {
    const auto path = dir_ / "full.wav";
    const auto input = Input(6);
    FileSizeLimit limit;
    ASSERT_TRUE(limit.Set(44 + 2 * 16000 + 5000));

    ASSERT_EQ(StartRecording(path, 5), 999);
    Deliver(FirstSeconds(input, 2));
    EXPECT_EQ(RecordedSeconds(), 2);
    EXPECT_EQ(RecordingFailure(), "");
    // Only 5000 bytes of the third second fit: the recording ends there, and says why.
    TestWaveInFeed(std::span(input).subspan(32000));
    const std::string failure = WaitForFailure();
    EXPECT_NE(failure.find("cannot write the recording"), std::string::npos) << failure;
    EXPECT_NE(failure.find(std::strerror(EFBIG)), std::string::npos) << failure;
    // Nothing more is written, even once there is space again.
    ASSERT_TRUE(limit.Lift());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(RecordedSeconds(), 2);
    EXPECT_EQ(StopRecording(), 2);
    EXPECT_EQ(RecordingFailure(), failure) << "the last recording's failure stays readable";

    const auto file = ReadBytes(path);
    ExpectRecordingOf(file, 2);
    EXPECT_TRUE(SameBytes(Payload(file), FirstSeconds(input, 2)));

    // The next recording starts without the old failure.
    TestWaveInReset();  // drops the input the failed recording left unread
    ASSERT_EQ(StartRecording(dir_ / "next.wav"), 999);
    EXPECT_EQ(RecordingFailure(), "");
    Deliver(Input(1));
    EXPECT_EQ(StopRecording(), 1);
}

TEST_F(SoundRecorderTest, FailedFirstWriteLeavesAValidEmptyRecording) {
    const auto path = dir_ / "full-at-once.wav";
    FileSizeLimit limit;
    ASSERT_TRUE(limit.Set(44 + 100));
    ASSERT_EQ(StartRecording(path), 999);
    TestWaveInFeed(Input(3));
    EXPECT_NE(WaitForFailure(), "");
    EXPECT_EQ(StopRecording(), 0);
    ASSERT_TRUE(limit.Lift());
    ExpectRecordingOf(ReadBytes(path), 0);
}

// What a process killed in the middle of a recording leaves: the file as it is between seconds.
TEST_F(SoundRecorderTest, FileIsAValidRecordingOfItsWholeSecondsWhileRecording) {
    const auto path = dir_ / "live.wav";
    const auto input = Input(3.5);
    ASSERT_EQ(StartRecording(path), 999);
    Deliver(FirstSeconds(input, 1));
    ExpectRecordingOf(ReadBytes(path), 1);
    Deliver(std::span(input).subspan(16000));  // two more seconds and half of one
    auto file = ReadBytes(path);
    ExpectRecordingOf(file, 3);
    EXPECT_TRUE(SameBytes(Payload(file), FirstSeconds(input, 3)));
    EXPECT_EQ(StopRecording(), 3);
    EXPECT_EQ(ReadBytes(path), file) << "Stop leaves the same bytes";
}

TEST_F(SoundRecorderTest, DeviceFailureEndsTheRecordingWithItsWholeSeconds) {
    const auto path = dir_ / "unplugged.wav";
    const auto input = Input(2.5);
    ASSERT_EQ(StartRecording(path), 999);
    Deliver(input);
    TestWaveInFail();
    const std::string failure = WaitForFailure();
    EXPECT_EQ(failure, "the audio input device failed: the test device was unplugged");
    EXPECT_EQ(RecordedSeconds(), 2);
    EXPECT_EQ(StopRecording(), 2);
    const auto file = ReadBytes(path);
    ExpectRecordingOf(file, 2);
    EXPECT_TRUE(SameBytes(Payload(file), FirstSeconds(input, 2)));
}

TEST_F(SoundRecorderTest, NamedDeviceIsOpenedByNameAndAnUnknownOneGives1) {
    ASSERT_EQ(StartRecording(dir_ / "named.wav", 0, std::string(kTestDeviceName)), 999);
    EXPECT_EQ(TestWaveInLastDeviceName(), kTestDeviceName);
    Deliver(Input(1));
    EXPECT_EQ(StopRecording(), 1);
    ASSERT_EQ(XBoxADPCMSoundRecorderStart((dir_ / "default.wav").wstring().c_str()), 999);
    EXPECT_EQ(TestWaveInLastDeviceName(), "") << "the C function records from the default device";
    EXPECT_EQ(StopRecording(), 0);

    const auto path = dir_ / "unknown.wav";
    EXPECT_EQ(StartRecording(path, 0, "hw:7,7"), 1);
    EXPECT_EQ(StopRecording(), 0);
    ExpectRecordingOf(ReadBytes(path), 0);

    const auto devices = ListCaptureDevices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].name, kTestDeviceName);
}

TEST_F(SoundRecorderTest, InputLevelFollowsTheLastQuarterSecond) {
    ASSERT_EQ(StartRecording(dir_ / "level.wav"), 999);
    EXPECT_TRUE(std::isinf(CurrentInputLevel().peakDbfs));
    // A quarter second at half scale (-6 dBFS), then one at a tenth of full scale.
    std::vector<std::uint8_t> half(4000, 0);
    for (std::size_t i = 0; i < half.size(); i += 2)
        half[i + 1] = i % 4 == 0 ? 0x40 : 0xC0;  // +16384, -16384
    Deliver(half);
    EXPECT_NEAR(CurrentInputLevel().peakDbfs, -6.02, 0.01);
    std::vector<std::uint8_t> tenth(4000, 0);
    for (std::size_t i = 0; i < tenth.size(); i += 2) {
        tenth[i] = 0xCD;  // 3277
        tenth[i + 1] = 0x0C;
    }
    Deliver(tenth);
    EXPECT_NEAR(CurrentInputLevel().peakDbfs, -20.0, 0.01);
    EXPECT_FALSE(CurrentInputLevel().clipping);
    EXPECT_FALSE(CurrentInputLevel().silence);
    EXPECT_EQ(StopRecording(), 0);
}

// Stop lands at an arbitrary moment while full buffers keep arriving from another thread. Every
// buffer counted must be in the file whole and in order, and the header must agree with it.
TEST_F(SoundRecorderTest, StopRacingAStreamOfBuffersLosesAndTearsNothing) {
    const auto input = Input(40, 99);
    std::mt19937 random(2024);
    for (int round = 0; round < 25; ++round) {
        TestWaveInReset();
        const auto path = dir_ / ("race" + std::to_string(round) + ".wav");
        ASSERT_EQ(StartRecording(path), 999);
        std::atomic<std::size_t> fed{0};
        std::thread feeder([&input, &fed, seed = random()] {
            std::mt19937 pieces(seed);
            while (fed.load() < input.size()) {
                const std::size_t at = fed.load();
                const std::size_t n =
                    std::min<std::size_t>(input.size() - at, 2 * (1 + pieces() % 12000));
                TestWaveInFeed(std::span(input).subspan(at, n));
                fed.store(at + n);
                // Uneven pauses, so that Stop meets the stream at different points.
                std::this_thread::sleep_for(std::chrono::microseconds(pieces() % 300));
            }
        });
        // Stop somewhere in the stream, while the capture thread is busy with it.
        const auto target = static_cast<std::int32_t>(random() % 40);
        while (RecordedSeconds() < target)
            std::this_thread::yield();
        const std::int32_t seconds = StopRecording();
        feeder.join();

        ASSERT_GE(seconds, target);
        ASSERT_LE(seconds, 40);
        const auto file = ReadBytes(path);
        ExpectRecordingOf(file, static_cast<std::uint32_t>(seconds));
        ASSERT_TRUE(
            SameBytes(Payload(file), FirstSeconds(input, static_cast<std::uint32_t>(seconds))))
            << "round " << round << ", " << seconds << " s";
    }
}

}  // namespace
}  // namespace imabox
