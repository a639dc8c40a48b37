// SPDX-License-Identifier: MIT
#include "codec/xbox_adpcm_parallel.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <functional>
#include <system_error>
#include <thread>
#include <vector>

namespace imabox {
namespace {

// More ranges than threads: a thread the system leaves waiting holds up the others by one short
// range at most, since the rest take the remaining ranges.
constexpr std::uint64_t kRangesPerThread = 8;

struct Split {
    std::uint64_t ranges;
    unsigned workers;              // threads, the caller's included
    std::uint64_t blocksPerRange;  // the last range also takes the remainder
    std::uint64_t First(std::uint64_t r) const { return r * blocksPerRange; }
    std::uint64_t Count(std::uint64_t r, std::uint64_t blocks) const {
        return r + 1 == ranges ? blocks - First(r) : blocksPerRange;
    }
};

Split SplitBlocks(std::uint64_t blocks, unsigned threads, std::uint64_t minBlocksPerRange) {
    const unsigned workers = ResolveThreadCount(threads);
    if (workers == 1)
        return {1, 1, blocks};  // all on the caller's thread, in one piece
    std::uint64_t ranges = std::uint64_t{workers} * kRangesPerThread;
    ranges = std::min(ranges, blocks / std::max<std::uint64_t>(minBlocksPerRange, 1));
    ranges = std::max<std::uint64_t>(ranges, 1);
    return {ranges, static_cast<unsigned>(std::min<std::uint64_t>(workers, ranges)),
            blocks / ranges};
}

}  // namespace

void RunRangesOnThreads(std::uint64_t ranges, unsigned workers,
                        const std::function<void(std::uint64_t)>& work) {
    std::atomic<std::uint64_t> next{0};
    std::vector<char> failed(ranges, 0);
    const auto drain = [&](bool caller) {
        for (std::uint64_t r = next++; r < ranges; r = next++) {
            if (caller) {
                work(r);
                continue;
            }
            try {
                work(r);
            } catch (...) {
                failed[r] = 1;
            }
        }
    };
    std::vector<std::thread> threads;
    threads.reserve(workers);
    for (unsigned w = 1; w < workers; ++w) {
        try {
            threads.emplace_back(drain, false);
        } catch (const std::system_error&) {
            break;
        }
    }
    std::exception_ptr failure;
    try {
        drain(true);
    } catch (...) {
        next = ranges;  // the others stop after their current range
        failure = std::current_exception();
    }
    for (std::thread& t : threads)
        t.join();
    if (failure)
        std::rethrow_exception(failure);
    for (std::uint64_t r = 0; r < ranges; ++r) {
        if (failed[r])
            work(r);
    }
}

unsigned ResolveThreadCount(unsigned requested) {
    if (requested != 0)
        return requested;
    return std::max(1u, std::thread::hardware_concurrency());
}

void XBoxADPCMEncodeBlocksParallel(std::span<const std::int16_t> pcm, std::span<std::uint8_t> out,
                                   unsigned channels, std::uint64_t frames, unsigned threads,
                                   const ADPCMEncodeTuning& tuning,
                                   std::uint64_t minBlocksPerRange) {
    const std::uint64_t blocks = XBoxADPCMFittingBlocks(pcm.size(), out.size(), channels, frames);
    if (blocks == 0)
        return;
    const Split split = SplitBlocks(blocks, threads, minBlocksPerRange);
    // indices[r * channels + c]: channel c's starting index for range r (a guess for r > 0), and
    // after the run, the index that run ended with.
    std::vector<std::uint8_t> guesses(split.ranges * channels, 0);
    for (std::uint64_t r = 1; r < split.ranges; ++r) {
        const std::span<std::uint8_t> guess(guesses.data() + r * channels, channels);
        if (tuning.guessIndex >= 0)
            std::fill(guess.begin(), guess.end(),
                      static_cast<std::uint8_t>(std::min<int>(tuning.guessIndex, kMaxStepIndex)));
        else
            XBoxADPCMGuessIndices(pcm.data(), channels, split.First(r) - 1, guess);
    }
    std::vector<std::uint8_t> ends = guesses;
    RunRangesOnThreads(split.ranges, split.workers, [&](std::uint64_t r) {
        XBoxADPCMEncodeBlockRange(
            pcm.data(), out.data(), channels, split.First(r), split.Count(r, blocks),
            std::span<std::uint8_t>(ends.data() + r * channels, channels), tuning);
    });
    for (std::uint64_t r = 1; r < split.ranges; ++r) {
        XBoxADPCMRepairBlockRange(
            pcm.data(), out.data(), channels, split.First(r), split.Count(r, blocks),
            std::span<const std::uint8_t>(ends.data() + (r - 1) * channels, channels),
            std::span<std::uint8_t>(ends.data() + r * channels, channels));
    }
}

void XBoxADPCMDecodeBlocksParallel(std::span<const std::uint8_t> in, std::span<std::int16_t> pcm,
                                   unsigned channels, std::uint64_t frames, unsigned threads,
                                   ADPCMKernel kernel, std::uint64_t minBlocksPerRange) {
    const std::uint64_t blocks = XBoxADPCMFittingBlocks(pcm.size(), in.size(), channels, frames);
    if (blocks == 0)
        return;
    const Split split = SplitBlocks(blocks, threads, minBlocksPerRange);
    RunRangesOnThreads(split.ranges, split.workers, [&](std::uint64_t r) {
        XBoxADPCMDecodeBlockRange(in.data(), pcm.data(), channels, split.First(r),
                                  split.Count(r, blocks), kernel);
    });
}

}  // namespace imabox
