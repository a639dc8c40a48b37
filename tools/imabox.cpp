// imabox: the command-line tool. Each subcommand lives in its own cmd_*.cpp.
#include <CLI/CLI.hpp>
#include <string>

#include "commands.hpp"

#ifndef IMABOX_VERSION
#define IMABOX_VERSION "unknown"
#endif

int main(int argc, char** argv) {
    using namespace imabox::tool;
    CLI::App app{"imabox: Xbox ADPCM audio (IMA ADPCM in 36-byte blocks per channel)", "imabox"};
    app.set_version_flag("--version", std::string("imabox ") + IMABOX_VERSION);
    app.require_subcommand(1);

    CommandList commands;
    AddConvertCommand(app, commands);
    AddInfoCommand(app, commands);
    AddRecordCommand(app, commands);

    CLI11_PARSE(app, argc, argv);
    for (const Command& command : commands) {
        if (*command.app)
            return command.run();
    }
    return 1;
}
