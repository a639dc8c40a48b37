// SPDX-License-Identifier: MIT
#include "support/wave_audio.hpp"

#include <algorithm>
#include <cerrno>
#include <new>

#include "codec/xbox_adpcm.hpp"
#include "io/errors.hpp"
#include "io/file.hpp"
#include "pipeline/pipeline.hpp"
#include "pipeline/quantize.hpp"

namespace imabox {
namespace {

// Samples held in memory as a stream.
class MemoryInt16Stream final : public Int16Stream {
  public:
    explicit MemoryInt16Stream(const WaveAudio& audio) : audio_(audio) {
        shape_.channels = audio.channels;
        shape_.sampleRate = audio.sampleRate;
        shape_.frames = audio.frames();
    }
    const StreamShape& shape() const override { return shape_; }
    Expected<std::size_t> Read(std::span<std::int16_t> out) override {
        const std::size_t channels = audio_.channels;
        const std::size_t frames =
            std::min<std::size_t>(out.size() / channels, audio_.frames() - frame_);
        std::copy_n(audio_.samples.begin() + static_cast<std::ptrdiff_t>(frame_ * channels),
                    frames * channels, out.begin());
        frame_ += frames;
        return frames;
    }
    bool Rewind() override {
        frame_ = 0;
        return true;
    }
    StreamStats stats() const override { return {}; }

  private:
    const WaveAudio& audio_;
    StreamShape shape_;
    std::size_t frame_ = 0;
};

Expected<std::vector<std::uint8_t>> Write(const WaveAudio& audio, WaveCoding coding, int quality) {
    if (audio.channels == 0 || audio.samples.size() % audio.channels != 0)
        return MakeError(ErrorKind::InvalidArgument, "audio has no channels or a partial frame");
    try {
        ConversionPlan plan;
        plan.source.channels = audio.channels;
        plan.source.sampleRate = audio.sampleRate;
        plan.audio = std::make_unique<MemoryInt16Stream>(audio);
        plan.output = coding;
        plan.quality = quality;
        const std::uint64_t bytes =
            coding == WaveCoding::XBoxADPCM
                ? XBoxADPCMBlockCount(audio.frames()) * kBlockBytesPerChannel * audio.channels
                : audio.frames() * audio.channels * 2;
        if (bytes > MaxWaveDataBytes(coding))
            return MakeError(ErrorKind::OutputTooLarge, std::to_string(bytes) + " bytes");
        plan.outputDataBytes = bytes;
        std::vector<std::uint8_t> file;
        MemoryByteSink sink(file);
        const Expected<ConversionReport> report = RunConversion(plan, sink);
        if (!report)
            return report.error();
        return file;
    } catch (const std::bad_alloc&) {
        return MakeError(ErrorKind::OutOfMemory);
    }
}

Expected<WaveAudio> ReadAll(ByteSource& source) {
    try {
        Expected<WaveHeader> header = ReadWaveHeader(source);
        if (!header)
            return header.error();
        Expected<PayloadStreams> streams = OpenPayload(source, header.value());
        if (!streams)
            return streams.error();
        std::unique_ptr<Int16Stream> audio = std::move(streams->int16);
        if (!audio)
            audio = std::make_unique<QuantizeStage>(std::move(streams->real));
        WaveAudio result;
        result.source = header->format;
        result.channels = header->channels;
        result.sampleRate = header->sampleRate;
        std::vector<std::int16_t> piece(std::size_t{header->channels} * 4096);
        while (true) {
            const Expected<std::size_t> frames = audio->Read(piece);
            if (!frames)
                return frames.error();
            if (*frames == 0)
                break;
            result.samples.insert(
                result.samples.end(), piece.begin(),
                piece.begin() + static_cast<std::ptrdiff_t>(*frames * header->channels));
        }
        const StreamStats stats = audio->stats();
        result.clippedSamples = stats.clippedSamples;
        result.dithered = stats.dithered;
        result.ignoredBytes = stats.ignoredBytes;
        return result;
    } catch (const std::bad_alloc&) {
        return MakeError(ErrorKind::OutOfMemory);
    }
}

}  // namespace

Expected<WaveAudio> ReadWave(std::span<const std::uint8_t> file) {
    MemoryByteSource source(file);
    return ReadAll(source);
}

Expected<WaveAudio> ReadWaveFile(const std::filesystem::path& file) {
    errno = 0;
    const FileHandle in = OpenFile(file, "rb");
    if (!in)
        return MakeError(ErrorKind::InputOpen, SystemErrorText(errno));
    FileByteSource source(in.get());
    return ReadAll(source);
}

Expected<std::vector<std::uint8_t>> EncodeXBoxADPCMWave(const WaveAudio& audio, int quality) {
    if (quality < 0 || quality > kMaxEncodeQuality) {
        return MakeError(ErrorKind::InvalidArgument,
                         "quality must be 0 to " + std::to_string(kMaxEncodeQuality));
    }
    return Write(audio, WaveCoding::XBoxADPCM, quality);
}

}  // namespace imabox
