// SPDX-License-Identifier: MIT
#include "io/errors.hpp"

#include <array>
#include <system_error>

namespace imabox {
namespace {

struct Entry {
    ErrorKind kind;
    std::string_view text;      // the fixed text
    std::string_view detailed;  // with a detail: "{}" is replaced by it
};

constexpr std::array kTable = {
    Entry{ErrorKind::InputOpen, "Could not open input file!", "cannot open: {}"},
    Entry{ErrorKind::InputIsFolder, "is a directory", "is a directory"},
    Entry{ErrorKind::InputRead, "Could not read input file!", "read error: {}"},
    Entry{ErrorKind::OutputCreate, "Could not create output file!", "cannot create {}"},
    Entry{ErrorKind::OutputWrite, "Could not write output file!", "cannot write output: {}"},
    Entry{ErrorKind::OutputRename, "cannot rename output into place",
          "cannot rename output into place: {}"},
    Entry{ErrorKind::OutputIsInput, "output is the input file", "output is the input file"},
    Entry{ErrorKind::OutputTooLarge, "Output too large for a WAVE file!",
          "output too large for a WAVE file ({})"},
    Entry{ErrorKind::OutOfMemory, "Out of memory!", "out of memory ({})"},
    Entry{ErrorKind::NotWave, "not a WAVE file", "not a WAVE file ({})"},
    Entry{ErrorKind::Truncated, "truncated file", "truncated file: {}"},
    Entry{ErrorKind::MissingChunk, "missing chunk", "{}"},
    Entry{ErrorKind::DuplicateChunk, "duplicate chunk", "more than one {} chunk"},
    Entry{ErrorKind::InvalidFmt, "invalid fmt chunk", "{}"},
    Entry{ErrorKind::Unsupported, "unsupported format", "{}"},
    Entry{ErrorKind::TooManyChannels, "too many channels", "{}"},
    Entry{ErrorKind::Container, "not an audio file imabox reads", "{}"},
    Entry{ErrorKind::Unavailable, "not available in this build", "{}"},
    Entry{ErrorKind::NothingToDo, "nothing to do", "{}"},
    Entry{ErrorKind::WrongDirection, "wrong direction", "{}"},
    Entry{ErrorKind::InvalidArgument, "invalid argument", "{}"},
    Entry{ErrorKind::LoopAlignment, "loop cannot be aligned", "{}"},
    Entry{ErrorKind::Internal, "Unexpected internal error!", "internal error: {}"},
};

const Entry& Find(ErrorKind kind) {
    for (const Entry& entry : kTable) {
        if (entry.kind == kind)
            return entry;
    }
    return kTable.back();
}

}  // namespace

std::string_view ErrorText(ErrorKind kind) {
    return Find(kind).text;
}

Error MakeError(ErrorKind kind) {
    return Error{kind, std::string(Find(kind).text)};
}

Error MakeError(ErrorKind kind, std::string_view detail) {
    const std::string_view form = Find(kind).detailed;
    std::string message(form);
    if (const auto at = message.find("{}"); at != std::string::npos)
        message.replace(at, 2, detail);
    return Error{kind, std::move(message)};
}

std::string SystemErrorText(int error) {
    if (error == 0)
        return "unknown error";
    return std::generic_category().message(error);
}

}  // namespace imabox
