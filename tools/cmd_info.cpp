// imabox info FILE: what the converter's header reader finds in a WAVE file.
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
