// imabox: the command-line tool. Each subcommand lives in its own cmd_*.cpp.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "commands.hpp"
#include "imabox/version.hpp"
#include "io/output_file.hpp"

int main(int argc, char** argv) {
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
    for (const Command& command : commands) {
        if (*command.app)
            return command.run();
    }
    return 1;
}
