// SPDX-License-Identifier: MIT
#include "recorder/wave_in_test_backend.hpp"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>

#include "recorder/wave_in_backend.hpp"

namespace imabox {
namespace {

struct TestInput {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::uint8_t> pending;
    int readersWaiting = 0;
    TestWaveInFaults faults;
    TestWaveInCounts counts;
    std::string lastDeviceName;
    bool failNow = false;  // the next Read fails for good
};

TestInput& Input() {
    static TestInput input;
    return input;
}

class TestBackend final : public WaveInBackend {
  public:
    ~TestBackend() override {
        if (open_) {
            const std::lock_guard lock(Input().mutex);
            --Input().counts.openNow;
        }
    }

    MMRESULT Open(const WAVEFORMATEX& format, std::string_view name) override {
        TestInput& in = Input();
        const std::lock_guard lock(in.mutex);
        ++in.counts.openAttempts;
        in.lastDeviceName = std::string(name);
        if (!name.empty() && name != kTestDeviceName)
            return MMSYSERR_BADDEVICEID;
        if (in.faults.open != MMSYSERR_NOERROR)
            return in.faults.open;
        frameBytes_ = format.nBlockAlign;
        open_ = true;
        ++in.counts.opens;
        ++in.counts.openNow;
        return MMSYSERR_NOERROR;
    }

    MMRESULT Queue() override {
        const std::lock_guard lock(Input().mutex);
        return Input().faults.queue;
    }

    MMRESULT Start() override {
        TestInput& in = Input();
        const std::lock_guard lock(in.mutex);
        if (in.faults.start != MMSYSERR_NOERROR)
            return in.faults.start;
        ++in.counts.starts;
        return MMSYSERR_NOERROR;
    }

    void Stop() override {
        const std::lock_guard lock(Input().mutex);
        ++Input().counts.stops;
    }

    std::ptrdiff_t Read(std::span<std::uint8_t> out) override {
        TestInput& in = Input();
        std::unique_lock lock(in.mutex);
        ++in.readersWaiting;
        in.changed.notify_all();
        in.changed.wait(
            lock, [&] { return interrupted_ || in.failNow || in.pending.size() >= frameBytes_; });
        --in.readersWaiting;
        if (in.failNow) {
            in.failNow = false;
            return -1;
        }
        if (interrupted_) {
            interrupted_ = false;
            return 0;
        }
        std::size_t n = std::min(out.size(), in.pending.size());
        n -= n % frameBytes_;
        std::copy_n(in.pending.begin(), n, out.begin());
        in.pending.erase(in.pending.begin(), in.pending.begin() + static_cast<std::ptrdiff_t>(n));
        in.changed.notify_all();
        return static_cast<std::ptrdiff_t>(n);
    }

    void Interrupt() override {
        const std::lock_guard lock(Input().mutex);
        interrupted_ = true;
        Input().changed.notify_all();
    }

    std::string FailureText() override { return "the test device was unplugged"; }

  private:
    bool open_ = false;
    bool interrupted_ = false;  // guarded by Input().mutex
    std::size_t frameBytes_ = 1;
};

}  // namespace

std::unique_ptr<WaveInBackend> CreateWaveInBackend() {
    return std::make_unique<TestBackend>();
}

std::vector<WaveInDeviceName> ListWaveInBackendDevices() {
    return {{std::string(kTestDeviceName), "The scripted test input"}};
}

std::string TestWaveInLastDeviceName() {
    const std::lock_guard lock(Input().mutex);
    return Input().lastDeviceName;
}

void TestWaveInFail() {
    TestInput& in = Input();
    const std::lock_guard lock(in.mutex);
    in.failNow = true;
    in.changed.notify_all();
}

void TestWaveInReset() {
    TestInput& in = Input();
    const std::lock_guard lock(in.mutex);
    in.pending.clear();
    in.faults = {};
    in.failNow = false;
    in.lastDeviceName.clear();
    const int openNow = in.counts.openNow;
    in.counts = {};
    in.counts.openNow = openNow;
}

void TestWaveInSetFaults(const TestWaveInFaults& faults) {
    const std::lock_guard lock(Input().mutex);
    Input().faults = faults;
}

TestWaveInCounts TestWaveInGetCounts() {
    const std::lock_guard lock(Input().mutex);
    return Input().counts;
}

void TestWaveInFeed(std::span<const std::uint8_t> bytes) {
    TestInput& in = Input();
    const std::lock_guard lock(in.mutex);
    in.pending.insert(in.pending.end(), bytes.begin(), bytes.end());
    in.changed.notify_all();
}

bool TestWaveInWaitDrained(std::chrono::milliseconds timeout) {
    TestInput& in = Input();
    std::unique_lock lock(in.mutex);
    return in.changed.wait_for(lock, timeout,
                               [&] { return in.pending.empty() && in.readersWaiting > 0; });
}

}  // namespace imabox
