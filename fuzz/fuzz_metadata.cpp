// SPDX-License-Identifier: MIT
// The loop and metadata chunks on arbitrary bytes. Reading never fails the conversion or reads out
// of bounds; what is kept, written and read back, comes back the same and without a warning; a
// loop either aligns on whole blocks or is refused.
#include <cstdint>
#include <span>

#include "fuzz_support.hpp"
#include "pipeline/loop_align.hpp"
#include "wave/wave_header.hpp"
#include "wave/wave_metadata.hpp"

namespace {

// A chunk stream (id, size, body, pad) without the RIFF header, cut where the bytes end.
imabox::WaveMetadata Collect(std::span<const std::uint8_t> bytes, imabox::Warnings& warnings) {
    imabox::WaveMetadata metadata;
    std::size_t pos = 0;
    while (bytes.size() - pos >= 8) {
        const std::uint32_t id = imabox::GetLE32(&bytes[pos]);
        const std::size_t size =
            std::min<std::size_t>(imabox::GetLE32(&bytes[pos + 4]), bytes.size() - pos - 8);
        imabox::CollectChunk(metadata, id, bytes.subspan(pos + 8, size), warnings);
        pos += 8 + size;
        pos += std::min<std::size_t>(size & 1, bytes.size() - pos);
    }
    return metadata;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace imabox;
    using namespace imabox::fuzz;
    if (size < 6)
        return 0;
    // Six bytes of settings: the audio's frames, the alignment mode, the pitch limit.
    const std::uint64_t frames = (GetLE32(data) & 0xFFFFF) + 1;
    const auto mode = static_cast<LoopAlignMode>(data[4] % 3);
    const double maxCents = data[5] % 50;
    const std::span<const std::uint8_t> chunks(data + 6, size - 6);

    Warnings warnings;
    WaveMetadata metadata = Collect(chunks, warnings);
    for (const std::string& w : warnings)
        Require(!w.empty() && w.find('\n') == std::string::npos, "warnings are one line");

    const std::vector<std::uint8_t> written = BuildMetadataChunks(metadata);
    Warnings again;
    const WaveMetadata back = Collect(written, again);
    Require(again.empty(), "written chunks read back without a warning");
    Require(BuildMetadataChunks(back) == written, "written chunks read back the same");

    const auto plan = AlignMetadataLoop(metadata, frames, 8000, 8000,
                                        {.mode = mode, .maxCents = maxCents}, warnings);
    if (!plan || !plan.value())
        return 0;
    const LoopAlignPlan& p = *plan.value();
    Require(mode == LoopAlignMode::Off || p.aligned(), "an aligned loop lies on whole blocks");
    Require(p.end < p.outputFrames, "the loop lies in the output");
    const double unaligned = static_cast<double>(p.inputStart) * static_cast<double>(p.ratioNum) /
                             static_cast<double>(p.ratioDen);
    Require(mode == LoopAlignMode::Off || static_cast<double>(p.start) >= unaligned - 1e-6,
            "the loop start never moves earlier");
    Require(metadata.sampler && metadata.sampler->loops.size() == 1 &&
                metadata.sampler->loops[0].start == p.start &&
                metadata.sampler->loops[0].end == p.end,
            "the smpl chunk carries the planned loop");
    return 0;
}
