// SPDX-License-Identifier: MIT
// The exact converter's own messages: the lines XBoxAudio has always printed after "ERROR: ".
// Each comes back through the public API as an Error of a stable public kind with this text.
#pragma once

#include <optional>
#include <string_view>

#include "imabox/expected.hpp"

namespace imabox {

// The four-line banner XBoxAudio (and imabox convert) prints before anything else.
inline constexpr std::string_view kBanner =
    "Xbox ADPCM Decoder/Encoder\n"
    "Converter: imabox\n"
    "ADPCM routines: imabox\n"
    "\n";

enum class ExactMessage {
    InputOpen,         // the input cannot be opened
    InputRead,         // a read failed
    OutputCreate,      // the output cannot be created
    OutputWrite,       // a write or close of the output failed
    OutputTooLarge,    // the output would not fit a 32-bit RIFF size
    OutOfMemory,       // a buffer could not be allocated
    RiffHeader,        // not a RIFF file
    WaveHeader,        // RIFF, but not WAVE
    FmtHeader,         // the "fmt " chunk does not follow the RIFF header
    FormatTag,         // a format tag other than PCM or Xbox ADPCM
    BitsPerSample,     // PCM with other than 16 bits per sample
    DataOrFactHeader,  // neither "fact" nor "data" follows the fmt chunk
    DataHeader,        // "fact" not followed by "data"
    ChannelCount,      // 0 channels
    Internal,          // an unexpected failure
};

// The message's text, e.g. "Incorrect RIFF header!".
std::string_view ExactText(ExactMessage message);

// The message as an Error of its public kind (RiffHeader is ErrorKind::NotWave...).
Error ExactError(ExactMessage message);

// Which of these messages `error` carries; nothing for an error the exact converter does not
// make.
std::optional<ExactMessage> ExactMessageOf(const Error& error);

}  // namespace imabox
