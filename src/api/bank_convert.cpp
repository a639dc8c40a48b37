// SPDX-License-Identifier: MIT
#include "api/bank_convert.hpp"

#include <new>
#include <vector>

#include "io/errors.hpp"
#include "media/media.hpp"
#include "pipeline/pipeline.hpp"
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
    report.input = plan.source.format;
    report.inputContainer = plan.source.container;
    report.inputChannels = static_cast<std::uint16_t>(plan.source.channels);
    report.inputSampleRate = plan.source.sampleRate;
    report.outputChannels = static_cast<std::uint16_t>(shape.channels);
    report.outputSampleRate = shape.sampleRate;
    report.inputFrames = plan.inputFrames.value_or(frames);
    report.loop = plan.loop;
    report.warnings = plan.warnings;
    report.outputDataBytes = writer.dataBytes();
    return report;
}

}  // namespace

Expected<EncodeReport> ConvertForEntry(ByteSource& input, const EntryConversion& conversion,
                                       ByteSink& out) {
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
        if (conversion.adpcm)
            return RunConversion(plan.value(), out);
        return WritePcm(plan.value(), out);
    } catch (const std::bad_alloc&) {
        return MakeError(ErrorKind::OutOfMemory);
    }
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
