// SPDX-License-Identifier: MIT
#include "api/bank_convert.hpp"

#include <new>
#include <span>
#include <vector>

#include "codec/xbox_adpcm.hpp"
#include "io/errors.hpp"
#include "media/media.hpp"
#include "pipeline/pipeline.hpp"
#include "wave/wave_header.hpp"
#include "wave/wave_metadata.hpp"
#include "wave/wave_writer.hpp"

namespace imabox {
namespace {

// 16-bit PCM at the planned shape, the chunks the plan carries after it.
Expected<EncodeReport> WritePcm(ConversionPlan& plan, ByteSink& out) {
    Int16Stream& audio = *plan.audio;
    const StreamShape& shape = audio.shape();
    WaveWriter writer(out, WaveCoding::PCM16, static_cast<std::uint16_t>(shape.channels),
                      shape.sampleRate);
    if (!writer.Begin(std::nullopt, plan.trailer.size()))
        return MakeError(ErrorKind::OutputWrite, SystemErrorText(out.ErrorNumber()));
    std::vector<std::int16_t> pcm(std::size_t{65536} * shape.channels);
    std::vector<std::uint8_t> bytes;
    std::uint64_t frames = 0;
    while (true) {
        const Expected<std::size_t> got = audio.Read(pcm);
        if (!got)
            return got.error();
        if (*got == 0)
            break;
        frames += *got;
        bytes.resize(*got * shape.channels * 2);
        for (std::size_t i = 0; i < *got * shape.channels; ++i) {
            bytes[2 * i] = static_cast<std::uint8_t>(pcm[i]);
            bytes[2 * i + 1] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(pcm[i]) >> 8);
        }
        if (!writer.Write(bytes))
            return MakeError(ErrorKind::OutputWrite, SystemErrorText(out.ErrorNumber()));
    }
    if (!writer.Finish(plan.trailer))
        return MakeError(ErrorKind::OutputWrite, SystemErrorText(out.ErrorNumber()));
    EncodeReport report;
    DescribePlan(plan, report);
    report.inputFrames = plan.inputFrames.value_or(frames);
    report.outputDataBytes = writer.dataBytes();
    return report;
}

// The first forward loop of the chunks written after the data (smpl, or wsmp without one).
std::optional<std::pair<std::uint64_t, std::uint64_t>> FirstForwardLoop(
    std::span<const std::uint8_t> chunks) {
    WaveMetadata metadata;
    Warnings ignored;
    for (std::size_t at = 0; chunks.size() - at >= 8;) {
        const std::uint32_t id = GetLE32(&chunks[at]);
        const std::uint64_t size = GetLE32(&chunks[at + 4]);
        if (size > chunks.size() - at - 8)
            break;
        CollectChunk(metadata, id, chunks.subspan(at + 8, static_cast<std::size_t>(size)), ignored);
        at += 8 + static_cast<std::size_t>(size + (size & 1));
    }
    if (metadata.sampler)
        for (const SampleLoop& loop : metadata.sampler->loops)
            if (loop.type == kLoopForward && loop.end >= loop.start)
                return std::pair<std::uint64_t, std::uint64_t>{loop.start, loop.end};
    return std::nullopt;
}

}  // namespace

EntryJob::EntryJob() = default;
EntryJob::EntryJob(EntryJob&&) noexcept = default;
EntryJob& EntryJob::operator=(EntryJob&&) noexcept = default;
EntryJob::~EntryJob() = default;

Expected<EncodeReport> EntryJob::Run(ByteSink& out) {
    try {
        if (!plan_)
            return MakeError(ErrorKind::Internal, "the conversion has run already");
        const std::unique_ptr<ConversionPlan> plan = std::move(plan_);
        if (adpcm_)
            return RunConversion(*plan, out);
        return WritePcm(*plan, out);
    } catch (const std::bad_alloc&) {
        return MakeError(ErrorKind::OutOfMemory);
    }
}

Expected<EntryJob> PlanEntryConversion(ByteSource& input, const EntryConversion& conversion) {
    try {
        EncodeOptions options;
        options.channels = conversion.channels;
        options.sampleRate = conversion.sampleRate;
        options.quality = conversion.quality;
        options.threads = conversion.threads;
        // PCM entries need no block alignment: their loop stays where it is.
        options.loopAlign = conversion.adpcm ? LoopAlignMode::Resample : LoopAlignMode::Off;
        MetadataAdjuster adjust;
        if (conversion.loop) {
            adjust = [&conversion](WaveMetadata& metadata) {
                if (!metadata.sampler)
                    metadata.sampler.emplace();
                const auto [start, end] = *conversion.loop;
                metadata.sampler->loops = {{.cuePointId = 0,
                                            .type = kLoopForward,
                                            .start = static_cast<std::uint32_t>(start),
                                            .end = static_cast<std::uint32_t>(end),
                                            .fraction = 0,
                                            .playCount = 0}};
            };
        }
        Expected<ConversionPlan> plan =
            OpenConversion(input, ConversionRequest::ForEncode(options), AvailableMedia(), adjust);
        if (!plan)
            return plan.error();
        EntryJob job;
        job.plan_ = std::make_unique<ConversionPlan>(std::move(plan).value());
        job.adpcm_ = conversion.adpcm;
        const ConversionPlan& p = *job.plan_;
        const StreamShape& shape = p.audio->shape();
        DescribePlan(p, job.report_);
        if (shape.frames)
            job.dataBytes_ = conversion.adpcm ? XBoxADPCMBlockCount(*shape.frames) *
                                                    kBlockBytesPerChannel * shape.channels
                                              : *shape.frames * shape.channels * 2;
        job.loop_ = FirstForwardLoop(p.trailer);
        return job;
    } catch (const std::bad_alloc&) {
        return MakeError(ErrorKind::OutOfMemory);
    }
}

Expected<EncodeReport> ConvertForEntry(ByteSource& input, const EntryConversion& conversion,
                                       ByteSink& out) {
    Expected<EntryJob> job = PlanEntryConversion(input, conversion);
    if (!job)
        return job.error();
    return job->Run(out);
}

Expected<bool> DecodeForEntry(ByteSource& input, ByteSink& out) {
    try {
        Expected<ConversionPlan> plan =
            OpenConversion(input, ConversionRequest::ForDecode({}), AvailableMedia());
        if (!plan)
            return plan.error();
        if (Expected<ConversionReport> report = RunConversion(plan.value(), out); !report)
            return report.error();
        return true;
    } catch (const std::bad_alloc&) {
        return MakeError(ErrorKind::OutOfMemory);
    }
}

}  // namespace imabox
