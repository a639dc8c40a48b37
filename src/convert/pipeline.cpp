#include "convert/pipeline.hpp"

#include <algorithm>
#include <bit>
#include <string>
#include <vector>

#include "codec/xbox_adpcm.hpp"
#include "convert/block_encoder.hpp"
#include "convert/loop_align.hpp"
#include "convert/loop_stream.hpp"
#include "convert/quantize.hpp"
#include "io/errors.hpp"
#include "wave/wave_header.hpp"
#include "wave/wave_metadata.hpp"

namespace imabox {
namespace {

Error WriteFailure(const ByteSink& sink) {
    return MakeError(ErrorKind::OutputWrite, SystemErrorText(sink.ErrorNumber()));
}

// Fills `out` with whole frames from `audio` until it is full or the audio ends; returns frames.
Expected<std::size_t> Fill(Int16Stream& audio, std::span<std::int16_t> out) {
    const unsigned channels = audio.shape().channels;
    std::size_t frames = 0;
    const std::size_t capacity = out.size() / channels;
    while (frames < capacity) {
        const Expected<std::size_t> got = audio.Read(out.subspan(frames * channels));
        if (!got)
            return got;
        if (*got == 0)
            break;
        frames += *got;
    }
    return frames;
}

void ToFileOrder(std::span<std::int16_t> samples) {
    if constexpr (std::endian::native == std::endian::big) {
        for (auto& s : samples) {
            const auto u = static_cast<std::uint16_t>(s);
            s = static_cast<std::int16_t>((u >> 8) | (u << 8));
        }
    }
}

std::span<const std::uint8_t> AsBytes(std::span<const std::int16_t> samples) {
    return {reinterpret_cast<const std::uint8_t*>(samples.data()), samples.size_bytes()};
}

Expected<ConvertReport> Encode(ConversionPlan& plan, WaveWriter& writer) {
    Int16Stream& audio = *plan.audio;
    const unsigned channels = plan.source.channels;
    const std::size_t blockSamples = std::size_t{kFramesPerBlock} * channels;
    const std::size_t pieceBlocks = std::max<std::size_t>(1, plan.pieceBytes / (blockSamples * 2));
    std::vector<std::int16_t> pcm(pieceBlocks * blockSamples);
    std::vector<std::uint8_t> adpcm(pieceBlocks * kBlockBytesPerChannel * channels);
    XBoxADPCMBlockEncoder encoder(channels, plan.quality);
    std::uint64_t frames = 0;
    std::uint64_t blocks = 0;
    while (true) {
        const Expected<std::size_t> got = Fill(audio, pcm);
        if (!got)
            return got.error();
        if (*got == 0)
            break;
        frames += *got;
        const std::size_t n = (*got + kFramesPerBlock - 1) / kFramesPerBlock;
        // Complete the last block with silence.
        std::fill(pcm.begin() + static_cast<std::ptrdiff_t>(*got * channels),
                  pcm.begin() + static_cast<std::ptrdiff_t>(n * blockSamples), 0);
        const std::span<std::uint8_t> out(adpcm.data(), n * kBlockBytesPerChannel * channels);
        encoder.Encode(pcm, out, n, *got);
        blocks += n;
        if (!writer.Write(out))
            return MakeError(ErrorKind::OutputWrite, "");
        if (*got < pieceBlocks * kFramesPerBlock)
            break;
    }
    ConvertReport report;
    report.inputFrames = frames;
    report.blocks = blocks;
    report.paddingFrames = blocks * kFramesPerBlock - frames;
    return report;
}

Expected<ConvertReport> Decode(ConversionPlan& plan, WaveWriter& writer) {
    Int16Stream& audio = *plan.audio;
    const unsigned channels = plan.source.channels;
    const unsigned blockFrames = plan.source.blockFrames;
    const std::size_t blockSamples = std::size_t{blockFrames} * channels;
    const std::size_t pieceBlocks = std::max<std::size_t>(1, plan.pieceBytes / (blockSamples * 2));
    std::vector<std::int16_t> pcm(pieceBlocks * blockSamples);
    std::uint64_t frames = 0;
    while (true) {
        const Expected<std::size_t> got = Fill(audio, pcm);
        if (!got)
            return got.error();
        if (*got == 0)
            break;
        frames += *got;
        const std::span<std::int16_t> out(pcm.data(), *got * channels);
        ToFileOrder(out);
        if (!writer.Write(AsBytes(out)))
            return MakeError(ErrorKind::OutputWrite, "");
    }
    ConvertReport report;
    report.inputFrames = frames;
    report.blocks = frames == 0 ? 0 : (frames - 1) / blockFrames + 1;
    return report;
}

// Moves the loops and other frame positions of `metadata` to where the output has their frames
// (aligning the loop on blocks when encoding, which puts a stage in front of the coder) and
// keeps the chunks to write after the data.
Expected<bool> PlaceMetadata(ConversionPlan& plan, WaveMetadata& metadata,
                             const ConvertOptions& options) {
    if (metadata.empty())
        return true;
    const StreamShape shape = plan.audio->shape();
    if (!shape.frames) {
        if (metadata.sampler) {
            plan.warnings.push_back("smpl chunk: the input's length is unknown; loops dropped");
            metadata.sampler->loops.clear();
        }
    } else if (plan.output == WaveCoding::XBoxADPCM) {
        const Expected<std::optional<LoopAlignPlan>> aligned = AlignMetadataLoop(
            metadata, *shape.frames, shape.sampleRate, shape.sampleRate,
            {.mode = options.loopAlign, .maxCents = options.maxLoopCents}, plan.warnings);
        if (!aligned)
            return aligned.error();
        if (const std::optional<LoopAlignPlan>& loop = aligned.value()) {
            plan.loop = DescribeLoopAlignment(*loop);
            if (loop->changesAudio()) {
                Expected<std::unique_ptr<LoopAlignStage>> stage =
                    LoopAlignStage::Create(std::move(plan.audio), *loop);
                if (!stage)
                    return stage.error();
                plan.inputFrames = *shape.frames;
                plan.audio = std::move(stage).value();
            }
        }
    } else {
        const std::uint64_t frames = *shape.frames;
        if (metadata.sampler)
            CheckLoops(*metadata.sampler, frames, plan.warnings);
        MoveFramePositions(
            metadata,
            [frames](std::uint64_t p) { return p <= frames ? std::optional(p) : std::nullopt; },
            plan.warnings);
    }
    if (!metadata.empty())
        plan.trailer = BuildMetadataChunks(metadata);
    return true;
}

}  // namespace

SourceDescription DescribeWave(const WaveHeader& header) {
    SourceDescription d;
    d.format = header.format;
    d.channels = header.channels;
    d.sampleRate = header.sampleRate;
    d.blockFrames = header.unitFrames();
    d.trailingBytes = header.trailingBytes;
    d.otherChunks = header.otherChunks;
    return d;
}

Expected<ConversionPlan> PlanConversion(SourceDescription source, PayloadStreams audio,
                                        const ConvertOptions& options) {
    const bool encode = options.direction == ConvertDirection::Encode;
    const SourceFormat format = source.format;
    const bool adpcm = format == SourceFormat::XBoxADPCM || format == SourceFormat::IMAADPCM;
    if (encode && format == SourceFormat::XBoxADPCM) {
        return MakeError(ErrorKind::NothingToDo,
                         "already Xbox ADPCM (format tag 0x0069); nothing to encode");
    }
    if (!encode && !adpcm) {
        if (format == SourceFormat::PCM16)
            return MakeError(ErrorKind::NothingToDo, "already 16-bit PCM; nothing to decode");
        return MakeError(ErrorKind::WrongDirection, "not ADPCM (found " +
                                                        DescribeSourceFormat(format) +
                                                        "); decode reads Xbox or IMA ADPCM");
    }
    if (encode && (options.quality < 0 || options.quality > kMaxEncodeQuality)) {
        return MakeError(ErrorKind::InvalidArgument,
                         "quality must be 0 to " + std::to_string(kMaxEncodeQuality));
    }
    const unsigned channels = source.channels;
    const unsigned maxChannels = encode ? kMaxXBoxADPCMChannels : kMaxPCM16Channels;
    if (channels > maxChannels) {
        return MakeError(ErrorKind::TooManyChannels,
                         std::to_string(channels) + " channels; " +
                             (encode ? "Xbox ADPCM" : "16-bit PCM") + " holds at most " +
                             std::to_string(maxChannels) + " (its block align is 16 bits)");
    }
    if (channels == 0 || source.blockFrames == 0 || (!audio.int16 && !audio.real))
        return MakeError(ErrorKind::Internal, "a source without channels or audio");

    ConversionPlan plan;
    plan.direction = options.direction;
    plan.quality = options.quality;
    plan.output = encode ? WaveCoding::XBoxADPCM : WaveCoding::PCM16;
    plan.warnings = std::move(source.warnings);
    if (audio.real)
        plan.audio = std::make_unique<QuantizeStage>(std::move(audio.real));
    else
        plan.audio = std::move(audio.int16);
    if (const Expected<bool> placed = PlaceMetadata(plan, source.metadata, options); !placed)
        return placed.error();
    if (const auto frames = plan.audio->shape().frames) {
        const std::uint64_t bytes =
            encode ? XBoxADPCMBlockCount(*frames) * kBlockBytesPerChannel * channels
                   : *frames * channels * 2;
        if (bytes > MaxWaveDataBytes(plan.output, plan.trailer.size())) {
            return MakeError(ErrorKind::OutputTooLarge, std::to_string(bytes) + " bytes of " +
                                                            (encode ? "Xbox ADPCM" : "16-bit PCM"));
        }
        plan.outputDataBytes = bytes;
    }
    plan.source = std::move(source);
    return plan;
}

Expected<ConversionPlan> OpenConversion(ByteSource& source, const ConvertOptions& options) {
    Expected<WaveHeader> header = ReadWaveHeader(source);
    if (!header)
        return header.error();
    SourceDescription description = DescribeWave(header.value());
    // Loops and metadata first: their chunks may lie before or after the audio.
    if (!header->otherChunks.empty() && source.Seekable()) {
        description.metadata = ReadWaveMetadata(source, header->otherChunks, description.warnings);
        if (!source.Seek(header->dataOffset))
            return MakeError(ErrorKind::InputRead, SystemErrorText(source.ErrorNumber()));
    } else if (!header->otherChunks.empty()) {
        description.warnings.push_back("chunks before the audio of a stream are not carried (" +
                                       ChunkIdName(header->otherChunks.front().id) +
                                       (header->otherChunks.size() > 1 ? "..." : "") + ")");
    }
    Expected<PayloadStreams> streams = OpenPayload(source, header.value());
    if (!streams)
        return streams.error();
    return PlanConversion(std::move(description), std::move(streams).value(), options);
}

Expected<ConvertReport> RunConversion(ConversionPlan& plan, ByteSink& sink,
                                      const WaveWriterOptions& writerOptions) {
    WaveWriter writer(sink, plan.output, static_cast<std::uint16_t>(plan.source.channels),
                      plan.source.sampleRate, writerOptions);
    if (!writer.Begin(plan.outputDataBytes, plan.trailer.size()))
        return WriteFailure(sink);
    Expected<ConvertReport> report =
        plan.output == WaveCoding::XBoxADPCM ? Encode(plan, writer) : Decode(plan, writer);
    if (!report) {
        if (report.error().kind == ErrorKind::OutputWrite)
            return WriteFailure(sink);
        return report;
    }
    if (plan.outputDataBytes && writer.dataBytes() != *plan.outputDataBytes) {
        return MakeError(ErrorKind::Truncated, "the input ended after " +
                                                   std::to_string(report->inputFrames) + " frames");
    }
    if (!writer.Finish(plan.trailer))
        return WriteFailure(sink);
    ConvertReport& r = report.value();
    if (plan.inputFrames)
        r.inputFrames = *plan.inputFrames;
    r.loop = plan.loop;
    r.warnings = plan.warnings;
    const StreamStats stats = plan.audio->stats();
    r.input = plan.source.format;
    r.output = plan.output == WaveCoding::XBoxADPCM ? Encoding::XBoxADPCM : Encoding::PCM16;
    r.channels = static_cast<std::uint16_t>(plan.source.channels);
    r.sampleRate = plan.source.sampleRate;
    r.clippedSamples = stats.clippedSamples;
    r.dithered = stats.dithered;
    r.ignoredBytes = stats.ignoredBytes;
    r.trailingBytes = plan.source.trailingBytes;
    r.outputDataBytes = writer.dataBytes();
    r.outputBytes = writer.fileBytes();
    return report;
}

}  // namespace imabox
