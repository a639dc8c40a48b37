// SPDX-License-Identifier: MIT
// The one place the wave bank API reaches the conversion pipeline: audio of any kind Encode reads
// converted to what a bank entry holds, as a WAVE file.
#pragma once

#include <cstdint>
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

// Converts `input` (anything Encode reads except Xbox ADPCM) as Encode does: resampled, channels
// mixed or duplicated, the loop aligned to blocks for Xbox ADPCM. Writes a WAVE file, loops in its
// smpl (or wsmp) chunk, to `out`, which must be seekable.
Expected<EncodeReport> ConvertForEntry(ByteSource& input, const EntryConversion& conversion,
                                       ByteSink& out);

// Decodes an Xbox ADPCM WAVE file to a 16-bit PCM one (loops carried).
Expected<bool> DecodeForEntry(ByteSource& input, ByteSink& out);

}  // namespace imabox
