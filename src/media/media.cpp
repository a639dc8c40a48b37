// SPDX-License-Identifier: MIT
#include "media/media.hpp"

#include <new>
#include <utility>

#include "io/errors.hpp"
#if defined(IMABOX_HAVE_SNDFILE)
#include "media/instrument.hpp"
#include "media/sndfile_sink.hpp"
#include "media/sndfile_source.hpp"
#endif
#if defined(IMABOX_HAVE_SOXR)
#include "media/soxr_resampler.hpp"
#endif

namespace imabox {
namespace {

#if defined(IMABOX_HAVE_SOXR)
class SoxrRateConverter final : public RateConverter {
  public:
    explicit SoxrRateConverter(Resampler resampler) : resampler_(std::move(resampler)) {}
    Expected<bool> Process(std::span<const double> in, std::vector<double>& out) override {
        return resampler_.Process(in, out);
    }
    Expected<bool> Flush(std::vector<double>& out) override { return resampler_.Flush(out); }

  private:
    Resampler resampler_;
};
#endif

#if defined(IMABOX_HAVE_SNDFILE)
class SndfileAudioSink final : public AudioSink {
  public:
    explicit SndfileAudioSink(SndfileSink sink) : sink_(std::move(sink)) {}
    Expected<bool> Write(std::span<const std::int16_t> samples) override {
        return sink_.Write(samples);
    }
    Expected<bool> Finish() override { return sink_.Finish(); }

  private:
    SndfileSink sink_;
};
#endif

class BuildMedia final : public MediaAdapters {
  public:
    Expected<std::optional<ContainerAudio>> OpenContainer(
        ByteSource& source, const ContainerProbe& probe) const override {
#if defined(IMABOX_HAVE_SNDFILE)
        (void)probe;
        Expected<SndfileAudio> audio = OpenSndfileAudio(source);
        if (!audio)
            return audio.error();
        try {
            ContainerAudio opened;
            opened.format = std::move(audio->format);
            opened.streams = std::move(audio->streams);
            if (audio->instrument) {
                const StreamShape& shape = opened.streams.int16 ? opened.streams.int16->shape()
                                                                : opened.streams.real->shape();
                opened.sampler = SamplerFromInstrument(*audio->instrument, shape.sampleRate);
            }
            return std::optional(std::move(opened));
        } catch (const std::bad_alloc&) {
            return MakeError(ErrorKind::OutOfMemory);
        }
#else
        (void)source;
        if (probe.kind == ContainerKind::Other)
            return MakeError(ErrorKind::Unavailable,
                             probe.name + " input needs libsndfile, which this build lacks");
        return std::optional<ContainerAudio>();
#endif
    }

    bool CanResample() const override {
#if defined(IMABOX_HAVE_SOXR)
        return true;
#else
        return false;
#endif
    }

    Expected<std::unique_ptr<RealStream>> Resample(std::unique_ptr<RealStream> source,
                                                   std::uint32_t sampleRate) const override {
#if defined(IMABOX_HAVE_SOXR)
        Expected<std::unique_ptr<ResampleStage>> stage =
            ResampleStage::Create(std::move(source), sampleRate);
        if (!stage)
            return stage.error();
        return std::unique_ptr<RealStream>(std::move(stage).value());
#else
        (void)source;
        (void)sampleRate;
        return MakeError(ErrorKind::Unavailable,
                         "changing the sample rate needs libsoxr, which this build lacks");
#endif
    }

    Expected<std::unique_ptr<RateConverter>> CreateRateConverter(std::uint32_t inputRate,
                                                                 std::uint32_t outputRate,
                                                                 unsigned channels) const override {
#if defined(IMABOX_HAVE_SOXR)
        Expected<Resampler> resampler = Resampler::Create(inputRate, outputRate, channels);
        if (!resampler)
            return resampler.error();
        return std::unique_ptr<RateConverter>(
            std::make_unique<SoxrRateConverter>(std::move(resampler).value()));
#else
        (void)inputRate;
        (void)outputRate;
        (void)channels;
        return MakeError(ErrorKind::Unavailable,
                         "changing the sample rate needs libsoxr, which this build lacks");
#endif
    }

    std::vector<std::string> OutputFormats() const override {
#if defined(IMABOX_HAVE_SNDFILE)
        return SndfileFormatList();
#else
        return {};
#endif
    }

    std::optional<Error> CheckOutputFormat(const std::string& format) const override {
#if defined(IMABOX_HAVE_SNDFILE)
        if (!FindSndfileFormat(format))
            return MakeError(
                ErrorKind::InvalidArgument,
                "unknown output format \"" + format + "\" (wav, " + SndfileFormatNames() + ")");
        return std::nullopt;
#else
        return MakeError(ErrorKind::Unavailable,
                         format + " output needs libsndfile, which this build lacks");
#endif
    }

    Expected<std::unique_ptr<AudioSink>> CreateSink(ByteSink& sink, const std::string& format,
                                                    unsigned channels,
                                                    std::uint32_t sampleRate) const override {
#if defined(IMABOX_HAVE_SNDFILE)
        const std::optional<SndfileOutputFormat> found = FindSndfileFormat(format);
        if (!found)
            return MakeError(ErrorKind::InvalidArgument,
                             "unknown output format \"" + format + "\"");
        Expected<SndfileSink> out = SndfileSink::Create(sink, *found, channels, sampleRate);
        if (!out)
            return out.error();
        return std::unique_ptr<AudioSink>(
            std::make_unique<SndfileAudioSink>(std::move(out).value()));
#else
        (void)sink;
        (void)channels;
        (void)sampleRate;
        return MakeError(ErrorKind::Unavailable,
                         format + " output needs libsndfile, which this build lacks");
#endif
    }
};

}  // namespace

const MediaAdapters& AvailableMedia() {
    static const BuildMedia media;
    return media;
}

}  // namespace imabox
