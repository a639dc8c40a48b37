// SPDX-License-Identifier: MIT
// imabox info FILE: what an audio file holds, as encode and decode read it.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "commands.hpp"
#include "imabox/bank.hpp"
#include "imabox/convert.hpp"
#include "io/file.hpp"

namespace imabox::tool {
namespace {

std::string FormatLine(const WaveInfo& info) {
    char tag[48];
    if (info.formatTag == 0xFFFE)
        std::snprintf(tag, sizeof tag, "format tag 0xFFFE, extensible");
    else if (info.formatTag < 0x10)
        std::snprintf(tag, sizeof tag, "format tag %u", static_cast<unsigned>(info.formatTag));
    else
        std::snprintf(tag, sizeof tag, "format tag 0x%04X", static_cast<unsigned>(info.formatTag));
    std::string name = DescribeSourceFormat(info.format);
    if (info.format == SourceFormat::XBoxADPCM)
        name = "Xbox ADPCM";
    else if (info.format == SourceFormat::IMAADPCM)
        name = "IMA ADPCM";
    return name + " (" + tag + ")";
}

std::string ChunkId(std::uint32_t id) {
    std::string name;
    for (int i = 0; i < 4; ++i) {
        const char ch = static_cast<char>(id >> (8 * i));
        name += (ch >= 0x20 && ch < 0x7F) ? ch : '?';
    }
    return name;
}

// `text` with its control characters escaped (\n, \t, \r, \xHH), so that a name or a title
// cannot move the cursor, colour the terminal or start a line of its own.
std::string Printable(const std::string& text) {
    std::string out;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c != 0x7F) {
            out += ch;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(c));
            out += escaped;
        }
    }
    return out;
}

// A wave bank is not a WAVE file: say which command reads it.
bool IsWaveBank(const std::string& file) {
    const FileHandle in = OpenFile(PathFromUtf8(file), "rb");
    std::uint8_t head[4] = {};
    return in && std::fread(head, 1, 4, in.get()) == 4 && LooksLikeWaveBank(head);
}

int RunInfo(const std::string& file) {
    const std::string name = Printable(file);
    if (IsWaveBank(file)) {
        std::printf("%s: a wave bank; use \"imabox bank list %s\" to see its entries\n",
                    name.c_str(), name.c_str());
        return 0;
    }
    const auto info = ReadWaveInfo(PathFromUtf8(file));
    if (!info) {
        std::fprintf(stderr, "ERROR: %s: %s\n", name.c_str(), info.error().message.c_str());
        return 1;
    }
    const bool adpcm =
        info->format == SourceFormat::XBoxADPCM || info->format == SourceFormat::IMAADPCM;
    const bool wave = info->container.empty();
    std::printf("File:               %s\n", name.c_str());
    std::printf("Format:             %s\n",
                wave ? FormatLine(*info).c_str() : Printable(info->container).c_str());
    std::printf("Channels:           %u\n", static_cast<unsigned>(info->channels));
    std::printf("Sample rate:        %lu Hz\n", static_cast<unsigned long>(info->sampleRate));
    std::printf("Frames per channel: %llu\n", static_cast<unsigned long long>(info->frames));
    std::printf("Duration:           %.3f s\n", info->durationSeconds);
    if (wave) {
        std::printf("Data bytes:         %llu", static_cast<unsigned long long>(info->dataBytes));
        if (info->declaredDataBytes == 0xFFFFFFFF)
            std::printf(" (size left unknown by the writer)");
        else if (info->declaredDataBytes > info->dataBytes)
            std::printf(" (the header declares %llu: the file is truncated)",
                        static_cast<unsigned long long>(info->declaredDataBytes));
        std::printf("\n");
    }
    if (adpcm && wave) {
        std::printf("Blocks:             %llu\n", static_cast<unsigned long long>(info->blocks));
    }
    if (!info->otherChunks.empty()) {
        std::string chunks;
        for (const WaveChunkInfo& chunk : info->otherChunks) {
            if (!chunks.empty())
                chunks += ", ";
            chunks += ChunkId(chunk.id) + " (" + std::to_string(chunk.size) + " bytes)";
        }
        std::printf("Other chunks:       %s\n", chunks.c_str());
    }
    for (const WaveInfo::Loop& loop : info->loops) {
        constexpr unsigned kBlockFrames = 65;
        std::printf("Loop:               frames %lu..%lu (", static_cast<unsigned long>(loop.start),
                    static_cast<unsigned long>(loop.end));
        if (loop.end < loop.start) {
            std::printf("invalid: it ends before it starts)\n");
            continue;
        }
        const unsigned long long length = std::uint64_t{loop.end} + 1 - loop.start;
        std::printf("%llu frames", length);
        if (info->format == SourceFormat::XBoxADPCM && wave) {
            if (loop.start % kBlockFrames == 0 && length % kBlockFrames == 0)
                std::printf(", blocks %lu..%llu",
                            static_cast<unsigned long>(loop.start / kBlockFrames),
                            (loop.start + length) / kBlockFrames - 1);
            else
                std::printf(", not on block boundaries");
        }
        std::printf(")\n");
    }
    if (!info->title.empty())
        std::printf("Title:              %s\n", Printable(info->title).c_str());
    if (info->trailingBytes != 0) {
        std::printf("Trailing bytes:     %llu (after the last chunk, ignored)\n",
                    static_cast<unsigned long long>(info->trailingBytes));
    }
    if (info->bytesPastChunkLimit != 0) {
        std::printf("Ignored:            %llu bytes of chunks past the 65536th\n",
                    static_cast<unsigned long long>(info->bytesPastChunkLimit));
    }
    return 0;
}

}  // namespace

void AddInfoCommand(CLI::App& app, CommandList& commands) {
    auto file = std::make_shared<std::string>();
    CLI::App* cmd = app.add_subcommand(
        "info", "Show the format and size of an audio file (WAVE, or any container encode reads).");
    cmd->add_option("file", *file, "File to read")->required();
    commands.push_back({cmd, [file] { return RunInfo(*file); }});
}

}  // namespace imabox::tool
