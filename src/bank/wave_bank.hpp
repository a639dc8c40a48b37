// SPDX-License-Identifier: MIT
// Wave banks ("WBND", versions 1, 2 and 3): the containers original-Xbox games keep their sounds
// in. The reader takes the header, the entry table and the names (never the audio); the writer
// lays a bank out again and streams every entry's bytes from wherever they are, a piece at a
// time. Records are read and written field by field, little-endian.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "imabox/expected.hpp"
#include "io/byte_stream.hpp"

namespace imabox::bank {

using Warnings = std::vector<std::string>;

// Bank flags (versions 2 and 3).
inline constexpr std::uint32_t kFlagStreaming = 0x00000001;
inline constexpr std::uint32_t kFlagNames = 0x00010000;
inline constexpr std::uint32_t kFlagCompact = 0x00020000;
// Entry flag: the loop fields are to be ignored.
inline constexpr std::uint32_t kEntryIgnoreLoop = 0x8;

inline constexpr std::uint32_t kStandardEntryBytes = 24;
inline constexpr std::uint32_t kCompactEntryBytes = 4;
inline constexpr std::uint32_t kNameSlotBytes = 64;
inline constexpr std::uint32_t kV1HeaderBytes = 0x50;
inline constexpr std::uint32_t kV1EntryBytes = 20;
inline constexpr std::uint32_t kSegmentHeaderBytes = 0x28;
// Entries a bank may have: the sound banks that refer to them use a 16-bit index.
inline constexpr std::uint32_t kMaxEntries = 0x10000;
inline constexpr std::uint32_t kMaxCompactAlignment = 2048;
inline constexpr unsigned kXBoxADPCMBlockFrames = 65;

enum class Codec : std::uint8_t { PCM = 0, XBoxADPCM = 1, WMA = 2, Other = 3 };

struct EntryFormat {
    Codec codec = Codec::XBoxADPCM;
    unsigned channels = 1;
    std::uint32_t sampleRate = 0;
    unsigned bits = 4;  // PCM: 8 (unsigned) or 16; Xbox ADPCM: 4; WMA: 0

    bool operator==(const EntryFormat&) const = default;
};

// The format word: version 1 keeps the rate at bits 4..30, versions 2 and 3 at bits 5..22.
EntryFormat DecodeFormatWord(std::uint32_t word, unsigned version);
std::uint32_t EncodeFormatWord(const EntryFormat& format, unsigned version);
// Bytes of one block (Xbox ADPCM: 36 per channel) or one frame (PCM); 1 for WMA.
unsigned UnitBytes(const EntryFormat& format);
// Frames in `bytes` of the entry: 65 per Xbox ADPCM block; 0 for WMA.
std::uint64_t FramesOf(const EntryFormat& format, std::uint64_t bytes);
std::string CodecName(const EntryFormat& format);

struct Entry {
    std::uint32_t flags = 0;  // versions 2 and 3
    std::uint32_t formatWord = 0;
    EntryFormat format;
    std::uint64_t offset = 0;      // from the start of the wave data
    std::uint64_t length = 0;      // play length, without padding
    std::uint32_t loopStart = 0;   // bytes from the entry's first byte
    std::uint32_t loopLength = 0;  // bytes; 0: no loop
    std::string name;
    std::vector<std::uint8_t> extra;  // metadata bytes past the 24 this reader knows, kept

    bool looped() const { return loopLength != 0 && (flags & kEntryIgnoreLoop) == 0; }
};

struct Bank {
    unsigned version = 3;
    std::uint32_t flags = 0;  // v1: the word at 0x08, kept unread
    // The bank name's bytes: 16 in versions 2 and 3; 0x10..0x4F in version 1 (the name and 48
    // bytes of unknown meaning, kept as they are).
    std::array<std::uint8_t, 64> nameBytes{};
    // The bank-data segment of versions 2 and 3 as read (36 or 40 bytes, or more), kept.
    std::vector<std::uint8_t> bankData;
    std::uint32_t entryBytes = kStandardEntryBytes;  // metadata element size
    std::uint32_t nameSlotBytes = kNameSlotBytes;
    // Versions 2 and 3: the alignment field. Version 1: the granularity offsets are rounded up
    // to, 0 meaning each entry's own unit (36 x channels for Xbox ADPCM, 4 for PCM).
    std::uint32_t alignment = 2048;
    std::uint32_t compactFormat = 0;  // version 3 compact banks: the shared format word
    std::vector<Entry> entries;
    std::uint64_t dataOffset = 0;  // absolute, as read
    std::uint64_t dataLength = 0;

    bool compact() const { return version >= 2 && (flags & kFlagCompact) != 0; }
    bool streaming() const { return version >= 2 && (flags & kFlagStreaming) != 0; }
    bool named() const { return version >= 2 && (flags & kFlagNames) != 0; }
    std::string Name() const;
    void SetName(std::string_view name);
};

// A bank with no entries yet: version 1, 2 or 3, streaming or in memory, names or not.
Bank NewBank(unsigned version, bool streaming, bool names, std::string_view name);

// Reads and checks a bank's header, entry table and names. Every failure is one line naming what
// is wrong (truncated, counts or offsets past the file, overlapping entries, an unknown version,
// the Xbox 360 byte order). Never reads the audio.
Expected<Bank> ReadBank(ByteSource& source, Warnings& warnings);

// Where each entry goes when the bank is written: every entry at the next aligned offset, in
// index order, and the zero fill after it.
struct Layout {
    std::uint64_t dataOffset = 0;  // absolute
    std::vector<std::uint64_t> offsets;
    std::uint64_t dataLength = 0;
    std::uint64_t fileBytes = 0;
};
Expected<Layout> PlanLayout(const Bank& bank);

// Writes exactly `entry.length` bytes of entry `index` to the sink.
using EntryWriter = std::function<Expected<bool>(std::size_t index, ByteSink& sink)>;

// Entries written unchanged from the bank being read: `source` and, for each such entry, where
// its bytes start in it (nullopt for an entry `entryBytes` writes). Neighbours whose bytes and
// zero fill lie in `source` as they will lie in the new bank are copied as one run, which the
// system copies fastest.
struct KeptEntries {
    ByteSource* source = nullptr;
    std::function<std::optional<std::uint64_t>(std::size_t index)> position;
};

// Writes `bank` laid out as PlanLayout says (the entries' offsets are taken from it), every
// entry's bytes coming from `kept` or `entryBytes`. The sink is written strictly in order.
Expected<bool> WriteBank(const Bank& bank, const EntryWriter& entryBytes, ByteSink& sink,
                         const KeptEntries& kept = {});

// Writes `count` zero bytes (alignment fill) to `sink`.
bool WriteZeros(ByteSink& sink, std::uint64_t count);

// Copies `length` bytes at `position` of `source` to `sink` in bounded pieces.
Expected<bool> CopyRange(ByteSource& source, std::uint64_t position, std::uint64_t length,
                         ByteSink& sink);

}  // namespace imabox::bank
