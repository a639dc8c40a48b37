// imabox_quality: SNR and speed of the Xbox ADPCM encoder levels on real inputs.
//
//   imabox_quality levels IN.wav [FIRST LAST [REPEAT]]
//       encodes IN at each quality level from FIRST to LAST (default 0..9) on one thread and
//       prints "level SNR_dB speed_x_realtime" lines; speed is audio duration over processor
//       time, the best of REPEAT runs.
//   imabox_quality search IN.wav STRIDE KEEP WIDTH RADIUS MERGE
//       the same for explicit search parameters (see XBoxADPCMSearchLevel), for tuning.
//   imabox_quality compare REFERENCE.wav DECODED.wav
//       prints the SNR of DECODED against REFERENCE over their common length.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "codec/xbox_adpcm.hpp"
#include "codec/xbox_adpcm_search.hpp"
#include "convert/wave_audio.hpp"
#include "imabox/convert.hpp"

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

int Levels(const WaveAudio& input, int first, int last, int repeat) {
    const double seconds = static_cast<double>(input.frames()) / input.sampleRate;
    for (int q = first; q <= last; ++q) {
        double best = INFINITY;
        std::vector<std::uint8_t> file;
        for (int r = 0; r < repeat; ++r) {
            // Processor time, not wall time: the figure should not depend on other load.
            const std::clock_t start = std::clock();
            Expected<std::vector<std::uint8_t>> encoded = EncodeXBoxADPCMWave(input, q);
            const double took = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
            if (!encoded) {
                std::fprintf(stderr, "quality %d: %s\n", q, encoded.error().message.c_str());
                return 1;
            }
            best = std::min(best, took);
            file = std::move(encoded).value();
        }
        const Expected<WaveAudio> decoded = ReadWave(file);
        if (!decoded)
            return 1;
        std::printf("%d %.3f %.1f\n", q, Snr(input, decoded.value()), seconds / best);
    }
    return 0;
}

int Search(const WaveAudio& input, const XBoxADPCMSearchLevel& level) {
    const unsigned channels = input.channels;
    const std::uint64_t frames = XBoxADPCMBlockCount(input.frames()) * kFramesPerBlock;
    std::vector<std::int16_t> pcm(input.samples);
    pcm.resize(frames * channels);
    std::vector<std::uint8_t> coded(frames / kFramesPerBlock * kBlockBytesPerChannel * channels);
    const std::clock_t start = std::clock();
    XBoxADPCMEncodeBlocksSearch(pcm, coded, channels, frames, input.frames(), level);
    const double took = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
    WaveAudio decoded = input;
    decoded.samples.assign(pcm.size(), 0);
    XBoxADPCMDecodeBlocks(coded, decoded.samples, channels, frames);
    std::printf("%.3f %.1f\n", Snr(input, decoded),
                static_cast<double>(input.frames()) / input.sampleRate / took);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "levels" && argc >= 3) {
        const int first = argc > 3 ? std::atoi(argv[3]) : 0;
        const int last = argc > 4 ? std::atoi(argv[4]) : kMaxEncodeQuality;
        const int repeat = argc > 5 ? std::max(1, std::atoi(argv[5])) : 3;
        return Levels(Load(argv[2]), first, last, repeat);
    }
    if (mode == "search" && argc == 8) {
        const XBoxADPCMSearchLevel level{
            static_cast<unsigned>(std::atoi(argv[3])), static_cast<unsigned>(std::atoi(argv[4])),
            static_cast<unsigned>(std::atoi(argv[5])), static_cast<unsigned>(std::atoi(argv[6])),
            static_cast<unsigned>(std::atoi(argv[7]))};
        return Search(Load(argv[2]), level);
    }
    if (mode == "compare" && argc == 4) {
        std::printf("%.3f\n", Snr(Load(argv[2]), Load(argv[3])));
        return 0;
    }
    std::fprintf(stderr,
                 "usage: imabox_quality levels IN.wav [FIRST LAST [REPEAT]]\n"
                 "       imabox_quality search IN.wav STRIDE KEEP WIDTH RADIUS MERGE\n"
                 "       imabox_quality compare REFERENCE.wav DECODED.wav\n");
    return 2;
}
