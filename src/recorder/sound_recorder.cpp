// The sound recorder: captures the default audio input as 16-bit mono PCM at 8000 Hz into a WAVE
// file, one whole second per buffer, through the waveform-audio input interface.
//
// Start opens the file, writes a placeholder header and starts the device with one queued
// one-second buffer. The device's callback copies each full buffer aside, queues the capture
// buffer again and appends the copy to the file. Stop raises the stop flag (so the partly filled
// buffer the device hands back is discarded), closes the device, writes the final header and
// closes the file.
//
// The state is module-wide: one recording per process. Start and Stop are serialised by a lock.
// The callback shares only the atomic stop flag and buffer counter with them; the device's close
// guarantee (no callback runs once waveInClose has returned, and waveInStop waits for a callback
// in progress) keeps its file writes apart from Stop's.
#include "recorder/sound_recorder.hpp"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "imabox/recorder.hpp"
#include "imabox/xbox_audio.h"
#include "io/file.hpp"
#include "io/wide_path.hpp"

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
// Set by the callback after a failed write: the file may hold part of a buffer past the last
// whole one, so the next write goes back to the end of the whole ones.
bool g_writeFailed = false;

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

// Appends the copy buffer after the `buffers` whole seconds already in the file. The file is
// unbuffered, so a write that returns has reached the system, and a failed one is known here.
bool AppendCopyBuffer(std::uint32_t buffers) {
    std::FILE* file = g_file.get();
    if (g_writeFailed && !SeekTo(file, FileSizeFor(buffers)))
        return false;
    if (std::fwrite(g_copyBuffer, 2, kRecorderBufferBytes / 2, file) != kRecorderBufferBytes / 2) {
        std::clearerr(file);
        g_writeFailed = true;
        return false;
    }
    g_writeFailed = false;
    return true;
}

}  // namespace

std::int32_t SoundRecorderOpenDevice() {
    g_stopFlag.store(0);

    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = 1;
    format.nSamplesPerSec = kRecorderSampleRate;
    format.nAvgBytesPerSec = kRecorderSampleRate * 2;
    format.nBlockAlign = 2;
    format.wBitsPerSample = 16;
    format.cbSize = 0;
    if (waveInOpen(&g_device, WAVE_MAPPER, &format,
                   reinterpret_cast<DWORD_PTR>(&SoundRecorderCallback), 0,
                   CALLBACK_FUNCTION) != MMSYSERR_NOERROR)
        return kRecorderDeviceOpenFailed;

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
    if (message != MM_WIM_DATA || g_stopFlag.load() != 0)
        return;
    std::memcpy(g_copyBuffer, g_captureBuffer, kRecorderBufferBytes);
    g_header.dwBytesRecorded = 0;
    waveInAddBuffer(device, &g_header, sizeof(WAVEHDR));
    // Only this callback adds to the counter, so it cannot change between load and add.
    const std::uint32_t buffers = g_bufferCount.load();
    if (buffers >= g_bufferLimit.load())
        return;  // the requested length, or as long as a WAVE header can declare
    if (AppendCopyBuffer(buffers))
        g_bufferCount.fetch_add(1);
}

std::int32_t StartRecording(const std::filesystem::path& path, std::uint32_t maxSeconds) {
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
    g_writeFailed = false;

    const std::int32_t result = SoundRecorderOpenDevice();
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
