// SPDX-License-Identifier: MIT
// The C functions web/imabox.mjs calls in the WebAssembly build: one conversion or one look at a
// file at a time, its bytes and its report kept until the next call (or imabox_wasm_release).
// Reports and error messages are JSON text; errors carry the library's one-line message.
#include <emscripten/emscripten.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "api/wave_info.hpp"
#include "imabox/convert.hpp"
#include "io/byte_stream.hpp"
#include "io/errors.hpp"
#include "media/media.hpp"
#include "pipeline/pipeline.hpp"

#if defined(IMABOX_WEB_BANKS)
#include "imabox/bank.hpp"
#endif

namespace {

using namespace imabox;

// Calls Module.onProgress(done, total) when the page set one.
EM_JS(void, imabox_wasm_progress, (double done, double total), {
    if (Module["onProgress"])
        Module["onProgress"](done, total);
});

// The input stays in JavaScript (Module.imaboxInput, a Uint8Array) and is copied in a piece at a
// time; the output goes to Module.imaboxOutput (see imabox.mjs): the WebAssembly memory holds
// only the pipeline's pieces, whatever the file's size.
EM_JS(void, imabox_wasm_read_input, (std::uint8_t * out, double position, std::size_t bytes),
      { HEAPU8.set(Module["imaboxInput"].subarray(position, position + bytes), out); });
EM_JS(void, imabox_wasm_write_output,
      (double position, const std::uint8_t* bytes, std::size_t count),
      { Module["imaboxOutput"].write(position, HEAPU8.subarray(bytes, bytes + count)); });

EM_JS(void, imabox_wasm_reserve_output, (double bytes), { Module["imaboxOutput"].reserve(bytes); });

class JsByteSource final : public imabox::ByteSource {
  public:
    explicit JsByteSource(std::uint64_t size) : size_(size) {}
    std::size_t Read(std::span<std::uint8_t> out) override {
        const auto n =
            static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), size_ - position_));
        if (n)
            imabox_wasm_read_input(out.data(), static_cast<double>(position_), n);
        position_ += n;
        return n;
    }
    void Skip(std::uint64_t bytes) override { position_ += std::min(bytes, size_ - position_); }
    bool Failed() const override { return false; }
    std::uint64_t Position() const override { return position_; }
    std::optional<std::uint64_t> Size() const override { return size_; }
    bool Seekable() const override { return true; }
    bool Seek(std::uint64_t position) override {
        position_ = std::min(position, size_);
        return true;
    }

  private:
    std::uint64_t size_;
    std::uint64_t position_ = 0;
};

struct Result {
    std::uint64_t bytes = 0;  // written to Module.imaboxOutput
    std::string report;       // JSON: the report, or {"error": "..."}
};
Result g_result;

std::string Quote(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            static const char* hex = "0123456789abcdef";
            out += "\\u00";
            out += hex[u >> 4];
            out += hex[u & 15];
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// Builds a JSON object field by field.
class Json {
  public:
    Json& Field(std::string_view name, std::string_view value) { return Raw(name, Quote(value)); }
    Json& Field(std::string_view name, std::uint64_t value) {
        return Raw(name, std::to_string(value));
    }
    Json& Field(std::string_view name, double value) { return Raw(name, std::to_string(value)); }
    Json& Flag(std::string_view name, bool value) { return Raw(name, value ? "true" : "false"); }
    Json& Raw(std::string_view name, std::string_view json) {
        text_ += text_.size() > 1 ? "," : "";
        text_ += Quote(name) + ":" + std::string(json);
        return *this;
    }
    std::string Done() const { return text_ + "}"; }

  private:
    std::string text_ = "{";
};

int Fail(const Error& error) {
    g_result.bytes = 0;
    g_result.report = Json().Field("error", error.message).Done();
    return 1;
}

// The output in JavaScript, saying how far the conversion got.
class JsByteSink final : public ByteSink {
  public:
    explicit JsByteSink(std::optional<std::uint64_t> total) : total_(total) {}
    bool Write(std::span<const std::uint8_t> bytes) override {
        imabox_wasm_write_output(static_cast<double>(size_), bytes.data(), bytes.size());
        size_ += bytes.size();
        if (total_ && size_ >= next_) {
            imabox_wasm_progress(static_cast<double>(size_), static_cast<double>(*total_));
            next_ = size_ + (std::uint64_t{1} << 18);
        }
        return true;
    }
    bool Seekable() const override { return true; }
    bool WriteAt(std::uint64_t position, std::span<const std::uint8_t> bytes) override {
        imabox_wasm_write_output(static_cast<double>(position), bytes.data(), bytes.size());
        size_ = std::max<std::uint64_t>(size_, position + bytes.size());
        return true;
    }
    std::uint64_t size() const { return size_; }

  private:
    std::optional<std::uint64_t> total_;
    std::uint64_t size_ = 0;
    std::uint64_t next_ = 0;
};

ConversionRequest Request(int direction, int quality, std::uint32_t rate, unsigned channels,
                          int loopAlign, double maxLoopCents) {
    if (direction == 2)
        return ConversionRequest::ForDecode({});
    EncodeOptions options;
    options.threads = 1;
    options.quality = quality;
    options.sampleRate = rate;
    options.channels = channels;
    options.loopAlign = loopAlign == 0   ? LoopAlignMode::Off
                        : loopAlign == 1 ? LoopAlignMode::Unroll
                                         : LoopAlignMode::Resample;
    options.maxLoopCents = maxLoopCents;
    return ConversionRequest::ForEncode(options);
}

// The input from `data` (in the WebAssembly memory) or, when null, from Module.imaboxInput.
std::unique_ptr<ByteSource> OpenSource(const std::uint8_t* data, double size) {
    if (data)
        return std::make_unique<MemoryByteSource>(std::span(data, static_cast<std::size_t>(size)));
    return std::make_unique<JsByteSource>(static_cast<std::uint64_t>(size));
}

std::string ReportJson(const ConversionReport& r, bool decoded) {
    std::string warnings = "[";
    for (const std::string& w : r.warnings)
        warnings += (warnings.size() > 1 ? "," : "") + Quote(w);
    warnings += "]";
    return Json()
        .Field("input", r.inputContainer.empty() ? DescribeSourceFormat(r.input) : r.inputContainer)
        .Field("output", decoded ? "16-bit PCM" : "Xbox ADPCM")
        .Field("channels", std::uint64_t{r.inputChannels})
        .Field("sampleRate", std::uint64_t{r.inputSampleRate})
        .Field("outputChannels", std::uint64_t{r.outputChannels})
        .Field("outputSampleRate", std::uint64_t{r.outputSampleRate})
        .Field("inputFrames", r.inputFrames)
        .Field("paddingFrames", r.paddingFrames)
        .Field("blocks", r.blocks)
        .Field("clippedSamples", r.clippedSamples)
        .Flag("dithered", r.dithered)
        .Field("ignoredBytes", r.ignoredBytes)
        .Field("trailingBytes", r.trailingBytes)
        .Field("outputDataBytes", r.outputDataBytes)
        .Field("outputBytes", r.outputBytes)
        .Field("loop", r.loop)
        .Raw("warnings", warnings)
        .Done();
}

}  // namespace

extern "C" {

// Converts the WAVE file in `data` (null: Module.imaboxInput) of `size` bytes into
// Module.imaboxOutput: direction 1 encodes to Xbox ADPCM, 2 decodes to 16-bit PCM. loopAlign: 0
// off, 1 unroll, 2 resample. Returns 0, or 1 with the error in the report.
EMSCRIPTEN_KEEPALIVE int imabox_wasm_convert(const std::uint8_t* data, double size, int direction,
                                             int quality, std::uint32_t rate, unsigned channels,
                                             int loopAlign, double maxLoopCents) {
    g_result = {};
    try {
        const std::unique_ptr<ByteSource> source = OpenSource(data, size);
        Expected<ConversionPlan> plan = OpenConversion(
            *source, Request(direction, quality, rate, channels, loopAlign, maxLoopCents),
            AvailableMedia());
        if (!plan)
            return Fail(plan.error());
        if (plan->outputDataBytes)
            imabox_wasm_reserve_output(
                static_cast<double>(*plan->outputDataBytes + 64 + plan->trailer.size()));
        JsByteSink sink(plan->outputDataBytes);
        const Expected<ConversionReport> report = RunConversion(plan.value(), sink);
        if (!report)
            return Fail(report.error());
        imabox_wasm_progress(1.0, 1.0);
        g_result.bytes = sink.size();
        g_result.report = ReportJson(report.value(), direction == 2);
        return 0;
    } catch (const std::bad_alloc&) {
        return Fail(MakeError(ErrorKind::OutOfMemory));
    }
}

// Waveform outline of the WAVE file in `data` (null: Module.imaboxInput) as imabox reads it
// (Xbox or IMA ADPCM decoded): for each of `columns` equal spans of the frames, the lowest and
// highest sample of any channel, written to `out` (2 x columns 16-bit values). Returns the
// frames, or -1 with the error in the report.
EMSCRIPTEN_KEEPALIVE double imabox_wasm_peaks(const std::uint8_t* data, double size,
                                              std::int16_t* out, unsigned columns) {
    g_result = {};
    try {
        const std::unique_ptr<ByteSource> source = OpenSource(data, size);
        const std::uint64_t start = source->Position();
        Expected<ConversionPlan> plan =
            OpenConversion(*source, Request(1, 0, 0, 0, 0, 0), AvailableMedia());
        if (!plan && (plan.error().kind == ErrorKind::NothingToDo ||
                      plan.error().kind == ErrorKind::WrongDirection ||
                      plan.error().kind == ErrorKind::Unsupported)) {
            source->Seek(start);
            plan = OpenConversion(*source, Request(2, 0, 0, 0, 0, 0), AvailableMedia());
        }
        if (!plan)
            return Fail(plan.error()), -1.0;
        Int16Stream& audio = *plan->audio;
        const unsigned channels = audio.shape().channels;
        const std::uint64_t frames = plan->outputDataBytes
                                         ? (plan->output == WaveCoding::PCM16
                                                ? *plan->outputDataBytes / (2 * channels)
                                                : *plan->outputDataBytes / (36 * channels) * 65)
                                         : 0;
        for (unsigned c = 0; c < columns; ++c) {
            out[2 * c] = 0;
            out[2 * c + 1] = 0;
        }
        std::vector<std::int16_t> piece(std::size_t{65} * 1024 * channels);
        std::uint64_t frame = 0;
        unsigned column = 0;
        // Column c holds frames [c * frames / columns, (c + 1) * frames / columns).
        const auto columnEnd = [&](unsigned c) {
            return frames ? (std::uint64_t{c} + 1) * frames / columns : ~std::uint64_t{0};
        };
        std::uint64_t end = columnEnd(0);
        for (;;) {
            const Expected<std::size_t> got = audio.Read(piece);
            if (!got)
                return Fail(got.error()), -1.0;
            if (*got == 0)
                break;
            for (std::size_t f = 0; f < *got; ++f, ++frame) {
                while (frame >= end && column + 1 < columns)
                    end = columnEnd(++column);
                std::int16_t& low = out[2 * column];
                std::int16_t& high = out[2 * column + 1];
                for (unsigned ch = 0; ch < channels; ++ch) {
                    const std::int16_t v = piece[f * channels + ch];
                    low = std::min(low, v);
                    high = std::max(high, v);
                }
            }
        }
        g_result.report = "{}";
        return static_cast<double>(frame);
    } catch (const std::bad_alloc&) {
        return Fail(MakeError(ErrorKind::OutOfMemory)), -1.0;
    }
}

// What the WAVE file in `data` (null: Module.imaboxInput) holds; the report only. Returns 0, or 1
// with the error.
EMSCRIPTEN_KEEPALIVE int imabox_wasm_info(const std::uint8_t* data, double size) {
    g_result = {};
    const std::unique_ptr<ByteSource> source = OpenSource(data, size);
    const Expected<WaveInfo> info = ReadWaveInfoFrom(*source);
    if (!info)
        return Fail(info.error());
    const WaveInfo& i = info.value();
    std::string loops = "[";
    for (const WaveInfo::Loop& loop : i.loops) {
        loops += (loops.size() > 1 ? "," : "") + Json()
                                                     .Field("start", std::uint64_t{loop.start})
                                                     .Field("end", std::uint64_t{loop.end})
                                                     .Done();
    }
    loops += "]";
    g_result.report = Json()
                          .Field("format", DescribeSourceFormat(i.format))
                          .Field("formatTag", std::uint64_t{i.formatTag})
                          .Field("channels", std::uint64_t{i.channels})
                          .Field("sampleRate", std::uint64_t{i.sampleRate})
                          .Field("bitsPerSample", std::uint64_t{i.bitsPerSample})
                          .Field("dataBytes", i.dataBytes)
                          .Field("frames", i.frames)
                          .Field("blocks", i.blocks)
                          .Field("durationSeconds", i.durationSeconds)
                          .Raw("loops", loops)
                          .Field("title", i.title)
                          .Done();
    return 0;
}

// The 44-byte header of a 32-bit float WAVE file of `frames` frames (the samples stay with the
// caller, read through Module.imaboxInput after the header). Null when such a file cannot be
// made (the error is in the report). The caller frees it with free().
EMSCRIPTEN_KEEPALIVE std::uint8_t* imabox_wasm_float_wave(std::uint32_t frames, unsigned channels,
                                                          std::uint32_t rate) {
    g_result = {};
    if (channels == 0 || channels > 0xFFFF / 4 || rate == 0) {
        Fail(MakeError(ErrorKind::InvalidArgument, "float samples need a rate and 1 to " +
                                                       std::to_string(0xFFFF / 4) + " channels"));
        return nullptr;
    }
    const std::uint64_t dataBytes = std::uint64_t{frames} * channels * 4;
    if (dataBytes > 0xFFFFFFFFull - 36) {
        Fail(MakeError(ErrorKind::OutputTooLarge));
        return nullptr;
    }
    auto* file = static_cast<std::uint8_t*>(std::malloc(44));
    if (!file) {
        Fail(MakeError(ErrorKind::OutOfMemory));
        return nullptr;
    }
    std::uint8_t* p = file;
    const auto put = [&p](std::uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            *p++ = static_cast<std::uint8_t>(value >> (8 * i));
    };
    const auto tag = [&p](const char* id) {
        std::memcpy(p, id, 4);
        p += 4;
    };
    tag("RIFF");
    put(static_cast<std::uint32_t>(dataBytes + 36), 4);
    tag("WAVE");
    tag("fmt ");
    put(16, 4);
    put(3, 2);  // IEEE float
    put(channels, 2);
    put(rate, 4);
    put(rate * channels * 4, 4);
    put(channels * 4, 2);
    put(32, 2);
    tag("data");
    put(static_cast<std::uint32_t>(dataBytes), 4);
    return file;
}

EMSCRIPTEN_KEEPALIVE double imabox_wasm_result_size() {
    return static_cast<double>(g_result.bytes);
}
EMSCRIPTEN_KEEPALIVE const char* imabox_wasm_report() {
    return g_result.report.c_str();
}
EMSCRIPTEN_KEEPALIVE void imabox_wasm_release() {
    g_result = {};
}

}  // extern "C"

#if defined(IMABOX_WEB_BANKS)

namespace {

// The bank in Module.imaboxInput.
Expected<WaveBank> OpenJsBank(double size) {
    const auto total = static_cast<std::uint64_t>(size);
    return WaveBank::Open(
        [total](std::uint64_t offset, std::span<std::uint8_t> out) -> std::size_t {
            if (offset >= total)
                return 0;
            const auto n =
                static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), total - offset));
            if (n)
                imabox_wasm_read_input(out.data(), static_cast<double>(offset), n);
            return n;
        },
        total);
}

// A bank sink writing Module.imaboxOutput in order.
BankSink JsBankSink() {
    g_result.bytes = 0;
    return [](std::span<const std::uint8_t> bytes) {
        imabox_wasm_write_output(static_cast<double>(g_result.bytes), bytes.data(), bytes.size());
        g_result.bytes += bytes.size();
        return true;
    };
}

std::string_view CodecName(BankCodec codec) {
    switch (codec) {
        case BankCodec::PCM:
            return "PCM";
        case BankCodec::XBoxADPCM:
            return "Xbox ADPCM";
        case BankCodec::WMA:
            return "WMA";
        case BankCodec::Other:
            break;
    }
    return "other";
}

std::string Strings(const std::vector<std::string>& list) {
    std::string out = "[";
    for (const std::string& s : list)
        out += (out.size() > 1 ? "," : "") + Quote(s);
    return out + "]";
}

std::string BankJson(const BankInfo& bank) {
    std::string entries = "[";
    for (const BankEntryInfo& e : bank.entries) {
        const double seconds = e.sampleRate ? static_cast<double>(e.frames) / e.sampleRate : 0.0;
        Json entry;
        entry.Field("name", e.name)
            .Field("codec", CodecName(e.codec))
            .Field("channels", std::uint64_t{e.channels})
            .Field("sampleRate", std::uint64_t{e.sampleRate})
            .Field("bitsPerSample", std::uint64_t{e.bitsPerSample})
            .Field("bytes", e.bytes)
            .Field("frames", e.frames)
            .Field("durationSeconds", seconds)
            .Flag("looped", e.looped);
        if (e.looped)
            entry.Field("loopStart", e.loopStart).Field("loopEnd", e.loopEnd);
        entries += (entries.size() > 1 ? "," : "") + entry.Done();
    }
    entries += "]";
    return Json()
        .Field("version", std::uint64_t{bank.version})
        .Flag("compact", bank.compact)
        .Flag("streaming", bank.streaming)
        .Field("name", bank.name)
        .Raw("entries", entries)
        .Raw("warnings", Strings(bank.warnings))
        .Done();
}

}  // namespace

extern "C" {

// The bank in Module.imaboxInput: its layout and entries, in the report.
EMSCRIPTEN_KEEPALIVE int imabox_wasm_bank_list(double size) {
    g_result = {};
    const Expected<WaveBank> bank = OpenJsBank(size);
    if (!bank)
        return Fail(bank.error());
    g_result.report = BankJson(bank->info());
    return 0;
}

// Entry `index` of the bank in Module.imaboxInput as a WAVE file (decode: as 16-bit PCM) into
// Module.imaboxOutput.
EMSCRIPTEN_KEEPALIVE int imabox_wasm_bank_extract(double size, unsigned index, int decode) {
    g_result = {};
    const Expected<WaveBank> bank = OpenJsBank(size);
    if (!bank)
        return Fail(bank.error());
    if (index >= bank->info().entries.size())
        return Fail(MakeError(ErrorKind::InvalidArgument,
                              "entry " + std::to_string(index) + " does not exist (the bank has " +
                                  std::to_string(bank->info().entries.size()) + ")"));
    const Expected<bool> done = bank->ExtractWave(index, decode != 0, JsBankSink());
    if (!done)
        return Fail(done.error());
    g_result.report = Json().Field("entry", std::uint64_t{index}).Done();
    return 0;
}

// The bank in Module.imaboxInput with entry `index` replaced by the audio file in `source`
// (converted to the entry's format), written into Module.imaboxOutput.
EMSCRIPTEN_KEEPALIVE int imabox_wasm_bank_replace(double size, unsigned index,
                                                  const std::uint8_t* source,
                                                  std::size_t sourceSize, int quality) {
    g_result = {};
    try {
        Expected<WaveBank> bank = OpenJsBank(size);
        if (!bank)
            return Fail(bank.error());
        if (index >= bank->info().entries.size())
            return Fail(MakeError(ErrorKind::InvalidArgument,
                                  "entry " + std::to_string(index) +
                                      " does not exist (the bank has " +
                                      std::to_string(bank->info().entries.size()) + ")"));
        const Expected<BankReplaceReport> replaced =
            bank->Replace(index, std::span(source, sourceSize), {.quality = quality, .threads = 1});
        if (!replaced)
            return Fail(replaced.error());
        const Expected<bool> written = bank->Write(JsBankSink());
        if (!written)
            return Fail(written.error());
        const BankReplaceReport& r = replaced.value();
        g_result.report = Json()
                              .Field("source", r.source)
                              .Flag("copied", r.copied)
                              .Field("bytes", r.bytes)
                              .Field("frames", r.frames)
                              .Field("loop", r.loop)
                              .Raw("warnings", Strings(r.warnings))
                              .Raw("bank", BankJson(bank->info()))
                              .Done();
        return 0;
    } catch (const std::bad_alloc&) {
        return Fail(MakeError(ErrorKind::OutOfMemory));
    }
}

}  // extern "C"

#endif  // IMABOX_WEB_BANKS
