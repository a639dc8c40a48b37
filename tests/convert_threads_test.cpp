// SPDX-License-Identifier: MIT
// Conversion on several threads: the C++ API's `threads` option and `imabox convert --threads`
// write the same files as the plain coder on one thread.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "codec/xbox_adpcm.hpp"
#include "imabox/convert.hpp"
#include "test_util.hpp"
#include "wave/wave_header.hpp"

namespace imabox {
namespace {

using test::Bytes;

// Loud and quiet stretches in turns, so that threads starting mid-stream guess wrong indices.
std::vector<std::int16_t> Bursts(std::size_t frames, unsigned channels) {
    std::vector<std::int16_t> s(frames * channels);
    for (std::size_t f = 0; f < frames; ++f) {
        const double level = (f / 5000) % 2 ? 20000.0 : 40.0;
        for (unsigned c = 0; c < channels; ++c)
            s[f * channels + c] = static_cast<std::int16_t>(level * std::sin(0.01 * f * (c + 1)));
    }
    return s;
}

Bytes PlainADPCMFile(const std::vector<std::int16_t>& samples, unsigned channels) {
    const std::uint64_t frames = samples.size() / channels;
    const std::uint64_t blocks = XBoxADPCMBlockCount(frames);
    std::vector<std::int16_t> padded(samples);
    padded.resize(blocks * kFramesPerBlock * channels, 0);
    Bytes payload(blocks * kBlockBytesPerChannel * channels);
    XBoxADPCMEncodeBlocks(padded, payload, channels, blocks * kFramesPerBlock);
    const auto header = BuildXBoxADPCMWaveHeader(static_cast<std::uint16_t>(channels), 44100,
                                                 static_cast<std::uint32_t>(payload.size()));
    Bytes file(header.size() + payload.size());
    std::memcpy(file.data(), header.data(), header.size());
    std::memcpy(file.data() + header.size(), payload.data(), payload.size());
    return file;
}

TEST(ConvertThreads, EveryThreadCountWritesThePlainCodersBytes) {
    for (const unsigned channels : {1u, 2u, 3u}) {
        // 2000 blocks and change: enough for several threads, with a padded last block.
        const auto samples = Bursts(2000 * kFramesPerBlock + 17, channels);
        const Bytes expected = PlainADPCMFile(samples, channels);
        const Bytes input = test::MakePCMWave(static_cast<std::uint16_t>(channels), 44100, samples);
        Bytes decodedOnOneThread;
        for (const unsigned threads : {1u, 0u, 2u, 3u, 7u}) {
            const auto encoded = ConvertMemory(input, {nullptr, threads});
            ASSERT_TRUE(encoded) << encoded.error().message;
            ASSERT_EQ(encoded->file, expected) << channels << " channels, " << threads;
            const auto decoded = ConvertMemory(encoded->file, {nullptr, threads});
            ASSERT_TRUE(decoded) << decoded.error().message;
            if (threads == 1)
                decodedOnOneThread = decoded->file;
            EXPECT_EQ(decoded->file, decodedOnOneThread) << channels << " channels, " << threads;
        }
    }
}

TEST(ConvertThreads, StreamsLongerThanOnePieceMatchThePlainCoder) {
    // PCM is read and coded a few MiB at a time: cross several piece boundaries, in full and with
    // a file that holds only part of its declared data (the rest codes as silence).
    for (const unsigned channels : {1u, 2u}) {
        const std::size_t frames = 40000 * kFramesPerBlock + 17;
        const auto samples = Bursts(frames, channels);
        const Bytes input = test::MakePCMWave(static_cast<std::uint16_t>(channels), 44100, samples);
        Bytes truncated(input.begin(),
                        input.begin() + static_cast<std::ptrdiff_t>(input.size() / 2));
        std::vector<std::int16_t> present((truncated.size() - 44) / 2);
        std::memcpy(present.data(), truncated.data() + 44, present.size() * 2);
        present.resize(samples.size(), 0);
        for (const unsigned threads : {1u, 2u}) {
            const auto whole = ConvertMemory(input, {nullptr, threads});
            ASSERT_TRUE(whole);
            EXPECT_EQ(whole->file, PlainADPCMFile(samples, channels)) << channels << " " << threads;
            const auto half = ConvertMemory(truncated, {nullptr, threads});
            ASSERT_TRUE(half);
            EXPECT_EQ(half->file, PlainADPCMFile(present, channels)) << channels << " " << threads;
        }
    }
}

TEST(ConvertThreads, ToolThreadsOptionChangesNoByte) {
    test::TempDir dir;
    const auto samples = Bursts(1500 * kFramesPerBlock, 2);
    test::WriteFileBytes(dir / "in.wav", test::MakePCMWave(2, 44100, samples));
    for (const std::string threads : {"1", "2", "5", "0"}) {
        const auto run = test::RunProgram(
            IMABOX_TOOL, {"convert", "--threads", threads, (dir / "in.wav").string(),
                          (dir / ("x" + threads + ".wav")).string()});
        ASSERT_EQ(run.exitStatus, 0) << run.output;
        EXPECT_EQ(test::ReadFileBytes(dir / ("x" + threads + ".wav")), PlainADPCMFile(samples, 2))
            << threads;
        const auto back =
            test::RunProgram(IMABOX_TOOL, {"convert", "--threads", threads,
                                           (dir / ("x" + threads + ".wav")).string(),
                                           (dir / ("y" + threads + ".wav")).string()});
        ASSERT_EQ(back.exitStatus, 0) << back.output;
        EXPECT_EQ(test::ReadFileBytes(dir / ("y" + threads + ".wav")),
                  test::ReadFileBytes(dir / "y1.wav"))
            << threads;
    }
    for (const std::string bad : {"-1", "many", "100000"}) {
        const auto run = test::RunProgram(
            IMABOX_TOOL,
            {"convert", "--threads", bad, (dir / "in.wav").string(), (dir / "z.wav").string()});
        EXPECT_NE(run.exitStatus, 0) << bad;
        EXPECT_FALSE(std::filesystem::exists(dir / "z.wav")) << bad;
    }
}

}  // namespace
}  // namespace imabox
