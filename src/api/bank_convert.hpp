// SPDX-License-Identifier: MIT
// The one place the wave bank API reaches the conversion pipeline: audio of any kind Encode reads
// converted to what a bank entry holds, as a WAVE file.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

#include "imabox/convert.hpp"
#include "io/byte_stream.hpp"

namespace imabox {

struct EntryConversion {
    bool adpcm = true;             // Xbox ADPCM; otherwise 16-bit PCM
    unsigned channels = 0;         // 0 keeps the input's
    std::uint32_t sampleRate = 0;  // 0 keeps the input's
    int quality = 0;
    unsigned threads = 0;
    // A loop in the input's frames (end inclusive) that replaces the input's own.
    std::optional<std::pair<std::uint64_t, std::uint64_t>> loop;
};

struct ConversionPlan;

// A conversion whose source headers are read and whose output is known, to run later.
class EntryJob {
  public:
    EntryJob(EntryJob&&) noexcept;
    EntryJob& operator=(EntryJob&&) noexcept;
    ~EntryJob();

    // What the conversion will make: input and output shapes, loop text and warnings.
    const EncodeReport& report() const { return report_; }
    // The output's data bytes and its loop in output frames (end inclusive), when the source's
    // length is known.
    std::optional<std::uint64_t> dataBytes() const { return dataBytes_; }
    std::optional<std::pair<std::uint64_t, std::uint64_t>> loop() const { return loop_; }

    // Writes the WAVE file, loops in its smpl (or wsmp) chunk, to `out`, which must be seekable.
    // Runs once.
    Expected<EncodeReport> Run(ByteSink& out);

  private:
    friend Expected<EntryJob> PlanEntryConversion(ByteSource&, const EntryConversion&);
    EntryJob();
    std::unique_ptr<ConversionPlan> plan_;
    bool adpcm_ = true;
    EncodeReport report_;
    std::optional<std::uint64_t> dataBytes_;
    std::optional<std::pair<std::uint64_t, std::uint64_t>> loop_;
};

// Plans the conversion of `input` (anything Encode reads except Xbox ADPCM) as Encode does:
// resampled, channels mixed or duplicated, the loop aligned to blocks for Xbox ADPCM. `input`
// must outlive the job.
Expected<EntryJob> PlanEntryConversion(ByteSource& input, const EntryConversion& conversion);

// Plans and runs at once.
Expected<EncodeReport> ConvertForEntry(ByteSource& input, const EntryConversion& conversion,
                                       ByteSink& out);

// Decodes an Xbox ADPCM WAVE file to a 16-bit PCM one (loops carried).
Expected<bool> DecodeForEntry(ByteSource& input, ByteSink& out);

}  // namespace imabox
