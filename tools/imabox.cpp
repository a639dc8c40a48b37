// SPDX-License-Identifier: MIT
// imabox: the command-line tool. Each subcommand lives in its own cmd_*.cpp.
#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

#include "commands.hpp"
#include "imabox/version.hpp"
#include "io/output_file.hpp"

namespace {

int Run(int argc, char** argv) {
    using namespace imabox::tool;
    CLI::App app{"imabox: Xbox ADPCM audio (IMA ADPCM in 36-byte blocks per channel)", "imabox"};
    app.set_version_flag("--version", "imabox " + std::string(imabox::Version()) +
                                          "\nencoder revision " +
                                          std::to_string(imabox::EncoderRevision()));
    app.require_subcommand(1);
    // Paths such as /data/in.wav are valid on Windows too: never read them as "/option".
    app.allow_windows_style_options(false);

    CommandList commands;
    AddConvertCommand(app, commands);
    AddInfoCommand(app, commands);
#if defined(IMABOX_HAVE_RECORDER)
    AddRecordCommand(app, commands);
#endif
    AddEncodeCommands(app, commands);
    AddBankCommand(app, commands);
    AddDocsCommand(app, commands);  // hidden: writes the manual page's parts and the completions

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // --help and --version end here with status 0; every usage error with status 2.
        if (e.get_exit_code() == 0)
            return app.exit(e);
        const std::vector<std::string> rest = app.remaining();
        if (app.get_subcommands().empty() && !rest.empty() && rest.front().rfind('-', 0) != 0) {
            std::fprintf(stderr,
                         "imabox: unknown command: %s\nRun with --help for more information.\n",
                         rest.front().c_str());
            return 2;
        }
        app.exit(e);
        return 2;
    }
    // Interrupted conversions leave no hidden temporary file behind.
    imabox::io::RemoveTemporaryFilesOnSignal();
#if defined(SIGXFSZ)
    // Past the file-size limit a write fails ("File too large") instead of ending the process.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    for (const Command& command : commands) {
        if (*command.app)
            return command.run();
    }
    return 1;
}

}  // namespace

#if defined(_WIN32)
// Wildcards in the arguments (imabox encode *.flac) are expanded by the C runtime at start-up, as
// a shell does elsewhere: cmd.exe leaves them to the program.
extern "C" {
int _dowildcard = -1;
}

// The arguments as Windows gives them, in UTF-16, converted to UTF-8: names outside the ANSI code
// page reach the commands intact (they make paths of them with PathFromUtf8). Messages are UTF-8
// as well, so the console is told to show them as such while imabox runs.
int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) {
        const int wide = static_cast<int>(std::wcslen(argv[i]));
        const int bytes =
            WideCharToMultiByte(CP_UTF8, 0, argv[i], wide, nullptr, 0, nullptr, nullptr);
        std::string arg(static_cast<std::size_t>(bytes), '\0');
        WideCharToMultiByte(CP_UTF8, 0, argv[i], wide, arg.data(), bytes, nullptr, nullptr);
        args.push_back(std::move(arg));
    }
    std::vector<char*> pointers;
    for (std::string& arg : args)
        pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    static const UINT consolePage = GetConsoleOutputCP();
    if (consolePage != 0 && SetConsoleOutputCP(CP_UTF8))
        std::atexit([] { SetConsoleOutputCP(consolePage); });
    return Run(argc, pointers.data());
}
#else
int main(int argc, char** argv) {
    return Run(argc, argv);
}
#endif
