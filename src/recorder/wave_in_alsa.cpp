// The capture backend for the library and the tool: ALSA's "default" capture PCM.
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
#include <mutex>
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

    MMRESULT Open(const WAVEFORMATEX& format) override {
        SilenceALSA();
        wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (wakeFd_ < 0)
            return MMSYSERR_NOMEM;
        // Non-blocking, so that a device held by another program fails at once instead of
        // blocking the caller.
        const int opened = snd_pcm_open(&pcm_, "default", SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
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
                if (snd_pcm_recover(pcm_, static_cast<int>(got), 1) < 0 || snd_pcm_start(pcm_) < 0)
                    return -1;
            } else {
                return -1;
            }
        }
    }

    void Interrupt() override {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof one);
    }

  private:
    // Waits for the device or Interrupt(). Returns 1 when the device may have data, 0 when
    // interrupted, -1 when the device failed.
    int Wait() {
        for (auto& fd : pollFds_)
            fd.revents = 0;
        const int ready = ::poll(pollFds_.data(), pollFds_.size(), -1);
        if (ready < 0)
            return errno == EINTR ? 1 : -1;
        if ((pollFds_.back().revents & POLLIN) != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t drained = ::read(wakeFd_, &count, sizeof count);
            return 0;
        }
        unsigned short events = 0;
        if (snd_pcm_poll_descriptors_revents(
                pcm_, pollFds_.data(), static_cast<unsigned>(pollFds_.size() - 1), &events) < 0)
            return -1;
        // POLLERR (an overrun, or a device that went away) is sorted out by the next read.
        return 1;
    }

    snd_pcm_t* pcm_ = nullptr;
    int wakeFd_ = -1;
    std::size_t frameBytes_ = 1;
    snd_pcm_uframes_t readFrames_ = 1;
    std::vector<pollfd> pollFds_;
};

}  // namespace

std::unique_ptr<WaveInBackend> CreateWaveInBackend() {
    return std::make_unique<ALSABackend>();
}

}  // namespace imabox
