// SPDX-License-Identifier: MIT
#include "media/sndfile_sink.hpp"

#include <sndfile.h>

#include <algorithm>
#include <cctype>
#include <mutex>
#include <new>

#include "io/errors.hpp"

namespace imabox {
namespace {

constexpr SndfileOutputFormat kFormats[] = {
    {"flac", "flac", "FLAC 16-bit", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, false},
    {"aiff", "aiff", "AIFF 16-bit", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, true},
    {"aiff", "aif", "AIFF 16-bit", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, true},
    {"caf", "caf", "CAF 16-bit", SF_FORMAT_CAF | SF_FORMAT_PCM_16, true},
    {"w64", "w64", "Wave64 16-bit", SF_FORMAT_W64 | SF_FORMAT_PCM_16, true},
    {"au", "au", "AU 16-bit", SF_FORMAT_AU | SF_FORMAT_PCM_16, false},
    {"ogg", "ogg", "Ogg Vorbis", SF_FORMAT_OGG | SF_FORMAT_VORBIS, false},
};

bool SameText(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// The byte sink under a libsndfile handle. Writes at the end are appended; writes into what was
// written already (headers completed at the end) go through WriteAt.
struct Output {
    ByteSink& sink;
    std::uint64_t position = 0;
    std::uint64_t end = 0;  // bytes written
    bool failed = false;

    sf_count_t Write(const std::uint8_t* data, std::uint64_t count) {
        if (failed)
            return static_cast<sf_count_t>(count);  // failures are reported by Finish
        std::uint64_t done = 0;
        if (!sink.Seekable()) {
            // What lands on bytes already written is dropped, and so is anything after a gap:
            // see kOutputCallbacks.
            if (position > end) {
                position += count;
                return static_cast<sf_count_t>(count);
            }
            done = std::min(count, end - position);
        } else if (position < end) {
            const std::uint64_t inside = std::min(count, end - position);
            if (!sink.WriteAt(position, std::span(data, static_cast<std::size_t>(inside))))
                failed = true;
            done = inside;
        }
        if (done < count &&
            !sink.Write(std::span(data + done, static_cast<std::size_t>(count - done))))
            failed = true;
        position += count;
        end = std::max(end, position);
        return static_cast<sf_count_t>(count);
    }
};

Output& Out(void* user) {
    return *static_cast<Output*>(user);
}

// A sink that cannot seek: the FLAC encoder seeks back only at the end, to complete the stream
// header with the length and checksum, and the AU writer rewrites its header before the audio. A
// pipe cannot go back, so the seek is pretended and what it would write over is dropped: the
// stream stays valid, with its length unknown, as streamed FLAC and AU are.
SF_VIRTUAL_IO kOutputCallbacks = {
    [](void* user) { return static_cast<sf_count_t>(Out(user).end); },
    [](sf_count_t offset, int whence, void* user) -> sf_count_t {
        Output& o = Out(user);
        const sf_count_t base = whence == SEEK_SET   ? 0
                                : whence == SEEK_CUR ? static_cast<sf_count_t>(o.position)
                                                     : static_cast<sf_count_t>(o.end);
        const sf_count_t target = base + offset;
        if (target < 0)
            return -1;
        if (static_cast<std::uint64_t>(target) > o.end && o.sink.Seekable())
            return -1;
        o.position = static_cast<std::uint64_t>(target);
        return target;
    },
    [](void*, sf_count_t, void*) -> sf_count_t { return 0; },
    [](const void* data, sf_count_t count, void* user) {
        return Out(user).Write(static_cast<const std::uint8_t*>(data),
                               static_cast<std::uint64_t>(count));
    },
    [](void* user) { return static_cast<sf_count_t>(Out(user).position); },
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

std::vector<std::string> SndfileFormatList() {
    std::vector<std::string> names;
    for (const SndfileOutputFormat& f : kFormats)
        if (std::find(names.begin(), names.end(), f.name) == names.end())
            names.emplace_back(f.name);
    return names;
}

std::string SndfileFormatNames() {
    std::string names;
    for (const std::string& name : SndfileFormatList())
        names += (names.empty() ? "" : ", ") + name;
    return names;
}

struct SndfileSink::State {
    explicit State(ByteSink& sink) : output{sink} {}
    Output output;
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

Expected<SndfileSink> SndfileSink::Create(ByteSink& sink, const SndfileOutputFormat& format,
                                          unsigned channels, std::uint32_t sampleRate) {
    if (!sink.Seekable() && format.needsSeek)
        return MakeError(ErrorKind::InvalidArgument,
                         std::string(format.label) +
                             " cannot be written to a pipe (its header is completed at the end)");
    try {
        auto state = std::make_unique<State>(sink);
        state->channels = channels;
        state->label = format.label;
        SF_INFO info{};
        info.channels = static_cast<int>(channels);
        info.samplerate = static_cast<int>(sampleRate);
        info.format = format.format;
        if (!sf_format_check(&info))
            return MakeError(ErrorKind::InvalidArgument,
                             std::string("cannot write ") + format.label + " with " +
                                 std::to_string(channels) + " channels at " +
                                 std::to_string(sampleRate) + " Hz");
        const std::lock_guard lock(OpenMutex());
        state->file = sf_open_virtual(&kOutputCallbacks, SFM_WRITE, &info, &state->output);
        if (!state->file)
            return MakeError(ErrorKind::OutputCreate,
                             std::string(format.label) + " output: " + sf_strerror(nullptr));
        return SndfileSink(std::move(state));
    } catch (const std::bad_alloc&) {
        return MakeError(ErrorKind::OutOfMemory);
    }
}

Expected<bool> SndfileSink::Write(std::span<const std::int16_t> samples) {
    State& s = *state_;
    const sf_count_t frames = static_cast<sf_count_t>(samples.size() / s.channels);
    const sf_count_t written = sf_writef_short(s.file, samples.data(), frames);
    if (s.output.failed)
        return s.output.sink.WriteError();
    if (written != frames)
        return MakeError(ErrorKind::OutputWrite, s.label + ": " + sf_strerror(s.file));
    return true;
}

Expected<bool> SndfileSink::Finish() {
    State& s = *state_;
    const int closed = sf_close(s.file);
    s.file = nullptr;
    if (s.output.failed)
        return s.output.sink.WriteError();
    if (closed != 0)
        return MakeError(ErrorKind::OutputWrite, s.label + ": " + sf_error_number(closed));
    return true;
}

}  // namespace imabox
