// SPDX-License-Identifier: MIT
// imabox C++ API: original-Xbox wave banks ("WBND", versions 1, 2 and 3; standard or compact,
// streaming or in memory).
//
// Open a bank, look at its entries, read an entry (its bytes, or as a WAVE file), replace an
// entry with any audio file Encode reads (converted to the entry's codec, channels and rate, its
// loop aligned to blocks), append entries, and write the bank out again. Audio is never held
// whole: entries are copied and converted a piece at a time, so a bank of gigabytes takes a few
// MiB. Banks can be read from any random-access source and written to any forward sink, so no
// file system is needed; paths are a convenience on top.
//
// Nothing is printed and nothing throws: failures come back as an Error with one line.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "imabox/expected.hpp"

namespace imabox {

enum class BankCodec { PCM, XBoxADPCM, WMA, Other };

struct BankEntryInfo {
    std::string name;  // empty when the bank has no names
    BankCodec codec = BankCodec::XBoxADPCM;
    unsigned channels = 0;
    std::uint32_t sampleRate = 0;
    unsigned bitsPerSample = 0;  // PCM 8 or 16, Xbox ADPCM 4, WMA 0
    std::uint64_t bytes = 0;     // play length
    std::uint64_t frames = 0;    // 65 per Xbox ADPCM block; 0 for WMA
    // The loop region, in bytes from the entry's start and in frames (end inclusive).
    bool looped = false;
    std::uint32_t loopStartBytes = 0;
    std::uint32_t loopLengthBytes = 0;
    std::uint64_t loopStart = 0;
    std::uint64_t loopEnd = 0;
    std::uint32_t flags = 0;  // entry flags (versions 2 and 3)
    std::uint32_t formatWord = 0;
};

struct BankInfo {
    unsigned version = 3;
    bool compact = false;
    bool streaming = false;
    bool named = false;
    std::string name;
    // Versions 2 and 3: the alignment field; version 1: the granularity of its offsets, 0 when
    // each entry starts at a multiple of its own block (36 x channels) or frame.
    std::uint32_t alignment = 0;
    std::uint32_t flags = 0;
    std::vector<BankEntryInfo> entries;
    std::vector<std::string> warnings;  // what the reader noticed but could read past
};

// Random access to a bank's bytes: reads up to out.size() bytes at `offset`, returns how many
// were read (fewer only at the end).
using BankReadAt = std::function<std::size_t(std::uint64_t offset, std::span<std::uint8_t> out)>;
// Receives the bytes written, in order; false when they could not be stored.
using BankSink = std::function<bool(std::span<const std::uint8_t> bytes)>;

struct BankReplaceOptions {
    int quality = 0;       // the encoder's search level, as for Encode (0..9)
    unsigned threads = 0;  // the searching encoder's threads (0: one per core)
    // A loop in the source's frames (end inclusive), instead of the source's own smpl or wsmp.
    std::optional<std::pair<std::uint64_t, std::uint64_t>> loop;
};

struct BankReplaceReport {
    std::string source;   // "FLAC 16-bit, 2 channels, 48000 Hz -> 1 channel, 22050 Hz"
    bool copied = false;  // the source was already the entry's format: its bytes were taken
    std::uint64_t bytes = 0;
    std::uint64_t frames = 0;
    std::string loop;  // what became of the loop, empty without one
    std::vector<std::string> warnings;
};

struct BankBuildOptions {
    unsigned version = 3;  // 1, 2 or 3
    bool streaming = false;
    std::string name;  // the bank name: at most 15 ASCII characters
    bool entryNames = true;
    int quality = 0;
    unsigned threads = 0;
    std::uint32_t sampleRate = 0;  // entries' rate; 0 keeps each source's
    unsigned channels = 0;         // entries' channels (1 or 2); 0 keeps each source's
};

class WaveBank {
  public:
    // A bank file, kept open for reading until the WaveBank is gone.
    static Expected<WaveBank> Open(const std::filesystem::path& file);
    // A bank of `size` bytes read through `read`, which must stay usable as long as the WaveBank.
    static Expected<WaveBank> Open(BankReadAt read, std::uint64_t size);
    // A new bank with no entries, to Append to.
    static Expected<WaveBank> Create(const BankBuildOptions& options);

    WaveBank(WaveBank&&) noexcept;
    WaveBank& operator=(WaveBank&&) noexcept;
    ~WaveBank();

    // The bank as it will be written (replacements included).
    const BankInfo& info() const;

    // An entry's bytes, as they are in the bank (or as they will be written).
    Expected<bool> ReadEntry(std::size_t index, const BankSink& out) const;
    // An entry as a WAVE file: Xbox ADPCM entries as 0x0069 files holding the entry's bytes,
    // PCM entries as PCM files, a loop as a smpl loop in frames; `decode`: 16-bit PCM. WMA
    // entries are not WAVE audio: ReadEntry gives their bytes.
    Expected<bool> ExtractWave(std::size_t index, bool decode, const BankSink& out) const;

    // Replaces entry `index` with the audio of `source` (anything Encode reads) converted to
    // the entry's codec, channels and rate; its loop becomes the entry's loop region in bytes.
    // The other entries, the count, the names and the flags stay as they are.
    // The source's headers are read here; when they tell its length, the audio is converted
    // when the bank is written (beside the copying of the other entries) or the entry first
    // read, and a fault in it is reported by that call. The file stays open until then.
    Expected<BankReplaceReport> Replace(std::size_t index, const std::filesystem::path& source,
                                        const BankReplaceOptions& options = {});
    // The same with the source file held in memory (copied; the span need not outlive the call).
    Expected<BankReplaceReport> Replace(std::size_t index, std::span<const std::uint8_t> source,
                                        const BankReplaceOptions& options = {});
    // Adds an Xbox ADPCM entry at the end (banks made with Create).
    Expected<BankReplaceReport> Append(const std::filesystem::path& source, std::string name);

    // Writes the bank: the data area laid out again, each entry at its aligned offset.
    Expected<bool> Write(const BankSink& out) const;
    // Writes to a file through a temporary file renamed over it once complete, so `output` may
    // be the file this bank was opened from; nothing is lost on failure.
    Expected<bool> Write(const std::filesystem::path& output) const;

  private:
    struct State;
    explicit WaveBank(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

// True when the first bytes are a wave bank's signature (either byte order).
bool LooksLikeWaveBank(std::span<const std::uint8_t> head);

}  // namespace imabox
