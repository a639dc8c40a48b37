// SPDX-License-Identifier: MIT
// The encoder revision names the output: a digest of what every encoder level, the dithering
// reader and the decoder write for one fixed generated input is pinned here together with the
// revision, so the output cannot change while the revision stays the same.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "codec/encoder_revision.hpp"
#include "imabox/convert.hpp"
#include "imabox/version.hpp"
#include "wave_bytes.hpp"

namespace imabox {
namespace {

using test::Bytes;
using Digests = std::vector<std::pair<std::string, std::uint64_t>>;

struct PinnedOutput {
    int revision;
    Digests digests;
};

// One row per encoder revision, oldest first. Rows are never edited: a change of output appends
// a row for the raised revision (the failure message prints it).
const std::vector<PinnedOutput> kPinned = {
    {1,
     {
         {"encode quality 0", 0xe869b933d02dcf97ull},
         {"encode quality 1", 0x7ab34ab1ba8ed42dull},
         {"encode quality 2", 0x4f0b2bc443a017f5ull},
         {"encode quality 3", 0xbe015f7fc686f733ull},
         {"encode quality 4", 0x7203af098050daf8ull},
         {"encode quality 5", 0x386276f8e9d5b935ull},
         {"encode quality 6", 0x037f0f50237f59b5ull},
         {"encode quality 7", 0x409686bad8a6e1a2ull},
         {"encode quality 8", 0xe5a49a01e37883fdull},
         {"encode quality 9", 0xbea758a9e9832a93ull},
         {"decode", 0x493db411f46f56f8ull},
         {"encode 24-bit source (dithered)", 0x145a929289655bb9ull},
     }},
    {2,
     {
         {"encode quality 0", 0xe869b933d02dcf97ull},
         {"encode quality 1", 0x56227da604269d57ull},
         {"encode quality 2", 0xba9f9e837a8e14e6ull},
         {"encode quality 3", 0x8490ce262d9eaf32ull},
         {"encode quality 4", 0x77a807babdfee935ull},
         {"encode quality 5", 0xe2f6e72a72ec63e7ull},
         {"encode quality 6", 0x1a0157055d1b65b8ull},
         {"encode quality 7", 0x3a2fb9485dbc647full},
         {"encode quality 8", 0x6ab4ac0b9018a4cfull},
         {"encode quality 9", 0xe2e10784d269a0a3ull},
         {"decode", 0x493db411f46f56f8ull},
         {"encode 24-bit source (dithered)", 0x145a929289655bb9ull},
     }},
    {3,
     {
         {"encode quality 0", 0xe869b933d02dcf97ull},
         {"encode quality 1", 0x56227da604269d57ull},
         {"encode quality 2", 0xd3cfa58c65246920ull},
         {"encode quality 3", 0xca91c12112332469ull},
         {"encode quality 4", 0x1eafdd41710ddd6aull},
         {"encode quality 5", 0x4d139df232e5815aull},
         {"encode quality 6", 0x003df1af711f5a45ull},
         {"encode quality 7", 0x73917ba382e93307ull},
         {"encode quality 8", 0xef8c643cb4c1dfe9ull},
         {"encode quality 9", 0x4096cda406c27563ull},
         {"decode", 0x493db411f46f56f8ull},
         {"encode 24-bit source (dithered)", 0x145a929289655bb9ull},
     }},
    {4,
     {
         {"encode quality 0", 0xe869b933d02dcf97ull},
         {"encode quality 1", 0x2672939e50a7dd90ull},
         {"encode quality 2", 0x60a8adadd586feeeull},
         {"encode quality 3", 0x0657879effa3bb0aull},
         {"encode quality 4", 0x0e32b1e1570a552dull},
         {"encode quality 5", 0x281e5c602afd5d36ull},
         {"encode quality 6", 0x3c587304d49efe17ull},
         {"encode quality 7", 0x877292e6bb6e4533ull},
         {"encode quality 8", 0x28bdb2996b8494f4ull},
         {"encode quality 9", 0xa25cc73db15fea73ull},
         {"decode", 0x493db411f46f56f8ull},
         {"encode 24-bit source (dithered)", 0x145a929289655bb9ull},
     }},
};

// FNV-1a, 64 bits.
std::uint64_t Digest(const std::vector<std::uint8_t>& bytes) {
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (const std::uint8_t b : bytes) {
        h ^= b;
        h *= 0x100000001b3ull;
    }
    return h;
}

// 0.3 s of 22050 Hz stereo from integer arithmetic alone (the same on every platform): a
// triangle sweep, noise, full-scale steps and silence, not a whole number of blocks long.
// Each sample is a 24-bit value; `bits` 16 keeps its top 16 bits.
Bytes GeneratedWave(unsigned bits) {
    constexpr unsigned kChannels = 2, kFrames = 6620;
    std::vector<std::int32_t> samples;
    std::uint32_t noise = 12345;
    std::int64_t phase = 0;
    for (unsigned i = 0; i < kFrames; ++i) {
        phase += 40 + i / 8;  // rising frequency
        const std::int64_t t = phase % 8192;
        const std::int64_t triangle = (t < 4096 ? t : 8192 - t) * 2 - 4096;  // -4096..4096
        noise = noise * 1664525u + 1013904223u;
        const std::int32_t n = static_cast<std::int32_t>(noise >> 16) - 32768;  // -32768..32767
        std::int32_t left = static_cast<std::int32_t>(triangle * 1500) + n * 40;
        std::int32_t right = n * 200;
        if (i / 700 % 3 == 1)
            right = (i / 50 % 2 ? 1 : -1) * 8388607;  // full-scale square
        if (i > 5000 && i < 5600)
            left = 0;
        samples.push_back(left);
        samples.push_back(right);
    }
    Bytes data;
    for (const std::int32_t s : samples) {
        const std::uint32_t u = static_cast<std::uint32_t>(s);
        if (bits == 24)
            data.push_back(static_cast<std::uint8_t>(u));
        data.push_back(static_cast<std::uint8_t>(u >> 8));
        data.push_back(static_cast<std::uint8_t>(u >> 16));
    }
    const unsigned blockAlign = kChannels * bits / 8;
    return test::Riff({test::Chunk("fmt ", test::FmtBody(1, kChannels, 22050, blockAlign, bits)),
                       test::Chunk("data", data)});
}

enum class Direction { Encode, Decode };

template <class Result>
std::vector<std::uint8_t> FileOf(const Expected<Result>& result) {
    EXPECT_TRUE(result) << result.error().message;
    return result ? result->file : std::vector<std::uint8_t>{};
}

std::vector<std::uint8_t> Transcode(const Bytes& input, Direction direction, int quality = 0) {
    if (direction == Direction::Decode)
        return FileOf(DecodeMemory(input));
    EncodeOptions options;
    options.quality = quality;
    return FileOf(EncodeMemory(input, options));
}

std::uint64_t DitheredDigest() {
    return Digest(Transcode(GeneratedWave(24), Direction::Encode));
}

Digests CurrentDigests() {
    Digests digests;
    const Bytes pcm16 = GeneratedWave(16);
    for (int q = 0; q <= kMaxEncodeQuality; ++q)
        digests.emplace_back("encode quality " + std::to_string(q),
                             Digest(Transcode(pcm16, Direction::Encode, q)));
    const std::vector<std::uint8_t> level0 = Transcode(pcm16, Direction::Encode);
    digests.emplace_back("decode", Digest(Transcode(level0, Direction::Decode)));
    digests.emplace_back("encode 24-bit source (dithered)", DitheredDigest());
    return digests;
}

std::string FormatRow(int revision, const Digests& digests) {
    std::string row = "    {" + std::to_string(revision) + ",\n     {\n";
    for (const auto& [name, digest] : digests) {
        char hex[32];
        std::snprintf(hex, sizeof hex, "0x%016llxull", static_cast<unsigned long long>(digest));
        row += "         {\"" + name + "\", " + hex + "},\n";
    }
    return row + "     }},\n";
}

TEST(EncoderRevision, PinsTheOutputOfEveryLevel) {
    ASSERT_FALSE(kPinned.empty());
    for (std::size_t i = 1; i < kPinned.size(); ++i) {
        EXPECT_EQ(kPinned[i].revision, kPinned[i - 1].revision + 1) << "row " << i;
        EXPECT_NE(kPinned[i].digests, kPinned[i - 1].digests)
            << "revision " << kPinned[i].revision << " was raised without a change of output";
    }
    const Digests current = CurrentDigests();
    // Reading the same input again gives the same bytes: dither is not seeded from the clock.
    ASSERT_EQ(current.back().second, DitheredDigest());

    const PinnedOutput& last = kPinned.back();
    EXPECT_EQ(last.revision, kEncoderRevision)
        << "kEncoderRevision (src/codec/encoder_revision.hpp) and the last row of kPinned "
           "(tests/encoder_revision_test.cpp) must name the same revision";
    if (current != last.digests) {
        ADD_FAILURE() << "The encoder's output changed, so every cached conversion is stale.\n"
                      << "Raise kEncoderRevision in src/codec/encoder_revision.hpp to "
                      << last.revision + 1
                      << " and append this row to kPinned in tests/encoder_revision_test.cpp:\n"
                      << FormatRow(last.revision + 1, current);
    }
}

TEST(EncoderRevision, IsWhatTheApiReports) {
    EXPECT_EQ(EncoderRevision(), kEncoderRevision);
    EXPECT_GE(EncoderRevision(), 1);
    EXPECT_EQ(Version(), IMABOX_EXPECTED_VERSION);
}

}  // namespace
}  // namespace imabox
