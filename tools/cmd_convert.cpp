// SPDX-License-Identifier: MIT
// imabox convert IN OUT: the same console text and result as the library's XBoxAudio.
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "commands.hpp"
#include "exact/exact_messages.hpp"
#include "imabox/convert.hpp"

namespace imabox::tool {
namespace {

// XBoxAudio's failure status: -1, which POSIX reports as 255.
#if defined(_WIN32)
constexpr int kConvertFailed = -1;
#else
constexpr int kConvertFailed = 255;
#endif

void PrintToStdout(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

int RunConvert(const std::string& input, const std::string& output, unsigned threads) {
    PrintToStdout(kBanner);
    ConvertOptions options;
    options.console = PrintToStdout;
    options.threads = threads;
    const auto result = ConvertFile(PathFromUtf8(input), PathFromUtf8(output), options);
    if (!result) {
        std::printf("ERROR: %s\n", result.error().message.c_str());
        std::fflush(stdout);
        return kConvertFailed;
    }
    return 0;
}

}  // namespace

void AddConvertCommand(CLI::App& app, CommandList& commands) {
    struct Args {
        std::string input, output;
        unsigned threads = 0;
    };
    auto args = std::make_shared<Args>();
    CLI::App* cmd = app.add_subcommand(
        "convert",
        "Convert 16-bit PCM WAVE to Xbox ADPCM or back (the input's format decides); "
        "exit status 255 on failure");
    cmd->add_option("input", args->input, "WAVE file to read")->required();
    cmd->add_option("output", args->output, "WAVE file to write")->required();
    cmd->add_option("--threads", args->threads,
                    "1: all work on one thread; otherwise file reading or writing runs on a "
                    "second thread beside the coding. The output is the same either way")
        ->capture_default_str()
        ->check(CLI::Range(0u, 1024u));
    commands.push_back(
        {cmd, [args] { return RunConvert(args->input, args->output, args->threads); }});
}

}  // namespace imabox::tool
