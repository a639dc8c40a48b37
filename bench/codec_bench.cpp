// SPDX-License-Identifier: MIT
// Throughput of the block coders: the plain reference functions against the fast kernels and
// the threaded drivers, on the same input in the same run. After the usual table, prints each
// coder's speed as a multiple of the plain one.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "codec/xbox_adpcm.hpp"
#include "codec/xbox_adpcm_fast.hpp"
#include "codec/xbox_adpcm_parallel.hpp"

namespace imabox {
namespace {

// 10 seconds at 44.1 kHz: a few tones and some noise, so the step index moves as it does on music.
std::vector<std::int16_t> MakeInput(unsigned channels) {
    const std::uint64_t frames = XBoxADPCMBlockCount(441000) * kFramesPerBlock;
    std::vector<std::int16_t> pcm(frames * channels);
    std::mt19937 rng(1);
    std::normal_distribution<double> noise(0.0, 600.0);
    for (std::uint64_t f = 0; f < frames; ++f) {
        const double t = static_cast<double>(f) / 44100.0;
        const double envelope = 0.5 + 0.5 * std::sin(2 * M_PI * 0.7 * t);
        for (unsigned c = 0; c < channels; ++c) {
            const double v = envelope * (9000 * std::sin(2 * M_PI * (220.0 + 110 * c) * t) +
                                         5000 * std::sin(2 * M_PI * 1375.0 * t)) +
                             noise(rng);
            pcm[f * channels + c] = static_cast<std::int16_t>(std::lround(v));
        }
    }
    return pcm;
}

enum class Coder { Plain, Portable, AVX2, Threads };

const char* CoderName(Coder coder) {
    switch (coder) {
        case Coder::Plain:
            return "plain";
        case Coder::Portable:
            return "portable";
        case Coder::AVX2:
            return "avx2";
        case Coder::Threads:
            return "threads";
    }
    return "?";
}

void Encode(benchmark::State& state, Coder coder, unsigned channels) {
    const std::vector<std::int16_t> pcm = MakeInput(channels);
    const std::uint64_t frames = pcm.size() / channels;
    std::vector<std::uint8_t> out(frames / kFramesPerBlock * kBlockBytesPerChannel * channels);
    for (auto _ : state) {
        switch (coder) {
            case Coder::Plain:
                XBoxADPCMEncodeBlocks(pcm, out, channels, frames);
                break;
            case Coder::Portable:
                XBoxADPCMEncodeBlocksFast(pcm, out, channels, frames, {ADPCMKernel::Portable});
                break;
            case Coder::AVX2:
                XBoxADPCMEncodeBlocksFast(pcm, out, channels, frames, {ADPCMKernel::AVX2});
                break;
            case Coder::Threads:
                XBoxADPCMEncodeBlocksParallel(pcm, out, channels, frames, 0);
                break;
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * pcm.size()));
}

void Decode(benchmark::State& state, Coder coder, unsigned channels) {
    const std::vector<std::int16_t> source = MakeInput(channels);
    const std::uint64_t frames = source.size() / channels;
    std::vector<std::uint8_t> adpcm(frames / kFramesPerBlock * kBlockBytesPerChannel * channels);
    XBoxADPCMEncodeBlocks(source, adpcm, channels, frames);
    std::vector<std::int16_t> pcm(source.size());
    for (auto _ : state) {
        switch (coder) {
            case Coder::Plain:
                XBoxADPCMDecodeBlocks(adpcm, pcm, channels, frames);
                break;
            case Coder::Portable:
                XBoxADPCMDecodeBlocksFast(adpcm, pcm, channels, frames, ADPCMKernel::Portable);
                break;
            case Coder::AVX2:
                XBoxADPCMDecodeBlocksFast(adpcm, pcm, channels, frames, ADPCMKernel::AVX2);
                break;
            case Coder::Threads:
                XBoxADPCMDecodeBlocksParallel(adpcm, pcm, channels, frames, 0);
                break;
        }
        benchmark::DoNotOptimize(pcm.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * pcm.size()));
}

// The console table, then samples per second of every coder over the plain one of its row.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration)
                continue;
            const auto rate = run.counters.find("items_per_second");
            if (rate == run.counters.end())
                continue;
            // Names look like "encode/2ch/avx2": the row is everything before the last slash.
            std::string name = run.benchmark_name();
            const std::size_t suffix = name.find("/real_time");
            if (suffix != std::string::npos)
                name.erase(suffix);
            const std::size_t slash = name.rfind('/');
            Row& row = rows_[name.substr(0, slash)];
            row.rates[name.substr(slash + 1)].push_back(rate->second.value);
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nMedian samples/s, and the ratio to the plain coder measured in this run:\n");
        for (const auto& [row, data] : rows_) {
            const auto plain = data.rates.find("plain");
            for (const auto& [coder, rates] : data.rates) {
                const double rate = Median(rates);
                if (plain == data.rates.end()) {
                    std::printf("  %-14s %-9s %8.1f M/s\n", row.c_str(), coder.c_str(), rate / 1e6);
                } else {
                    std::printf("  %-14s %-9s %8.1f M/s  %6.2fx\n", row.c_str(), coder.c_str(),
                                rate / 1e6, rate / Median(plain->second));
                }
            }
        }
    }

  private:
    struct Row {
        std::map<std::string, std::vector<double>> rates;
    };
    static double Median(std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v.empty() ? 0.0 : v[v.size() / 2];
    }
    std::map<std::string, Row> rows_;
};

}  // namespace
}  // namespace imabox

int main(int argc, char** argv) {
    using namespace imabox;
    std::vector<Coder> coders{Coder::Plain, Coder::Portable};
    if (ADPCMKernelSupported(ADPCMKernel::AVX2))
        coders.push_back(Coder::AVX2);
    coders.push_back(Coder::Threads);
    for (const unsigned channels : {1u, 2u}) {
        for (const Coder coder : coders) {
            const std::string suffix = "/" + std::to_string(channels) + "ch/" + CoderName(coder);
            // The threaded coders are timed by the clock on the wall, the others by the processor
            // time of their thread, which other processes on a shared machine disturb less.
            auto* encode =
                benchmark::RegisterBenchmark(("encode" + suffix).c_str(), Encode, coder, channels);
            auto* decode =
                benchmark::RegisterBenchmark(("decode" + suffix).c_str(), Decode, coder, channels);
            for (auto* b : {encode, decode}) {
                b->Unit(benchmark::kMillisecond);
                if (coder == Coder::Threads)
                    b->UseRealTime();
            }
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
