// The recorder's exports as a host finds them in libimabox.so, on the test ALSA configurations.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "recording_file.hpp"

namespace imabox {
namespace {

using testing::ExpectRecordingOf;
using testing::ReadBytes;
using testing::ScratchDir;

using StartFn = std::int32_t (*)(const wchar_t*);
using StopFn = std::int32_t (*)();

const std::filesystem::path kALSADir = IMABOX_ALSA_TEST_DIR;

class RecorderSharedLibraryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        handle_ = dlopen(IMABOX_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle_, nullptr) << dlerror();
        start_ = reinterpret_cast<StartFn>(dlsym(handle_, "XBoxADPCMSoundRecorderStart"));
        stop_ = reinterpret_cast<StopFn>(dlsym(handle_, "XBoxADPCMSoundRecorderStop"));
        ASSERT_NE(start_, nullptr);
        ASSERT_NE(stop_, nullptr);
    }
    void TearDown() override {
        if (stop_ != nullptr)
            stop_();
        if (handle_ != nullptr)
            dlclose(handle_);
    }
    static void UseALSAConfig(const char* name) {
        ASSERT_EQ(::setenv("ALSA_CONFIG_PATH", (kALSADir / name).c_str(), 1), 0);
    }
    void* handle_ = nullptr;
    StartFn start_ = nullptr;
    StopFn stop_ = nullptr;
    ScratchDir dir_;
};

TEST_F(RecorderSharedLibraryTest, RecordsFromTheDefaultCaptureDevice) {
    UseALSAConfig("capture-file.conf");
    const auto input = ReadBytes(kALSADir / "capture-input.raw");
    const auto path = dir_ / "host.wav";
    EXPECT_EQ(stop_(), 0);
    ASSERT_EQ(start_(path.wstring().c_str()), 999);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::int32_t seconds = stop_();
    ASSERT_GE(seconds, 0);
    const auto file = ReadBytes(path);
    ExpectRecordingOf(file, static_cast<std::uint32_t>(seconds));
    const std::size_t compared = std::min(file.size() - 44, input.size());
    EXPECT_TRUE(std::equal(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(compared),
                           file.begin() + 44));
    EXPECT_EQ(stop_(), 0);
}

TEST_F(RecorderSharedLibraryTest, NoCaptureDeviceGives1) {
    UseALSAConfig("no-capture.conf");
    const auto path = dir_ / "none.wav";
    EXPECT_EQ(start_(path.wstring().c_str()), 1);
    EXPECT_EQ(stop_(), 0);
    ExpectRecordingOf(ReadBytes(path), 0);
}

}  // namespace
}  // namespace imabox
