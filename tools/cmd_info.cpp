// imabox info FILE: what the converter's header reader finds in a WAVE file.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "commands.hpp"
#include "imabox/convert.hpp"

namespace imabox::tool {
namespace {

int RunInfo(const std::string& file) {
    const auto info = ReadWaveInfo(file);
    if (!info) {
        std::fprintf(stderr, "ERROR: %s\n", info.error().message.c_str());
        return 1;
    }
    const bool adpcm = info->encoding == Encoding::XboxADPCM;
    std::printf("File:               %s\n", file.c_str());
    std::printf("Format:             %s\n",
                adpcm ? "Xbox ADPCM (format tag 0x0069)" : "16-bit PCM (format tag 1)");
    std::printf("Channels:           %u\n", static_cast<unsigned>(info->channels));
    std::printf("Sample rate:        %lu Hz\n", static_cast<unsigned long>(info->sampleRate));
    std::printf("Frames per channel: %llu\n", static_cast<unsigned long long>(info->frames));
    std::printf("Duration:           %.3f s\n", info->durationSeconds);
    std::printf("Data bytes:         %lu\n", static_cast<unsigned long>(info->dataBytes));
    if (adpcm) {
        std::printf("Blocks:             %llu\n", static_cast<unsigned long long>(info->blocks));
    }
    for (const WaveInfo::Loop& loop : info->loops) {
        const unsigned long long length = std::uint64_t{loop.end} + 1 - loop.start;
        std::printf("Loop:               frames %lu..%lu (%llu frames",
                    static_cast<unsigned long>(loop.start), static_cast<unsigned long>(loop.end),
                    length);
        if (adpcm && loop.start % 65 == 0 && length % 65 == 0)
            std::printf(", blocks %lu..%llu", static_cast<unsigned long>(loop.start / 65),
                        (loop.start + length) / 65 - 1);
        else if (adpcm)
            std::printf(", not on block boundaries");
        std::printf(")\n");
    }
    if (!info->title.empty())
        std::printf("Title:              %s\n", info->title.c_str());
    return 0;
}

}  // namespace

void AddInfoCommand(CLI::App& app, CommandList& commands) {
    auto file = std::make_shared<std::string>();
    CLI::App* cmd = app.add_subcommand("info", "Show the format and size of a WAVE file.");
    cmd->add_option("file", *file, "WAVE file to read")->required();
    commands.push_back({cmd, [file] { return RunInfo(*file); }});
}

}  // namespace imabox::tool
