// SPDX-License-Identifier: MIT
// The waveform-audio input interface the sound recorder is written against.
//
// On Windows this is the system's own (winmm). Elsewhere the same names, types, constants and
// signatures are declared here and implemented by the capture layer in this directory
// (wave_in_device.cpp with an ALSA or a test backend). Nothing of it is exported.
#pragma once

#if defined(_WIN32)

// mmsystem.h needs the types of windows.h first.
// clang-format off
#include <windows.h>
#include <mmsystem.h>
// clang-format on

#else

#include <cstdint>
#include <string>
#include <vector>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = unsigned int;
using DWORD_PTR = std::uintptr_t;
using LPSTR = char*;
using MMRESULT = UINT;

// An open input device. Opaque: only the capture layer knows what it points at.
struct HWAVEIN__;
using HWAVEIN = HWAVEIN__*;
using LPHWAVEIN = HWAVEIN*;

// The device format. Only PCM (tag 1) with 8 or 16 bits per sample is accepted.
struct WAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;
};
using LPCWAVEFORMATEX = const WAVEFORMATEX*;

// A capture buffer descriptor. The layer fills lpData and sets dwBytesRecorded and dwFlags.
struct wavehdr_tag {
    LPSTR lpData;
    DWORD dwBufferLength;
    DWORD dwBytesRecorded;
    DWORD_PTR dwUser;
    DWORD dwFlags;
    DWORD dwLoops;
    wavehdr_tag* lpNext;
    DWORD_PTR reserved;
};
using WAVEHDR = wavehdr_tag;
using LPWAVEHDR = WAVEHDR*;

// Calling-convention marker of the callback; empty outside Windows.
#define CALLBACK

// The callback's signature: device, message, instance data, and for MM_WIM_DATA the WAVEHDR*
// in param1.
using WaveInCallback = void (*)(HWAVEIN, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

inline constexpr UINT WAVE_MAPPER = static_cast<UINT>(-1);
inline constexpr DWORD CALLBACK_FUNCTION = 0x00030000;
inline constexpr DWORD CALLBACK_TYPEMASK = 0x00070000;
inline constexpr DWORD CALLBACK_NULL = 0x00000000;
inline constexpr WORD WAVE_FORMAT_PCM = 1;

inline constexpr UINT MM_WIM_OPEN = 0x3BE;
inline constexpr UINT MM_WIM_CLOSE = 0x3BF;
inline constexpr UINT MM_WIM_DATA = 0x3C0;

inline constexpr DWORD WHDR_DONE = 0x00000001;
inline constexpr DWORD WHDR_PREPARED = 0x00000002;
inline constexpr DWORD WHDR_INQUEUE = 0x00000010;

inline constexpr MMRESULT MMSYSERR_NOERROR = 0;
inline constexpr MMRESULT MMSYSERR_ERROR = 1;
inline constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
inline constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
inline constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
inline constexpr MMRESULT MMSYSERR_NODRIVER = 6;
inline constexpr MMRESULT MMSYSERR_NOMEM = 7;
inline constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
inline constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
inline constexpr MMRESULT WAVERR_BADFORMAT = 32;
inline constexpr MMRESULT WAVERR_STILLPLAYING = 33;
inline constexpr MMRESULT WAVERR_UNPREPARED = 34;

// Opens the default capture device (only WAVE_MAPPER, or device 0, is known) for `format`.
// With CALLBACK_FUNCTION, `callback` is a WaveInCallback called with `instance`: MM_WIM_OPEN
// and MM_WIM_CLOSE on the calling thread of waveInOpen/waveInClose, MM_WIM_DATA on the capture
// thread each time a buffer is handed back.
MMRESULT waveInOpen(LPHWAVEIN device, UINT deviceId, LPCWAVEFORMATEX format, DWORD_PTR callback,
                    DWORD_PTR instance, DWORD flags);
MMRESULT waveInPrepareHeader(HWAVEIN device, LPWAVEHDR header, UINT headerSize);
MMRESULT waveInUnprepareHeader(HWAVEIN device, LPWAVEHDR header, UINT headerSize);
// Queues a prepared buffer. A full buffer is handed back with MM_WIM_DATA. May be called from
// the callback.
MMRESULT waveInAddBuffer(HWAVEIN device, LPWAVEHDR header, UINT headerSize);
MMRESULT waveInStart(HWAVEIN device);
// Ends capture and hands every queued buffer back with MM_WIM_DATA, the partly filled one with
// the bytes it holds. Returns once they have all been handed back.
MMRESULT waveInStop(HWAVEIN device);
// Releases the device. Fails with WAVERR_STILLPLAYING while buffers are queued. Once it has
// returned MMSYSERR_NOERROR, the capture thread is gone and no callback runs any more.
MMRESULT waveInClose(HWAVEIN device);

// Beyond the waveform-audio input interface: what this layer adds for the recorder.
namespace imabox {

struct WaveInDeviceName {
    std::string name;         // what WaveInOpenByName takes
    std::string description;  // for people; may be empty
};

// The capture devices the backend knows.
std::vector<WaveInDeviceName> WaveInListDevices();

// waveInOpen for the capture device `name` (the backend's default device when empty).
MMRESULT WaveInOpenByName(LPHWAVEIN device, const std::string& name, LPCWAVEFORMATEX format,
                          DWORD_PTR callback, DWORD_PTR instance, DWORD flags);

// When the device fails for good while capturing (a sound server that died, a device unplugged),
// the capture thread hands every queued buffer back with MM_WIM_DATA and the bytes it holds, so
// that a buffer comes back less than full without a waveInStop; buffers queued after that stay
// queued until waveInStop. WaveInFailure then says what failed; before, it is empty.
std::string WaveInFailure(HWAVEIN device);

// Called on the capture thread with each piece of captured bytes as it arrives, before the
// buffer holding it is full. Set before waveInStart; nullptr removes it.
using WaveInTap = void (*)(DWORD_PTR instance, const BYTE* data, DWORD bytes);
MMRESULT WaveInSetTap(HWAVEIN device, WaveInTap tap);

}  // namespace imabox

#endif
