// SPDX-License-Identifier: MIT
// imabox_quality: SNR and speed of the Xbox ADPCM encoder levels on real inputs.
//
//   imabox_quality levels IN.wav [FIRST LAST [REPEAT [THREADS]]]
//       encodes IN at each quality level from FIRST to LAST (default 0..9) on THREADS threads
//       (default 1, 0: every core) and prints "level SNR_dB cpu_speed wall_speed" lines: audio
//       duration over processor time (all threads together) and over wall-clock time, each the
//       best of REPEAT runs (default 3).
//   imabox_quality search IN.wav STRIDE SCAN KEEP SPREAD WIDTH CODES MERGE JUMPS PER_INDEX
//   LOOKAHEAD CAPPED_WIDTH [REPEAT]
//       the same on one thread for explicit search parameters (see XBoxADPCMSearchLevel).
//   imabox_quality compare REFERENCE.wav DECODED.wav
//       prints the SNR of DECODED against REFERENCE over their common length.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "codec/xbox_adpcm.hpp"
#include "codec/xbox_adpcm_search.hpp"
#include "imabox/convert.hpp"
#include "support/wave_audio.hpp"

namespace {

using namespace imabox;

double Snr(const WaveAudio& reference, const WaveAudio& decoded) {
    const std::size_t n = std::min(reference.samples.size(), decoded.samples.size());
    double signal = 0, noise = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double r = reference.samples[i];
        const double e = r - decoded.samples[i];
        signal += r * r;
        noise += e * e;
    }
    return noise == 0 ? INFINITY : 10.0 * std::log10(signal / noise);
}

WaveAudio Load(const char* path) {
    Expected<WaveAudio> audio = ReadWaveFile(path);
    if (!audio) {
        std::fprintf(stderr, "%s: %s\n", path, audio.error().message.c_str());
        std::exit(1);
    }
    return std::move(audio).value();
}

struct Timed {
    double snr;
    double processor;  // seconds, all threads together
    double wall;
};

// Codes the whole input in one run over `threads` threads, decodes it and measures it.
Timed Run(const WaveAudio& input, const XBoxADPCMSearchLevel* level, int quality,
          unsigned threads) {
    const unsigned channels = input.channels;
    const std::uint64_t frames = XBoxADPCMBlockCount(input.frames()) * kFramesPerBlock;
    std::vector<std::int16_t> pcm(input.samples);
    pcm.resize(frames * channels);
    std::vector<std::uint8_t> coded(frames / kFramesPerBlock * kBlockBytesPerChannel * channels);
    std::vector<std::uint8_t> plainIndex(channels, 0);
    const auto wallStart = std::chrono::steady_clock::now();
    const std::clock_t start = std::clock();
    if (level != nullptr)
        XBoxADPCMEncodeSearchRun(pcm, coded, channels, input.frames(), *level, plainIndex, threads);
    else
        XBoxADPCMEncodeSearchRun(pcm, coded, channels, input.frames(), quality, plainIndex,
                                 threads);
    const double processor = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    WaveAudio decoded = input;
    decoded.samples.assign(pcm.size(), 0);
    XBoxADPCMDecodeBlocks(coded, decoded.samples, channels, frames);
    return {Snr(input, decoded), processor, wall};
}

// The best of `repeat` runs.
Timed Best(const WaveAudio& input, const XBoxADPCMSearchLevel* level, int quality, unsigned threads,
           int repeat) {
    Timed best{0, INFINITY, INFINITY};
    for (int r = 0; r < repeat; ++r) {
        const Timed t = Run(input, level, quality, threads);
        best = {t.snr, std::min(best.processor, t.processor), std::min(best.wall, t.wall)};
    }
    return best;
}

void Print(const char* name, const WaveAudio& input, const Timed& t) {
    const double seconds = static_cast<double>(input.frames()) / input.sampleRate;
    std::printf("%s %.3f %.1f %.1f\n", name, t.snr, seconds / std::max(t.processor, 1e-6),
                seconds / std::max(t.wall, 1e-6));
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "levels" && argc >= 3) {
        const WaveAudio input = Load(argv[2]);
        const int first = argc > 3 ? std::atoi(argv[3]) : 0;
        const int last = argc > 4 ? std::atoi(argv[4]) : kMaxEncodeQuality;
        const int repeat = argc > 5 ? std::max(1, std::atoi(argv[5])) : 3;
        const auto threads = static_cast<unsigned>(argc > 6 ? std::atoi(argv[6]) : 1);
        for (int q = first; q <= last; ++q)
            Print(std::to_string(q).c_str(), input, Best(input, nullptr, q, threads, repeat));
        return 0;
    }
    if (mode == "search" && argc >= 14) {
        unsigned v[11];
        for (int i = 0; i < 11; ++i)
            v[i] = static_cast<unsigned>(std::atoi(argv[3 + i]));
        const XBoxADPCMSearchLevel level{v[0], v[1], v[2], v[3], v[4], v[5],
                                         v[6], v[7], v[8], v[9], v[10]};
        const int repeat = argc > 14 ? std::max(1, std::atoi(argv[14])) : 1;
        Print("search", Load(argv[2]), Best(Load(argv[2]), &level, 0, 1, repeat));
        return 0;
    }
    if (mode == "compare" && argc == 4) {
        std::printf("%.3f\n", Snr(Load(argv[2]), Load(argv[3])));
        return 0;
    }
    std::fprintf(stderr,
                 "usage: imabox_quality levels IN.wav [FIRST LAST [REPEAT [THREADS]]]\n"
                 "       imabox_quality search IN.wav STRIDE SCAN KEEP SPREAD WIDTH CODES MERGE "
                 "JUMPS PER_INDEX LOOKAHEAD CAPPED_WIDTH [REPEAT]\n"
                 "       imabox_quality compare REFERENCE.wav DECODED.wav\n");
    return 2;
}
