// SPDX-License-Identifier: MIT
// The hidden "_docs" subcommand: writes the parts of the manual page and the shell completions
// that come from the tool's own option definitions, so that neither can miss an option. The
// build runs it (cmake/GenerateDocs.cmake puts the pieces into docs/imabox.1.in).
//   imabox _docs man-synopsis | man-commands | man-options | bash | zsh
#include <CLI/CLI.hpp>
#include <algorithm>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "commands.hpp"

namespace imabox::tool {
namespace {

bool Visible(const CLI::App* command) {
    return !command->get_group().empty();
}

std::vector<const CLI::App*> Commands(const CLI::App& app) {
    return app.get_subcommands([](const CLI::App* c) { return Visible(c); });
}

// The options of `command`; a command's -h, --help is left out (every command has it).
std::vector<const CLI::Option*> Options(const CLI::App& command) {
    const CLI::Option* help = command.get_parent() ? command.get_help_ptr() : nullptr;
    return command.get_options([help](const CLI::Option* o) {
        return o->nonpositional() && !o->get_group().empty() && o != help;
    });
}

std::vector<const CLI::Option*> Positionals(const CLI::App& command) {
    return command.get_options([](const CLI::Option* o) { return !o->nonpositional(); });
}

std::vector<std::string> Names(const CLI::Option& option) {
    std::vector<std::string> names;
    for (const std::string& s : option.get_snames())
        names.push_back("-" + s);
    for (const std::string& l : option.get_lnames())
        names.push_back("--" + l);
    return names;
}

bool TakesValue(const CLI::Option& option) {
    return option.get_items_expected_max() > 0;
}

bool Repeats(const CLI::Option& option) {
    return option.get_items_expected_max() > 1;
}

// The value's type without the checks CLI11 appends ("UINT:INT in [1 - 1024]" -> "UINT").
std::string ValueType(const CLI::Option& option) {
    const std::string type = option.get_type_name();
    return type.substr(0, type.find(':'));
}

// The words of a set check such as "TEXT:{wav,raw}", or nothing.
std::vector<std::string> Choices(const CLI::Option& option) {
    const std::string type = option.get_type_name();
    const auto open = type.find(":{");
    const auto close = type.find('}', open);
    std::vector<std::string> words;
    if (open == std::string::npos || close == std::string::npos)
        return words;
    std::istringstream list(type.substr(open + 2, close - open - 2));
    for (std::string word; std::getline(list, word, ',');) {
        const auto first = word.find_first_not_of(' ');
        if (first != std::string::npos)
            words.push_back(word.substr(first, word.find_last_not_of(' ') - first + 1));
    }
    return words;
}

enum class ValueKind { None, Number, Directory, Choice, File };

ValueKind KindOf(const CLI::Option& option) {
    if (!TakesValue(option))
        return ValueKind::None;
    if (!Choices(option).empty())
        return ValueKind::Choice;
    const std::string type = ValueType(option);
    if (type == "INT" || type == "UINT" || type == "FLOAT" || type == "NUMBER" ||
        type == "POSITIVE")
        return ValueKind::Number;
    if (type == "DIR" || option.get_name(false, false).find("dir") != std::string::npos)
        return ValueKind::Directory;
    return ValueKind::File;
}

// ---- manual page (roff) ----

// Text for a roff line: backslashes and leading dots escaped, and the dashes of option names
// ("-o", "--seconds": at the start of a word) written as minus signs.
std::string Roff(const std::string& text) {
    std::string out;
    bool lineStart = true, wordStart = true, optionDashes = false;
    for (const char c : text) {
        optionDashes = c == '-' && (wordStart || optionDashes);
        if (lineStart && (c == '.' || c == '\''))
            out += "\\&";
        if (c == '\\')
            out += "\\e";
        else if (optionDashes)
            out += "\\-";
        else
            out += c;
        lineStart = c == '\n';
        wordStart = c == ' ' || c == '\n' || c == '(';
    }
    return out;
}

// An option name or other literal in bold, its dashes as minus signs.
std::string RoffLiteral(const std::string& text) {
    std::string out;
    for (const char c : text)
        out += c == '-' ? std::string("\\-") : std::string(1, c);
    return out;
}

std::string RoffValue(const CLI::Option& option) {
    return "\\fI" + ValueType(option) + "\\fR";
}

std::string RoffPositional(const CLI::Option& p) {
    std::string s = "\\fI" + p.get_name(true) + "\\fR";
    if (Repeats(p))
        s += "...";
    return p.get_required() ? s : "[" + s + "]";
}

// The commands the manual describes one by one: each command and, after a command made of
// subcommands (bank), each of those, named with both words ("bank list").
std::vector<std::pair<std::string, const CLI::App*>> ManualCommands(const CLI::App& app) {
    std::vector<std::pair<std::string, const CLI::App*>> out;
    for (const CLI::App* command : Commands(app)) {
        const std::vector<const CLI::App*> parts = Commands(*command);
        out.emplace_back(command->get_name(), command);
        for (const CLI::App* part : parts)
            out.emplace_back(command->get_name() + " " + part->get_name(), part);
    }
    return out;
}

std::string RoffUsage(const CLI::App& command, const std::string& name) {
    std::string usage = ".B imabox " + RoffLiteral(name) + "\n";
    std::string words = Options(command).empty() ? "" : "[\\fIoptions\\fR]";
    for (const CLI::Option* p : Positionals(command))
        words += (words.empty() ? "" : " ") + RoffPositional(*p);
    return words.empty() ? usage : usage + words + "\n";
}

void ManSynopsis(const CLI::App& app, std::ostream& out) {
    bool first = true;
    for (const auto& [name, command] : ManualCommands(app)) {
        if (!Commands(*command).empty())
            continue;  // its subcommands have lines of their own
        if (!first)
            out << ".br\n";
        first = false;
        out << RoffUsage(*command, name);
    }
    out << ".br\n.B imabox \\-\\-help\n.br\n.B imabox \\-\\-version\n";
}

void ManOptionList(const CLI::App& command, std::ostream& out) {
    for (const CLI::Option* option : Options(command)) {
        out << ".TP\n";
        std::string names;
        for (const std::string& name : Names(*option))
            names += (names.empty() ? "\\fB" : ", \\fB") + RoffLiteral(name) + "\\fR";
        if (TakesValue(*option))
            names += " " + RoffValue(*option);
        out << names << "\n" << Roff(option->get_description());
        const std::vector<std::string> choices = Choices(*option);
        if (!choices.empty()) {
            out << " (one of:";
            for (const std::string& c : choices)
                out << " \\fB" << RoffLiteral(c) << "\\fR";
            out << ")";
        }
        const std::string type = option->get_type_name();
        for (auto at = type.find(':'); at != std::string::npos;) {
            const auto next = type.find(':', at + 1);
            const std::string check = type.substr(at + 1, next - at - 1);
            if (!check.empty() && check.front() != '{')
                out << " (" << Roff(check) << ")";
            at = next;
        }
        for (const CLI::Option* other : option->get_excludes()) {
            std::string names;
            for (const std::string& name : Names(*other))
                names += (names.empty() ? "\\fB" : ", \\fB") + RoffLiteral(name) + "\\fR";
            out << " (not with " << names << ")";
        }
        if (!option->get_default_str().empty())
            out << " (default: " << Roff(option->get_default_str()) << ")";
        if (Repeats(*option))
            out << " (one or more values)";
        out << "\n";
    }
}

void ManCommands(const CLI::App& app, std::ostream& out) {
    for (const auto& [name, command] : ManualCommands(app)) {
        out << ".SS " << RoffLiteral(name) << "\n" << RoffUsage(*command, name);
        out << ".PP\n" << Roff(command->get_description()) << "\n";
        if (!command->get_footer().empty())
            out << ".PP\n" << Roff(command->get_footer()) << "\n";
        const auto positionals = Positionals(*command);
        for (const CLI::Option* p : positionals)
            out << ".TP\n" << RoffPositional(*p) << "\n" << Roff(p->get_description()) << "\n";
        ManOptionList(*command, out);
    }
}

// ---- bash ----

std::string Joined(const std::vector<std::string>& words, const std::string& separator = " ") {
    std::string s;
    for (const std::string& w : words)
        s += (s.empty() ? "" : separator) + w;
    return s;
}

void Bash(const CLI::App& app, std::ostream& out) {
    std::vector<std::string> commandNames, topWords;
    for (const CLI::App* command : Commands(app))
        commandNames.push_back(command->get_name());
    topWords = commandNames;
    for (const CLI::Option* option : Options(app))
        for (const std::string& name : Names(*option))
            topWords.push_back(name);

    out << "# bash completion for imabox, generated from the tool's own options.\n"
           "_imabox() {\n"
           "    local cur=${COMP_WORDS[COMP_CWORD]} prev=\n"
           "    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}\n"
           "    local command= i\n"
           "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
           "        case ${COMP_WORDS[i]} in\n"
           "        "
        << Joined(commandNames, "|")
        << ")\n"
           "            command=${COMP_WORDS[i]}\n"
           "            break\n"
           "            ;;\n"
           "        esac\n"
           "    done\n"
           "    COMPREPLY=()\n"
           "    if [[ -z $command ]]; then\n"
           "        COMPREPLY=($(compgen -W \""
        << Joined(topWords)
        << "\" -- \"$cur\"))\n"
           "        return\n"
           "    fi\n"
           "    local options= value=\n"
           "    case $command in\n";
    for (const CLI::App* command : Commands(app)) {
        std::vector<std::string> all = Names(*command->get_help_ptr());
        out << "    " << command->get_name() << ")\n        case $prev in\n";
        for (const CLI::Option* option : Options(*command)) {
            const std::vector<std::string> names = Names(*option);
            all.insert(all.end(), names.begin(), names.end());
            std::string action;
            switch (KindOf(*option)) {
                case ValueKind::None:
                    continue;
                case ValueKind::Number:
                    action = "value=none";
                    break;
                case ValueKind::Directory:
                    action = "value=directory";
                    break;
                case ValueKind::File:
                    action = "value=file";
                    break;
                case ValueKind::Choice:
                    action = "value=\"words " + Joined(Choices(*option)) + "\"";
                    break;
            }
            out << "        " << Joined(names, "|") << ") " << action << " ;;\n";
        }
        out << "        esac\n        options=\"" << Joined(all) << "\"\n        ;;\n";
    }
    out << "    esac\n"
           "    case $value in\n"
           "    none) return ;;\n"
           "    directory)\n"
           "        compopt -o filenames 2>/dev/null\n"
           "        COMPREPLY=($(compgen -d -- \"$cur\"))\n"
           "        return\n"
           "        ;;\n"
           "    words*)\n"
           "        COMPREPLY=($(compgen -W \"${value#words }\" -- \"$cur\"))\n"
           "        return\n"
           "        ;;\n"
           "    esac\n"
           "    if [[ -z $value && $cur == -* ]]; then\n"
           "        COMPREPLY=($(compgen -W \"$options\" -- \"$cur\"))\n"
           "        return\n"
           "    fi\n"
           "    compopt -o filenames 2>/dev/null\n"
           "    COMPREPLY=($(compgen -f -- \"$cur\"))\n"
           "}\n"
           "complete -F _imabox imabox\n";
}

// ---- zsh ----

// Text inside single quotes, with ' written as '\''.
std::string ZshQuoted(const std::string& text) {
    std::string out = "'";
    for (const char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string OneLine(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

// An option's description inside _arguments' brackets: no brackets or colons unescaped.
std::string ZshDescription(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '[' || c == ']' || c == ':' || c == '\\')
            out += '\\';
        out += c == '\n' ? ' ' : c;
    }
    return out;
}

std::string ZshAction(const CLI::Option& option) {
    switch (KindOf(option)) {
        case ValueKind::None:
            return "";
        case ValueKind::Number:
            return ":" + ValueType(option) + ": ";
        case ValueKind::Directory:
            return ":directory:_files -/";
        case ValueKind::Choice:
            return ":" + ValueType(option) + ":(" + Joined(Choices(option)) + ")";
        case ValueKind::File:
            break;
    }
    return ":file:_files";
}

void Zsh(const CLI::App& app, std::ostream& out) {
    out << "#compdef imabox\n"
           "# zsh completion for imabox, generated from the tool's own options.\n"
           "_imabox() {\n"
           "    local curcontext=$curcontext state line\n"
           "    local -a commands\n"
           "    commands=(\n";
    for (const CLI::App* command : Commands(app))
        out << "        "
            << ZshQuoted(command->get_name() + ":" + OneLine(command->get_description())) << "\n";
    out << "    )\n    _arguments -C \\\n";
    for (const CLI::Option* option : Options(app))
        for (const std::string& name : Names(*option))
            out << "        "
                << ZshQuoted("(- *)" + name + "[" + ZshDescription(option->get_description()) + "]")
                << " \\\n";
    out << "        '1:command:->command' \\\n"
           "        '*::argument:->argument'\n"
           "    case $state in\n"
           "    command) _describe command commands ;;\n"
           "    argument)\n"
           "        case $words[1] in\n";
    for (const CLI::App* command : Commands(app)) {
        out << "        " << command->get_name() << ")\n            _arguments \\\n";
        const CLI::Option& help = *command->get_help_ptr();
        for (const std::string& name : Names(help))
            out << "                "
                << ZshQuoted("(- *)" + name + "[" + ZshDescription(help.get_description()) + "]")
                << " \\\n";
        for (const CLI::Option* option : Options(*command)) {
            const std::vector<std::string> names = Names(*option);
            std::string exclusive = "(" + Joined(names);
            for (const CLI::Option* other : option->get_excludes())
                exclusive += " " + Joined(Names(*other));
            exclusive += ")";
            for (const std::string& name : names)
                out << "                "
                    << ZshQuoted((Repeats(*option) ? "*" : exclusive) + name + "[" +
                                 ZshDescription(option->get_description()) + "]" +
                                 ZshAction(*option))
                    << " \\\n";
        }
        out << "                '*:file:_files'\n            ;;\n";
    }
    out << "        esac\n"
           "        ;;\n"
           "    esac\n"
           "}\n"
           "_imabox \"$@\"\n";
}

}  // namespace

void AddDocsCommand(CLI::App& app, CommandList& commands) {
    auto what = std::make_shared<std::string>();
    CLI::App* cmd = app.add_subcommand("_docs", "Write generated documentation")->group("");
    cmd->add_option("what", *what)
        ->required()
        ->check(CLI::IsMember({"man-synopsis", "man-commands", "man-options", "bash", "zsh"}));
    commands.push_back({cmd, [&app, what] {
                            if (*what == "man-synopsis")
                                ManSynopsis(app, std::cout);
                            else if (*what == "man-commands")
                                ManCommands(app, std::cout);
                            else if (*what == "man-options")
                                ManOptionList(app, std::cout);
                            else if (*what == "bash")
                                Bash(app, std::cout);
                            else
                                Zsh(app, std::cout);
                            std::cout.flush();
                            return std::cout ? 0 : 1;
                        }});
}

}  // namespace imabox::tool
