// SPDX-License-Identifier: MIT
// The converter's strict header reader: the two layouts XBoxAudio has always read (RIFF header,
// fmt chunk, an optional fact chunk, data chunk header, in that order), with its messages.
#pragma once

#include <cstdint>
#include <string_view>

#include "imabox/convert.hpp"
#include "imabox/expected.hpp"
#include "io/byte_stream.hpp"

namespace imabox {

// Sends `text` to `console`, if there is one.
inline void Print(const ConsoleSink& console, std::string_view text) {
    if (console)
        console(text);
}

struct StrictHeader {
    std::uint16_t formatTag = 0;
    std::uint16_t channels = 0;
    std::uint32_t sampleRate = 0;
    std::uint32_t dataSize = 0;  // the data chunk's declared size
};

// Reads the headers, leaving the source at the first payload byte. Prints the direction message
// to `console`. Only the fields that decide the conversion are checked; short reads leave zero
// bytes behind and so fail an id check.
Expected<StrictHeader> ReadStrictHeader(ByteSource& source, const ConsoleSink& console);

}  // namespace imabox
