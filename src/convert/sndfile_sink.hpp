// 16-bit audio written as FLAC or another container libsndfile writes, a piece at a time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "imabox/expected.hpp"

namespace imabox {

struct SndfileOutputFormat {
    const char* name;       // as given to --format: "flac", "aiff"...
    const char* extension;  // without the dot
    const char* label;      // for messages: "FLAC 16-bit"
    int format;             // libsndfile's major and sub format
    bool needsSeek;         // the header is completed at the end: not for a pipe
};

// The output format named `name` ("flac", "aiff", "caf", "w64", "au", "ogg"), or for a file name
// the one its extension names. Names and extensions compare without case.
std::optional<SndfileOutputFormat> FindSndfileFormat(std::string_view name);
std::optional<SndfileOutputFormat> SndfileFormatForPath(std::string_view path);
// The names FindSndfileFormat knows, for help and messages: "flac, aiff, ...".
std::string SndfileFormatNames();

class SndfileSink {
  public:
    // Writes into `file` (not owned; it must stay open until Finish). `seekable` says whether
    // the file can be rewound (a regular file) or not (a pipe).
    static Expected<SndfileSink> Create(std::FILE* file, bool seekable,
                                        const SndfileOutputFormat& format, unsigned channels,
                                        std::uint32_t sampleRate);

    SndfileSink(SndfileSink&&) noexcept;
    SndfileSink& operator=(SndfileSink&&) noexcept;
    ~SndfileSink();

    // Writes whole interleaved frames.
    Expected<bool> Write(std::span<const std::int16_t> samples);
    // Completes the stream (headers, final blocks) and flushes it into the file.
    Expected<bool> Finish();

  private:
    struct State;
    explicit SndfileSink(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace imabox
