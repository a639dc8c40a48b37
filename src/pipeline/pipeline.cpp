// SPDX-License-Identifier: MIT
#include "pipeline/pipeline.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "codec/xbox_adpcm.hpp"
#include "io/errors.hpp"
#include "io/prefixed_source.hpp"
#include "pipeline/block_encoder.hpp"
#include "pipeline/loop_align.hpp"
#include "pipeline/loop_stream.hpp"
#include "pipeline/quantize.hpp"
#include "pipeline/sample_stages.hpp"
#include "wave/container_probe.hpp"
#include "wave/wave_header.hpp"
#include "wave/wave_metadata.hpp"

namespace imabox {
namespace {

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

Expected<ConversionReport> Encode(ConversionPlan& plan, WaveWriter& writer, const ByteSink& sink) {
    Int16Stream& audio = *plan.audio;
    const unsigned channels = audio.shape().channels;
    const std::size_t blockSamples = std::size_t{kFramesPerBlock} * channels;
    const std::size_t pieceBlocks = std::max<std::size_t>(1, plan.pieceBytes / (blockSamples * 2));
    std::vector<std::int16_t> pcm(pieceBlocks * blockSamples);
    std::vector<std::uint8_t> adpcm(pieceBlocks * kBlockBytesPerChannel * channels);
    XBoxADPCMBlockEncoder encoder(channels, plan.quality, plan.searchThreads);
    std::uint64_t frames = 0;
    std::uint64_t blocks = 0;
    while (true) {
        const Expected<std::size_t> got = Fill(audio, pcm);
        if (!got)
            return got.error();
        if (*got == 0)
            break;
        frames += *got;
        const auto n = static_cast<std::size_t>(XBoxADPCMBlockCount(*got));
        // Complete the last block with silence.
        std::fill(pcm.begin() + static_cast<std::ptrdiff_t>(*got * channels),
                  pcm.begin() + static_cast<std::ptrdiff_t>(n * blockSamples), 0);
        const std::span<std::uint8_t> out(adpcm.data(), n * kBlockBytesPerChannel * channels);
        encoder.Encode(pcm, out, n, *got);
        blocks += n;
        if (!writer.Write(out))
            return sink.WriteError();
        if (*got < pieceBlocks * kFramesPerBlock)
            break;
    }
    ConversionReport report;
    report.inputFrames = frames;
    report.blocks = blocks;
    report.paddingFrames = blocks * kFramesPerBlock - frames;
    return report;
}

// Pulls decoded audio a piece of whole source blocks at a time and hands each piece to `write`
// (interleaved samples of `channels` channels); the report counts the frames and their blocks.
template <typename Write>
Expected<ConversionReport> DecodePieces(ConversionPlan& plan, unsigned channels, Write&& write) {
    const unsigned blockFrames = plan.source.blockFrames;
    const std::size_t blockSamples = std::size_t{blockFrames} * channels;
    const std::size_t pieceBlocks = std::max<std::size_t>(1, plan.pieceBytes / (blockSamples * 2));
    std::vector<std::int16_t> pcm(pieceBlocks * blockSamples);
    std::uint64_t frames = 0;
    while (true) {
        const Expected<std::size_t> got = Fill(*plan.audio, pcm);
        if (!got)
            return got.error();
        if (*got == 0)
            break;
        frames += *got;
        const Expected<bool> written = write(std::span(pcm).first(*got * channels));
        if (!written)
            return written.error();
    }
    ConversionReport report;
    report.inputFrames = frames;
    report.blocks = frames == 0 ? 0 : (frames - 1) / blockFrames + 1;
    return report;
}

Expected<ConversionReport> Decode(ConversionPlan& plan, WaveWriter& writer, const ByteSink& sink) {
    return DecodePieces(plan, plan.source.channels,
                        [&](std::span<std::int16_t> out) -> Expected<bool> {
                            SamplesToFileOrder(out);
                            if (!writer.Write(SampleBytes(out)))
                                return sink.WriteError();
                            return true;
                        });
}

// Moves the loops and other frame positions of `metadata` to where the output has their frames
// (aligning the loop on blocks when encoding, which puts a stage in front of the coder) and
// keeps the chunks to write after the data.
Expected<bool> PlaceMetadata(ConversionPlan& plan, WaveMetadata& metadata, std::uint32_t inputRate,
                             const ConversionRequest& request) {
    if (metadata.empty())
        return true;
    const StreamShape shape = plan.audio->shape();
    if (shape.sampleRate != inputRate) {
        // The rate stage moved every frame: positions follow at the new rate first.
        const std::uint32_t outputRate = shape.sampleRate;
        MoveFramePositions(
            metadata,
            [&](std::uint64_t p) -> std::optional<std::uint64_t> {
                return (p * outputRate + inputRate / 2) / inputRate;
            },
            plan.warnings);
    }
    if (!shape.frames) {
        if (metadata.sampler) {
            plan.warnings.push_back("smpl chunk: the input's length is unknown; loops dropped");
            metadata.sampler->loops.clear();
        }
    } else if (plan.output == WaveCoding::XBoxADPCM) {
        const Expected<std::optional<LoopAlignPlan>> aligned = AlignMetadataLoop(
            metadata, *shape.frames, shape.sampleRate, shape.sampleRate,
            {.mode = request.encode.loopAlign, .maxCents = request.encode.maxLoopCents},
            plan.warnings);
        if (!aligned)
            return aligned.error();
        if (const std::optional<LoopAlignPlan>& loop = aligned.value()) {
            plan.loop = DescribeLoopAlignment(*loop);
            if (loop->changesAudio()) {
                Expected<std::unique_ptr<LoopAlignStage>> stage =
                    LoopAlignStage::Create(std::move(plan.audio), *loop, *plan.media);
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
    // Raw payloads and other containers have no place for the chunks.
    if (!metadata.empty() && !request.raw() && plan.outputFormat.empty())
        plan.trailer = BuildMetadataChunks(metadata);
    return true;
}

// Puts the stages that turn the input's audio into the output's rate and channels after it:
// channel changes and resampling. A 16-bit input with nothing to change keeps its exact path, and
// so does a channel copied into two; anything else comes out real-valued, for the one
// quantising stage.
Expected<PayloadStreams> ShapeAudio(PayloadStreams streams, const EncodeOptions& options,
                                    const MediaAdapters& media) {
    const StreamShape& in = streams.int16 ? streams.int16->shape() : streams.real->shape();
    const unsigned channels = options.channels != 0 ? options.channels : in.channels;
    const std::uint32_t rate = options.sampleRate != 0 ? options.sampleRate : in.sampleRate;
    if (const std::optional<Error> refused = CheckChannelChange(in.channels, channels))
        return refused.value();
    const bool resample = rate != in.sampleRate;
    if (streams.int16 && !resample && (channels == in.channels || in.channels == 1)) {
        if (channels != in.channels)
            streams.int16 =
                std::make_unique<ChannelStage<std::int16_t>>(std::move(streams.int16), channels);
        return streams;
    }
    std::unique_ptr<RealStream> real =
        streams.real ? std::move(streams.real)
                     : std::make_unique<Int16AsReal>(std::move(streams.int16));
    // Fewer channels before resampling, more after: the resampler does the least work.
    if (channels < in.channels)
        real = std::make_unique<ChannelStage<double>>(std::move(real), channels);
    if (resample) {
        // An output too large for its header is refused before the resampler starts.
        if (in.frames && !options.raw) {
            const std::uint64_t bytes =
                XBoxADPCMBlockCount(ResampledFrames(*in.frames, in.sampleRate, rate)) *
                kBlockBytesPerChannel * channels;
            if (bytes > MaxWaveDataBytes(WaveCoding::XBoxADPCM, 0))
                return MakeError(ErrorKind::OutputTooLarge,
                                 std::to_string(bytes) + " bytes of Xbox ADPCM");
        }
        Expected<std::unique_ptr<RealStream>> resampled = media.Resample(std::move(real), rate);
        if (!resampled)
            return resampled.error();
        real = std::move(resampled).value();
    }
    if (channels > in.channels)
        real = std::make_unique<ChannelStage<double>>(std::move(real), channels);
    PayloadStreams shaped;
    shaped.real = std::move(real);
    return shaped;
}

// Decode into another container (FLAC...), a piece at a time.
Expected<ConversionReport> DecodeToContainer(ConversionPlan& plan, ByteSink& sink) {
    const unsigned channels = plan.audio->shape().channels;
    Expected<std::unique_ptr<AudioSink>> out =
        plan.media->CreateSink(sink, plan.outputFormat, channels, plan.audio->shape().sampleRate);
    if (!out)
        return out.error();
    AudioSink& container = *out.value();
    Expected<ConversionReport> report = DecodePieces(
        plan, channels, [&](std::span<std::int16_t> pcm) { return container.Write(pcm); });
    if (!report)
        return report;
    const Expected<bool> finished = container.Finish();
    if (!finished)
        return finished.error();
    return report;
}

}  // namespace

SourceDescription DescribeWave(const WaveHeader& header) {
    SourceDescription d;
    d.format = header.format;
    d.channels = header.channels;
    d.sampleRate = header.sampleRate;
    d.blockFrames = header.unitFrames();
    d.trailingBytes = header.trailingBytes;
    if (header.bytesPastChunkLimit != 0) {
        d.warnings.push_back("more than " + std::to_string(kMaxChunks) + " chunks: the " +
                             std::to_string(header.bytesPastChunkLimit) +
                             " bytes from the next one on ignored");
    }
    d.otherChunks = header.otherChunks;
    return d;
}

Expected<ConversionPlan> PlanConversion(SourceDescription source, PayloadStreams audio,
                                        const ConversionRequest& request,
                                        const MediaAdapters& media) {
    const bool encode = request.output == WaveCoding::XBoxADPCM;
    const EncodeOptions& options = request.encode;
    const std::string& container = request.decode.format;
    const bool otherOutput = !encode && !container.empty() && container != "wav";
    if (otherOutput) {
        if (std::optional<Error> refused = media.CheckOutputFormat(container))
            return std::move(refused).value();
        if (request.decode.raw)
            return MakeError(ErrorKind::InvalidArgument,
                             "raw output is 16-bit PCM, not " + container);
    }
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
    if (encode && (audio.int16 || audio.real)) {
        Expected<PayloadStreams> shaped = ShapeAudio(std::move(audio), options, media);
        if (!shaped)
            return shaped.error();
        audio = std::move(shaped).value();
    }
    const unsigned channels = audio.int16  ? audio.int16->shape().channels
                              : audio.real ? audio.real->shape().channels
                                           : 0;
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
    plan.media = &media;
    plan.quality = options.quality;
    plan.searchThreads = options.threads;
    if (otherOutput)
        plan.outputFormat = container;
    plan.output = encode ? WaveCoding::XBoxADPCM : WaveCoding::PCM16;
    plan.warnings = std::move(source.warnings);
    if (audio.real)
        plan.audio = std::make_unique<QuantizeStage>(std::move(audio.real));
    else
        plan.audio = std::move(audio.int16);
    if (const Expected<bool> placed =
            PlaceMetadata(plan, source.metadata, source.sampleRate, request);
        !placed)
        return placed.error();
    // Another container's loops came from its own chunks (AIFF: INST and MARK), not from a smpl
    // chunk: the warnings say so.
    if (!source.container.empty()) {
        const std::string smpl = "smpl chunk: ";
        for (std::string& warning : plan.warnings) {
            if (warning.rfind(smpl, 0) == 0)
                warning.replace(0, smpl.size(), source.container + " loops: ");
        }
    }
    if (const auto frames = plan.audio->shape().frames) {
        const std::uint64_t bytes =
            encode ? XBoxADPCMBlockCount(*frames) * kBlockBytesPerChannel * channels
                   : *frames * channels * 2;
        if (plan.outputFormat.empty() && !request.raw() &&
            bytes > MaxWaveDataBytes(plan.output, plan.trailer.size())) {
            return MakeError(ErrorKind::OutputTooLarge, std::to_string(bytes) + " bytes of " +
                                                            (encode ? "Xbox ADPCM" : "16-bit PCM"));
        }
        plan.outputDataBytes = bytes;
    }
    plan.source = std::move(source);
    return plan;
}

Expected<ConversionPlan> OpenConversion(ByteSource& source, const ConversionRequest& request,
                                        const MediaAdapters& media,
                                        const MetadataAdjuster& adjust) {
    const bool encode = request.output == WaveCoding::XBoxADPCM;
    // Recognise the container from its first bytes, then read it from its start again: a file
    // seeks back, a stream gets its first bytes put back in front.
    std::uint8_t head[kContainerProbeBytes];
    const std::uint64_t start = source.Position();
    const std::size_t headBytes = source.Read(head);
    if (source.Failed())
        return MakeError(ErrorKind::InputRead, SystemErrorText(source.ErrorNumber()));
    std::unique_ptr<ByteSource> replay;
    ByteSource* input = &source;
    if (source.Seekable()) {
        if (!source.Seek(start))
            return MakeError(ErrorKind::InputRead, "cannot go back to the start of the input");
    } else {
        replay = std::make_unique<PrefixedByteSource>(std::span(head, headBytes), source);
        input = replay.get();
    }
    const ContainerProbe probe = ProbeContainer(std::span(head, headBytes));
    // Fewer bytes than any header: the WAVE reader says what is wrong, as for any short file.
    const bool other = probe.kind == ContainerKind::Other ||
                       (probe.kind == ContainerKind::Unknown && headBytes >= 12);

    Expected<ConversionPlan> plan = MakeError(ErrorKind::Internal);
    bool planned = false;
    if (other && encode) {
        Expected<std::optional<ContainerAudio>> opened = media.OpenContainer(*input, probe);
        if (!opened)
            return opened.error();
        if (std::optional<ContainerAudio>& audio = opened.value()) {
            const StreamShape& shape =
                audio->streams.int16 ? audio->streams.int16->shape() : audio->streams.real->shape();
            SourceDescription description;
            description.format = SourceFormat::PCM16;
            description.channels = shape.channels;
            description.sampleRate = shape.sampleRate;
            description.container = audio->format;
            description.metadata.sampler = std::move(audio->sampler);
            if (adjust)
                adjust(description.metadata);
            plan =
                PlanConversion(std::move(description), std::move(audio->streams), request, media);
            planned = true;
        }
    }
    if (!planned) {
        if (other && probe.kind == ContainerKind::Other) {  // Decode
            return MakeError(
                ErrorKind::WrongDirection,
                "not ADPCM (found " + probe.name + "); decode reads Xbox or IMA ADPCM WAVE files");
        }
        Expected<WaveHeader> header = ReadWaveHeader(*input);
        if (!header)
            return header.error();
        SourceDescription description = DescribeWave(header.value());
        // Loops and metadata first: their chunks may lie before or after the audio.
        if (!header->otherChunks.empty() && input->Seekable()) {
            description.metadata =
                ReadWaveMetadata(*input, header->otherChunks, description.warnings);
            if (!input->Seek(header->dataOffset))
                return MakeError(ErrorKind::InputRead, SystemErrorText(input->ErrorNumber()));
        } else if (!header->otherChunks.empty()) {
            description.warnings.push_back("chunks before the audio of a stream are not carried (" +
                                           ChunkName(header->otherChunks.front().id) +
                                           (header->otherChunks.size() > 1 ? "..." : "") + ")");
        }
        Expected<PayloadStreams> streams = OpenPayload(*input, header.value());
        if (!streams)
            return streams.error();
        if (adjust)
            adjust(description.metadata);
        plan = PlanConversion(std::move(description), std::move(streams).value(), request, media);
    }
    if (plan)
        plan->replay = std::move(replay);
    return plan;
}

void DescribePlan(const ConversionPlan& plan, ConversionReport& report) {
    const StreamShape& shape = plan.audio->shape();
    report.input = plan.source.format;
    report.inputContainer = plan.source.container;
    report.inputChannels = static_cast<std::uint16_t>(plan.source.channels);
    report.inputSampleRate = plan.source.sampleRate;
    report.outputChannels = static_cast<std::uint16_t>(shape.channels);
    report.outputSampleRate = shape.sampleRate;
    report.loop = plan.loop;
    report.warnings = plan.warnings;
}

Expected<ConversionReport> RunConversion(ConversionPlan& plan, ByteSink& sink,
                                         const WaveWriterOptions& writerOptions) {
    const StreamShape& shape = plan.audio->shape();
    Expected<ConversionReport> report = MakeError(ErrorKind::Internal);
    if (!plan.outputFormat.empty()) {
        report = DecodeToContainer(plan, sink);
        if (!report)
            return report;
    } else {
        WaveWriter writer(sink, plan.output, static_cast<std::uint16_t>(shape.channels),
                          shape.sampleRate, writerOptions);
        if (!writer.Begin(plan.outputDataBytes, plan.trailer.size()))
            return sink.WriteError();
        report = plan.output == WaveCoding::XBoxADPCM ? Encode(plan, writer, sink)
                                                      : Decode(plan, writer, sink);
        if (!report)
            return report;
        if (plan.outputDataBytes && writer.dataBytes() != *plan.outputDataBytes) {
            return MakeError(
                ErrorKind::Truncated,
                "the input ended after " + std::to_string(report->inputFrames) + " frames");
        }
        if (!writer.Finish(plan.trailer))
            return sink.WriteError();
        report->outputDataBytes = writer.dataBytes();
        report->outputBytes = writer.fileBytes();
    }
    ConversionReport& r = report.value();
    if (plan.inputFrames)
        r.inputFrames = *plan.inputFrames;
    DescribePlan(plan, r);
    const StreamStats stats = plan.audio->stats();
    r.clippedSamples = stats.clippedSamples;
    r.dithered = stats.dithered;
    r.ignoredBytes = stats.ignoredBytes;
    r.trailingBytes = plan.source.trailingBytes;
    return report;
}

}  // namespace imabox
