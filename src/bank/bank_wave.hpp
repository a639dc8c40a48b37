// SPDX-License-Identifier: MIT
// A wave bank entry as a WAVE file and back: Xbox ADPCM entries become 0x0069 files holding the
// entry's bytes unchanged, PCM entries PCM files, a loop a smpl loop in frames (end inclusive);
// and a WAVE file's loop in frames becomes an entry's loop region in bytes.
#pragma once

#include <cstdint>
#include <optional>

#include "bank/wave_bank.hpp"
#include "io/byte_stream.hpp"

namespace imabox::bank {

struct FrameLoop {
    std::uint64_t start = 0;
    std::uint64_t end = 0;  // inclusive
};

// The entry's loop in frames, when it has one.
std::optional<FrameLoop> EntryLoopFrames(const Entry& entry);

// A loop in frames as the entry's loop region in bytes. Xbox ADPCM loops lie on whole blocks:
// a start off a block boundary is rounded down and an end up, and `rounded` says so.
struct ByteLoop {
    std::uint32_t start = 0;
    std::uint32_t length = 0;
    bool rounded = false;
};
ByteLoop LoopBytes(const EntryFormat& format, const FrameLoop& loop, std::uint64_t entryBytes);

// Writes entry `index` of `bank` (its bytes read from `source`, the bank file, in pieces) to
// `sink` as a WAVE file; `decode` turns Xbox ADPCM and 8-bit PCM into 16-bit PCM. WMA entries
// are refused here: their bytes are written as they are with CopyRange.
Expected<bool> WriteEntryWave(ByteSource& source, const Bank& bank, std::size_t index, bool decode,
                              ByteSink& sink);

}  // namespace imabox::bank
