// SPDX-License-Identifier: MIT
// Writes the raw capture input of the ALSA tests: SECONDS seconds of 16-bit mono samples in
// which every two-byte word differs from its neighbours and no second repeats another.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s OUT SECONDS\n", argv[0]);
        return 2;
    }
    std::FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr)
        return 1;
    const long samples = std::atol(argv[2]) * 8000;
    std::uint32_t state = 12345;
    for (long i = 0; i < samples; ++i) {
        state = state * 1664525u + 1013904223u;
        const std::uint8_t sample[2] = {static_cast<std::uint8_t>(state >> 16),
                                        static_cast<std::uint8_t>(state >> 24)};
        if (std::fwrite(sample, 1, 2, out) != 2)
            return 1;
    }
    return std::fclose(out) == 0 ? 0 : 1;
}
