// SPDX-License-Identifier: MIT
// A stream with bytes already taken from it put back in front: what a reader that looked at the
// first bytes of a pipe hands to the next reader.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "io/byte_stream.hpp"

namespace imabox {

class PrefixedByteSource final : public ByteSource {
  public:
    // `rest` (not owned) yields what follows `head`.
    PrefixedByteSource(std::span<const std::uint8_t> head, ByteSource& rest)
        : head_(head.begin(), head.end()), rest_(rest) {}
    std::size_t Read(std::span<std::uint8_t> out) override;
    void Skip(std::uint64_t bytes) override;
    bool Failed() const override { return rest_.Failed(); }
    int ErrorNumber() const override { return rest_.ErrorNumber(); }
    std::uint64_t Position() const override { return position_; }
    std::optional<std::uint64_t> Size() const override { return rest_.Size(); }
    bool Seekable() const override { return false; }
    bool Seek(std::uint64_t) override { return false; }

  private:
    std::vector<std::uint8_t> head_;
    ByteSource& rest_;
    std::uint64_t position_ = 0;
};

}  // namespace imabox
