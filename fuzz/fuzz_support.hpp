// SPDX-License-Identifier: MIT
// Helpers shared by the fuzz targets: reading fuzz input and reporting a broken property.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string_view>

#include "exact/exact_messages.hpp"
#include "imabox/expected.hpp"
#include "io/errors.hpp"

namespace imabox::fuzz {

// A broken property is a crash as far as libFuzzer is concerned: it keeps the input.
[[noreturn]] inline void Fail(const char* what) {
    std::fprintf(stderr, "property violated: %s\n", what);
    std::abort();
}

inline void Require(bool holds, const char* what) {
    if (!holds)
        Fail(what);
}

// Every failure a conversion from memory may end with, carrying its kind's text.
inline bool IsDefinedFailure(const Error& e) {
    const std::optional<ExactMessage> message = ExactMessageOf(e);
    for (const ExactMessage known :
         {ExactMessage::RiffHeader, ExactMessage::WaveHeader, ExactMessage::FmtHeader,
          ExactMessage::FormatTag, ExactMessage::BitsPerSample, ExactMessage::DataHeader,
          ExactMessage::DataOrFactHeader, ExactMessage::ChannelCount, ExactMessage::OutputTooLarge,
          ExactMessage::InputRead, ExactMessage::OutOfMemory}) {
        if (message == known)
            return true;
    }
    return false;
}

// Takes bytes from the front of the fuzz input; missing bytes read as zero.
class InputReader {
  public:
    InputReader(const std::uint8_t* data, std::size_t size) : rest_(data, size) {}
    std::uint8_t Byte() {
        if (rest_.empty())
            return 0;
        const std::uint8_t b = rest_.front();
        rest_ = rest_.subspan(1);
        return b;
    }
    std::uint16_t U16() {
        const std::uint8_t lo = Byte();
        return static_cast<std::uint16_t>(lo | (Byte() << 8));
    }
    std::span<const std::uint8_t> Rest() const { return rest_; }

  private:
    std::span<const std::uint8_t> rest_;
};

}  // namespace imabox::fuzz
