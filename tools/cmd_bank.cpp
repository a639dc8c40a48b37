// SPDX-License-Identifier: MIT
// imabox bank list | extract | replace | build: original-Xbox wave banks.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "commands.hpp"
#include "imabox/bank.hpp"
#include "imabox/convert.hpp"
#include "io/output_file.hpp"

namespace imabox::tool {
namespace {

namespace fs = std::filesystem;

struct BankArgs {
    std::string bank;
    std::string directory;        // extract -d
    std::vector<unsigned> picks;  // extract --entry
    bool decode = false;
    unsigned index = 0;  // replace
    std::string file;    // replace
    std::string output;  // replace / build -o
    int quality = 0;
    std::string loop;                // replace --loop START:END
    std::vector<std::string> files;  // build
    std::string name;
    unsigned version = 3;
    bool streaming = false;
    std::uint32_t rate = 0;
    unsigned channels = 0;
};

int Fail(const std::string& what, const Error& error) {
    std::fprintf(stderr, "imabox: %s: %s\n", what.c_str(), error.message.c_str());
    return 1;
}

std::string CodecText(const BankEntryInfo& e) {
    switch (e.codec) {
        case BankCodec::XBoxADPCM:
            return "Xbox ADPCM";
        case BankCodec::PCM:
            return e.bitsPerSample == 16 ? "PCM 16-bit" : "PCM 8-bit";
        case BankCodec::WMA:
            return "WMA";
        case BankCodec::Other:
            break;
    }
    return "codec 3";
}

void PrintWarnings(const std::string& what, const std::vector<std::string>& warnings) {
    for (const std::string& warning : warnings)
        std::fprintf(stderr, "imabox: warning: %s: %s\n", what.c_str(), warning.c_str());
}

int RunList(const BankArgs& args) {
    Expected<WaveBank> bank = WaveBank::Open(PathFromUtf8(args.bank));
    if (!bank)
        return Fail(args.bank, bank.error());
    const BankInfo& info = bank->info();
    PrintWarnings(args.bank, info.warnings);
    std::printf("Bank:      %s\n", info.name.empty() ? "(no name)" : info.name.c_str());
    std::printf("Version:   %u, %s, %s\n", info.version, info.compact ? "compact" : "standard",
                info.version == 1 ? "streaming unknown (version 1 has no flags)"
                : info.streaming  ? "streaming"
                                  : "in memory");
    if (info.version == 1 && info.alignment == 0)
        std::printf("Alignment: each entry at a multiple of its block (36 x channels) or 4\n");
    else
        std::printf("Alignment: %u bytes\n", info.alignment);
    std::printf("Entries:   %zu\n", info.entries.size());
    if (info.entries.empty())
        return 0;
    std::printf("%5s  %-24s %-11s %2s %6s %10s %9s  %s\n", "index", info.named ? "name" : "",
                "codec", "ch", "rate", "bytes", "seconds", "loop (frames)");
    for (std::size_t i = 0; i < info.entries.size(); ++i) {
        const BankEntryInfo& e = info.entries[i];
        const double seconds =
            e.sampleRate != 0 ? static_cast<double>(e.frames) / e.sampleRate : 0.0;
        std::string loop = "-";
        if (e.looped)
            loop = std::to_string(e.loopStart) + ".." + std::to_string(e.loopEnd);
        std::printf("%5zu  %-24s %-11s %2u %6lu %10llu %9.3f  %s\n", i, e.name.c_str(),
                    CodecText(e).c_str(), e.channels, static_cast<unsigned long>(e.sampleRate),
                    static_cast<unsigned long long>(e.bytes), seconds, loop.c_str());
    }
    return 0;
}

// A name safe in any file system: letters, digits, '-', '_' and '.'; the rest become '_'.
std::string SafeName(const std::string& name) {
    std::string out;
    for (const char c : name)
        out += std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.'
                   ? c
                   : '_';
    return out;
}

int RunExtract(const BankArgs& args) {
    Expected<WaveBank> bank = WaveBank::Open(PathFromUtf8(args.bank));
    if (!bank)
        return Fail(args.bank, bank.error());
    const BankInfo& info = bank->info();
    PrintWarnings(args.bank, info.warnings);
    fs::path dir = PathFromUtf8(args.directory);
    if (args.directory.empty()) {
        const fs::path bankPath = PathFromUtf8(args.bank);
        dir = bankPath.parent_path() / bankPath.stem();
    }
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (!fs::is_directory(dir)) {
        std::fprintf(stderr, "imabox: cannot use output folder %s: %s\n", PathToUtf8(dir).c_str(),
                     ec.message().c_str());
        return 1;
    }
    std::vector<std::size_t> picks;
    for (const unsigned n : args.picks) {
        if (n >= info.entries.size()) {
            std::fprintf(stderr, "imabox: %s: no entry %u (the bank has %zu)\n", args.bank.c_str(),
                         n, info.entries.size());
            return 2;
        }
        picks.push_back(n);
    }
    if (picks.empty())
        for (std::size_t i = 0; i < info.entries.size(); ++i)
            picks.push_back(i);
    const std::size_t width = std::max<std::size_t>(3, std::to_string(info.entries.size()).size());
    int status = 0;
    std::size_t written = 0;
    for (const std::size_t i : picks) {
        const BankEntryInfo& e = info.entries[i];
        std::string stem = std::to_string(i);
        stem.insert(0, width - stem.size(), '0');
        if (!e.name.empty())
            stem += "_" + SafeName(e.name);
        const bool wave = e.codec == BankCodec::XBoxADPCM || e.codec == BankCodec::PCM;
        const fs::path path = dir / (stem + (wave                        ? ".wav"
                                             : e.codec == BankCodec::WMA ? ".wma"
                                                                         : ".bin"));
        io::OutputFile out = io::OutputFile::Open(path);
        if (!out) {
            std::fprintf(stderr, "imabox: %s\n", out.error().Message().c_str());
            status = 1;
            continue;
        }
        const BankSink sink = [&out](std::span<const std::uint8_t> bytes) {
            return out.Write(bytes);
        };
        const Expected<bool> done =
            wave ? bank->ExtractWave(i, args.decode, sink) : bank->ReadEntry(i, sink);
        if (!done || !out.Commit()) {
            std::fprintf(stderr, "imabox: %s: entry %zu: %s\n", args.bank.c_str(), i,
                         done ? out.error().Message().c_str() : done.error().message.c_str());
            status = 1;
            continue;
        }
        ++written;
        std::printf("%s\n", PathToUtf8(path).c_str());
        if (!wave)
            std::fprintf(stderr, "imabox: note: entry %zu is %s: written as it is, not decoded\n",
                         i, CodecText(e).c_str());
    }
    std::fprintf(stderr, "extract: %zu of %zu entries written to %s\n", written, picks.size(),
                 PathToUtf8(dir).c_str());
    return status;
}

int RunReplace(const BankArgs& args) {
    BankReplaceOptions options;
    options.quality = args.quality;
    if (!args.loop.empty()) {
        const std::size_t colon = args.loop.find(':');
        unsigned long long start = 0;
        unsigned long long end = 0;
        char rest = 0;
        if (colon == std::string::npos ||
            std::sscanf(args.loop.c_str(), "%llu:%llu%c", &start, &end, &rest) != 2 ||
            end < start) {
            std::fprintf(stderr,
                         "imabox: --loop %s: give START:END in frames of FILE (END inclusive, "
                         "not before START)\n",
                         args.loop.c_str());
            return 2;
        }
        options.loop = {{start, end}};
    }
    Expected<WaveBank> bank = WaveBank::Open(PathFromUtf8(args.bank));
    if (!bank)
        return Fail(args.bank, bank.error());
    PrintWarnings(args.bank, bank->info().warnings);
    const Expected<BankReplaceReport> report =
        bank->Replace(args.index, PathFromUtf8(args.file), options);
    if (!report)
        return Fail(args.bank + ": entry " + std::to_string(args.index), report.error());
    PrintWarnings(args.file, report->warnings);
    const std::string output = args.output.empty() ? args.bank : args.output;
    if (const Expected<bool> written = bank->Write(PathFromUtf8(output)); !written)
        return Fail(output, written.error());
    std::printf("%s: entry %u <- %s: %s; %llu bytes, %llu frames\n", output.c_str(), args.index,
                args.file.c_str(), report->source.c_str(),
                static_cast<unsigned long long>(report->bytes),
                static_cast<unsigned long long>(report->frames));
    if (!report->loop.empty())
        std::printf("  %s\n", report->loop.c_str());
    return 0;
}

int RunBuild(const BankArgs& args) {
    BankBuildOptions options;
    options.version = args.version;
    options.streaming = args.streaming;
    options.name = args.name;
    if (options.name.empty()) {
        options.name = PathToUtf8(PathFromUtf8(args.output).stem());
        options.name.resize(std::min<std::size_t>(options.name.size(), 15));
    }
    options.quality = args.quality;
    options.sampleRate = args.rate;
    options.channels = args.channels;
    if (args.version == 1 && args.streaming)
        std::fprintf(stderr,
                     "imabox: warning: version 1 banks have no flags; --streaming ignored\n");
    Expected<WaveBank> bank = WaveBank::Create(options);
    if (!bank)
        return Fail(args.output, bank.error());
    for (const std::string& file : args.files) {
        const Expected<BankReplaceReport> report =
            bank->Append(PathFromUtf8(file), PathToUtf8(PathFromUtf8(file).stem()));
        if (!report)
            return Fail(file, report.error());
        PrintWarnings(file, report->warnings);
        std::printf("entry %zu <- %s: %s; %llu bytes%s%s\n", bank->info().entries.size() - 1,
                    file.c_str(), report->source.c_str(),
                    static_cast<unsigned long long>(report->bytes),
                    report->loop.empty() ? "" : "; ", report->loop.c_str());
    }
    if (const Expected<bool> written = bank->Write(PathFromUtf8(args.output)); !written)
        return Fail(args.output, written.error());
    std::printf("%s: version %u bank of %zu entries\n", args.output.c_str(), args.version,
                args.files.size());
    return 0;
}

}  // namespace

void AddBankCommand(CLI::App& app, CommandList& commands) {
    auto args = std::make_shared<BankArgs>();
    CLI::App* bank = app.add_subcommand(
        "bank", "Original-Xbox wave banks (.xwb, versions 1 to 3): list, extract, replace, build");
    bank->require_subcommand(1);

    CLI::App* list = bank->add_subcommand("list", "Show a bank's layout and entries");
    list->add_option("bank", args->bank, "Wave bank to read")->required();
    commands.push_back({list, [args] { return RunList(*args); }});

    CLI::App* extract =
        bank->add_subcommand("extract", "Write entries as WAVE files (Xbox ADPCM unchanged)");
    extract->add_option("bank", args->bank, "Wave bank to read")->required();
    extract->add_option("-d,--directory", args->directory,
                        "Folder for the files (default: one named after the bank, beside it)");
    extract->add_option("--entry", args->picks, "Entry to extract (repeatable; default: all)");
    extract->add_flag("--decode", args->decode, "Write 16-bit PCM instead of the entry's coding");
    commands.push_back({extract, [args] { return RunExtract(*args); }});

    CLI::App* replace = bank->add_subcommand(
        "replace", "Replace an entry with any audio file, converted to the entry's format");
    replace->add_option("bank", args->bank, "Wave bank to change")->required();
    replace->add_option("index", args->index, "Entry to replace (from 0)")->required();
    replace->add_option("file", args->file, "Audio file (anything encode reads)")->required();
    replace->add_option("-o,--output", args->output, "Write the new bank here (default: in place)");
    replace->add_option("-q,--quality", args->quality, "Encoder search level 0..9")
        ->check(CLI::Range(0, kMaxEncodeQuality));
    replace->add_option("--loop", args->loop,
                        "START:END: loop these frames of FILE (END inclusive) instead of its own");
    commands.push_back({replace, [args] { return RunReplace(*args); }});

    CLI::App* build = bank->add_subcommand("build", "Make a new bank of Xbox ADPCM entries");
    build->add_option("files", args->files, "Audio files, one entry each, in order")->required();
    build->add_option("-o,--output", args->output, "Bank to write")->required();
    build->add_option("--name", args->name, "Bank name (default: the output's name; 15 chars)");
    build->add_option("--bank-version", args->version, "Bank version 1, 2 or 3 (default 3)")
        ->check(CLI::IsMember({1u, 2u, 3u}));
    build->add_flag("--streaming", args->streaming, "A streaming bank (versions 2 and 3)");
    build->add_option("-q,--quality", args->quality, "Encoder search level 0..9")
        ->check(CLI::Range(0, kMaxEncodeQuality));
    build->add_option("--rate", args->rate, "Sample rate of every entry (default: each file's)")
        ->check(CLI::Range(1000u, 262143u));
    build->add_option("--channels", args->channels, "Channels of every entry: 1 or 2")
        ->check(CLI::Range(1u, 2u));
    commands.push_back({build, [args] { return RunBuild(*args); }});
}

}  // namespace imabox::tool
