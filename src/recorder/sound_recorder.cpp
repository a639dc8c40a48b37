// SPDX-License-Identifier: MIT
// The sound recorder: captures an audio input as 16-bit mono PCM at 8000 Hz into a WAVE file,
// one whole second per buffer, through the waveform-audio input interface.
//
// Start opens the file, writes a placeholder header and starts the device with one queued
// one-second buffer. The device's callback copies each full buffer aside, queues the capture
// buffer again, appends the copy to the file and rewrites the header for the seconds now in it,
// so that the file is a valid recording of its whole seconds at every moment after the first
// (a process that ends without Stop, by exit, a signal or a power loss, leaves it so). Stop
// raises the stop flag (so the partly filled buffer the device hands back is discarded), closes
// the device, writes the final header and closes the file.
//
// A failed write, or a device that fails for good (it hands the buffer back less than full
// without a stop), ends the recording: the callback stops taking and queuing buffers and records
// why, for RecordingFailure, and the file keeps the whole seconds before it.
//
// The state is module-wide: one recording per process. Start and Stop are serialised by a lock.
// The callback shares only the atomic stop flag, failure flag and buffer counter with them; the
// device's close guarantee (no callback runs once waveInClose has returned, and waveInStop waits
// for a callback in progress) keeps its file writes apart from Stop's. A recording still open when
// the process exits or the library is unloaded is stopped then, before the state goes away.
#include "recorder/sound_recorder.hpp"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "imabox/recorder.hpp"
#include "imabox/xbox_audio.h"
#include "io/file.hpp"
#include "io/wide_path.hpp"
#include "recorder/level_meter.hpp"

#if defined(_WIN32)
#include <io.h>
#else
#include <sys/types.h>
#include <unistd.h>
#endif

namespace imabox {

std::array<std::uint8_t, kPCMHeaderBytes> SoundRecorderHeader{};

namespace {

enum class RecorderState { Idle, Recording, StartFailed };

std::mutex g_controlMutex;  // held by Start and Stop
RecorderState g_state = RecorderState::Idle;
FileHandle g_file;
HWAVEIN g_device = nullptr;
WAVEHDR g_header{};
char g_captureBuffer[kRecorderBufferBytes];
char g_copyBuffer[kRecorderBufferBytes];
std::atomic<std::uint32_t> g_stopFlag{0};
std::atomic<std::uint32_t> g_bufferCount{0};
std::atomic<std::uint32_t> g_bufferLimit{kRecorderMaxBuffers};
// Set once by the callback when the recording can take no more; g_failure says why.
std::atomic<bool> g_failed{false};
std::mutex g_failureMutex;
std::string g_failure;
LevelMeter g_meter;

std::uint64_t FileSizeFor(std::uint32_t buffers) {
    return kPCMHeaderBytes + std::uint64_t{buffers} * kRecorderBufferBytes;
}

bool SeekTo(std::FILE* file, std::uint64_t offset) {
#if defined(_WIN32)
    return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
#else
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

bool TruncateTo(std::FILE* file, std::uint64_t size) {
    if (std::fflush(file) != 0)
        return false;
#if defined(_WIN32)
    return _chsize_s(_fileno(file), static_cast<__int64>(size)) == 0;
#else
    return ftruncate(fileno(file), static_cast<off_t>(size)) == 0;
#endif
}

// Called on the capture thread only, and at most once per recording.
void Fail(std::string why) {
    {
        const std::lock_guard lock(g_failureMutex);
        g_failure = std::move(why);
    }
    g_failed.store(true);
}

std::string WriteFailure(const char* what, int error) {
    return std::string(what) + ": " + (error != 0 ? std::strerror(error) : "unknown error");
}

// Appends the copy buffer after the `buffers` whole seconds already in the file, then rewrites
// the header for buffers + 1. The file is unbuffered, so a write that returns has reached the
// system, and a failed one is known here. Data first: the header never counts more than is there.
bool AppendCopyBuffer(std::uint32_t buffers) {
    std::FILE* file = g_file.get();
    errno = 0;
    if (!SeekTo(file, FileSizeFor(buffers)) ||
        std::fwrite(g_copyBuffer, 2, kRecorderBufferBytes / 2, file) != kRecorderBufferBytes / 2) {
        const int error = errno;
        std::clearerr(file);
        Fail(WriteFailure("cannot write the recording", error));
        return false;
    }
    const auto header =
        BuildPCMWaveHeader(1, kRecorderSampleRate, (buffers + 1) * kRecorderBufferBytes);
    errno = 0;
    if (!SeekTo(file, 0) ||
        std::fwrite(header.data(), 1, kPCMHeaderBytes, file) != kPCMHeaderBytes) {
        const int error = errno;
        std::clearerr(file);
        Fail(WriteFailure("cannot update the recording's header", error));
        return false;
    }
    return true;
}

#if defined(_WIN32)
std::string DeviceFailure(HWAVEIN) {
    return "the audio input device stopped delivering";
}

// Names of the waveform-audio input devices, by number.
std::vector<std::string> WindowsDeviceNames() {
    std::vector<std::string> names;
    const UINT count = waveInGetNumDevs();
    for (UINT id = 0; id < count; ++id) {
        WAVEINCAPSW caps{};
        std::string name;
        if (waveInGetDevCapsW(id, &caps, sizeof caps) == MMSYSERR_NOERROR) {
            for (const wchar_t* c = caps.szPname; *c != L'\0'; ++c)
                name += *c < 0x80 ? static_cast<char>(*c) : '?';
        }
        names.push_back(std::move(name));
    }
    return names;
}

// A device number, or the first device whose name starts with `device`.
bool FindWindowsDevice(const std::string& device, UINT& id) {
    if (device.find_first_not_of("0123456789") == std::string::npos && device.size() < 6) {
        id = static_cast<UINT>(std::stoul(device));
        return true;
    }
    const auto names = WindowsDeviceNames();
    for (UINT i = 0; i < names.size(); ++i) {
        if (names[i].compare(0, device.size(), device) == 0) {
            id = i;
            return true;
        }
    }
    return false;
}
#else
std::string DeviceFailure(HWAVEIN device) {
    std::string why = WaveInFailure(device);
    return "the audio input device failed: " +
           (why.empty() ? std::string("it stopped delivering") : why);
}

void CALLBACK MeterTap(DWORD_PTR, const BYTE* data, DWORD bytes) {
    g_meter.Add(std::span(data, bytes));
}
#endif

}  // namespace

std::int32_t SoundRecorderOpenDevice(const std::string& device) {
    g_stopFlag.store(0);

    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = 1;
    format.nSamplesPerSec = kRecorderSampleRate;
    format.nAvgBytesPerSec = kRecorderSampleRate * 2;
    format.nBlockAlign = 2;
    format.wBitsPerSample = 16;
    format.cbSize = 0;
    const auto callback = reinterpret_cast<DWORD_PTR>(&SoundRecorderCallback);
#if defined(_WIN32)
    UINT id = WAVE_MAPPER;
    if (!device.empty() && !FindWindowsDevice(device, id))
        return kRecorderDeviceOpenFailed;
    if (waveInOpen(&g_device, id, &format, callback, 0, CALLBACK_FUNCTION) != MMSYSERR_NOERROR)
        return kRecorderDeviceOpenFailed;
#else
    const MMRESULT opened =
        device.empty()
            ? waveInOpen(&g_device, WAVE_MAPPER, &format, callback, 0, CALLBACK_FUNCTION)
            : WaveInOpenByName(&g_device, device, &format, callback, 0, CALLBACK_FUNCTION);
    if (opened != MMSYSERR_NOERROR)
        return kRecorderDeviceOpenFailed;
    WaveInSetTap(g_device, &MeterTap);
#endif

    g_header = WAVEHDR{};
    g_header.lpData = g_captureBuffer;
    g_header.dwBufferLength = kRecorderBufferBytes;
    g_header.dwBytesRecorded = 0;
    g_header.dwUser = 0;
    g_header.dwFlags = 0;
    g_header.dwLoops = 0;
    waveInPrepareHeader(g_device, &g_header, sizeof(WAVEHDR));

    if (waveInAddBuffer(g_device, &g_header, sizeof(WAVEHDR)) != MMSYSERR_NOERROR)
        return kRecorderBufferQueueFailed;
    if (waveInStart(g_device) != MMSYSERR_NOERROR)
        return kRecorderDeviceStartFailed;
    return kRecorderStarted;
}

void CALLBACK SoundRecorderCallback(HWAVEIN device, UINT message, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
    if (message != MM_WIM_DATA || g_stopFlag.load() != 0 || g_failed.load())
        return;
    // Without a stop, a buffer comes back less than full only when the device has failed.
    if (g_header.dwBytesRecorded < kRecorderBufferBytes) {
        Fail(DeviceFailure(device));
        return;
    }
    std::memcpy(g_copyBuffer, g_captureBuffer, kRecorderBufferBytes);
    g_header.dwBytesRecorded = 0;
    if (waveInAddBuffer(device, &g_header, sizeof(WAVEHDR)) != MMSYSERR_NOERROR)
        Fail("the audio input device refused the capture buffer");
#if defined(_WIN32)
    g_meter.Add(
        std::span(reinterpret_cast<const std::uint8_t*>(g_copyBuffer), kRecorderBufferBytes));
#endif
    // Only this callback adds to the counter, so it cannot change between load and add.
    const std::uint32_t buffers = g_bufferCount.load();
    if (buffers >= g_bufferLimit.load())
        return;  // the requested length, or as long as a WAVE header can declare
    if (AppendCopyBuffer(buffers))
        g_bufferCount.fetch_add(1);
}

std::int32_t StartRecording(const std::filesystem::path& path, std::uint32_t maxSeconds,
                            const std::string& device) {
    const std::lock_guard lock(g_controlMutex);
    if (g_state != RecorderState::Idle)
        return kRecorderBusy;
    g_bufferCount.store(0);
    g_bufferLimit.store(maxSeconds == 0 || maxSeconds > kRecorderMaxBuffers ? kRecorderMaxBuffers
                                                                            : maxSeconds);

    FileHandle file = OpenFile(path, "wb");
    if (!file)
        return kRecorderFileFailed;
    // Unbuffered: every write reaches the system at once and reports its own failure.
    std::setvbuf(file.get(), nullptr, _IONBF, 0);
    if (std::fwrite(SoundRecorderHeader.data(), kPCMHeaderBytes, 1, file.get()) != 1)
        return kRecorderFileFailed;
    g_file = std::move(file);
    {
        const std::lock_guard failureLock(g_failureMutex);
        g_failure.clear();
    }
    g_failed.store(false);
    g_meter.Reset();

    const std::int32_t result = SoundRecorderOpenDevice(device);
    g_state = result == kRecorderStarted ? RecorderState::Recording : RecorderState::StartFailed;
    return result;
}

std::int32_t StopRecording() {
    const std::lock_guard lock(g_controlMutex);
    if (g_state == RecorderState::Idle)
        return 0;
    g_stopFlag.store(1);
    waveInStop(g_device);
    waveInUnprepareHeader(g_device, &g_header, sizeof(WAVEHDR));
    waveInClose(g_device);
    g_device = nullptr;

    const std::uint32_t buffers = g_bufferCount.load();
    SoundRecorderHeader =
        BuildPCMWaveHeader(1, kRecorderSampleRate, buffers * kRecorderBufferBytes);
    std::FILE* file = g_file.get();
    if (SeekTo(file, 0))
        std::fwrite(SoundRecorderHeader.data(), 1, kPCMHeaderBytes, file);
    // Drops whatever a failed write left past the last whole second.
    TruncateTo(file, FileSizeFor(buffers));
    CloseFile(std::move(g_file));
    g_state = RecorderState::Idle;
    return static_cast<std::int32_t>(buffers);
}

std::int32_t RecordedSeconds() {
    return static_cast<std::int32_t>(g_bufferCount.load());
}

std::string RecordingFailure() {
    if (!g_failed.load())
        return {};
    const std::lock_guard lock(g_failureMutex);
    return g_failure;
}

InputLevel CurrentInputLevel() {
    return g_meter.Read();
}

std::vector<CaptureDevice> ListCaptureDevices() {
    std::vector<CaptureDevice> devices;
#if defined(_WIN32)
    const auto names = WindowsDeviceNames();
    for (std::size_t id = 0; id < names.size(); ++id)
        devices.push_back({std::to_string(id), names[id]});
#else
    for (WaveInDeviceName& device : WaveInListDevices())
        devices.push_back({std::move(device.name), std::move(device.description)});
#endif
    return devices;
}

std::string_view RecorderResultMessage(std::int32_t result) {
    switch (result) {
        case kRecorderStarted:
            return "recording";
        case kRecorderDeviceOpenFailed:
            return "cannot open the audio input device (there is none, or it is busy)";
        case kRecorderBufferQueueFailed:
            return "the audio input device refused the capture buffer";
        case kRecorderDeviceStartFailed:
            return "the audio input device would not start";
        case kRecorderFileFailed:
            return "cannot create or write the output file";
        case kRecorderBusy:
            return "a recording is already running";
        default:
            return "unknown recorder result";
    }
}

#if !defined(_WIN32)
namespace {

// Stops a recording still open when the process exits or the library is unloaded. Defined after
// the state above, so it runs before any of it is destroyed. (Not on Windows: there the system
// has ended the device's threads before, and forbids device calls while a library unloads; the
// header written each second keeps the file valid.)
struct StopAtExit {
    ~StopAtExit() {
        try {
            StopRecording();
        } catch (...) {
        }
    }
};
const StopAtExit g_stopAtExit;

}  // namespace
#endif
}  // namespace imabox

extern "C" IMABOX_API int32_t XBoxADPCMSoundRecorderStart(const wchar_t* path) {
    try {
        return imabox::StartRecording(imabox::WidePathToFilesystem(path));
    } catch (...) {  // the path could not be converted
        return imabox::kRecorderFileFailed;
    }
}

extern "C" IMABOX_API int32_t XBoxADPCMSoundRecorderStop(void) {
    try {
        return imabox::StopRecording();
    } catch (...) {
        return 0;
    }
}
