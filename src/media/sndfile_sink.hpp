// SPDX-License-Identifier: MIT
// 16-bit audio written as FLAC or another container libsndfile writes, a piece at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "imabox/expected.hpp"
#include "io/byte_stream.hpp"

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
// The names FindSndfileFormat knows ("flac", "aiff"...), and the same for messages: "flac, aiff,
// ...".
std::vector<std::string> SndfileFormatList();
std::string SndfileFormatNames();

class SndfileSink {
  public:
    // Writes into `sink`, which must outlive this object. A sink that cannot seek (a pipe) takes
    // only formats that do not need it.
    static Expected<SndfileSink> Create(ByteSink& sink, const SndfileOutputFormat& format,
                                        unsigned channels, std::uint32_t sampleRate);

    SndfileSink(SndfileSink&&) noexcept;
    SndfileSink& operator=(SndfileSink&&) noexcept;
    ~SndfileSink();

    // Writes whole interleaved frames.
    Expected<bool> Write(std::span<const std::int16_t> samples);
    // Completes the stream (headers, final blocks).
    Expected<bool> Finish();

  private:
    struct State;
    explicit SndfileSink(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace imabox
