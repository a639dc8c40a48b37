// SPDX-License-Identifier: MIT
// The capture backend for the library and the tool: an ALSA capture PCM, "default" unless the
// caller names another.
//
// The PCM is opened non-blocking and waited on with poll(), together with an eventfd that
// Interrupt() signals, so that a stop never waits for the device. ALSA's own diagnostics are
// silenced: the recorder reports failures by its result codes only.
#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "recorder/wave_in_backend.hpp"

namespace imabox {
namespace {

extern "C" void SilentALSAError(const char*, int, const char*, int, const char*, ...) {}

void SilenceALSA() {
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(SilentALSAError); });
}

// Latency asked of the device: how much audio it may hold before the capture thread reads it.
constexpr unsigned kLatencyMicroseconds = 250000;

class ALSABackend final : public WaveInBackend {
  public:
    ~ALSABackend() override {
        if (pcm_ != nullptr)
            snd_pcm_close(pcm_);
        if (wakeFd_ >= 0)
            ::close(wakeFd_);
    }

    MMRESULT Open(const WAVEFORMATEX& format, std::string_view name) override {
        SilenceALSA();
        wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (wakeFd_ < 0)
            return MMSYSERR_NOMEM;
        // Non-blocking, so that a device held by another program fails at once instead of
        // blocking the caller.
        const std::string pcmName = name.empty() ? std::string("default") : std::string(name);
        const int opened =
            snd_pcm_open(&pcm_, pcmName.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
        if (opened < 0) {
            pcm_ = nullptr;
            return opened == -EBUSY ? MMSYSERR_ALLOCATED : MMSYSERR_BADDEVICEID;
        }
        frameBytes_ = format.nBlockAlign;
        const snd_pcm_format_t sampleFormat =
            format.wBitsPerSample == 8 ? SND_PCM_FORMAT_U8 : SND_PCM_FORMAT_S16_LE;
        if (snd_pcm_set_params(pcm_, sampleFormat, SND_PCM_ACCESS_RW_INTERLEAVED, format.nChannels,
                               format.nSamplesPerSec, 1, kLatencyMicroseconds) < 0)
            return WAVERR_BADFORMAT;
        // Reads ask for one period at most: some plugins (the file plugin's input file among
        // them) cannot deliver more than their buffer holds in one read.
        snd_pcm_uframes_t bufferFrames = 0;
        snd_pcm_uframes_t periodFrames = 0;
        if (snd_pcm_get_params(pcm_, &bufferFrames, &periodFrames) < 0 || periodFrames == 0)
            return MMSYSERR_ERROR;
        readFrames_ = periodFrames;
        const int count = snd_pcm_poll_descriptors_count(pcm_);
        if (count <= 0)
            return MMSYSERR_ERROR;
        pollFds_.resize(static_cast<std::size_t>(count) + 1);
        if (snd_pcm_poll_descriptors(pcm_, pollFds_.data(), static_cast<unsigned>(count)) != count)
            return MMSYSERR_ERROR;
        pollFds_.back() = {wakeFd_, POLLIN, 0};
        return MMSYSERR_NOERROR;
    }

    MMRESULT Start() override {
        if (snd_pcm_prepare(pcm_) < 0 || snd_pcm_start(pcm_) < 0)
            return MMSYSERR_ERROR;
        return MMSYSERR_NOERROR;
    }

    void Stop() override { snd_pcm_drop(pcm_); }

    std::ptrdiff_t Read(std::span<std::uint8_t> out) override {
        const auto frames =
            std::min(static_cast<snd_pcm_uframes_t>(out.size() / frameBytes_), readFrames_);
        if (frames == 0)
            return 0;
        for (;;) {
            const snd_pcm_sframes_t got = snd_pcm_readi(pcm_, out.data(), frames);
            if (got > 0)
                return static_cast<std::ptrdiff_t>(got) * frameBytes_;
            if (got == 0 || got == -EAGAIN) {
                const int waited = Wait();
                if (waited <= 0)
                    return waited;
            } else if (got == -EINTR) {
                continue;
            } else if (got == -EPIPE || got == -ESTRPIPE) {
                // Overrun (the audio the device could not hold is lost) or suspend: carry on.
                // A sound server that has gone away shows as an overrun that cannot be
                // recovered from.
                if (const int recovered = snd_pcm_recover(pcm_, static_cast<int>(got), 1);
                    recovered < 0)
                    return Fail(
                        got == -EPIPE ? "recovering from an overrun" : "resuming after a suspend",
                        recovered);
                if (const int restarted = snd_pcm_start(pcm_); restarted < 0)
                    return Fail("restarting capture", restarted);
            } else {
                return Fail("reading audio", static_cast<int>(got));
            }
        }
    }

    std::string FailureText() override { return failure_; }

    void Interrupt() override {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof one);
    }

  private:
    // Records why the device failed, e.g. "Input/output error (waiting for audio)".
    std::ptrdiff_t Fail(const char* during, int error) {
        failure_ = std::string(snd_strerror(error)) + " (" + during + ")";
        return -1;
    }

    // Waits for the device or Interrupt(). Returns 1 when the device may have data, 0 when
    // interrupted, -1 when the device failed.
    int Wait() {
        for (auto& fd : pollFds_)
            fd.revents = 0;
        const int ready = ::poll(pollFds_.data(), pollFds_.size(), -1);
        if (ready < 0)
            return errno == EINTR ? 1 : static_cast<int>(Fail("waiting for audio", -errno));
        if ((pollFds_.back().revents & POLLIN) != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t drained = ::read(wakeFd_, &count, sizeof count);
            return 0;
        }
        unsigned short events = 0;
        if (const int checked = snd_pcm_poll_descriptors_revents(
                pcm_, pollFds_.data(), static_cast<unsigned>(pollFds_.size() - 1), &events);
            checked < 0)
            return static_cast<int>(Fail("waiting for audio", checked));
        // POLLERR (an overrun, or a device that went away) is sorted out by the next read.
        return 1;
    }

    snd_pcm_t* pcm_ = nullptr;
    int wakeFd_ = -1;
    std::size_t frameBytes_ = 1;
    snd_pcm_uframes_t readFrames_ = 1;
    std::vector<pollfd> pollFds_;
    std::string failure_;
};

// A hint's field, or "" when the hint has none.
std::string HintField(const void* hint, const char* field) {
    char* value = snd_device_name_get_hint(hint, field);
    if (value == nullptr)
        return {};
    std::string text(value);
    std::free(value);
    return text;
}

}  // namespace

std::unique_ptr<WaveInBackend> CreateWaveInBackend() {
    return std::make_unique<ALSABackend>();
}

std::vector<WaveInDeviceName> ListWaveInBackendDevices() {
    SilenceALSA();
    std::vector<WaveInDeviceName> devices;
    void** hints = nullptr;
    if (snd_device_name_hint(-1, "pcm", &hints) < 0 || hints == nullptr)
        return devices;
    for (void** hint = hints; *hint != nullptr; ++hint) {
        // No IOID means both directions.
        const std::string direction = HintField(*hint, "IOID");
        if (!direction.empty() && direction != "Input")
            continue;
        std::string name = HintField(*hint, "NAME");
        if (name.empty())
            continue;
        std::string description = HintField(*hint, "DESC");
        for (char& c : description) {
            if (c == '\n')
                c = ' ';
        }
        devices.push_back({std::move(name), std::move(description)});
    }
    snd_device_name_free_hint(hints);
    return devices;
}

}  // namespace imabox
