// SPDX-License-Identifier: MIT
// The waveform-audio input layer outside Windows: device handles, the buffer queue and one
// capture thread per open device. The bytes come from the backend linked into the binary.
//
// The registry of open devices is never destroyed, so that a device still open when the process
// exits or the library is unloaded cannot take a joinable thread into a destructor (which would
// abort the process). A separate object closes such devices at that point instead: their capture
// threads are stopped and joined before the code they run can go away.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "recorder/wave_in.hpp"
#include "recorder/wave_in_backend.hpp"

namespace imabox {
namespace {

struct QueuedBuffer {
    WAVEHDR* header;
    DWORD capacity;  // dwBufferLength rounded down to whole frames
    DWORD filled;
};

struct WaveInDevice {
    std::unique_ptr<WaveInBackend> backend;
    WaveInCallback callback = nullptr;
    std::atomic<WaveInTap> tap{nullptr};
    DWORD_PTR instance = 0;
    HWAVEIN handle = nullptr;
    DWORD blockAlign = 0;

    std::mutex mutex;
    std::condition_variable wake;     // the capture thread waits on it
    std::condition_variable stopped;  // waveInStop waits on it
    std::deque<QueuedBuffer> queue;
    bool started = false;
    bool failed = false;  // the backend cannot deliver any more
    std::string failure;  // what failed, once failed
    bool closing = false;
    std::uint64_t stopRequested = 0;
    std::uint64_t stopCompleted = 0;
    std::thread thread;
};

// Open devices by handle. A handle is a number that is never reused, so a stale or foreign
// handle finds nothing instead of a freed device.
struct Registry {
    std::mutex mutex;
    std::map<std::uintptr_t, std::shared_ptr<WaveInDevice>> devices;
    std::uintptr_t nextHandle = 1;
};

// Built in place on first use and never destroyed (see the top of this file).
Registry& Devices() {
    alignas(Registry) static unsigned char storage[sizeof(Registry)];
    static Registry* const registry = ::new (static_cast<void*>(storage)) Registry;
    return *registry;
}

std::shared_ptr<WaveInDevice> FindDevice(HWAVEIN handle) {
    Registry& registry = Devices();
    const std::lock_guard lock(registry.mutex);
    const auto it = registry.devices.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == registry.devices.end() ? nullptr : it->second;
}

void Notify(WaveInDevice& device, UINT message, DWORD_PTR param1) {
    if (device.callback != nullptr)
        device.callback(device.handle, message, device.instance, param1, 0);
}

// Marks the front buffer done, removes it and hands it to the callback, without holding the lock
// while the callback runs (it may queue the buffer again).
void HandBackFront(WaveInDevice& device, std::unique_lock<std::mutex>& lock) {
    const QueuedBuffer done = device.queue.front();
    device.queue.pop_front();
    done.header->dwBytesRecorded = done.filled;
    done.header->dwFlags = (done.header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    lock.unlock();
    Notify(device, MM_WIM_DATA, reinterpret_cast<DWORD_PTR>(done.header));
    lock.lock();
}

void CaptureLoop(WaveInDevice& device) {
    std::unique_lock lock(device.mutex);
    for (;;) {
        device.wake.wait(lock, [&] {
            return device.closing || device.stopRequested != device.stopCompleted ||
                   (device.started && !device.failed && !device.queue.empty());
        });
        if (device.stopRequested != device.stopCompleted) {
            if (device.started) {
                device.started = false;
                device.backend->Stop();
            }
            const std::uint64_t request = device.stopRequested;
            // Buffers queued by the callbacks below stay queued: only those present now go back.
            for (std::size_t n = device.queue.size(); n > 0 && !device.queue.empty(); --n)
                HandBackFront(device, lock);
            device.stopCompleted = request;
            device.stopped.notify_all();
            continue;
        }
        if (device.closing)
            break;

        const QueuedBuffer current = device.queue.front();
        lock.unlock();
        auto* data = reinterpret_cast<std::uint8_t*>(current.header->lpData);
        const std::ptrdiff_t got = device.backend->Read(
            std::span(data + current.filled, current.capacity - current.filled));
        lock.lock();
        if (got < 0) {
            device.failed = true;
            device.failure = device.backend->FailureText();
            if (device.started) {
                device.started = false;
                device.backend->Stop();
            }
            // The owner learns of it by its buffers coming back less than full.
            for (std::size_t n = device.queue.size(); n > 0 && !device.queue.empty(); --n)
                HandBackFront(device, lock);
            continue;
        }
        if (got > 0) {
            if (const WaveInTap tap = device.tap.load(); tap != nullptr) {
                lock.unlock();
                tap(device.instance, data + current.filled, static_cast<DWORD>(got));
                lock.lock();
            }
        }
        // Only this thread removes buffers, so the front is still the one just filled.
        QueuedBuffer& front = device.queue.front();
        front.filled += static_cast<DWORD>(got);
        if (front.filled >= front.capacity)
            HandBackFront(device, lock);
    }
    if (device.started) {
        device.started = false;
        device.backend->Stop();
    }
}

bool ValidFormat(const WAVEFORMATEX& f) {
    return f.wFormatTag == WAVE_FORMAT_PCM && f.nChannels >= 1 && f.nChannels <= 8 &&
           (f.wBitsPerSample == 8 || f.wBitsPerSample == 16) && f.nSamplesPerSec >= 1000 &&
           f.nSamplesPerSec <= 192000 && f.nBlockAlign == f.nChannels * f.wBitsPerSample / 8 &&
           f.nAvgBytesPerSec == f.nSamplesPerSec * f.nBlockAlign;
}

MMRESULT OpenDevice(LPHWAVEIN out, const std::string& name, LPCWAVEFORMATEX format,
                    DWORD_PTR callback, DWORD_PTR instance, DWORD flags) {
    if (out == nullptr || format == nullptr)
        return MMSYSERR_INVALPARAM;
    *out = nullptr;
    const DWORD callbackType = flags & CALLBACK_TYPEMASK;
    if ((callbackType != CALLBACK_FUNCTION && callbackType != CALLBACK_NULL) ||
        (flags & ~CALLBACK_TYPEMASK) != 0)
        return MMSYSERR_INVALFLAG;
    if (!ValidFormat(*format))
        return WAVERR_BADFORMAT;

    auto device = std::make_shared<WaveInDevice>();
    device->backend = CreateWaveInBackend();
    if (const MMRESULT opened = device->backend->Open(*format, name); opened != MMSYSERR_NOERROR)
        return opened;
    if (callbackType == CALLBACK_FUNCTION)
        device->callback = reinterpret_cast<WaveInCallback>(callback);
    device->instance = instance;
    device->blockAlign = format->nBlockAlign;

    Registry& registry = Devices();
    const std::lock_guard lock(registry.mutex);
    const std::uintptr_t id = registry.nextHandle++;
    device->handle = reinterpret_cast<HWAVEIN>(id);
    const auto entry = registry.devices.emplace(id, device).first;
    try {
        device->thread = std::thread(CaptureLoop, std::ref(*device));
    } catch (...) {
        registry.devices.erase(entry);
        throw;
    }
    *out = device->handle;
    return MMSYSERR_NOERROR;
}

bool ValidHeader(LPWAVEHDR header, UINT size) {
    return header != nullptr && size >= sizeof(WAVEHDR) && header->lpData != nullptr &&
           header->dwBufferLength > 0;
}

MMRESULT OpenAndNotify(LPHWAVEIN device, const std::string& name, LPCWAVEFORMATEX format,
                       DWORD_PTR callback, DWORD_PTR instance, DWORD flags) {
    MMRESULT result;
    try {
        result = OpenDevice(device, name, format, callback, instance, flags);
    } catch (const std::bad_alloc&) {
        return MMSYSERR_NOMEM;
    } catch (const std::system_error&) {  // no thread could be started
        return MMSYSERR_NOMEM;
    }
    if (result == MMSYSERR_NOERROR) {
        if (const auto opened = FindDevice(*device))
            Notify(*opened, MM_WIM_OPEN, 0);
    }
    return result;
}

// Closes the devices still open when the process exits or the library is unloaded.
struct CloseAtExit {
    CloseAtExit() { Devices(); }  // the registry is built first, and so outlives this object
    ~CloseAtExit() {
        std::vector<HWAVEIN> open;
        {
            Registry& registry = Devices();
            const std::lock_guard lock(registry.mutex);
            for (const auto& entry : registry.devices)
                open.push_back(entry.second->handle);
        }
        for (const HWAVEIN handle : open) {
            waveInStop(handle);
            waveInClose(handle);
        }
    }
};
const CloseAtExit g_closeAtExit;

}  // namespace

std::vector<WaveInDeviceName> WaveInListDevices() {
    return ListWaveInBackendDevices();
}

MMRESULT WaveInOpenByName(LPHWAVEIN device, const std::string& name, LPCWAVEFORMATEX format,
                          DWORD_PTR callback, DWORD_PTR instance, DWORD flags) {
    return OpenAndNotify(device, name, format, callback, instance, flags);
}

std::string WaveInFailure(HWAVEIN handle) {
    const auto device = FindDevice(handle);
    if (!device)
        return {};
    const std::lock_guard lock(device->mutex);
    return device->failed ? device->failure : std::string();
}

MMRESULT WaveInSetTap(HWAVEIN handle, WaveInTap tap) {
    const auto device = FindDevice(handle);
    if (!device)
        return MMSYSERR_INVALHANDLE;
    device->tap.store(tap);
    return MMSYSERR_NOERROR;
}

}  // namespace imabox

using imabox::FindDevice;

MMRESULT waveInOpen(LPHWAVEIN device, UINT deviceId, LPCWAVEFORMATEX format, DWORD_PTR callback,
                    DWORD_PTR instance, DWORD flags) {
    if (deviceId != WAVE_MAPPER && deviceId != 0) {
        if (device != nullptr)
            *device = nullptr;
        return MMSYSERR_BADDEVICEID;
    }
    return imabox::OpenAndNotify(device, {}, format, callback, instance, flags);
}

MMRESULT waveInPrepareHeader(HWAVEIN handle, LPWAVEHDR header, UINT headerSize) {
    const auto device = FindDevice(handle);
    if (!device)
        return MMSYSERR_INVALHANDLE;
    if (!imabox::ValidHeader(header, headerSize))
        return MMSYSERR_INVALPARAM;
    const std::lock_guard lock(device->mutex);
    if ((header->dwFlags & WHDR_INQUEUE) != 0)
        return WAVERR_STILLPLAYING;
    header->dwFlags |= WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT waveInUnprepareHeader(HWAVEIN handle, LPWAVEHDR header, UINT headerSize) {
    const auto device = FindDevice(handle);
    if (!device)
        return MMSYSERR_INVALHANDLE;
    if (header == nullptr || headerSize < sizeof(WAVEHDR))
        return MMSYSERR_INVALPARAM;
    const std::lock_guard lock(device->mutex);
    if ((header->dwFlags & WHDR_INQUEUE) != 0)
        return WAVERR_STILLPLAYING;
    header->dwFlags &= ~WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT waveInAddBuffer(HWAVEIN handle, LPWAVEHDR header, UINT headerSize) {
    const auto device = FindDevice(handle);
    if (!device)
        return MMSYSERR_INVALHANDLE;
    if (!imabox::ValidHeader(header, headerSize))
        return MMSYSERR_INVALPARAM;
    const DWORD capacity = header->dwBufferLength - header->dwBufferLength % device->blockAlign;
    if (capacity == 0)
        return MMSYSERR_INVALPARAM;
    const std::lock_guard lock(device->mutex);
    if ((header->dwFlags & WHDR_PREPARED) == 0)
        return WAVERR_UNPREPARED;
    if ((header->dwFlags & WHDR_INQUEUE) != 0)
        return WAVERR_STILLPLAYING;
    if (const MMRESULT accepted = device->backend->Queue(); accepted != MMSYSERR_NOERROR)
        return accepted;
    try {
        device->queue.push_back({header, capacity, 0});
    } catch (const std::bad_alloc&) {
        return MMSYSERR_NOMEM;
    }
    header->dwFlags = (header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
    device->wake.notify_all();
    return MMSYSERR_NOERROR;
}

MMRESULT waveInStart(HWAVEIN handle) {
    const auto device = FindDevice(handle);
    if (!device)
        return MMSYSERR_INVALHANDLE;
    const std::lock_guard lock(device->mutex);
    if (device->started)
        return MMSYSERR_NOERROR;
    // The capture thread reads only while started, so the backend is not in use here.
    if (const MMRESULT started = device->backend->Start(); started != MMSYSERR_NOERROR)
        return started;
    device->started = true;
    device->failed = false;
    device->wake.notify_all();
    return MMSYSERR_NOERROR;
}

MMRESULT waveInStop(HWAVEIN handle) {
    const auto device = FindDevice(handle);
    if (!device)
        return MMSYSERR_INVALHANDLE;
    std::unique_lock lock(device->mutex);
    const std::uint64_t request = ++device->stopRequested;
    device->wake.notify_all();
    lock.unlock();
    device->backend->Interrupt();
    // From a callback the capture thread cannot wait for itself: it handles the stop next.
    if (std::this_thread::get_id() == device->thread.get_id())
        return MMSYSERR_NOERROR;
    lock.lock();
    device->stopped.wait(lock, [&] { return device->stopCompleted >= request; });
    return MMSYSERR_NOERROR;
}

MMRESULT waveInClose(HWAVEIN handle) {
    std::shared_ptr<imabox::WaveInDevice> device;
    {
        imabox::Registry& registry = imabox::Devices();
        const std::lock_guard registryLock(registry.mutex);
        const auto it = registry.devices.find(reinterpret_cast<std::uintptr_t>(handle));
        if (it == registry.devices.end())
            return MMSYSERR_INVALHANDLE;
        device = it->second;
        if (std::this_thread::get_id() == device->thread.get_id())
            return MMSYSERR_ERROR;  // a callback cannot join its own thread
        const std::lock_guard lock(device->mutex);
        if (!device->queue.empty())
            return WAVERR_STILLPLAYING;
        device->closing = true;
        device->wake.notify_all();
        registry.devices.erase(it);
    }
    device->backend->Interrupt();
    device->thread.join();
    imabox::Notify(*device, MM_WIM_CLOSE, 0);
    device->backend.reset();
    return MMSYSERR_NOERROR;
}
