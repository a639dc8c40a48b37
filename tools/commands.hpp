// SPDX-License-Identifier: MIT
// The tool's subcommands. Each Add*Command registers its subcommand and the function that runs
// it once parsed.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <vector>

#include "io/wide_path.hpp"

namespace imabox::tool {

struct Command {
    CLI::App* app;
    std::function<int()> run;  // returns the process exit status
};
using CommandList = std::vector<Command>;

// A path named on the command line (UTF-8 on Windows, see main), and a path for messages.
using imabox::PathFromUtf8;
using imabox::PathToUtf8;

void AddConvertCommand(CLI::App& app, CommandList& commands);
void AddInfoCommand(CLI::App& app, CommandList& commands);
void AddRecordCommand(CLI::App& app, CommandList& commands);
// encode and decode.
void AddEncodeCommands(CLI::App& app, CommandList& commands);
// bank list, extract, replace and build.
void AddBankCommand(CLI::App& app, CommandList& commands);
// The hidden "_docs" command that writes the manual page's option lists and the completions.
void AddDocsCommand(CLI::App& app, CommandList& commands);

}  // namespace imabox::tool
