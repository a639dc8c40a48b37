#include "convert/sndfile_source.hpp"

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>

#include "convert/file_io.hpp"
#include "wave/container_probe.hpp"

namespace imabox {
namespace {

// The byte source under a libsndfile handle. Positions are absolute offsets in the input.
class VirtualInput {
  public:
    virtual ~VirtualInput() = default;
    virtual sf_count_t Length() = 0;
    virtual sf_count_t Seek(sf_count_t offset, int whence) = 0;
    virtual sf_count_t Read(void* out, sf_count_t count) = 0;
    virtual sf_count_t Tell() = 0;
    virtual bool Failed() const = 0;
};

// A seekable file.
class FileInput final : public VirtualInput {
  public:
    explicit FileInput(FileHandle file) : file_(std::move(file)) {}
    sf_count_t Length() override {
        const sf_count_t here = Tell();
        if (here < 0 || Seek(0, SEEK_END) < 0)
            return -1;
        const sf_count_t end = Tell();
        Seek(here, SEEK_SET);
        return end;
    }
    sf_count_t Seek(sf_count_t offset, int whence) override {
        if (fseeko(file_.get(), static_cast<off_t>(offset), whence) != 0)
            return -1;
        return Tell();
    }
    sf_count_t Read(void* out, sf_count_t count) override {
        const std::size_t n = std::fread(out, 1, static_cast<std::size_t>(count), file_.get());
        if (n < static_cast<std::size_t>(count) && std::ferror(file_.get()))
            failed_ = true;
        return static_cast<sf_count_t>(n);
    }
    sf_count_t Tell() override { return static_cast<sf_count_t>(ftello(file_.get())); }
    bool Failed() const override { return failed_; }

  private:
    FileHandle file_;
    bool failed_ = false;
};

// A forward-only stream. The most recent bytes are kept so that the decoder can seek back a
// little, as parsers do around headers; seeking forward reads and drops bytes. The end of the
// stream is unknown until it is reached, so the length is reported as unknown (the largest
// count), as libsndfile does for pipes itself.
class StreamInput final : public VirtualInput {
  public:
    StreamInput(std::span<const std::uint8_t> head, WaveSource& rest)
        : window_(head.begin(), head.end()), rest_(rest) {}

    sf_count_t Length() override {
        return ended_ ? static_cast<sf_count_t>(base_ + window_.size())
                      : std::numeric_limits<sf_count_t>::max();
    }
    sf_count_t Seek(sf_count_t offset, int whence) override {
        sf_count_t target;
        if (whence == SEEK_SET)
            target = offset;
        else if (whence == SEEK_CUR)
            target = static_cast<sf_count_t>(pos_) + offset;
        else if (whence == SEEK_END && ended_)
            target = static_cast<sf_count_t>(base_ + window_.size()) + offset;
        else
            return -1;
        if (target < static_cast<sf_count_t>(base_))
            return -1;  // before the bytes kept
        while (static_cast<std::uint64_t>(target) > base_ + window_.size()) {
            pos_ = base_ + window_.size();  // lets Fill drop what lies behind
            if (!Fill())
                break;
        }
        pos_ = std::min<std::uint64_t>(static_cast<std::uint64_t>(target), base_ + window_.size());
        return static_cast<sf_count_t>(pos_);
    }
    sf_count_t Read(void* out, sf_count_t count) override {
        auto* dest = static_cast<std::uint8_t*>(out);
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
    sf_count_t Tell() override { return static_cast<sf_count_t>(pos_); }
    bool Failed() const override { return rest_.Failed(); }

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
        const std::size_t n = rest_.Read(std::span(window_).subspan(old));
        window_.resize(old + n);
        if (n < kPiece)
            ended_ = true;
        return n > 0;
    }

    std::vector<std::uint8_t> window_;  // bytes [base_, base_ + size) of the stream
    std::uint64_t base_ = 0;
    std::uint64_t pos_ = 0;
    bool ended_ = false;
    WaveSource& rest_;
};

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
    bool lossless = true;
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

namespace {

Expected<std::unique_ptr<SndfileSource::State>> Open(std::unique_ptr<VirtualInput> input,
                                                     std::span<const std::uint8_t> head) {
    auto state = std::make_unique<SndfileSource::State>();
    state->input = std::move(input);
    SF_INFO info{};
    {
        const std::lock_guard lock(OpenMutex());
        state->file = sf_open_virtual(&kInputCallbacks, SFM_READ, &info, state->input.get());
        if (!state->file) {
            const ContainerProbe probe = ProbeContainer(head);
            const std::string reason = sf_strerror(nullptr);
            if (state->input->Failed())
                return Error{"read error: " + std::generic_category().message(errno)};
            if (probe.kind == ContainerKind::Unknown)
                return Error{"not an audio file imabox reads: " + probe.name + " (" + reason + ")"};
            return Error{"cannot read this " + probe.name + " file: " + reason};
        }
    }
    if (info.channels <= 0 || info.channels > 0xFFFF || info.samplerate <= 0) {
        return Error{"unsupported " + FormatName(info.format) +
                     " stream: " + std::to_string(info.channels) + " channels at " +
                     std::to_string(info.samplerate) + " Hz"};
    }
    state->info.format = FormatName(info.format);
    state->info.channels = static_cast<std::uint16_t>(info.channels);
    state->info.sampleRate = static_cast<std::uint32_t>(info.samplerate);
    if (info.frames >= 0 && info.frames != std::numeric_limits<sf_count_t>::max())
        state->info.frames = static_cast<std::uint64_t>(info.frames);
    state->info.exact16 = Subtype(info.format).exact16;
    state->lossless = Lossless(info.format);
    return state;
}

template <class Sample, class ReadFunction>
Expected<std::size_t> ReadFrames(SndfileSource::State& s, std::span<Sample> out,
                                 ReadFunction read) {
    const std::size_t channels = s.info.channels;
    const sf_count_t want = static_cast<sf_count_t>(out.size() / channels);
    if (want == 0)
        return std::size_t{0};
    const sf_count_t got = read(s.file, out.data(), want);
    if (got < 0)
        return Error{"decoding " + s.info.format + ": " + sf_strerror(s.file)};
    s.framesRead += static_cast<std::uint64_t>(got);
    if (got < want) {
        if (s.input->Failed())
            return Error{"read error: " + std::generic_category().message(errno ? errno : EIO)};
        if (sf_error(s.file) != SF_ERR_NO_ERROR) {
            return Error{"decoding " + s.info.format + " failed after " +
                         std::to_string(s.framesRead) + " frames: " + sf_strerror(s.file)};
        }
        if (got == 0 && s.lossless && s.info.frames && s.framesRead < *s.info.frames) {
            return Error{"truncated " + s.info.format + " file: " + std::to_string(s.framesRead) +
                         " of " + std::to_string(*s.info.frames) + " frames present"};
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

Expected<std::size_t> SndfileSource::ReadFloat(std::span<float> out) {
    return ReadFrames(*state_, out,
                      [](SNDFILE* f, float* p, sf_count_t n) { return sf_readf_float(f, p, n); });
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

Expected<SndfileSource> SndfileSource::OpenFile(const std::filesystem::path& path) {
    try {
        std::error_code ec;
        if (std::filesystem::is_directory(path, ec))
            return Error{"is a directory"};
        errno = 0;
        FileHandle file = imabox::OpenFile(path, "rb");
        if (!file)
            return Error{"cannot open: " + std::generic_category().message(errno)};
        std::uint8_t head[kContainerProbeBytes];
        const std::size_t n = std::fread(head, 1, sizeof head, file.get());
        std::rewind(file.get());
        auto state = Open(std::make_unique<FileInput>(std::move(file)), std::span(head, n));
        if (!state)
            return state.error();
        return SndfileSource(std::move(state).value());
    } catch (const std::bad_alloc&) {
        return Error{"out of memory"};
    }
}

Expected<SndfileSource> SndfileSource::OpenStream(std::span<const std::uint8_t> head,
                                                  WaveSource& rest) {
    try {
        auto state = Open(std::make_unique<StreamInput>(head, rest), head);
        if (!state)
            return state.error();
        return SndfileSource(std::move(state).value());
    } catch (const std::bad_alloc&) {
        return Error{"out of memory"};
    }
}

}  // namespace imabox
