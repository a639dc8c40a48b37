// SPDX-License-Identifier: MIT
// The source of captured bytes behind the waveform-audio input layer (non-Windows).
//
// wave_in_device.cpp owns the device handles, the buffer queue, the capture thread and every
// callback; a backend only produces bytes. Exactly one backend is linked into a binary: ALSA
// (wave_in_alsa.cpp) for the library and the tool, or the scripted one (wave_in_test_backend.cpp)
// for tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "recorder/wave_in.hpp"

namespace imabox {

class WaveInBackend {
  public:
    virtual ~WaveInBackend() = default;

    // Opens the capture device `name` (the backend's default when empty) for the (already
    // validated) PCM format.
    virtual MMRESULT Open(const WAVEFORMATEX& format, std::string_view name) = 0;
    // Accepts a buffer into the queue; a backend may refuse it.
    virtual MMRESULT Queue() { return MMSYSERR_NOERROR; }
    // Begins capture. Called while the capture thread is not reading.
    virtual MMRESULT Start() = 0;
    // Ends capture. Called on the capture thread, after its last Read.
    virtual void Stop() = 0;
    // Waits until captured bytes are available, then copies up to out.size() of them (a whole
    // number of frames). Returns the byte count, 0 when Interrupt() cut the wait short, or -1 once
    // the device has failed for good. Only the capture thread calls it.
    virtual std::ptrdiff_t Read(std::span<std::uint8_t> out) = 0;
    // Makes a running or the next Read return promptly. Callable from any thread.
    virtual void Interrupt() = 0;
    // Once Read has returned -1: what failed, in a few words. Only the capture thread calls it.
    virtual std::string FailureText() { return "the device failed"; }
};

// The backend linked into this binary. Called by waveInOpen; the result is closed by destruction.
std::unique_ptr<WaveInBackend> CreateWaveInBackend();

// The capture devices the backend knows, by the name Open takes.
std::vector<WaveInDeviceName> ListWaveInBackendDevices();

}  // namespace imabox
