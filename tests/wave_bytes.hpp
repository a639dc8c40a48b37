// SPDX-License-Identifier: MIT
// Builds WAVE files byte by byte for tests: any chunks, in any order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace imabox::test {

using Bytes = std::vector<std::uint8_t>;

inline void Put16(Bytes& b, unsigned v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}
inline void Put32(Bytes& b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// A chunk with its id, size and body, plus the pad byte after an odd body (unless `pad` is off).
inline Bytes Chunk(const std::string& id, const Bytes& body, bool pad = true) {
    Bytes b(id.begin(), id.end());
    Put32(b, static_cast<std::uint32_t>(body.size()));
    b.insert(b.end(), body.begin(), body.end());
    if (pad && body.size() % 2)
        b.push_back(0);
    return b;
}

// The 16 bytes common to every fmt chunk; `extra` is appended (cbSize and what follows).
inline Bytes FmtBody(unsigned tag, unsigned channels, std::uint32_t rate, unsigned blockAlign,
                     unsigned bits, const Bytes& extra = {}) {
    Bytes b;
    Put16(b, tag);
    Put16(b, channels);
    Put32(b, rate);
    Put32(b, rate * blockAlign);
    Put16(b, blockAlign);
    Put16(b, bits);
    b.insert(b.end(), extra.begin(), extra.end());
    return b;
}

// A 40-byte WAVE_FORMAT_EXTENSIBLE fmt body with subformat `subtag`.
inline Bytes ExtensibleFmtBody(unsigned subtag, unsigned channels, std::uint32_t rate,
                               unsigned bits) {
    Bytes extra;
    Put16(extra, 22);    // cbSize
    Put16(extra, bits);  // valid bits
    Put32(extra, channels == 2 ? 3 : 4);
    Put16(extra, subtag);
    for (const unsigned v :
         {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71})
        extra.push_back(static_cast<std::uint8_t>(v));
    return FmtBody(0xFFFE, channels, rate, channels * bits / 8, bits, extra);
}

// RIFF/WAVE around the given chunks.
inline Bytes Riff(const std::vector<Bytes>& chunks) {
    Bytes body = {'W', 'A', 'V', 'E'};
    for (const Bytes& c : chunks)
        body.insert(body.end(), c.begin(), c.end());
    Bytes b = {'R', 'I', 'F', 'F'};
    Put32(b, static_cast<std::uint32_t>(body.size()));
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

inline Bytes Samples16(const std::vector<std::int16_t>& samples) {
    Bytes b;
    for (const std::int16_t s : samples)
        Put16(b, static_cast<std::uint16_t>(s));
    return b;
}

}  // namespace imabox::test
