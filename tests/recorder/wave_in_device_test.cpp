// SPDX-License-Identifier: MIT
// The waveform-audio input layer on the scripted backend: when buffers come back, on which
// thread, with how many bytes, and what it refuses.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "recorder/wave_in.hpp"
#include "recorder/wave_in_test_backend.hpp"

namespace imabox {
namespace {

struct Delivery {
    UINT message;
    WAVEHDR* header;
    DWORD bytes;
    std::thread::id thread;
};

struct Log {
    std::mutex mutex;
    std::vector<Delivery> deliveries;
    std::vector<Delivery> Take() {
        const std::lock_guard lock(mutex);
        return deliveries;
    }
};

void CALLBACK Record(HWAVEIN, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR) {
    auto* log = reinterpret_cast<Log*>(instance);
    auto* header = reinterpret_cast<WAVEHDR*>(param1);
    const std::lock_guard lock(log->mutex);
    log->deliveries.push_back(
        {message, header, header ? header->dwBytesRecorded : 0, std::this_thread::get_id()});
}

WAVEFORMATEX MonoPCM16(DWORD rate) {
    return {WAVE_FORMAT_PCM, 1, rate, rate * 2, 2, 16, 0};
}

class WaveInDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override { TestWaveInReset(); }
    void TearDown() override {
        // After a failed assertion: a device left open would outlive the test.
        waveInStop(device_);
        waveInClose(device_);
    }
    void Open() {
        const WAVEFORMATEX format = MonoPCM16(8000);
        ASSERT_EQ(waveInOpen(&device_, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(&Record),
                             reinterpret_cast<DWORD_PTR>(&log_), CALLBACK_FUNCTION),
                  MMSYSERR_NOERROR);
    }
    void Queue(WAVEHDR& header, std::vector<char>& buffer) {
        header = WAVEHDR{};
        header.lpData = buffer.data();
        header.dwBufferLength = static_cast<DWORD>(buffer.size());
        ASSERT_EQ(waveInPrepareHeader(device_, &header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        ASSERT_EQ(waveInAddBuffer(device_, &header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    }
    static void Feed(std::size_t bytes, std::uint8_t value) {
        const std::vector<std::uint8_t> data(bytes, value);
        TestWaveInFeed(data);
    }
    std::vector<Delivery> DataDeliveries() {
        std::vector<Delivery> data;
        for (const Delivery& d : log_.Take()) {
            if (d.message == MM_WIM_DATA)
                data.push_back(d);
        }
        return data;
    }
    Log log_;
    HWAVEIN device_ = nullptr;
};

TEST_F(WaveInDeviceTest, FullBuffersComeBackInQueueOrderOnTheCaptureThread) {
    Open();
    std::vector<char> a(100), b(100), spare(100);
    WAVEHDR ha, hb, hspare;
    Queue(ha, a);
    Queue(hb, b);
    Queue(hspare, spare);  // keeps the capture thread reading once a and b are full
    ASSERT_EQ(waveInStart(device_), MMSYSERR_NOERROR);
    Feed(100, 0x11);
    Feed(100, 0x22);
    ASSERT_TRUE(TestWaveInWaitDrained());

    const auto data = DataDeliveries();
    ASSERT_EQ(data.size(), 2u);
    EXPECT_EQ(data[0].header, &ha);
    EXPECT_EQ(data[1].header, &hb);
    EXPECT_EQ(data[0].bytes, 100u);
    EXPECT_NE(data[0].thread, std::this_thread::get_id());
    EXPECT_EQ(data[0].thread, data[1].thread);
    EXPECT_EQ(a, std::vector<char>(100, 0x11));
    EXPECT_EQ(b, std::vector<char>(100, 0x22));
    EXPECT_TRUE(ha.dwFlags & WHDR_DONE);
    EXPECT_FALSE(ha.dwFlags & WHDR_INQUEUE);

    EXPECT_EQ(waveInStop(device_), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInClose(device_), MMSYSERR_NOERROR);
    const auto all = log_.Take();
    ASSERT_GE(all.size(), 4u);
    EXPECT_EQ(all.front().message, MM_WIM_OPEN);
    EXPECT_EQ(all.back().message, MM_WIM_CLOSE);
}

TEST_F(WaveInDeviceTest, StopHandsBackThePartlyFilledAndTheEmptyBuffersBeforeReturning) {
    Open();
    std::vector<char> a(100), b(100);
    WAVEHDR ha, hb;
    Queue(ha, a);
    Queue(hb, b);
    ASSERT_EQ(waveInStart(device_), MMSYSERR_NOERROR);
    Feed(40, 0x33);
    ASSERT_TRUE(TestWaveInWaitDrained());
    EXPECT_TRUE(DataDeliveries().empty());

    ASSERT_EQ(waveInStop(device_), MMSYSERR_NOERROR);
    const auto data = DataDeliveries();
    ASSERT_EQ(data.size(), 2u);
    EXPECT_EQ(data[0].header, &ha);
    EXPECT_EQ(data[0].bytes, 40u);
    EXPECT_EQ(data[1].header, &hb);
    EXPECT_EQ(data[1].bytes, 0u);
    // Nothing is queued any more, so the headers can be released and the device closed.
    EXPECT_EQ(waveInUnprepareHeader(device_, &ha, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInClose(device_), MMSYSERR_NOERROR);
    EXPECT_EQ(TestWaveInGetCounts().openNow, 0);
}

TEST_F(WaveInDeviceTest, DeviceFailureHandsTheBuffersBackAndSaysWhy) {
    Open();
    std::vector<char> a(100), b(100);
    WAVEHDR ha, hb;
    Queue(ha, a);
    Queue(hb, b);
    ASSERT_EQ(waveInStart(device_), MMSYSERR_NOERROR);
    Feed(40, 0x55);
    ASSERT_TRUE(TestWaveInWaitDrained());
    EXPECT_EQ(WaveInFailure(device_), "");
    TestWaveInFail();
    for (int i = 0; i < 5000 && DataDeliveries().size() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const auto data = DataDeliveries();
    ASSERT_EQ(data.size(), 2u) << "no waveInStop was needed";
    EXPECT_EQ(data[0].header, &ha);
    EXPECT_EQ(data[0].bytes, 40u);
    EXPECT_EQ(data[1].bytes, 0u);
    EXPECT_EQ(WaveInFailure(device_), "the test device was unplugged");
    EXPECT_EQ(TestWaveInGetCounts().stops, 1);
    EXPECT_EQ(waveInStop(device_), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInClose(device_), MMSYSERR_NOERROR);
}

std::atomic<std::size_t> g_tapped{0};
void CALLBACK CountTap(DWORD_PTR, const BYTE*, DWORD bytes) {
    g_tapped += bytes;
}

TEST_F(WaveInDeviceTest, TapSeesTheBytesBeforeTheBufferIsFull) {
    Open();
    g_tapped = 0;
    ASSERT_EQ(WaveInSetTap(device_, &CountTap), MMSYSERR_NOERROR);
    std::vector<char> a(100);
    WAVEHDR ha;
    Queue(ha, a);
    ASSERT_EQ(waveInStart(device_), MMSYSERR_NOERROR);
    Feed(30, 1);
    ASSERT_TRUE(TestWaveInWaitDrained());
    EXPECT_EQ(g_tapped.load(), 30u);
    EXPECT_TRUE(DataDeliveries().empty());
    EXPECT_EQ(WaveInSetTap(nullptr, &CountTap), MMSYSERR_INVALHANDLE);
    // Stopped here: the buffer and its header go away with this function.
    EXPECT_EQ(waveInStop(device_), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInClose(device_), MMSYSERR_NOERROR);
}

TEST_F(WaveInDeviceTest, NoCallbackAfterCloseAndTheHandleIsDeadThen) {
    Open();
    std::vector<char> a(100);
    WAVEHDR ha;
    Queue(ha, a);
    ASSERT_EQ(waveInStart(device_), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInClose(device_), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveInUnprepareHeader(device_, &ha, sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
    ASSERT_EQ(waveInStop(device_), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInClose(device_), MMSYSERR_NOERROR);
    const std::size_t seen = log_.Take().size();

    Feed(1000, 0x44);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(log_.Take().size(), seen);
    EXPECT_EQ(waveInAddBuffer(device_, &ha, sizeof(WAVEHDR)), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInStart(device_), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInStop(device_), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInClose(device_), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInStop(nullptr), MMSYSERR_INVALHANDLE);
}

TEST_F(WaveInDeviceTest, RefusesBadArgumentsWithoutOpeningAnything) {
    HWAVEIN device = nullptr;
    const auto callback = reinterpret_cast<DWORD_PTR>(&Record);
    WAVEFORMATEX format = MonoPCM16(8000);
    EXPECT_EQ(waveInOpen(&device, 3, &format, callback, 0, CALLBACK_FUNCTION),
              MMSYSERR_BADDEVICEID);
    EXPECT_EQ(waveInOpen(&device, WAVE_MAPPER, nullptr, callback, 0, CALLBACK_FUNCTION),
              MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveInOpen(&device, WAVE_MAPPER, &format, callback, 0, 0x00050000),
              MMSYSERR_INVALFLAG);
    format.nBlockAlign = 4;  // does not match one 16-bit channel
    EXPECT_EQ(waveInOpen(&device, WAVE_MAPPER, &format, callback, 0, CALLBACK_FUNCTION),
              WAVERR_BADFORMAT);
    format = MonoPCM16(8000);
    format.wFormatTag = 0x0069;
    EXPECT_EQ(waveInOpen(&device, WAVE_MAPPER, &format, callback, 0, CALLBACK_FUNCTION),
              WAVERR_BADFORMAT);
    EXPECT_EQ(TestWaveInGetCounts().openAttempts, 0);

    Log log;
    format = MonoPCM16(8000);
    ASSERT_EQ(waveInOpen(&device, WAVE_MAPPER, &format, callback, reinterpret_cast<DWORD_PTR>(&log),
                         CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    std::vector<char> buffer(100);
    WAVEHDR header{};
    header.lpData = buffer.data();
    header.dwBufferLength = 100;
    EXPECT_EQ(waveInAddBuffer(device, &header, sizeof(WAVEHDR)), WAVERR_UNPREPARED);
    EXPECT_EQ(waveInPrepareHeader(device, &header, sizeof(WAVEHDR) - 1), MMSYSERR_INVALPARAM);
    ASSERT_EQ(waveInPrepareHeader(device, &header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInAddBuffer(device, &header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInAddBuffer(device, &header, sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
    WAVEHDR tooSmall = header;
    tooSmall.dwFlags = WHDR_PREPARED;
    tooSmall.dwBufferLength = 1;  // less than one 2-byte frame
    EXPECT_EQ(waveInAddBuffer(device, &tooSmall, sizeof(WAVEHDR)), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveInStop(device), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInClose(device), MMSYSERR_NOERROR);
}

// The pattern the recorder uses: each callback queues its buffer again at once, so the stream
// goes into consecutive buffers without a gap.
std::atomic<bool> g_requeue{true};

void CALLBACK Requeue(HWAVEIN device, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                      DWORD_PTR param2) {
    Record(device, message, instance, param1, param2);
    if (message == MM_WIM_DATA && g_requeue.load())
        waveInAddBuffer(device, reinterpret_cast<WAVEHDR*>(param1), sizeof(WAVEHDR));
}

TEST_F(WaveInDeviceTest, BufferQueuedAgainFromTheCallbackTakesTheNextBytes) {
    const WAVEFORMATEX format = MonoPCM16(8000);
    Log log;
    HWAVEIN device = nullptr;
    ASSERT_EQ(waveInOpen(&device, 0, &format, reinterpret_cast<DWORD_PTR>(&Requeue),
                         reinterpret_cast<DWORD_PTR>(&log), CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    std::vector<char> buffer(11, 0x7F);
    WAVEHDR header{};
    header.lpData = buffer.data();
    header.dwBufferLength = 11;  // the odd byte cannot hold a frame and is never filled
    ASSERT_EQ(waveInPrepareHeader(device, &header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInAddBuffer(device, &header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInStart(device), MMSYSERR_NOERROR);
    std::vector<std::uint8_t> input(50);
    for (std::size_t i = 0; i < input.size(); ++i)
        input[i] = static_cast<std::uint8_t>(i);
    TestWaveInFeed(input);
    ASSERT_TRUE(TestWaveInWaitDrained());
    EXPECT_EQ(log.Take().size(), 1u + 5u);  // open, then five full buffers
    EXPECT_EQ(static_cast<std::uint8_t>(buffer[0]), 40);
    EXPECT_EQ(buffer[10], 0x7F);
    g_requeue = false;
    EXPECT_EQ(waveInStop(device), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInClose(device), MMSYSERR_NOERROR);
    g_requeue = true;
}

}  // namespace
}  // namespace imabox
