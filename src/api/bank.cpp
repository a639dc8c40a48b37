// SPDX-License-Identifier: MIT
// The wave bank API: the bank layer's reader and writer, entries staged from converted audio.
#include "imabox/bank.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <new>
#include <system_error>
#include <thread>

#include "api/bank_convert.hpp"
#include "bank/bank_wave.hpp"
#include "bank/wave_bank.hpp"
#include "io/errors.hpp"
#include "io/file.hpp"
#include "io/output_file.hpp"
#include "io/wide_path.hpp"
#include "wave/wave_metadata.hpp"
#include "wave/wave_walker.hpp"

namespace imabox {
namespace {

using bank::Codec;

// A bank read through a caller's function.
class ReadAtSource final : public ByteSource {
  public:
    ReadAtSource(BankReadAt read, std::uint64_t size) : read_(std::move(read)), size_(size) {}
    std::size_t Read(std::span<std::uint8_t> out) override {
        if (position_ >= size_)
            return 0;
        const auto n =
            static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), size_ - position_));
        const std::size_t got = read_(position_, out.first(n));
        position_ += got;
        return got;
    }
    void Skip(std::uint64_t bytes) override { position_ += bytes; }
    bool Failed() const override { return false; }
    std::uint64_t Position() const override { return position_; }
    std::optional<std::uint64_t> Size() const override { return size_; }
    bool Seekable() const override { return true; }
    bool Seek(std::uint64_t position) override {
        position_ = position;
        return true;
    }

  private:
    BankReadAt read_;
    std::uint64_t size_;
    std::uint64_t position_ = 0;
};

class FunctionSink final : public ByteSink {
  public:
    explicit FunctionSink(const BankSink& sink) : sink_(sink) {}
    bool Write(std::span<const std::uint8_t> bytes) override { return sink_(bytes); }

  private:
    const BankSink& sink_;
};

class OutputFileSink final : public ByteSink {
  public:
    explicit OutputFileSink(io::OutputFile& out) : out_(out) {}
    bool Write(std::span<const std::uint8_t> bytes) override { return out_.Write(bytes); }
    int ErrorNumber() const override { return out_.error().code.value(); }
    std::uint64_t CopyFromFile(std::FILE* from, std::uint64_t offset,
                               std::uint64_t length) override {
        FileByteSink file(out_.stream());
        return file.CopyFromFile(from, offset, length);
    }

  private:
    io::OutputFile& out_;
};

// Writes at a place in a file already written past it, moving on with each write.
class PlacedSink final : public ByteSink {
  public:
    PlacedSink(std::FILE* file, std::uint64_t position) : file_(file), position_(position) {}
    bool Write(std::span<const std::uint8_t> bytes) override {
        if (!file_.WriteAt(position_, bytes))
            return false;
        position_ += bytes.size();
        return true;
    }
    int ErrorNumber() const override { return file_.ErrorNumber(); }

  private:
    FileByteSink file_;
    std::uint64_t position_;
};

// Joins a thread when it goes out of scope.
struct JoinOnExit {
    std::thread& thread;
    ~JoinOnExit() {
        if (thread.joinable())
            thread.join();
    }
};

// Bytes kept for an entry until the bank is written: a temporary file, or memory.
struct Store {
    std::shared_ptr<std::FILE> file;
    std::shared_ptr<std::vector<std::uint8_t>> memory;

    static Expected<Store> Make(bool inMemory) {
        Store store;
        if (inMemory) {
            store.memory = std::make_shared<std::vector<std::uint8_t>>();
            return store;
        }
        errno = 0;
        FileHandle file = OpenTemporaryFile();
        if (!file)
            return MakeError(ErrorKind::OutputCreate,
                             "no temporary file for the new entry: " + SystemErrorText(errno));
        store.file.reset(file.release(), FileCloser{});
        return store;
    }
    std::unique_ptr<ByteSink> Sink() const {
        if (memory)
            return std::make_unique<MemoryByteSink>(*memory);
        return std::make_unique<FileByteSink>(file.get());
    }
    std::unique_ptr<ByteSource> Source() const {
        if (memory)
            return std::make_unique<MemoryByteSource>(*memory);
        std::fflush(file.get());
        std::rewind(file.get());
        return std::make_unique<FileByteSource>(file.get());
    }
};

// What a WAVE file in a store holds: format, data and the first loop.
struct StoredWave {
    WaveHeader header;
    std::optional<bank::FrameLoop> loop;
};

Expected<StoredWave> ReadStoredWave(ByteSource& source, Warnings& warnings) {
    Expected<WaveHeader> header = ReadWaveHeader(source);
    if (!header)
        return header.error();
    StoredWave wave{header.value(), std::nullopt};
    const WaveMetadata metadata = ReadWaveMetadata(source, wave.header.otherChunks, warnings);
    if (metadata.sampler)
        for (const SampleLoop& loop : metadata.sampler->loops)
            if (loop.type == kLoopForward && loop.end >= loop.start) {
                wave.loop = bank::FrameLoop{loop.start, loop.end};
                break;
            }
    return wave;
}

// A source file given for an entry, open for reading.
struct OpenSource {
    Store store;
    std::unique_ptr<ByteSource> bytes;
    std::string name;  // for messages
};

Expected<OpenSource> OpenSourceFile(const std::filesystem::path& path) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec))
        return MakeError(ErrorKind::InputIsFolder);
    errno = 0;
    std::FILE* file = OpenFile(path, "rb").release();
    if (!file)
        return MakeError(ErrorKind::InputOpen, PathToUtf8(path) + ": " + SystemErrorText(errno));
    OpenSource source;
    source.store.file.reset(file, FileCloser{});
    source.bytes = std::make_unique<FileByteSource>(file);
    source.name = PathToUtf8(path);
    if (!source.bytes->Seekable())
        return MakeError(ErrorKind::InputRead, source.name + " is not a regular file");
    return source;
}

// A conversion planned when an entry is replaced and run when its bytes are first needed: while
// the bank is written, in a second thread beside the copying of the other entries, or when the
// entry is read. Its source stays open until then.
struct PendingConversion {
    OpenSource source;
    std::optional<Store> decoded;  // an Xbox ADPCM source, decoded first
    std::unique_ptr<ByteSource> decodedBytes;
    std::optional<EntryJob> job;
    Store out;
    // Once run: the failure, or where the data is in `out` and the loop it carries.
    bool ran = false;
    std::optional<Error> failure;
    std::uint64_t dataOffset = 0;
    std::uint64_t dataBytes = 0;
    std::optional<bank::FrameLoop> loop;
    Warnings warnings;

    Expected<bool> Run() {
        if (!ran) {
            ran = true;
            failure = RunOnce();
            job.reset();  // closes the source
            decodedBytes.reset();
            decoded.reset();
            source = {};
        }
        if (failure)
            return *failure;
        return true;
    }

  private:
    std::optional<Error> RunOnce() try {
        {
            std::unique_ptr<ByteSink> sink = out.Sink();
            if (const Expected<EncodeReport> r = job->Run(*sink); !r) {
                Error e = r.error();
                if (!source.name.empty())
                    e.message = source.name + ": " + e.message;
                return e;
            }
        }
        std::unique_ptr<ByteSource> result = out.Source();
        Expected<StoredWave> wave = ReadStoredWave(*result, warnings);
        if (!wave || !wave->header.dataBytes)
            return MakeError(ErrorKind::Internal, "the converted entry cannot be read back");
        dataOffset = wave->header.dataOffset;
        dataBytes = *wave->header.dataBytes;
        loop = wave->loop;
        return std::nullopt;
    } catch (const std::bad_alloc&) {
        return MakeError(ErrorKind::OutOfMemory);
    } catch (const std::exception& e) {  // it may run on a thread of its own
        return MakeError(ErrorKind::Internal, e.what());
    }
};

// An entry's new bytes: `length` bytes at `offset` of a store, or of a conversion's output once
// it has run; 16-bit PCM written as 8-bit.
struct Payload {
    Store store;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    bool toPcm8 = false;
    std::shared_ptr<PendingConversion> pending;
};

// The payload with its bytes in place: a pending conversion is run first.
Expected<Payload> Ready(const Payload& payload) {
    if (!payload.pending)
        return payload;
    PendingConversion& p = *payload.pending;
    if (const Expected<bool> ran = p.Run(); !ran)
        return ran.error();
    if (p.dataBytes < payload.length)
        return MakeError(ErrorKind::Internal, "the new entry came out " +
                                                  std::to_string(p.dataBytes) + " bytes, not " +
                                                  std::to_string(payload.length));
    return Payload{p.out, p.dataOffset, payload.length, payload.toPcm8, nullptr};
}

Expected<bool> WritePayload(const Payload& staged, ByteSink& sink) {
    Expected<Payload> ready = Ready(staged);
    if (!ready)
        return ready.error();
    const Payload& payload = ready.value();
    std::unique_ptr<ByteSource> source = payload.store.Source();
    if (!payload.toPcm8)
        return bank::CopyRange(*source, payload.offset, payload.length, sink);
    if (!source->Seek(payload.offset))
        return MakeError(ErrorKind::InputRead, "cannot seek in the new entry");
    std::vector<std::uint8_t> in(1 << 16);
    std::vector<std::uint8_t> out;
    for (std::uint64_t left = payload.length; left != 0;) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(left, in.size() / 2));
        if (source->Read(std::span(in).first(2 * n)) != 2 * n)
            return MakeError(ErrorKind::Truncated, "the new entry ended early");
        out.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            const int sample = static_cast<std::int16_t>(in[2 * i] | (in[2 * i + 1] << 8));
            out[i] = static_cast<std::uint8_t>(std::clamp((sample + 32768 + 128) >> 8, 0, 255));
        }
        if (!sink.Write(out))
            return MakeError(ErrorKind::OutputWrite, SystemErrorText(sink.ErrorNumber()));
        left -= n;
    }
    return true;
}

BankCodec PublicCodec(Codec codec) {
    switch (codec) {
        case Codec::PCM:
            return BankCodec::PCM;
        case Codec::XBoxADPCM:
            return BankCodec::XBoxADPCM;
        case Codec::WMA:
            return BankCodec::WMA;
        case Codec::Other:
            break;
    }
    return BankCodec::Other;
}

std::string Channels(unsigned n) {
    return std::to_string(n) + (n == 1 ? " channel" : " channels");
}

std::string Describe(const EncodeReport& r) {
    std::string text =
        (r.inputContainer.empty() ? DescribeSourceFormat(r.input) : r.inputContainer) + ", " +
        Channels(r.inputChannels) + ", " + std::to_string(r.inputSampleRate) + " Hz";
    if (r.outputChannels != r.inputChannels || r.outputSampleRate != r.inputSampleRate)
        text +=
            " -> " + Channels(r.outputChannels) + ", " + std::to_string(r.outputSampleRate) + " Hz";
    return text;
}

// Audio staged for an entry: its bytes, format and loop (in its own frames).
struct Staged {
    Payload payload;
    bank::EntryFormat format;
    std::optional<bank::FrameLoop> loop;
    BankReplaceReport report;
};

// Converts `source` to `target` (a codec; channels and rate 0 keep the source's) and stages it.
// An Xbox ADPCM source already in the target format is taken as it is. With `defer`, a
// conversion whose output length is known from the source's headers is left to run when the
// bytes are needed.
Expected<Staged> Stage(OpenSource source, bank::EntryFormat target,
                       const BankReplaceOptions& options, bool inMemory, bool defer) {
    Staged staged;
    auto pending = std::make_shared<PendingConversion>();
    ByteSource* from = source.bytes.get();
    {
        Warnings warnings;
        Expected<StoredWave> wave = ReadStoredWave(*from, warnings);
        if (wave && wave->header.format == SourceFormat::XBoxADPCM) {
            const WaveHeader& h = wave->header;
            const bool same = target.codec == Codec::XBoxADPCM &&
                              (target.channels == 0 || target.channels == h.channels) &&
                              (target.sampleRate == 0 || target.sampleRate == h.sampleRate);
            if (same && h.dataBytes) {
                const std::uint64_t unit = 36u * h.channels;
                staged.payload = {source.store, h.dataOffset, *h.dataBytes / unit * unit, false,
                                  nullptr};
                staged.format = {Codec::XBoxADPCM, h.channels, h.sampleRate, 4};
                staged.loop = wave->loop;
                if (options.loop)
                    staged.loop = bank::FrameLoop{options.loop->first, options.loop->second};
                staged.report.copied = true;
                staged.report.source = "Xbox ADPCM (0x0069), " + Channels(h.channels) + ", " +
                                       std::to_string(h.sampleRate) + " Hz, taken as it is";
                staged.report.warnings = std::move(warnings);
                return staged;
            }
            Expected<Store> store = Store::Make(inMemory);
            if (!store)
                return store.error();
            pending->decoded = std::move(store).value();
            if (!from->Seek(0))
                return MakeError(ErrorKind::InputRead, "cannot read the source again");
            std::unique_ptr<ByteSink> sink = pending->decoded->Sink();
            if (Expected<bool> r = DecodeForEntry(*from, *sink); !r)
                return r.error();
            pending->decodedBytes = pending->decoded->Source();
            from = pending->decodedBytes.get();
        }
        if (!from->Seek(0))
            return MakeError(ErrorKind::InputRead, "cannot read the source again");
    }
    const bool adpcm = target.codec == Codec::XBoxADPCM;
    Expected<EntryJob> job = PlanEntryConversion(*from, {.adpcm = adpcm,
                                                         .channels = target.channels,
                                                         .sampleRate = target.sampleRate,
                                                         .quality = options.quality,
                                                         .threads = options.threads,
                                                         .loop = options.loop});
    if (!job)
        return job.error();
    Expected<Store> out = Store::Make(inMemory);
    if (!out)
        return out.error();
    const EncodeReport& planned = job->report();
    staged.report.source = Describe(planned);
    staged.report.loop = planned.loop;
    staged.report.warnings = planned.warnings;
    const bool pcm8 = target.codec == Codec::PCM && target.bits == 8;
    staged.format = {target.codec, planned.outputChannels, planned.outputSampleRate,
                     adpcm ? 4u : (pcm8 ? 8u : 16u)};
    const std::uint64_t unit = adpcm ? 36u * planned.outputChannels : 2u * planned.outputChannels;
    const std::optional<std::uint64_t> known = job->dataBytes();
    if (const auto loop = job->loop())
        staged.loop = bank::FrameLoop{loop->first, loop->second};
    pending->source = std::move(source);
    pending->job = std::move(job).value();
    pending->out = std::move(out).value();
    if (defer && known) {
        staged.payload = {{}, 0, *known / unit * unit, pcm8, std::move(pending)};
        return staged;
    }
    if (const Expected<bool> ran = pending->Run(); !ran)
        return ran.error();
    staged.report.warnings.insert(staged.report.warnings.end(), pending->warnings.begin(),
                                  pending->warnings.end());
    staged.payload = {pending->out, pending->dataOffset, pending->dataBytes / unit * unit, pcm8,
                      nullptr};
    staged.loop = pending->loop;
    return staged;
}

}  // namespace

struct WaveBank::State {
    FileHandle file;  // when opened from a path
    std::filesystem::path path;
    std::unique_ptr<ByteSource> source;
    bank::Bank bank;
    std::vector<std::optional<Payload>> payloads;  // new bytes of replaced or added entries
    std::vector<std::string> warnings;
    BankInfo info;
    // What Append makes (banks made with Create).
    int buildQuality = 0;
    unsigned buildThreads = 0;
    unsigned buildChannels = 0;
    std::uint32_t buildRate = 0;
    std::optional<Store> spool;  // the new entries Append made
    std::uint64_t spoolBytes = 0;

    // Reads the bank's header, entry table and names from `source`.
    Expected<bool> Load() {
        bank::Warnings read;
        Expected<bank::Bank> loaded = bank::ReadBank(*source, read);
        if (!loaded)
            return loaded.error();
        bank = std::move(loaded).value();
        warnings = std::move(read);
        payloads.resize(bank.entries.size());
        Refresh();
        return true;
    }

    void Refresh() {
        info.version = bank.version;
        info.compact = bank.compact();
        info.streaming = bank.streaming();
        info.named = bank.named();
        info.name = bank.Name();
        info.alignment = bank.alignment;
        info.flags = bank.flags;
        info.warnings = warnings;
        info.entries.clear();
        for (const bank::Entry& e : bank.entries) {
            BankEntryInfo entry;
            entry.name = e.name;
            entry.codec = PublicCodec(e.format.codec);
            entry.channels = e.format.channels;
            entry.sampleRate = e.format.sampleRate;
            entry.bitsPerSample = e.format.bits;
            entry.bytes = e.length;
            entry.frames = bank::FramesOf(e.format, e.length);
            entry.looped = e.looped();
            entry.loopStartBytes = e.loopStart;
            entry.loopLengthBytes = e.loopLength;
            if (const auto loop = bank::EntryLoopFrames(e)) {
                entry.loopStart = loop->start;
                entry.loopEnd = loop->end;
            }
            entry.flags = e.flags;
            entry.formatWord = e.formatWord;
            info.entries.push_back(std::move(entry));
        }
    }

    // Entry `index`'s bytes to `sink`.
    Expected<bool> EntryBytes(std::size_t index, ByteSink& sink) const {
        if (payloads[index])
            return WritePayload(*payloads[index], sink);
        const bank::Entry& e = bank.entries[index];
        return bank::CopyRange(*source, bank.dataOffset + e.offset, e.length, sink);
    }

    // Writes the entries left as zeros while their conversions ran into their places.
    Expected<bool> FillDeferred(std::FILE* out, std::span<const std::size_t> deferred) const {
        Expected<bank::Layout> layout = bank::PlanLayout(bank);
        if (!layout)
            return layout.error();
        for (const std::size_t i : deferred) {
            PlacedSink placed(out, layout->dataOffset + layout->offsets[i]);
            if (const Expected<bool> written = WritePayload(*payloads[i], placed); !written)
                return written;
        }
        return true;
    }

    // The entries written as they are in the bank read, for the writer to copy in runs.
    bank::KeptEntries Kept() const {
        if (!source)
            return {};
        return {source.get(), [this](std::size_t index) -> std::optional<std::uint64_t> {
                    if (payloads[index])
                        return std::nullopt;
                    return bank.dataOffset + bank.entries[index].offset;
                }};
    }

    Expected<bool> CheckIndex(std::size_t index) const {
        if (index >= bank.entries.size())
            return MakeError(ErrorKind::InvalidArgument,
                             "no entry " + std::to_string(index) + " (the bank has " +
                                 std::to_string(bank.entries.size()) + ")");
        return true;
    }

    Expected<BankReplaceReport> Replace(std::size_t index, OpenSource source,
                                        const BankReplaceOptions& options, bool inMemory);
};

Expected<BankReplaceReport> WaveBank::State::Replace(std::size_t index, OpenSource source,
                                                     const BankReplaceOptions& options,
                                                     bool inMemory) {
    if (const Expected<bool> ok = CheckIndex(index); !ok)
        return ok.error();
    bank::Entry& entry = bank.entries[index];
    const bank::EntryFormat target = entry.format;
    if (target.codec != Codec::PCM && target.codec != Codec::XBoxADPCM)
        return MakeError(ErrorKind::Unsupported,
                         "entry " + std::to_string(index) + " is " + bank::CodecName(target) +
                             ": only Xbox ADPCM and PCM entries can be replaced");
    if (target.channels == 0 || target.channels > 2 || target.sampleRate < 1000)
        return MakeError(ErrorKind::Unsupported, "entry " + std::to_string(index) + " has " +
                                                     std::to_string(target.channels) +
                                                     " channels at " +
                                                     std::to_string(target.sampleRate) +
                                                     " Hz, which the encoder does not make");
    if (bank.compact() && options.loop)
        return MakeError(ErrorKind::InvalidArgument,
                         "a compact bank has no loops: --loop cannot be set");
    // A file's conversion waits for the bank to be written, to run beside the copying.
    Expected<Staged> staged = Stage(std::move(source), target, options, inMemory, !inMemory);
    if (!staged)
        return staged.error();
    Staged& s = staged.value();
    BankReplaceReport& report = s.report;
    if (s.format.channels != target.channels || s.format.sampleRate != target.sampleRate)
        return MakeError(ErrorKind::Internal, "the new entry's format does not match the old");
    const std::uint64_t unit = bank::UnitBytes(target);
    const std::uint64_t length = s.payload.toPcm8 ? s.payload.length / 2 : s.payload.length;
    if (length > 0xFFFFFFFFu)
        return MakeError(ErrorKind::OutputTooLarge, "the new entry passes 4 GiB");
    const std::uint64_t oldUnits = entry.length / unit;
    const bool oldCoveredAll = entry.looped() && entry.loopStart == 0 &&
                               std::uint64_t{entry.loopLength} >= oldUnits * unit;
    std::optional<bank::FrameLoop> loop = s.loop;
    std::uint32_t loopStart = 0;
    std::uint32_t loopLength = 0;
    if (bank.compact()) {
        if (loop)
            report.warnings.push_back("the source's loop is dropped: a compact bank has no loops");
        loop.reset();
    } else if (!loop && oldCoveredAll && length >= unit) {
        loopLength = static_cast<std::uint32_t>(length / unit * unit);
        report.loop = "the old loop covered the whole entry: the new one loops over all of it";
    } else if (!loop && entry.looped()) {
        report.warnings.push_back("the entry's old loop (bytes " + std::to_string(entry.loopStart) +
                                  " + " + std::to_string(entry.loopLength) +
                                  ") is cleared: the new audio has none");
    }
    if (loop) {
        const bank::ByteLoop bytes = bank::LoopBytes(target, *loop, length);
        if (bytes.length == 0) {
            report.warnings.push_back("the loop lies outside the new audio; no loop");
        } else {
            loopStart = bytes.start;
            loopLength = bytes.length;
            if (bytes.rounded)
                report.warnings.push_back("the loop (frames " + std::to_string(loop->start) + ".." +
                                          std::to_string(loop->end) +
                                          ") is not on whole blocks: widened to blocks");
            if (report.loop.empty())
                report.loop =
                    "loop frames " + std::to_string(loop->start) + ".." + std::to_string(loop->end);
            report.loop +=
                " -> bytes " + std::to_string(loopStart) + " + " + std::to_string(loopLength);
        }
    }
    entry.length = length;
    if (bank::DecodeFormatWord(entry.formatWord, bank.version) != s.format)
        entry.formatWord = bank::EncodeFormatWord(s.format, bank.version);
    entry.format = s.format;
    entry.loopStart = loopStart;
    entry.loopLength = loopLength;
    if (bank.compact())
        entry.formatWord = bank.compactFormat;
    payloads[index] = std::move(s.payload);
    report.bytes = length;
    report.frames = bank::FramesOf(target, length);
    Refresh();
    return report;
}

WaveBank::WaveBank(std::unique_ptr<State> state) : state_(std::move(state)) {}
WaveBank::WaveBank(WaveBank&&) noexcept = default;
WaveBank& WaveBank::operator=(WaveBank&&) noexcept = default;
WaveBank::~WaveBank() = default;

Expected<WaveBank> WaveBank::Open(const std::filesystem::path& file) {
    try {
        std::error_code ec;
        if (std::filesystem::is_directory(file, ec))
            return MakeError(ErrorKind::InputIsFolder);
        errno = 0;
        FileHandle handle = OpenFile(file, "rb");
        if (!handle)
            return MakeError(ErrorKind::InputOpen, SystemErrorText(errno));
        auto state = std::make_unique<State>();
        state->source = std::make_unique<FileByteSource>(handle.get());
        state->file = std::move(handle);
        state->path = file;
        if (Expected<bool> loaded = state->Load(); !loaded)
            return loaded.error();
        return WaveBank(std::move(state));
    } catch (const std::bad_alloc&) {
        return MakeError(ErrorKind::OutOfMemory);
    }
}

Expected<WaveBank> WaveBank::Open(BankReadAt read, std::uint64_t size) {
    try {
        auto state = std::make_unique<State>();
        state->source = std::make_unique<ReadAtSource>(std::move(read), size);
        if (Expected<bool> loaded = state->Load(); !loaded)
            return loaded.error();
        return WaveBank(std::move(state));
    } catch (const std::bad_alloc&) {
        return MakeError(ErrorKind::OutOfMemory);
    }
}

Expected<WaveBank> WaveBank::Create(const BankBuildOptions& options) {
    if (options.version < 1 || options.version > 3)
        return MakeError(ErrorKind::InvalidArgument,
                         "bank version " + std::to_string(options.version) + " (1, 2 or 3)");
    if (options.name.size() > 15 ||
        std::any_of(options.name.begin(), options.name.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x20 || c > 0x7E; }))
        return MakeError(ErrorKind::InvalidArgument,
                         "bank name \"" + options.name + "\": at most 15 ASCII characters");
    auto state = std::make_unique<State>();
    state->bank =
        bank::NewBank(options.version, options.streaming, options.entryNames, options.name);
    state->buildQuality = options.quality;
    state->buildThreads = options.threads;
    state->buildChannels = options.channels;
    state->buildRate = options.sampleRate;
    state->Refresh();
    return WaveBank(std::move(state));
}

const BankInfo& WaveBank::info() const {
    return state_->info;
}

Expected<bool> WaveBank::ReadEntry(std::size_t index, const BankSink& out) const {
    if (const Expected<bool> ok = state_->CheckIndex(index); !ok)
        return ok;
    FunctionSink sink(out);
    return state_->EntryBytes(index, sink);
}

Expected<bool> WaveBank::ExtractWave(std::size_t index, bool decode, const BankSink& out) const {
    if (const Expected<bool> ok = state_->CheckIndex(index); !ok)
        return ok;
    try {
        FunctionSink sink(out);
        const std::optional<Payload>& payload = state_->payloads[index];
        if (!payload)
            return bank::WriteEntryWave(*state_->source, state_->bank, index, decode, sink);
        // A staged entry: read from its store, as the entry it will be.
        Expected<Payload> ready = Ready(*payload);
        if (!ready)
            return ready.error();
        bank::Bank one = state_->bank;
        one.entries = {state_->bank.entries[index]};
        one.entries[0].offset = 0;
        one.dataOffset = ready->offset;
        if (ready->toPcm8) {
            one.entries[0].format.bits = 16;
            one.entries[0].length = ready->length;
        }
        std::unique_ptr<ByteSource> source = ready->store.Source();
        return bank::WriteEntryWave(*source, one, 0, decode, sink);
    } catch (const std::bad_alloc&) {
        return MakeError(ErrorKind::OutOfMemory);
    }
}

Expected<BankReplaceReport> WaveBank::Replace(std::size_t index,
                                              const std::filesystem::path& source,
                                              const BankReplaceOptions& options) {
    try {
        Expected<OpenSource> input = OpenSourceFile(source);
        if (!input)
            return input.error();
        return state_->Replace(index, std::move(input).value(), options, false);
    } catch (const std::bad_alloc&) {
        return MakeError(ErrorKind::OutOfMemory);
    }
}

Expected<BankReplaceReport> WaveBank::Replace(std::size_t index,
                                              std::span<const std::uint8_t> source,
                                              const BankReplaceOptions& options) {
    try {
        OpenSource input;
        input.store.memory =
            std::make_shared<std::vector<std::uint8_t>>(source.begin(), source.end());
        input.bytes = std::make_unique<MemoryByteSource>(*input.store.memory);
        return state_->Replace(index, std::move(input), options, true);
    } catch (const std::bad_alloc&) {
        return MakeError(ErrorKind::OutOfMemory);
    }
}

Expected<BankReplaceReport> WaveBank::Append(const std::filesystem::path& source,
                                             std::string name) {
    try {
        State& s = *state_;
        if (s.bank.entries.size() >= bank::kMaxEntries)
            return MakeError(ErrorKind::InvalidArgument, "the bank is full");
        if (s.bank.compact())
            return MakeError(ErrorKind::InvalidArgument, "entries are not added to compact banks");
        Expected<OpenSource> input = OpenSourceFile(source);
        if (!input)
            return input.error();
        BankReplaceOptions options{
            .quality = s.buildQuality, .threads = s.buildThreads, .loop = std::nullopt};
        Expected<Staged> staged =
            Stage(std::move(input).value(), {Codec::XBoxADPCM, s.buildChannels, s.buildRate, 4},
                  options, false, false);
        if (!staged)
            return staged.error();
        Staged& st = staged.value();
        if (st.format.channels == 0 || st.format.channels > 7 || st.format.sampleRate > 0x3FFFF)
            return MakeError(ErrorKind::Unsupported,
                             PathToUtf8(source) + ": " + Channels(st.format.channels) + " at " +
                                 std::to_string(st.format.sampleRate) +
                                 " Hz do not fit a bank entry (1..7 channels, rates below 262144)");
        bank::Entry entry;
        entry.format = st.format;
        entry.formatWord = bank::EncodeFormatWord(st.format, s.bank.version);
        entry.flags = static_cast<std::uint32_t>(Codec::XBoxADPCM) << 16;
        entry.length = st.payload.length;
        if (entry.length > 0xFFFFFFFFu)
            return MakeError(ErrorKind::OutputTooLarge, PathToUtf8(source) + " passes 4 GiB");
        if (st.loop) {
            const bank::ByteLoop loop = bank::LoopBytes(st.format, *st.loop, entry.length);
            entry.loopStart = loop.start;
            entry.loopLength = loop.length;
            if (loop.rounded)
                st.report.warnings.push_back("the loop is not on whole blocks: widened to blocks");
            st.report.loop += (st.report.loop.empty() ? "" : "; ") + std::string("loop bytes ") +
                              std::to_string(loop.start) + " + " + std::to_string(loop.length);
        }
        // Every new entry goes into one spool file: no file stays open per entry.
        if (!s.spool) {
            Expected<Store> spool = Store::Make(false);
            if (!spool)
                return spool.error();
            s.spool = std::move(spool).value();
        }
        std::fseek(s.spool->file.get(), 0, SEEK_END);
        {
            FileByteSink spoolSink(s.spool->file.get());
            std::unique_ptr<ByteSource> from = st.payload.store.Source();
            if (Expected<bool> copied =
                    bank::CopyRange(*from, st.payload.offset, st.payload.length, spoolSink);
                !copied)
                return copied.error();
        }
        st.payload = {*s.spool, s.spoolBytes, st.payload.length, false, nullptr};
        s.spoolBytes += st.payload.length;
        name.resize(std::min<std::size_t>(name.size(), bank::kNameSlotBytes - 1));
        entry.name = std::move(name);
        st.report.bytes = entry.length;
        st.report.frames = bank::FramesOf(entry.format, entry.length);
        s.bank.entries.push_back(std::move(entry));
        s.payloads.push_back(std::move(st.payload));
        s.Refresh();
        return std::move(st.report);
    } catch (const std::bad_alloc&) {
        return MakeError(ErrorKind::OutOfMemory);
    }
}

Expected<bool> WaveBank::Write(const BankSink& out) const {
    try {
        FunctionSink sink(out);
        return bank::WriteBank(
            state_->bank,
            [this](std::size_t index, ByteSink& to) { return state_->EntryBytes(index, to); }, sink,
            state_->Kept());
    } catch (const std::bad_alloc&) {
        return MakeError(ErrorKind::OutOfMemory);
    }
}

Expected<bool> WaveBank::Write(const std::filesystem::path& output) const {
    try {
        io::OutputFile out = io::OutputFile::Open(output);
        if (!out)
            return MakeError(ErrorKind::OutputCreate, out.error().Message());
        OutputFileSink sink(out);
        // Conversions still to run go to a second thread while the other entries are copied:
        // their entries are written as zeros first and filled in once the thread is done.
        std::vector<std::size_t> deferred;
        if (out.seekable() && std::thread::hardware_concurrency() > 1)
            for (std::size_t i = 0; i < state_->payloads.size(); ++i)
                if (const std::optional<Payload>& p = state_->payloads[i];
                    p && p->pending && !p->pending->ran)
                    deferred.push_back(i);
        std::thread converter;
        const JoinOnExit joined{converter};
        if (!deferred.empty()) {
            try {
                converter = std::thread([this, &deferred] {
                    for (const std::size_t i : deferred)
                        (void)state_->payloads[i]->pending->Run();
                });
            } catch (const std::system_error&) {
                deferred.clear();  // no thread: each runs when the writer reaches it
            }
        }
        Expected<bool> written = bank::WriteBank(
            state_->bank,
            [this, &deferred](std::size_t index, ByteSink& to) -> Expected<bool> {
                if (std::find(deferred.begin(), deferred.end(), index) == deferred.end())
                    return state_->EntryBytes(index, to);
                if (!bank::WriteZeros(to, state_->bank.entries[index].length))
                    return to.WriteError();
                return true;
            },
            sink, state_->Kept());
        if (converter.joinable())
            converter.join();
        if (written && !deferred.empty())
            written = state_->FillDeferred(out.stream(), deferred);
        if (!written) {
            if (written.error().kind == ErrorKind::OutputWrite && out.error().code)
                return MakeError(ErrorKind::OutputWrite, out.error().Message());
            return written;
        }
#if defined(_WIN32)
        // Windows replaces no file that is open: a bank written over its own file lets go of it
        // first, and reads nothing more from it.
        if (std::error_code same;
            state_->file && std::filesystem::equivalent(state_->path, output, same)) {
            state_->source = std::make_unique<MemoryByteSource>(std::span<const std::uint8_t>());
            state_->file.reset();
        }
#endif
        if (!out.Commit())
            return MakeError(ErrorKind::OutputWrite, out.error().Message());
        return true;
    } catch (const std::bad_alloc&) {
        return MakeError(ErrorKind::OutOfMemory);
    }
}

bool LooksLikeWaveBank(std::span<const std::uint8_t> head) {
    if (head.size() < 4)
        return false;
    const std::string_view text(reinterpret_cast<const char*>(head.data()), 4);
    return text == "WBND" || text == "DNBW";
}

}  // namespace imabox
