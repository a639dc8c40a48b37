// SPDX-License-Identifier: MIT
#include "media/sndfile_source.hpp"

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <type_traits>

#include "io/errors.hpp"
#include "wave/container_probe.hpp"

namespace imabox {
namespace {

// The byte source under a libsndfile handle. Positions are absolute offsets in the container.
class VirtualInput {
  public:
    explicit VirtualInput(ByteSource& source) : source_(source), origin_(source.Position()) {}

    sf_count_t Length() {
        if (source_.Seekable() && source_.Size())
            return static_cast<sf_count_t>(*source_.Size() - origin_);
        // A stream's end is unknown until it is reached: the largest count, as libsndfile
        // itself says for pipes.
        return ended_ ? static_cast<sf_count_t>(base_ + window_.size())
                      : std::numeric_limits<sf_count_t>::max();
    }

    sf_count_t Seek(sf_count_t offset, int whence) {
        sf_count_t target;
        if (whence == SEEK_SET)
            target = offset;
        else if (whence == SEEK_CUR)
            target = Tell() + offset;
        else if (whence == SEEK_END && Length() != std::numeric_limits<sf_count_t>::max())
            target = Length() + offset;
        else
            return -1;
        if (target < 0)
            return -1;
        if (source_.Seekable()) {
            if (!source_.Seek(origin_ + static_cast<std::uint64_t>(target)))
                return -1;
            return target;
        }
        if (static_cast<std::uint64_t>(target) < base_)
            return -1;  // before the bytes kept
        while (static_cast<std::uint64_t>(target) > base_ + window_.size()) {
            pos_ = base_ + window_.size();  // lets Fill drop what lies behind
            if (!Fill())
                break;
        }
        pos_ = std::min<std::uint64_t>(static_cast<std::uint64_t>(target), base_ + window_.size());
        return static_cast<sf_count_t>(pos_);
    }

    sf_count_t Read(void* out, sf_count_t count) {
        auto* dest = static_cast<std::uint8_t*>(out);
        if (source_.Seekable())
            return static_cast<sf_count_t>(
                source_.Read(std::span(dest, static_cast<std::size_t>(count))));
        sf_count_t done = 0;
        while (done < count) {
            if (pos_ == base_ + window_.size() && !Fill())
                break;
            const std::size_t offset = static_cast<std::size_t>(pos_ - base_);
            const std::size_t n = std::min<std::size_t>(window_.size() - offset,
                                                        static_cast<std::size_t>(count - done));
            std::memcpy(dest + done, window_.data() + offset, n);
            done += static_cast<sf_count_t>(n);
            pos_ += n;
        }
        return done;
    }

    sf_count_t Tell() {
        if (source_.Seekable())
            return static_cast<sf_count_t>(source_.Position() - origin_);
        return static_cast<sf_count_t>(pos_);
    }

    bool Failed() const { return source_.Failed(); }
    int ErrorNumber() const { return source_.ErrorNumber(); }
    bool Seekable() const { return source_.Seekable(); }

  private:
    static constexpr std::size_t kPiece = 64 * 1024;
    static constexpr std::size_t kKeep = 1024 * 1024;  // bytes behind the position kept

    // Appends the stream's next piece to the window; false at the end of the stream.
    bool Fill() {
        if (ended_)
            return false;
        if (window_.size() >= 3 * kKeep && pos_ - base_ > kKeep) {
            const std::size_t drop = static_cast<std::size_t>(pos_ - base_) - kKeep;
            window_.erase(window_.begin(), window_.begin() + static_cast<std::ptrdiff_t>(drop));
            base_ += drop;
        }
        const std::size_t old = window_.size();
        window_.resize(old + kPiece);
        const std::size_t n = source_.Read(std::span(window_).subspan(old));
        window_.resize(old + n);
        if (n < kPiece)
            ended_ = true;
        return n > 0;
    }

    ByteSource& source_;
    std::uint64_t origin_;  // the container's first byte in the source
    // A stream's window: bytes [base_, base_ + size) of the container, and the position.
    std::vector<std::uint8_t> window_;
    std::uint64_t base_ = 0;
    std::uint64_t pos_ = 0;
    bool ended_ = false;
};

std::uint64_t BE(const std::uint8_t* p, int bytes) {
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v = (v << 8) | p[i];
    return v;
}
std::uint64_t LE(const std::uint8_t* p, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

// Reads exactly out.size() bytes at `position` of a seekable input.
bool ReadAt(VirtualInput& in, std::uint64_t position, std::span<std::uint8_t> out) {
    return in.Seek(static_cast<sf_count_t>(position), SEEK_SET) ==
               static_cast<sf_count_t>(position) &&
           in.Read(out.data(), static_cast<sf_count_t>(out.size())) ==
               static_cast<sf_count_t>(out.size());
}

// A chunked container's audio chunk: its name, where its body starts and the bytes it declares.
struct AudioChunk {
    std::string name;
    std::uint64_t body = 0;
    std::uint64_t declared = 0;
};

// The audio chunk of an AIFF, AU, Wave64 or RF64 file, whose header says how long the audio
// is: libsndfile takes a file cut short as complete, so the length is checked here. Nothing
// for other containers or when the header leaves the length open.
std::optional<AudioChunk> FindAudioChunk(VirtualInput& in, std::span<const std::uint8_t> head,
                                         std::uint64_t fileSize) {
    const auto is = [&](std::size_t at, const char* id) {
        return head.size() >= at + 4 && std::memcmp(head.data() + at, id, 4) == 0;
    };
    constexpr int kMaxChunks = 4096;
    std::uint8_t h[24];
    if (is(0, ".snd") || is(0, "dns.")) {  // AU: data offset and size, big- or little-endian
        if (head.size() < 12)
            return std::nullopt;
        const auto field = [&](std::size_t at) {
            return is(0, ".snd") ? BE(&head[at], 4) : LE(&head[at], 4);
        };
        if (field(8) == 0xFFFFFFFF)
            return std::nullopt;
        return AudioChunk{"AU data", field(4), field(8)};
    }
    if (is(0, "FORM") && (is(8, "AIFF") || is(8, "AIFC"))) {
        std::uint64_t pos = 12;
        for (int n = 0; n < kMaxChunks && pos + 8 <= fileSize && ReadAt(in, pos, std::span(h, 8));
             ++n) {
            const std::uint64_t size = BE(h + 4, 4);
            if (std::memcmp(h, "SSND", 4) == 0)
                return AudioChunk{"SSND", pos + 8, size};
            pos += 8 + size + (size & 1);
        }
        return std::nullopt;
    }
    if (is(0, "riff") && is(24, "wave")) {  // Wave64: 16-byte GUIDs, 64-bit sizes with headers
        std::uint64_t pos = 40;
        for (int n = 0; n < kMaxChunks && pos + 24 <= fileSize && ReadAt(in, pos, std::span(h, 24));
             ++n) {
            const std::uint64_t size = LE(h + 16, 8);
            if (size < 24)
                return std::nullopt;
            if (std::memcmp(h, "data", 4) == 0)
                return AudioChunk{"data", pos + 24, size - 24};
            if (size > fileSize)
                return std::nullopt;
            pos += (size + 7) & ~std::uint64_t{7};
        }
        return std::nullopt;
    }
    if (is(0, "RF64") && is(8, "WAVE") && is(12, "ds64") && head.size() >= 36) {
        const std::uint64_t dataSize = LE(&head[28], 8);  // the ds64 chunk's data size
        std::uint64_t pos = 12;
        for (int n = 0; n < kMaxChunks && pos + 8 <= fileSize && ReadAt(in, pos, std::span(h, 8));
             ++n) {
            const std::uint64_t size = LE(h + 4, 4);
            if (std::memcmp(h, "data", 4) == 0)
                return AudioChunk{"data", pos + 8, size == 0xFFFFFFFF ? dataSize : size};
            pos += 8 + size + (size & 1);
        }
    }
    return std::nullopt;
}

// Whether an Ogg file ends with a whole page that ends its stream, as a complete file does.
bool OggEndsItsStream(VirtualInput& in, std::uint64_t fileSize) {
    constexpr std::uint64_t kMaxPage = 27 + 255 + 255 * 255;
    const std::uint64_t from = fileSize > kMaxPage ? fileSize - kMaxPage : 0;
    std::vector<std::uint8_t> tail(static_cast<std::size_t>(fileSize - from));
    if (!ReadAt(in, from, tail))
        return true;  // a read error is reported by the reader
    for (std::size_t at = tail.size() >= 27 ? tail.size() - 27 + 1 : 0; at-- > 0;) {
        if (std::memcmp(&tail[at], "OggS", 4) != 0 || tail[at + 4] != 0)
            continue;
        const std::size_t segments = tail[at + 26];
        if (at + 27 + segments > tail.size())
            continue;
        std::size_t bytes = 27 + segments;
        for (std::size_t i = 0; i < segments; ++i)
            bytes += tail[at + 27 + i];
        if (at + bytes == tail.size())
            return (tail[at + 5] & 0x04) != 0;
    }
    return false;
}

VirtualInput& Input(void* user) {
    return *static_cast<VirtualInput*>(user);
}

SF_VIRTUAL_IO kInputCallbacks = {
    [](void* user) { return Input(user).Length(); },
    [](sf_count_t offset, int whence, void* user) { return Input(user).Seek(offset, whence); },
    [](void* out, sf_count_t count, void* user) { return Input(user).Read(out, count); },
    [](const void*, sf_count_t, void*) -> sf_count_t { return 0; },
    [](void* user) { return Input(user).Tell(); },
};

// libsndfile reports a failed open through a process-wide error: opens are serialised so that
// the message read belongs to this open.
std::mutex& OpenMutex() {
    static std::mutex mutex;
    return mutex;
}

std::string ContainerName(int format) {
    switch (format & SF_FORMAT_TYPEMASK) {
        case SF_FORMAT_WAV:
        case SF_FORMAT_WAVEX:
            return "WAVE";
        case SF_FORMAT_AIFF:
            return "AIFF";
        case SF_FORMAT_AU:
            return "AU";
        case SF_FORMAT_W64:
            return "Wave64";
        case SF_FORMAT_RF64:
            return "RF64";
        case SF_FORMAT_FLAC:
            return "FLAC";
        case SF_FORMAT_CAF:
            return "CAF";
        case SF_FORMAT_OGG:
            return "Ogg";
        case SF_FORMAT_MPEG:
            return "MPEG";
        case SF_FORMAT_SVX:
            return "8SVX";
        case SF_FORMAT_NIST:
            return "NIST";
        case SF_FORMAT_VOC:
            return "VOC";
        case SF_FORMAT_IRCAM:
            return "IRCAM";
        default: {
            SF_FORMAT_INFO info{};
            info.format = format & SF_FORMAT_TYPEMASK;
            if (sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &info, sizeof info) == 0 && info.name)
                return info.name;
            return "audio";
        }
    }
}

struct SampleKind {
    const char* name;  // appended to the container's name; null when the codec names the whole
    bool exact16;
};

SampleKind Subtype(int format) {
    switch (format & SF_FORMAT_SUBMASK) {
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_PCM_U8:
            return {"8-bit", true};
        case SF_FORMAT_PCM_16:
            return {"16-bit", true};
        case SF_FORMAT_PCM_24:
            return {"24-bit", false};
        case SF_FORMAT_PCM_32:
            return {"32-bit", false};
        case SF_FORMAT_FLOAT:
            return {"32-bit float", false};
        case SF_FORMAT_DOUBLE:
            return {"64-bit float", false};
        case SF_FORMAT_ULAW:
            return {"mu-law", true};
        case SF_FORMAT_ALAW:
            return {"A-law", true};
        case SF_FORMAT_IMA_ADPCM:
            return {"IMA ADPCM", true};
        case SF_FORMAT_MS_ADPCM:
            return {"Microsoft ADPCM", true};
        case SF_FORMAT_GSM610:
            return {"GSM 6.10", true};
        case SF_FORMAT_DPCM_8:
        case SF_FORMAT_DPCM_16:
            return {"DPCM", true};
        case SF_FORMAT_ALAC_16:
            return {"ALAC 16-bit", true};
        case SF_FORMAT_ALAC_20:
            return {"ALAC 20-bit", false};
        case SF_FORMAT_ALAC_24:
            return {"ALAC 24-bit", false};
        case SF_FORMAT_ALAC_32:
            return {"ALAC 32-bit", false};
        case SF_FORMAT_VORBIS:
            return {"Vorbis", false};
        case SF_FORMAT_OPUS:
            return {"Opus", false};
        case SF_FORMAT_MPEG_LAYER_I:
            return {"Layer I", false};
        case SF_FORMAT_MPEG_LAYER_II:
            return {"Layer II", false};
        case SF_FORMAT_MPEG_LAYER_III:
            return {"Layer III", false};
        default:
            // Other codecs (G.72x, DWVW, VOX...) decode to at most 16 bits but are read as
            // float so that nothing is assumed about them.
            return {"encoded", false};
    }
}

std::string FormatName(int format) {
    const int major = format & SF_FORMAT_TYPEMASK;
    const SampleKind kind = Subtype(format);
    if (major == SF_FORMAT_MPEG)
        return (format & SF_FORMAT_SUBMASK) == SF_FORMAT_MPEG_LAYER_III  ? "MP3"
               : (format & SF_FORMAT_SUBMASK) == SF_FORMAT_MPEG_LAYER_II ? "MP2"
                                                                         : "MP1";
    return ContainerName(format) + " " + kind.name;
}

bool Lossless(int format) {
    switch (format & SF_FORMAT_SUBMASK) {
        case SF_FORMAT_VORBIS:
        case SF_FORMAT_OPUS:
        case SF_FORMAT_MPEG_LAYER_I:
        case SF_FORMAT_MPEG_LAYER_II:
        case SF_FORMAT_MPEG_LAYER_III:
            return false;
        default:
            return true;
    }
}

SourceLoop::Mode LoopMode(int mode) {
    switch (mode) {
        case SF_LOOP_NONE:
            return SourceLoop::Mode::None;
        case SF_LOOP_BACKWARD:
            return SourceLoop::Mode::Backward;
        case SF_LOOP_ALTERNATING:
            return SourceLoop::Mode::Alternating;
        default:
            return SourceLoop::Mode::Forward;
    }
}

}  // namespace

struct SndfileSource::State {
    std::unique_ptr<VirtualInput> input;
    SNDFILE* file = nullptr;
    SndfileInfo info;
    std::uint64_t framesRead = 0;

    ~State() {
        if (file)
            sf_close(file);
    }
};

SndfileSource::SndfileSource(std::unique_ptr<State> state) : state_(std::move(state)) {}
SndfileSource::SndfileSource(SndfileSource&&) noexcept = default;
SndfileSource& SndfileSource::operator=(SndfileSource&&) noexcept = default;
SndfileSource::~SndfileSource() = default;

const SndfileInfo& SndfileSource::info() const {
    return state_->info;
}

Expected<SndfileSource> SndfileSource::Open(ByteSource& source) {
    try {
        auto state = std::make_unique<State>();
        state->input = std::make_unique<VirtualInput>(source);
        // The first bytes, to name what was found when libsndfile knows nothing of it.
        std::uint8_t head[kContainerProbeBytes];
        const sf_count_t headBytes = state->input->Read(head, sizeof head);
        const std::span<const std::uint8_t> headSpan(head, static_cast<std::size_t>(headBytes));
        // A file cut short: the audio its header declares is not all there. (A stream's length
        // is unknown: it is read to its end.)
        if (source.Seekable() && source.Size()) {
            const auto size = static_cast<std::uint64_t>(state->input->Length());
            if (const std::optional<AudioChunk> audio =
                    FindAudioChunk(*state->input, headSpan, size);
                audio && audio->body <= size && audio->declared > size - audio->body) {
                return MakeError(ErrorKind::Truncated,
                                 audio->name + " chunk declares " +
                                     std::to_string(audio->declared) + " bytes, " +
                                     std::to_string(size - audio->body) + " present");
            }
            if (headSpan.size() >= 4 && std::memcmp(head, "OggS", 4) == 0 &&
                !OggEndsItsStream(*state->input, size))
                return MakeError(ErrorKind::Truncated, "the Ogg stream has no last page");
        }
        if (state->input->Seek(0, SEEK_SET) != 0)
            return MakeError(ErrorKind::InputRead, "cannot go back to the start of the input");
        SF_INFO info{};
        {
            const std::lock_guard lock(OpenMutex());
            state->file = sf_open_virtual(&kInputCallbacks, SFM_READ, &info, state->input.get());
            if (!state->file) {
                if (state->input->Failed())
                    return MakeError(ErrorKind::InputRead,
                                     SystemErrorText(state->input->ErrorNumber()));
                const ContainerProbe probe = ProbeContainer(headSpan);
                const std::string reason = sf_strerror(nullptr);
                if (probe.kind == ContainerKind::Unknown)
                    return MakeError(ErrorKind::Container,
                                     "not a WAVE file nor another audio container (" + probe.name +
                                         "; libsndfile: " + reason + ")");
                return MakeError(ErrorKind::Container, "cannot read this " + probe.name +
                                                           " file (libsndfile: " + reason + ")");
            }
        }
        if (info.channels <= 0 || info.channels > 0xFFFF || info.samplerate <= 0) {
            return MakeError(ErrorKind::Container,
                             FormatName(info.format) + " with " + std::to_string(info.channels) +
                                 " channels at " + std::to_string(info.samplerate) + " Hz");
        }
        SndfileInfo& i = state->info;
        i.format = FormatName(info.format);
        i.channels = static_cast<std::uint16_t>(info.channels);
        i.sampleRate = static_cast<std::uint32_t>(info.samplerate);
        // The length of a stream's audio is what its header says only for FLAC (the others
        // write their sizes once the audio is written, which a stream cannot): read to the end.
        const bool lengthKnown =
            source.Seekable() || (info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_FLAC;
        if (lengthKnown && info.frames >= 0 &&
            info.frames != std::numeric_limits<sf_count_t>::max())
            i.frames = static_cast<std::uint64_t>(info.frames);
        i.exact16 = Subtype(info.format).exact16;
        i.lossless = Lossless(info.format);
        return SndfileSource(std::move(state));
    } catch (const std::bad_alloc&) {
        return MakeError(ErrorKind::OutOfMemory);
    }
}

namespace {

template <class Sample, class ReadFunction>
Expected<std::size_t> ReadFrames(SndfileSource::State& s, std::span<Sample> out,
                                 ReadFunction read) {
    const std::size_t channels = s.info.channels;
    const sf_count_t want = static_cast<sf_count_t>(out.size() / channels);
    if (want == 0)
        return std::size_t{0};
    const sf_count_t got = read(s.file, out.data(), want);
    if (got < 0)
        return MakeError(ErrorKind::Container,
                         "decoding " + s.info.format + ": " + sf_strerror(s.file));
    s.framesRead += static_cast<std::uint64_t>(got);
    if (got < want) {
        if (s.input->Failed())
            return MakeError(ErrorKind::InputRead, SystemErrorText(s.input->ErrorNumber()));
        if (sf_error(s.file) != SF_ERR_NO_ERROR) {
            return MakeError(ErrorKind::Container, "decoding " + s.info.format + " failed after " +
                                                       std::to_string(s.framesRead) +
                                                       " frames: " + sf_strerror(s.file));
        }
        if (got == 0 && s.info.lossless && s.info.frames && s.framesRead < *s.info.frames) {
            return MakeError(ErrorKind::Truncated,
                             s.info.format + " file with " + std::to_string(*s.info.frames) +
                                 " frames ends after " + std::to_string(s.framesRead));
        }
    }
    return static_cast<std::size_t>(got);
}

}  // namespace

Expected<std::size_t> SndfileSource::ReadInt16(std::span<std::int16_t> out) {
    return ReadFrames(*state_, out, [](SNDFILE* f, std::int16_t* p, sf_count_t n) {
        return sf_readf_short(f, p, n);
    });
}

Expected<std::size_t> SndfileSource::ReadReal(std::span<double> out) {
    const Expected<std::size_t> frames = ReadFrames(
        *state_, out, [](SNDFILE* f, double* p, sf_count_t n) { return sf_readf_double(f, p, n); });
    if (!frames)
        return frames;
    const std::size_t count = *frames * state_->info.channels;
    for (std::size_t i = 0; i < count; ++i)
        out[i] *= 32768.0;  // to 16-bit units
    return frames;
}

bool SndfileSource::Rewind() {
    if (!state_->input->Seekable() || sf_seek(state_->file, 0, SEEK_SET) != 0)
        return false;
    state_->framesRead = 0;
    return true;
}

std::optional<SourceInstrument> SndfileSource::Instrument() const {
    SF_INSTRUMENT raw{};
    if (sf_command(state_->file, SFC_GET_INSTRUMENT, &raw, sizeof raw) != SF_TRUE)
        return std::nullopt;
    SourceInstrument instrument;
    instrument.gain = raw.gain;
    instrument.baseNote = raw.basenote;
    instrument.detune = raw.detune;
    instrument.velocityLow = raw.velocity_lo;
    instrument.velocityHigh = raw.velocity_hi;
    instrument.keyLow = raw.key_lo;
    instrument.keyHigh = raw.key_hi;
    const int count = std::clamp(raw.loop_count, 0, 16);
    for (int i = 0; i < count; ++i) {
        const auto& l = raw.loops[i];
        instrument.loops.push_back({LoopMode(l.mode), l.start, l.end, l.count});
    }
    return instrument;
}

namespace {

// The pipeline's view of a libsndfile source.
template <class Sample>
class SndfileStream final : public SampleStream<Sample> {
  public:
    explicit SndfileStream(SndfileSource source) : source_(std::move(source)) {
        shape_.channels = source_.info().channels;
        shape_.sampleRate = source_.info().sampleRate;
        // A lossy stream's length can be an estimate (an MP3 file without a length tag): the
        // pipeline takes it as unknown and counts what comes.
        if (source_.info().lossless)
            shape_.frames = source_.info().frames;
    }
    const StreamShape& shape() const override { return shape_; }
    Expected<std::size_t> Read(std::span<Sample> out) override {
        if constexpr (std::is_same_v<Sample, double>)
            return source_.ReadReal(out);
        else
            return source_.ReadInt16(out);
    }
    // A lossy source is not read twice: its samples are never exact 16-bit values anyway.
    bool Rewind() override { return source_.info().lossless && source_.Rewind(); }
    StreamStats stats() const override { return {}; }

  private:
    SndfileSource source_;
    StreamShape shape_;
};

}  // namespace

Expected<SndfileAudio> OpenSndfileAudio(ByteSource& source) {
    Expected<SndfileSource> opened = SndfileSource::Open(source);
    if (!opened)
        return opened.error();
    try {
        SndfileAudio audio;
        audio.format = opened->info().format;
        audio.instrument = opened->Instrument();
        if (opened->info().exact16)
            audio.streams.int16 =
                std::make_unique<SndfileStream<std::int16_t>>(std::move(opened).value());
        else
            audio.streams.real = std::make_unique<SndfileStream<double>>(std::move(opened).value());
        return audio;
    } catch (const std::bad_alloc&) {
        return MakeError(ErrorKind::OutOfMemory);
    }
}

}  // namespace imabox

#if defined(__linux__)
// libsndfile decodes MP3 with libmpg123, which writes its own lines to standard error ("Warning:
// Xing stream size off...", "[parse.c:...] error: ...") unless a handle is made quiet, and
// libsndfile does not make it so. Its handles are made here, in front of libmpg123's own
// function (found with RTLD_NEXT), and made quiet; the decoding errors still reach imabox through
// libsndfile. The two values are libmpg123's stable ABI: MPG123_ADD_FLAGS and MPG123_QUIET.
#include <dlfcn.h>

extern "C" {
struct mpg123_handle_struct;
__attribute__((visibility("default"))) mpg123_handle_struct* mpg123_new(const char* decoder,
                                                                        int* error) {
    using New = mpg123_handle_struct* (*)(const char*, int*);
    using Param = int (*)(mpg123_handle_struct*, int, long, double);
    static const New real = reinterpret_cast<New>(dlsym(RTLD_NEXT, "mpg123_new"));
    static const Param param = reinterpret_cast<Param>(dlsym(RTLD_NEXT, "mpg123_param"));
    constexpr int kAddFlags = 2;
    constexpr long kQuiet = 0x20;
    if (!real) {
        if (error)
            *error = -1;  // MPG123_ERR
        return nullptr;
    }
    mpg123_handle_struct* handle = real(decoder, error);
    if (handle && param)
        param(handle, kAddFlags, kQuiet, 0.0);
    return handle;
}
}
#endif
