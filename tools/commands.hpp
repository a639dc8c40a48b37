// The tool's subcommands. Each Add*Command registers its subcommand and the function that runs
// it once parsed.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <vector>

namespace imabox::tool {

struct Command {
    CLI::App* app;
    std::function<int()> run;  // returns the process exit status
};
using CommandList = std::vector<Command>;

void AddConvertCommand(CLI::App& app, CommandList& commands);
void AddInfoCommand(CLI::App& app, CommandList& commands);
void AddRecordCommand(CLI::App& app, CommandList& commands);

}  // namespace imabox::tool
