// SPDX-License-Identifier: MIT
#include "exact/exact_messages.hpp"

#include <array>
#include <string>

namespace imabox {
namespace {

struct Entry {
    ExactMessage message;
    ErrorKind kind;
    std::string_view text;
};

constexpr std::array kTable = {
    Entry{ExactMessage::InputOpen, ErrorKind::InputOpen, "Could not open input file!"},
    Entry{ExactMessage::InputRead, ErrorKind::InputRead, "Could not read input file!"},
    Entry{ExactMessage::OutputCreate, ErrorKind::OutputCreate, "Could not create output file!"},
    Entry{ExactMessage::OutputWrite, ErrorKind::OutputWrite, "Could not write output file!"},
    Entry{ExactMessage::OutputTooLarge, ErrorKind::OutputTooLarge,
          "Output too large for a WAVE file!"},
    Entry{ExactMessage::OutOfMemory, ErrorKind::OutOfMemory, "Out of memory!"},
    Entry{ExactMessage::RiffHeader, ErrorKind::NotWave, "Incorrect RIFF header!"},
    Entry{ExactMessage::WaveHeader, ErrorKind::NotWave, "Incorrect WAVE header!"},
    Entry{ExactMessage::FmtHeader, ErrorKind::MissingChunk, "Incorrect fmt header!"},
    Entry{ExactMessage::FormatTag, ErrorKind::Unsupported, "Incorrect format!"},
    Entry{ExactMessage::BitsPerSample, ErrorKind::Unsupported, "Only 16 bps is supported!"},
    Entry{ExactMessage::DataOrFactHeader, ErrorKind::MissingChunk,
          "Incorrect data or fact header!"},
    Entry{ExactMessage::DataHeader, ErrorKind::MissingChunk, "Incorrect data header!"},
    Entry{ExactMessage::ChannelCount, ErrorKind::InvalidFmt, "Incorrect channel count!"},
    Entry{ExactMessage::Internal, ErrorKind::Internal, "Unexpected internal error!"},
};

const Entry& Find(ExactMessage message) {
    for (const Entry& entry : kTable) {
        if (entry.message == message)
            return entry;
    }
    return kTable.back();
}

}  // namespace

std::string_view ExactText(ExactMessage message) {
    return Find(message).text;
}

Error ExactError(ExactMessage message) {
    const Entry& entry = Find(message);
    return Error{entry.kind, std::string(entry.text)};
}

std::optional<ExactMessage> ExactMessageOf(const Error& error) {
    for (const Entry& entry : kTable) {
        if (entry.kind == error.kind && entry.text == error.message)
            return entry.message;
    }
    return std::nullopt;
}

}  // namespace imabox
