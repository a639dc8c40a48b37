#include "convert/sndfile_sink.hpp"

#include <sndfile.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <mutex>
#include <new>
#include <system_error>

namespace imabox {
namespace {

constexpr SndfileOutputFormat kFormats[] = {
    {"flac", "flac", "FLAC 16-bit", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, false},
    {"aiff", "aiff", "AIFF 16-bit", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, true},
    {"aiff", "aif", "AIFF 16-bit", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, true},
    {"caf", "caf", "CAF 16-bit", SF_FORMAT_CAF | SF_FORMAT_PCM_16, true},
    {"w64", "w64", "Wave64 16-bit", SF_FORMAT_W64 | SF_FORMAT_PCM_16, true},
    {"au", "au", "AU 16-bit", SF_FORMAT_AU | SF_FORMAT_PCM_16, true},
    {"ogg", "ogg", "Ogg Vorbis", SF_FORMAT_OGG | SF_FORMAT_VORBIS, false},
};

bool SameText(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

struct Output {
    std::FILE* file;
    bool seekable;
    bool failed = false;
    int error = 0;
    std::uint64_t position = 0;  // of a pipe: what was written, or where a seek pretended to go
    bool discarding = false;     // a pipe after a seek: see kOutputCallbacks
};

Output& Out(void* user) {
    return *static_cast<Output*>(user);
}

sf_count_t Tell(void* user) {
    const Output& o = Out(user);
    return o.seekable ? static_cast<sf_count_t>(ftello(o.file))
                      : static_cast<sf_count_t>(o.position);
}

// On a pipe, the FLAC encoder seeks back only at the end, to complete the stream header with
// the length and checksum; it then writes the header at whatever position the seek left. A pipe
// cannot go back, so the seek is pretended and what follows it is dropped: the stream stays
// valid, with its length unknown, as streamed FLAC is.
SF_VIRTUAL_IO kOutputCallbacks = {
    [](void* user) -> sf_count_t {
        Output& o = Out(user);
        if (!o.seekable)
            return Tell(user);  // what was written so far
        const off_t here = ftello(o.file);
        if (here < 0 || fseeko(o.file, 0, SEEK_END) != 0)
            return -1;
        const off_t end = ftello(o.file);
        fseeko(o.file, here, SEEK_SET);
        return static_cast<sf_count_t>(end);
    },
    [](sf_count_t offset, int whence, void* user) -> sf_count_t {
        Output& o = Out(user);
        if (!o.seekable) {
            const std::uint64_t target = whence == SEEK_SET
                                             ? static_cast<std::uint64_t>(offset)
                                             : o.position + static_cast<std::uint64_t>(offset);
            if (target != o.position || whence == SEEK_END)
                o.discarding = true;  // a seek that stays where it is changes nothing
            o.position = target;
            return Tell(user);
        }
        if (fseeko(o.file, static_cast<off_t>(offset), whence) != 0)
            return -1;
        return Tell(user);
    },
    [](void*, sf_count_t, void*) -> sf_count_t { return 0; },
    [](const void* data, sf_count_t count, void* user) -> sf_count_t {
        Output& o = Out(user);
        if (o.discarding) {
            o.position += static_cast<std::uint64_t>(count);
            return count;
        }
        const std::size_t n = std::fwrite(data, 1, static_cast<std::size_t>(count), o.file);
        o.position += n;
        if (n < static_cast<std::size_t>(count) && !o.failed) {
            o.failed = true;
            o.error = errno ? errno : EIO;
        }
        return static_cast<sf_count_t>(n);
    },
    [](void* user) { return Tell(user); },
};

std::mutex& OpenMutex() {
    static std::mutex mutex;
    return mutex;
}

}  // namespace

std::optional<SndfileOutputFormat> FindSndfileFormat(std::string_view name) {
    for (const SndfileOutputFormat& f : kFormats)
        if (SameText(name, f.name) || SameText(name, f.extension))
            return f;
    return std::nullopt;
}

std::optional<SndfileOutputFormat> SndfileFormatForPath(std::string_view path) {
    const std::size_t slash = path.find_last_of("/\\");
    const std::size_t dot = path.find_last_of('.');
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash))
        return std::nullopt;
    for (const SndfileOutputFormat& f : kFormats)
        if (SameText(path.substr(dot + 1), f.extension))
            return f;
    return std::nullopt;
}

std::string SndfileFormatNames() {
    std::string names;
    for (const SndfileOutputFormat& f : kFormats) {
        if (names.find(f.name) != std::string::npos)
            continue;
        names += (names.empty() ? "" : ", ") + std::string(f.name);
    }
    return names;
}

struct SndfileSink::State {
    Output output{};
    SNDFILE* file = nullptr;
    unsigned channels = 0;
    std::string label;
    ~State() {
        if (file)
            sf_close(file);
    }
};

SndfileSink::SndfileSink(std::unique_ptr<State> state) : state_(std::move(state)) {}
SndfileSink::SndfileSink(SndfileSink&&) noexcept = default;
SndfileSink& SndfileSink::operator=(SndfileSink&&) noexcept = default;
SndfileSink::~SndfileSink() = default;

Expected<SndfileSink> SndfileSink::Create(std::FILE* file, bool seekable,
                                          const SndfileOutputFormat& format, unsigned channels,
                                          std::uint32_t sampleRate) {
    if (!seekable && format.needsSeek)
        return Error{std::string(format.label) +
                     " cannot be written to a pipe (its header is completed at the end)"};
    try {
        auto state = std::make_unique<State>();
        state->output = Output{file, seekable};
        state->channels = channels;
        state->label = format.label;
        SF_INFO info{};
        info.channels = static_cast<int>(channels);
        info.samplerate = static_cast<int>(sampleRate);
        info.format = format.format;
        if (!sf_format_check(&info))
            return Error{std::string("cannot write ") + format.label + " with " +
                         std::to_string(channels) + " channels at " + std::to_string(sampleRate) +
                         " Hz"};
        const std::lock_guard lock(OpenMutex());
        state->file = sf_open_virtual(&kOutputCallbacks, SFM_WRITE, &info, &state->output);
        if (!state->file)
            return Error{std::string("cannot start ") + format.label +
                         " output: " + sf_strerror(nullptr)};
        return SndfileSink(std::move(state));
    } catch (const std::bad_alloc&) {
        return Error{"out of memory"};
    }
}

Expected<bool> SndfileSink::Write(std::span<const std::int16_t> samples) {
    State& s = *state_;
    const sf_count_t frames = static_cast<sf_count_t>(samples.size() / s.channels);
    const sf_count_t written = sf_writef_short(s.file, samples.data(), frames);
    if (s.output.failed)
        return Error{"cannot write output: " + std::generic_category().message(s.output.error)};
    if (written != frames)
        return Error{"cannot encode " + s.label + ": " + sf_strerror(s.file)};
    return true;
}

Expected<bool> SndfileSink::Finish() {
    State& s = *state_;
    const int closed = sf_close(s.file);
    s.file = nullptr;
    if (std::fflush(s.output.file) != 0 && !s.output.failed) {
        s.output.failed = true;
        s.output.error = errno ? errno : EIO;
    }
    if (s.output.failed)
        return Error{"cannot write output: " + std::generic_category().message(s.output.error)};
    if (closed != 0)
        return Error{"cannot complete " + s.label + " output: " + sf_error_number(closed)};
    return true;
}

}  // namespace imabox
