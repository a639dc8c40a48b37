// SPDX-License-Identifier: MIT
#include "io/prefixed_source.hpp"

#include <algorithm>
#include <cstring>

namespace imabox {

std::size_t PrefixedByteSource::Read(std::span<std::uint8_t> out) {
    std::size_t done = 0;
    if (position_ < head_.size()) {
        done = std::min(out.size(), head_.size() - static_cast<std::size_t>(position_));
        std::memcpy(out.data(), head_.data() + position_, done);
    }
    if (done < out.size())
        done += rest_.Read(out.subspan(done));
    position_ += done;
    return done;
}

void PrefixedByteSource::Skip(std::uint64_t bytes) {
    if (position_ < head_.size()) {
        const std::uint64_t inside = std::min<std::uint64_t>(bytes, head_.size() - position_);
        position_ += inside;
        bytes -= inside;
    }
    if (bytes > 0) {
        const std::uint64_t before = rest_.Position();
        rest_.Skip(bytes);
        position_ += rest_.Position() - before;
    }
}

}  // namespace imabox
