// imabox: the command-line tool. Each subcommand lives in its own cmd_*.cpp.
#include <CLI/CLI.hpp>
#include <string>

#include "commands.hpp"
#include "imabox/version.hpp"

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
    AddRecordCommand(app, commands);
    AddEncodeCommands(app, commands);
    AddDocsCommand(app, commands);  // hidden: writes the manual page's parts and the completions

    CLI11_PARSE(app, argc, argv);
    for (const Command& command : commands) {
        if (*command.app)
            return command.run();
    }
    return 1;
}
