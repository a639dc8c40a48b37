// SPDX-License-Identifier: MIT
// A value or an error, for the parts of the C++ API that can fail.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace imabox {

// What went wrong. Callers compare kinds, people read the message. The kinds are stable: new ones
// are added at the end, none is removed or given another meaning.
enum class ErrorKind {
    // Opening, reading and writing files.
    InputOpen,       // the input cannot be opened (or the path is empty)
    InputIsFolder,   // the input is a folder
    InputRead,       // a read failed (not the end of the input)
    OutputCreate,    // the output (or its temporary file) cannot be created
    OutputWrite,     // a write, flush or close of the output failed
    OutputRename,    // the finished temporary file cannot replace the output
    OutputIsInput,   // the output names the input file
    OutputTooLarge,  // the output would not fit a 32-bit RIFF size
    OutOfMemory,     // a buffer could not be allocated
    // Reading WAVE files. The exact converter (ConvertFile) reports its header errors as NotWave,
    // MissingChunk (fmt, fact or data not where it reads them), Unsupported (a format tag or
    // sample size it does not convert) and InvalidFmt (no channels).
    NotWave,          // no RIFF/WAVE header
    Truncated,        // a chunk declares more bytes than the file holds
    MissingChunk,     // no fmt or no data chunk
    DuplicateChunk,   // two fmt or two data chunks
    InvalidFmt,       // a fmt chunk whose fields contradict each other
    Unsupported,      // a sample format this library does not read
    TooManyChannels,  // more channels than the output's header fields can describe
    // Other containers (FLAC, Ogg, MP3, AIFF...).
    Container,    // a container that cannot be opened or decoded, or is not audio at all
    Unavailable,  // a container or a rate change this build has no library for
    // Conversion requests.
    NothingToDo,      // the input is already in the requested format
    WrongDirection,   // decode of something that is not ADPCM
    InvalidArgument,  // an option out of range
    LoopAlignment,    // a loop that cannot be put on blocks as asked (too short, too long)
    Internal,         // an unexpected failure
};

struct Error {
    ErrorKind kind = ErrorKind::Internal;
    std::string message;  // one line, no newline; for ConvertFile, what XBoxAudio prints
};

template <class T>
class [[nodiscard]] Expected {
  public:
    Expected(T value) : content_(std::move(value)) {}
    Expected(Error error) : content_(std::move(error)) {}

    bool ok() const { return content_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(content_); }
    const T& value() const& { return std::get<0>(content_); }
    T&& value() && { return std::get<0>(std::move(content_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    const Error& error() const { return std::get<1>(content_); }

  private:
    std::variant<T, Error> content_;
};

}  // namespace imabox
