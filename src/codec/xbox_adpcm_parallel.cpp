#include "codec/xbox_adpcm_parallel.hpp"

#include <algorithm>
#include <exception>
#include <functional>
#include <system_error>
#include <thread>
#include <vector>

namespace imabox {
namespace {

struct Split {
    std::uint64_t ranges;
    std::uint64_t blocksPerRange;  // the last range also takes the remainder
    std::uint64_t First(std::uint64_t r) const { return r * blocksPerRange; }
    std::uint64_t Count(std::uint64_t r, std::uint64_t blocks) const {
        return r + 1 == ranges ? blocks - First(r) : blocksPerRange;
    }
};

Split SplitBlocks(std::uint64_t blocks, unsigned threads, std::uint64_t minBlocksPerThread) {
    std::uint64_t ranges = ResolveThreadCount(threads);
    ranges = std::min(ranges, blocks / std::max<std::uint64_t>(minBlocksPerThread, 1));
    ranges = std::max<std::uint64_t>(ranges, 1);
    return {ranges, blocks / ranges};
}

// Runs work(0) .. work(n - 1), all but work(0) on threads of their own, work(0) on the caller's.
// Work whose thread cannot be started, or that fails on its thread, is done again on the caller's
// thread, where a failure reaches the caller.
void RunAll(std::uint64_t n, const std::function<void(std::uint64_t)>& work) {
    std::vector<std::thread> threads;
    std::vector<char> failed(n, 0);
    threads.reserve(n);
    for (std::uint64_t r = 1; r < n; ++r) {
        try {
            threads.emplace_back([&work, &failed, r] {
                try {
                    work(r);
                } catch (...) {
                    failed[r] = 1;
                }
            });
        } catch (const std::system_error&) {
            failed[r] = 1;
        }
    }
    std::exception_ptr failure;
    try {
        work(0);
    } catch (...) {
        failure = std::current_exception();  // reported once every thread has finished
    }
    for (std::thread& t : threads)
        t.join();
    if (failure)
        std::rethrow_exception(failure);
    for (std::uint64_t r = 1; r < n; ++r) {
        if (failed[r])
            work(r);
    }
}

}  // namespace

unsigned ResolveThreadCount(unsigned requested) {
    if (requested != 0)
        return requested;
    return std::max(1u, std::thread::hardware_concurrency());
}

void XBoxADPCMEncodeBlocksParallel(std::span<const std::int16_t> pcm, std::span<std::uint8_t> out,
                                   unsigned channels, std::uint64_t frames, unsigned threads,
                                   const ADPCMEncodeTuning& tuning,
                                   std::uint64_t minBlocksPerThread) {
    const std::uint64_t blocks = XBoxADPCMFittingBlocks(pcm.size(), out.size(), channels, frames);
    if (blocks == 0)
        return;
    const Split split = SplitBlocks(blocks, threads, minBlocksPerThread);
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
    RunAll(split.ranges, [&](std::uint64_t r) {
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
                                   ADPCMKernel kernel, std::uint64_t minBlocksPerThread) {
    const std::uint64_t blocks = XBoxADPCMFittingBlocks(pcm.size(), in.size(), channels, frames);
    if (blocks == 0)
        return;
    const Split split = SplitBlocks(blocks, threads, minBlocksPerThread);
    RunAll(split.ranges, [&](std::uint64_t r) {
        XBoxADPCMDecodeBlockRange(in.data(), pcm.data(), channels, split.First(r),
                                  split.Count(r, blocks), kernel);
    });
}

}  // namespace imabox
