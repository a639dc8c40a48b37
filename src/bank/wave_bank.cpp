// SPDX-License-Identifier: MIT
#include "bank/wave_bank.hpp"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "io/errors.hpp"

namespace imabox::bank {
namespace {

constexpr std::uint32_t kSignature = 0x444E4257;         // "WBND"
constexpr std::uint32_t kSwappedSignature = 0x57424E44;  // "DNBW": Xbox 360 banks
constexpr std::size_t kCopyPieceBytes = std::size_t{1} << 20;
constexpr std::uint32_t kMaxAlignment = 0x10000;

std::uint32_t Get32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}
void Put32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

std::uint64_t RoundUp(std::uint64_t value, std::uint64_t unit) {
    return unit <= 1 ? value : (value + unit - 1) / unit * unit;
}

Error Bad(std::string_view what) {
    return MakeError(ErrorKind::Container, "not a readable wave bank: " + std::string(what));
}

// Reads `out.size()` bytes at `position`; false when the file is shorter.
bool ReadAt(ByteSource& source, std::uint64_t position, std::span<std::uint8_t> out) {
    return source.Seek(position) && source.Read(out) == out.size();
}

std::string NameFrom(std::span<const std::uint8_t> bytes) {
    std::string name;
    for (const std::uint8_t c : bytes) {
        if (c == 0)
            break;
        name += static_cast<char>(c);
    }
    return name;
}

bool CommonRate(std::uint32_t rate) {
    constexpr std::uint32_t kRates[] = {8000,  11025, 12000, 16000, 22050,
                                        24000, 32000, 44100, 48000};
    return std::find(std::begin(kRates), std::end(kRates), rate) != std::end(kRates);
}

// The offset each entry would get when laid out from 0 in index order with version 1's
// granularity (0: each entry's own unit).
std::vector<std::uint64_t> V1Offsets(const std::vector<Entry>& entries, std::uint32_t granularity) {
    std::vector<std::uint64_t> offsets;
    std::uint64_t at = 0;
    for (const Entry& e : entries) {
        at = RoundUp(at, granularity != 0
                             ? granularity
                             : (e.format.codec == Codec::XBoxADPCM ? UnitBytes(e.format) : 4));
        offsets.push_back(at);
        at += e.length;
    }
    return offsets;
}

// Entries must not overlap; the same bytes shared by two entries are allowed.
Expected<bool> CheckEntries(const Bank& bank) {
    std::vector<std::size_t> order(bank.entries.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    const auto& e = bank.entries;
    for (std::size_t i = 0; i < e.size(); ++i) {
        if (e[i].offset > bank.dataLength || e[i].length > bank.dataLength - e[i].offset)
            return Bad("entry " + std::to_string(i) + " (offset " + std::to_string(e[i].offset) +
                       ", " + std::to_string(e[i].length) + " bytes) runs past the wave data (" +
                       std::to_string(bank.dataLength) + " bytes)");
        if (e[i].looped() && (std::uint64_t{e[i].loopStart} + e[i].loopLength > e[i].length))
            return Bad("entry " + std::to_string(i) + "'s loop (bytes " +
                       std::to_string(e[i].loopStart) + " + " + std::to_string(e[i].loopLength) +
                       ") runs past its " + std::to_string(e[i].length) + " bytes");
    }
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return e[a].offset != e[b].offset ? e[a].offset < e[b].offset : e[a].length < e[b].length;
    });
    for (std::size_t k = 1; k < order.size(); ++k) {
        const Entry& a = e[order[k - 1]];
        const Entry& b = e[order[k]];
        const bool shared = a.offset == b.offset && a.length == b.length;
        if (!shared && a.length != 0 && b.length != 0 && a.offset + a.length > b.offset)
            return Bad("entries " + std::to_string(order[k - 1]) + " and " +
                       std::to_string(order[k]) + " overlap (bytes " + std::to_string(b.offset) +
                       ".." + std::to_string(a.offset + a.length - 1) + " of the wave data)");
    }
    return true;
}

Expected<Bank> ReadV1(ByteSource& source, std::uint64_t size, Warnings& warnings) {
    std::uint8_t head[kV1HeaderBytes];
    if (size < kV1HeaderBytes || !ReadAt(source, 0, head))
        return Bad("truncated: " + std::to_string(size) + " bytes, the version 1 header needs " +
                   std::to_string(kV1HeaderBytes));
    Bank bank;
    bank.version = 1;
    bank.flags = Get32(head + 0x08);
    const std::uint32_t count = Get32(head + 0x0C);
    std::copy(head + 0x10, head + 0x50, bank.nameBytes.begin());
    if (count > kMaxEntries)
        return Bad("entry count " + std::to_string(count) + " is over " +
                   std::to_string(kMaxEntries));
    const std::uint64_t tableEnd = kV1HeaderBytes + std::uint64_t{count} * kV1EntryBytes;
    if (tableEnd > size)
        return Bad("entry count " + std::to_string(count) + " runs past the file (" +
                   std::to_string(size) + " bytes)");
    std::vector<std::uint8_t> table(static_cast<std::size_t>(tableEnd - kV1HeaderBytes));
    if (!ReadAt(source, kV1HeaderBytes, table))
        return MakeError(ErrorKind::InputRead, "the entry table cannot be read");
    bank.dataOffset = tableEnd;
    bank.dataLength = size - tableEnd;
    bank.entryBytes = kV1EntryBytes;
    bool halfRate = false;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint8_t* p = table.data() + std::size_t{i} * kV1EntryBytes;
        Entry e;
        e.formatWord = Get32(p);
        e.format = DecodeFormatWord(e.formatWord, 1);
        e.offset = Get32(p + 4);
        e.length = Get32(p + 8);
        e.loopStart = Get32(p + 12);
        e.loopLength = Get32(p + 16);
        halfRate =
            halfRate || (!CommonRate(e.format.sampleRate) && CommonRate(e.format.sampleRate / 2) &&
                         e.format.sampleRate % 2 == 0);
        bank.entries.push_back(std::move(e));
    }
    if (halfRate)
        warnings.push_back(
            "a version 1 rate is not a common one but half of it is: the rate "
            "field may start one bit higher than this reader takes it");
    // The granularity new offsets are rounded to: what reproduces the bank's own layout.
    std::uint32_t granularity = 2048;
    for (const Entry& e : bank.entries)
        while (e.offset != 0 && granularity > 1 && e.offset % granularity != 0)
            granularity /= 2;
    std::vector<std::uint64_t> actual;
    for (const Entry& e : bank.entries)
        actual.push_back(e.offset);
    bank.alignment =
        (V1Offsets(bank.entries, granularity) != actual && V1Offsets(bank.entries, 0) == actual)
            ? 0
            : granularity;
    return bank;
}

Expected<Bank> ReadSegmented(ByteSource& source, std::uint64_t size, unsigned version,
                             Warnings& warnings) {
    std::uint8_t head[kSegmentHeaderBytes];
    if (size < kSegmentHeaderBytes || !ReadAt(source, 0, head))
        return Bad("truncated: " + std::to_string(size) + " bytes, the header needs " +
                   std::to_string(kSegmentHeaderBytes));
    std::uint64_t offset[4];
    std::uint64_t length[4];
    const char* const kSegment[4] = {"bank data", "entry metadata", "entry names", "wave data"};
    for (int s = 0; s < 4; ++s) {
        offset[s] = Get32(head + 8 + 8 * s);
        length[s] = Get32(head + 12 + 8 * s);
    }
    const std::uint32_t minBankData = version == 2 ? 36 : 40;
    if (length[0] < minBankData)
        return Bad("the bank data segment holds " + std::to_string(length[0]) + " bytes; version " +
                   std::to_string(version) + " has " + std::to_string(minBankData));
    for (int s = 0; s < 3; ++s)
        if (offset[s] + length[s] > size)
            return Bad(std::string("the ") + kSegment[s] + " segment (offset " +
                       std::to_string(offset[s]) + ", " + std::to_string(length[s]) +
                       " bytes) runs past the file (" + std::to_string(size) + " bytes)");
    Bank bank;
    bank.version = version;
    bank.bankData.resize(static_cast<std::size_t>(std::min<std::uint64_t>(length[0], 4096)));
    if (!ReadAt(source, offset[0], bank.bankData))
        return MakeError(ErrorKind::InputRead, "the bank data cannot be read");
    const std::uint8_t* b = bank.bankData.data();
    bank.flags = Get32(b);
    const std::uint32_t count = Get32(b + 4);
    std::copy(b + 8, b + 24, bank.nameBytes.begin());
    bank.entryBytes = Get32(b + 0x18);
    bank.nameSlotBytes = Get32(b + 0x1C);
    bank.alignment = Get32(b + 0x20);
    bank.compactFormat = version >= 3 ? Get32(b + 0x24) : 0;
    if (count > kMaxEntries)
        return Bad("entry count " + std::to_string(count) + " is over " +
                   std::to_string(kMaxEntries));
    const std::uint32_t minEntry = bank.compact() ? kCompactEntryBytes : kStandardEntryBytes;
    if (bank.entryBytes < minEntry || bank.entryBytes > 4096)
        return Bad("entry element size " + std::to_string(bank.entryBytes) + " (" +
                   (bank.compact() ? "compact entries take 4" : "standard entries take 24") + ")");
    if (bank.alignment > kMaxAlignment)
        return Bad("alignment " + std::to_string(bank.alignment) + " (at most " +
                   std::to_string(kMaxAlignment) + " is taken for real)");
    if (bank.named() && (bank.nameSlotBytes == 0 || bank.nameSlotBytes > 4096))
        return Bad("entry name element size " + std::to_string(bank.nameSlotBytes));
    if (bank.alignment == 0) {
        warnings.push_back("alignment 0 taken as 1");
        bank.alignment = 1;
    }
    if (bank.compact() && bank.alignment > kMaxCompactAlignment)
        return Bad("a compact bank aligned to " + std::to_string(bank.alignment) +
                   " bytes (at most 2048 fit its entries)");
    const std::uint64_t tableBytes = std::uint64_t{count} * bank.entryBytes;
    if (tableBytes > length[1])
        return Bad("entry count " + std::to_string(count) + " x " +
                   std::to_string(bank.entryBytes) + " bytes runs past the metadata segment (" +
                   std::to_string(length[1]) + " bytes)");
    bank.dataOffset = offset[3] != 0 ? offset[3] : offset[1] + tableBytes;
    bank.dataLength = length[3];
    if (bank.dataOffset > size || bank.dataLength > size - bank.dataOffset)
        return Bad("the wave data segment (offset " + std::to_string(bank.dataOffset) + ", " +
                   std::to_string(bank.dataLength) + " bytes) runs past the file (" +
                   std::to_string(size) + " bytes): truncated");
    std::vector<std::uint8_t> table(static_cast<std::size_t>(tableBytes));
    if (!ReadAt(source, offset[1], table))
        return MakeError(ErrorKind::InputRead, "the entry table cannot be read");
    bool readNames = bank.named() && length[2] != 0;
    if (readNames &&
        (bank.nameSlotBytes == 0 || std::uint64_t{count} * bank.nameSlotBytes > length[2])) {
        warnings.push_back("the entry names segment is too short for " + std::to_string(count) +
                           " names; names not read");
        readNames = false;
    }
    std::vector<std::uint8_t> names;
    if (readNames) {
        names.resize(static_cast<std::size_t>(std::uint64_t{count} * bank.nameSlotBytes));
        if (!ReadAt(source, offset[2], names))
            return MakeError(ErrorKind::InputRead, "the entry names cannot be read");
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint8_t* p = table.data() + std::size_t{i} * bank.entryBytes;
        Entry e;
        if (bank.compact()) {
            const std::uint32_t word = Get32(p);
            e.formatWord = bank.compactFormat;
            e.offset = std::uint64_t{word & 0x1FFFFF} * bank.alignment;
            e.length = word >> 21;  // the deviation, until the lengths are worked out below
        } else {
            e.flags = Get32(p);
            e.formatWord = Get32(p + 4);
            e.offset = Get32(p + 8);
            e.length = Get32(p + 12);
            e.loopStart = Get32(p + 16);
            e.loopLength = Get32(p + 20);
            e.extra.assign(p + kStandardEntryBytes, p + bank.entryBytes);
        }
        e.format = DecodeFormatWord(e.formatWord, version);
        if (readNames) {
            const auto slot =
                std::span(names).subspan(std::size_t{i} * bank.nameSlotBytes, bank.nameSlotBytes);
            e.name = NameFrom(slot);
        }
        bank.entries.push_back(std::move(e));
    }
    if (bank.compact()) {
        for (std::size_t i = 0; i < bank.entries.size(); ++i) {
            Entry& e = bank.entries[i];
            const std::uint64_t end =
                i + 1 < bank.entries.size() ? bank.entries[i + 1].offset : bank.dataLength;
            const std::uint64_t deviation = e.length;
            if (end < e.offset || end - e.offset < deviation)
                return Bad("compact entry " + std::to_string(i) + " (at " +
                           std::to_string(e.offset) + ", " + std::to_string(deviation) +
                           " bytes of padding) is out of order or ends before it starts");
            e.length = end - e.offset - deviation;
        }
    }
    return bank;
}

}  // namespace

EntryFormat DecodeFormatWord(std::uint32_t word, unsigned version) {
    EntryFormat f;
    if (version == 1) {
        f.codec = static_cast<Codec>(word & 1);
        f.channels = (word >> 1) & 7;
        f.sampleRate = (word >> 4) & 0x7FFFFFF;
    } else {
        f.codec = static_cast<Codec>(word & 3);
        f.channels = (word >> 2) & 7;
        f.sampleRate = (word >> 5) & 0x3FFFF;
    }
    f.bits = f.codec == Codec::PCM         ? ((word >> 31) != 0 ? 16 : 8)
             : f.codec == Codec::XBoxADPCM ? 4
                                           : 0;
    return f;
}

std::uint32_t EncodeFormatWord(const EntryFormat& f, unsigned version) {
    const std::uint32_t codec = static_cast<std::uint32_t>(f.codec);
    const std::uint32_t wide = f.codec == Codec::PCM && f.bits == 16 ? 0x80000000u : 0;
    if (version == 1)
        return (codec & 1) | ((f.channels & 7) << 1) | ((f.sampleRate & 0x7FFFFFF) << 4) | wide;
    return (codec & 3) | ((f.channels & 7) << 2) | ((f.sampleRate & 0x3FFFF) << 5) | wide;
}

unsigned UnitBytes(const EntryFormat& f) {
    const unsigned channels = std::max(1u, f.channels);
    switch (f.codec) {
        case Codec::XBoxADPCM:
            return 36 * channels;
        case Codec::PCM:
            return channels * (f.bits / 8);
        default:
            return 1;
    }
}

std::uint64_t FramesOf(const EntryFormat& f, std::uint64_t bytes) {
    if (f.codec == Codec::XBoxADPCM)
        return bytes / UnitBytes(f) * kXBoxADPCMBlockFrames;
    if (f.codec == Codec::PCM)
        return bytes / UnitBytes(f);
    return 0;
}

std::string CodecName(const EntryFormat& f) {
    switch (f.codec) {
        case Codec::XBoxADPCM:
            return "Xbox ADPCM";
        case Codec::PCM:
            return f.bits == 16 ? "PCM 16-bit" : "PCM 8-bit";
        case Codec::WMA:
            return "WMA";
        case Codec::Other:
            break;
    }
    return "codec 3";
}

std::string Bank::Name() const {
    return NameFrom(std::span(nameBytes).first(16));
}

void Bank::SetName(std::string_view name) {
    std::fill(nameBytes.begin(), nameBytes.begin() + 16, std::uint8_t{0});
    const std::size_t n = std::min<std::size_t>(name.size(), 15);
    std::memcpy(nameBytes.data(), name.data(), n);
}

Bank NewBank(unsigned version, bool streaming, bool names, std::string_view name) {
    Bank bank;
    bank.version = version;
    bank.SetName(name);
    if (version == 1) {
        bank.flags = 0;
        bank.entryBytes = kV1EntryBytes;
        bank.alignment = 0;
        return bank;
    }
    bank.flags = (streaming ? kFlagStreaming : 0) | (names ? kFlagNames : 0);
    bank.alignment = streaming ? 2048 : 512;
    bank.bankData.assign(version == 2 ? 36 : 40, 0);
    return bank;
}

Expected<Bank> ReadBank(ByteSource& source, Warnings& warnings) {
    const std::optional<std::uint64_t> size = source.Size();
    if (!size || !source.Seekable())
        return MakeError(ErrorKind::InputRead, "a wave bank is read from a file, not a stream");
    std::uint8_t head[8];
    if (*size < 8 || !ReadAt(source, 0, head))
        return Bad("truncated: " + std::to_string(*size) + " bytes");
    if (source.Failed())
        return MakeError(ErrorKind::InputRead, SystemErrorText(source.ErrorNumber()));
    const std::uint32_t signature = Get32(head);
    if (signature == kSwappedSignature)
        return MakeError(ErrorKind::Unsupported,
                         "an Xbox 360 wave bank (byte order \"DNBW\"): only original-Xbox banks "
                         "(\"WBND\") are read");
    if (signature != kSignature)
        return Bad("no \"WBND\" signature");
    const std::uint32_t version = Get32(head + 4);
    Expected<Bank> bank =
        version == 1 ? ReadV1(source, *size, warnings)
        : (version == 2 || version == 3)
            ? ReadSegmented(source, *size, version, warnings)
            : Expected<Bank>(MakeError(ErrorKind::Unsupported,
                                       "wave bank version " + std::to_string(version) +
                                           " is not known (versions 1, 2 and 3 are read)"));
    if (!bank)
        return bank;
    if (source.Failed())
        return MakeError(ErrorKind::InputRead, SystemErrorText(source.ErrorNumber()));
    if (const Expected<bool> checked = CheckEntries(bank.value()); !checked)
        return checked.error();
    return bank;
}

Expected<Layout> PlanLayout(const Bank& bank) {
    const std::size_t count = bank.entries.size();
    if (count > kMaxEntries)
        return MakeError(ErrorKind::InvalidArgument, std::to_string(count) +
                                                         " entries; a bank holds at most " +
                                                         std::to_string(kMaxEntries));
    Layout layout;
    if (bank.version == 1) {
        layout.dataOffset = kV1HeaderBytes + std::uint64_t{count} * kV1EntryBytes;
        layout.offsets = V1Offsets(bank.entries, bank.alignment);
        layout.dataLength = count == 0 ? 0 : layout.offsets.back() + bank.entries.back().length;
    } else {
        std::uint64_t end =
            kSegmentHeaderBytes + bank.bankData.size() + std::uint64_t{count} * bank.entryBytes;
        if (bank.named())
            end += std::uint64_t{count} * bank.nameSlotBytes;
        const std::uint64_t align = std::max<std::uint32_t>(bank.alignment, 1);
        layout.dataOffset = RoundUp(end, align);
        std::uint64_t at = 0;
        for (const Entry& e : bank.entries) {
            layout.offsets.push_back(at);
            at = RoundUp(at + e.length, align);
        }
        layout.dataLength = at;
        if (bank.compact() && at / align > 0x200000)
            return MakeError(ErrorKind::OutputTooLarge,
                             "a compact bank's wave data reaches past 0x1FFFFF x its alignment");
    }
    layout.fileBytes = layout.dataOffset + layout.dataLength;
    const std::uint64_t limit = 0xFFFFFFFFu;
    if (layout.dataLength > limit || layout.dataOffset > limit)
        return MakeError(ErrorKind::OutputTooLarge, "the wave data would pass 4 GiB");
    return layout;
}

Expected<bool> CopyRange(ByteSource& source, std::uint64_t position, std::uint64_t length,
                         ByteSink& sink) {
    // File to file: the system copies without the bytes passing through here, where it can.
    if (std::FILE* file = source.NativeFile()) {
        const std::uint64_t done = sink.CopyFromFile(file, position, length);
        position += done;
        length -= done;
    }
    if (!source.Seek(position))
        return MakeError(ErrorKind::InputRead, "cannot seek to byte " + std::to_string(position));
    std::vector<std::uint8_t> piece(
        static_cast<std::size_t>(std::min<std::uint64_t>(length, kCopyPieceBytes)));
    while (length != 0) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(length, piece.size()));
        const std::size_t got = source.Read(std::span(piece).first(n));
        if (got != n)
            return MakeError(
                source.Failed() ? ErrorKind::InputRead : ErrorKind::Truncated,
                source.Failed() ? SystemErrorText(source.ErrorNumber()) : "the input ended early");
        if (!sink.Write(std::span(piece).first(n)))
            return MakeError(ErrorKind::OutputWrite, SystemErrorText(sink.ErrorNumber()));
        length -= n;
    }
    return true;
}

namespace {

// Counts what goes through to the bank's sink.
class CountingSink final : public ByteSink {
  public:
    explicit CountingSink(ByteSink& sink) : sink_(sink) {}
    bool Write(std::span<const std::uint8_t> bytes) override {
        written += bytes.size();
        return sink_.Write(bytes);
    }
    int ErrorNumber() const override { return sink_.ErrorNumber(); }
    std::uint64_t CopyFromFile(std::FILE* from, std::uint64_t offset,
                               std::uint64_t length) override {
        const std::uint64_t done = sink_.CopyFromFile(from, offset, length);
        written += done;
        return done;
    }
    std::uint64_t written = 0;

  private:
    ByteSink& sink_;
};

}  // namespace

bool WriteZeros(ByteSink& sink, std::uint64_t count) {
    static const std::uint8_t kZeros[4096] = {};
    while (count != 0) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(count, sizeof kZeros));
        if (!sink.Write(std::span(kZeros, n)))
            return false;
        count -= n;
    }
    return true;
}

namespace {

// Whether `length` bytes at `position` of `source` are all zero (false when they cannot be read).
bool ZerosAt(ByteSource& source, std::uint64_t position, std::uint64_t length) {
    std::array<std::uint8_t, 4096> piece;
    if (!source.Seek(position))
        return false;
    while (length != 0) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(length, piece.size()));
        if (source.Read(std::span(piece).first(n)) != n ||
            std::any_of(piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(n),
                        [](std::uint8_t b) { return b != 0; }))
            return false;
        length -= n;
    }
    return true;
}

// The last entry of the run of kept entries starting at `first`: each next one lies in the
// source as far after its predecessor as it will in the new bank, with only zeros between.
std::size_t KeptRunEnd(const Bank& bank, const Layout& layout, const KeptEntries& kept,
                       std::size_t first, std::uint64_t start) {
    constexpr std::uint64_t kMaxGap = 64 * 1024;  // alignment fill, not a hole worth reading
    std::size_t last = first;
    std::uint64_t end = start + bank.entries[first].length;
    while (last + 1 < bank.entries.size()) {
        const std::optional<std::uint64_t> next = kept.position(last + 1);
        const std::uint64_t gap =
            layout.offsets[last + 1] - (layout.offsets[last] + bank.entries[last].length);
        if (!next || *next < end || *next - end != gap || gap > kMaxGap ||
            !ZerosAt(*kept.source, end, gap))
            break;
        ++last;
        end = *next + bank.entries[last].length;
    }
    return last;
}

}  // namespace

Expected<bool> WriteBank(const Bank& bank, const EntryWriter& entryBytes, ByteSink& out,
                         const KeptEntries& kept) {
    Expected<Layout> planned = PlanLayout(bank);
    if (!planned)
        return planned.error();
    const Layout& layout = planned.value();
    const std::size_t count = bank.entries.size();
    const auto fail = [&out] {
        return MakeError(ErrorKind::OutputWrite, SystemErrorText(out.ErrorNumber()));
    };
    std::vector<std::uint8_t> head;
    if (bank.version == 1) {
        head.assign(static_cast<std::size_t>(layout.dataOffset), 0);
        Put32(&head[0], kSignature);
        Put32(&head[4], 1);
        Put32(&head[8], bank.flags);
        Put32(&head[12], static_cast<std::uint32_t>(count));
        std::copy(bank.nameBytes.begin(), bank.nameBytes.end(), head.begin() + 0x10);
        for (std::size_t i = 0; i < count; ++i) {
            const Entry& e = bank.entries[i];
            std::uint8_t* p = &head[kV1HeaderBytes + i * kV1EntryBytes];
            Put32(p, e.formatWord);
            Put32(p + 4, static_cast<std::uint32_t>(layout.offsets[i]));
            Put32(p + 8, static_cast<std::uint32_t>(e.length));
            Put32(p + 12, e.loopStart);
            Put32(p + 16, e.loopLength);
        }
    } else {
        const std::uint64_t bankDataAt = kSegmentHeaderBytes;
        const std::uint64_t metaAt = bankDataAt + bank.bankData.size();
        const std::uint64_t metaBytes = std::uint64_t{count} * bank.entryBytes;
        const std::uint64_t namesAt = metaAt + metaBytes;
        const std::uint64_t namesBytes =
            bank.named() ? std::uint64_t{count} * bank.nameSlotBytes : 0;
        head.assign(static_cast<std::size_t>(namesAt + namesBytes), 0);
        Put32(&head[0], kSignature);
        Put32(&head[4], bank.version);
        const std::uint64_t segments[4][2] = {{bankDataAt, bank.bankData.size()},
                                              {metaAt, metaBytes},
                                              {namesBytes ? namesAt : 0, namesBytes},
                                              {layout.dataOffset, layout.dataLength}};
        for (int s = 0; s < 4; ++s) {
            Put32(&head[8 + 8 * s], static_cast<std::uint32_t>(segments[s][0]));
            Put32(&head[12 + 8 * s], static_cast<std::uint32_t>(segments[s][1]));
        }
        std::uint8_t* b = &head[bankDataAt];
        std::copy(bank.bankData.begin(), bank.bankData.end(), b);
        Put32(b, bank.flags);
        Put32(b + 4, static_cast<std::uint32_t>(count));
        std::copy(bank.nameBytes.begin(), bank.nameBytes.begin() + 16, b + 8);
        Put32(b + 0x18, bank.entryBytes);
        Put32(b + 0x1C, bank.nameSlotBytes);
        Put32(b + 0x20, bank.alignment);
        if (bank.version >= 3)
            Put32(b + 0x24, bank.compactFormat);
        for (std::size_t i = 0; i < count; ++i) {
            const Entry& e = bank.entries[i];
            std::uint8_t* p = &head[metaAt + i * bank.entryBytes];
            if (bank.compact()) {
                const std::uint64_t padded =
                    (i + 1 < count ? layout.offsets[i + 1] : layout.dataLength) - layout.offsets[i];
                const std::uint64_t deviation = padded - e.length;
                Put32(p, static_cast<std::uint32_t>(layout.offsets[i] / bank.alignment) |
                             static_cast<std::uint32_t>(deviation << 21));
            } else {
                Put32(p, e.flags);
                Put32(p + 4, e.formatWord);
                Put32(p + 8, static_cast<std::uint32_t>(layout.offsets[i]));
                Put32(p + 12, static_cast<std::uint32_t>(e.length));
                Put32(p + 16, e.loopStart);
                Put32(p + 20, e.loopLength);
                std::copy_n(
                    e.extra.begin(),
                    std::min<std::size_t>(e.extra.size(), bank.entryBytes - kStandardEntryBytes),
                    p + kStandardEntryBytes);
            }
            if (namesBytes != 0) {
                std::uint8_t* n = &head[namesAt + i * bank.nameSlotBytes];
                std::memcpy(n, e.name.data(),
                            std::min<std::size_t>(e.name.size(), bank.nameSlotBytes - 1));
            }
        }
    }
    if (!out.Write(head) || !WriteZeros(out, layout.dataOffset - head.size()))
        return fail();
    std::uint64_t at = 0;  // in the wave data
    for (std::size_t i = 0; i < count; ++i) {
        if (!WriteZeros(out, layout.offsets[i] - at))
            return fail();
        if (const std::optional<std::uint64_t> position =
                kept.source ? kept.position(i) : std::nullopt) {
            const std::size_t last = KeptRunEnd(bank, layout, kept, i, *position);
            const std::uint64_t end = layout.offsets[last] + bank.entries[last].length;
            if (const Expected<bool> copied =
                    CopyRange(*kept.source, *position, end - layout.offsets[i], out);
                !copied)
                return copied.error();
            at = end;
            i = last;
            continue;
        }
        CountingSink counted(out);
        if (const Expected<bool> written = entryBytes(i, counted); !written)
            return written.error();
        if (counted.written != bank.entries[i].length)
            return MakeError(ErrorKind::Internal, "entry " + std::to_string(i) + " gave " +
                                                      std::to_string(counted.written) +
                                                      " bytes, not " +
                                                      std::to_string(bank.entries[i].length));
        at = layout.offsets[i] + bank.entries[i].length;
    }
    if (!WriteZeros(out, layout.dataLength - at))
        return fail();
    return true;
}

}  // namespace imabox::bank
