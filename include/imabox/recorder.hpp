// SPDX-License-Identifier: MIT
// imabox C++ API for the sound recorder: the functions behind XBoxADPCMSoundRecorderStart and
// XBoxADPCMSoundRecorderStop, with a native path and a choice of device, plus the progress, the
// input level and the failure of a running recording.
//
// The recorder captures an audio input (ALSA's "default" capture PCM on Linux unless another is
// named) as 16-bit mono PCM at 8000 Hz into a WAVE file, one second at a time. There is one
// recorder per process. The file's header is rewritten as each whole second is completed, so a
// recording cut off by the end of the process holds its whole seconds.
#pragma once

#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace imabox {

// Results of StartRecording (and XBoxADPCMSoundRecorderStart).
inline constexpr std::int32_t kRecorderStarted = 999;
inline constexpr std::int32_t kRecorderDeviceOpenFailed = 1;   // no, or a busy, capture device
inline constexpr std::int32_t kRecorderBufferQueueFailed = 2;  // the device refused the buffer
inline constexpr std::int32_t kRecorderDeviceStartFailed = 3;  // the device would not start
inline constexpr std::int32_t kRecorderFileFailed = 4;         // the file cannot be written
inline constexpr std::int32_t kRecorderBusy = 5;               // a recording is already open

// Creates `path` and starts recording into it. On 1, 2 or 3 the file holds its placeholder header
// and still has to be finished by StopRecording, which makes it a valid empty recording. On 4
// no device was touched, but a file that opened and then refused its header is left created (or
// emptied); on 5 nothing changed and the running recording goes on undisturbed.
// With maxSeconds > 0 the file takes that many seconds at most, however fast the device
// delivers; the capture runs on until StopRecording. 0 means no limit but the ~74 hours one WAVE
// file can declare. `device` names the capture device: an ALSA PCM name on Linux ("default",
// "pulse", "hw:1,0", "plughw:1"); on Windows a device number or the start of a device's name.
// Empty means the default device.
std::int32_t StartRecording(const std::filesystem::path& path, std::uint32_t maxSeconds = 0,
                            const std::string& device = {});

// Stops the recording, finishes the file's header and closes it. Returns the whole seconds in
// the file; the part of a second captured last is discarded. Returns 0 when nothing is open.
std::int32_t StopRecording();

// The whole seconds written so far by the current (or the last) recording.
std::int32_t RecordedSeconds();

// Why the current (or the last) recording stopped taking audio before StopRecording was called:
// a write to the file failed, or the capture device failed for good. Empty while nothing failed.
// The whole seconds before the failure stay in the file; StopRecording is still to be called.
std::string RecordingFailure();

// The input level of the current recording.
struct InputLevel {
    double peakDbfs = -std::numeric_limits<double>::infinity();  // last quarter second
    bool clipping = false;  // a sample at full scale within the last second
    bool silence = false;   // the last second, at least, held only zero samples
};
InputLevel CurrentInputLevel();

// A capture device, by the name StartRecording takes.
struct CaptureDevice {
    std::string name;
    std::string description;
};
// The capture devices the system knows (on Linux, those of ALSA's device hints).
std::vector<CaptureDevice> ListCaptureDevices();

// A short description of a StartRecording result.
std::string_view RecorderResultMessage(std::int32_t result);

}  // namespace imabox
