// SPDX-License-Identifier: MIT
// The recorder's exports as a host finds them in libimabox.so, on the test ALSA configurations.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

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

// A host that ends while a recording is open, by returning from main (exit) or after unloading
// the library: the process ends with its own status, and the file is a valid recording of its
// whole seconds.
TEST_F(RecorderSharedLibraryTest, HostEndingWhileRecordingExitsWithItsOwnStatus) {
    UseALSAConfig("capture-file.conf");
    for (const bool unload : {false, true}) {
        const auto path = dir_ / (unload ? "unloaded.wav" : "exited.wav");
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (start_(path.wstring().c_str()) != 999)
                _exit(3);
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            if (unload) {
                dlclose(handle_);
                _exit(7);
            }
            std::exit(7);  // static destructors and exit handlers run, as when main returns
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << (unload ? "unload: " : "exit: ") << "ended by signal "
                                       << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        EXPECT_EQ(WEXITSTATUS(status), 7);
        const auto file = ReadBytes(path);
        ASSERT_GE(file.size(), 44u);
        ExpectRecordingOf(file, static_cast<std::uint32_t>((file.size() - 44) / 16000));
    }
}

}  // namespace
}  // namespace imabox
