// evtrace: the command-line tool of the trace system: set-up of registry and
// data, session control, emitting, live watching, snapshots, logs, alerts
// and benchmarks. Every sub-command lives in a file of its own and registers
// itself (command.h); this file is the frame around them: help, version,
// suggestions for mistyped commands, and the one place where every error
// becomes a message and a documented exit code.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <new>
#include <string>
#include <vector>

#include <w32rt/testing.h>

#include "command.h"

#ifndef TRACEAPI_VERSION
#define TRACEAPI_VERSION "unknown"
#endif

namespace evtrace {

namespace {

std::map<std::string, CommandSetup>& registry() {
    static std::map<std::string, CommandSetup> commands;
    return commands;
}

// The runtime refuses shared memory that another user made before the
// root's owner could, and says so in the debugger output, which nobody may
// be watching: a refusal is said on the terminal too, with the file and the
// way to remove it.
void SayRefusals(const char* text, void*) {
    static constexpr char kRefusal[] = "w32rt: refused ";
    if (text == nullptr || strncmp(text, kRefusal, sizeof kRefusal - 1) != 0) return;
    std::string line(text);
    while (!line.empty() && line.back() == '\n') line.pop_back();
    fprintf(stderr, "evtrace: %s\n", Printable(line.substr(strlen("w32rt: "))).c_str());
}

void PrintError(const std::string& message, const std::string& hint) {
    if (!message.empty()) fprintf(stderr, "evtrace: %s\n", Printable(message).c_str());
    if (!hint.empty()) fprintf(stderr, "hint: %s\n", Printable(hint).c_str());
}

size_t Distance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

std::vector<CLI::App*> Commands(CLI::App* level) {
    return level->get_subcommands([](CLI::App*) { return true; });
}

std::string Names(CLI::App* level) {
    std::string names;
    for (CLI::App* command : Commands(level)) names += (names.empty() ? "" : ", ") + command->get_name();
    return names;
}

// Follows the command words of args down the tree of sub-commands and ends
// with a usage error, naming the nearest commands, at a word that is none.
// Options and what follows them are left to the parser. Returns the first
// command word; empty when help or the version is asked for.
std::string CheckCommandWords(CLI::App& app, const std::vector<std::string>& args) {
    CLI::App* level = &app;
    std::string path = "evtrace";
    std::string first;
    for (size_t i = 0;; ++i) {
        const bool help = std::any_of(args.begin(), args.end(), [](const std::string& a) {
            return a == "--help" || a == "-h" || a == "--help-all" || a == "--version";
        });
        std::vector<CLI::App*> commands = Commands(level);
        if (commands.empty()) return help ? std::string() : first;
        const bool wantsOne = level->get_require_subcommand_min() > 0;
        if (i >= args.size() || args[i].empty() || args[i][0] == '-') {
            if (wantsOne && !help) {
                Fail(exit_code::kUsage, "", "\"" + path + "\" needs a command: " + Names(level),
                     "`" + path + " --help` shows what each does; `evtrace help COMMAND` too");
            }
            return help ? std::string() : first;
        }
        const std::string& word = args[i];
        CLI::App* found = nullptr;
        for (CLI::App* command : commands) {
            if (command->check_name(word)) found = command;
        }
        if (found == nullptr) {
            if (!wantsOne) return help ? std::string() : first;
            std::string near;
            for (CLI::App* command : commands) {
                const std::string& name = command->get_name();
                if (Distance(word, name) <= 2 || (word.size() >= 2 && name.rfind(word, 0) == 0))
                    near += (near.empty() ? "" : " or ") + ("`" + path + " " + name + "`");
            }
            Fail(exit_code::kUsage, "", "\"" + word + "\" is not a command of \"" + path + "\"",
                 near.empty() ? "the commands are: " + Names(level) : "did you mean " + near + "?");
        }
        level = found;
        path += " " + found->get_name();
        if (first.empty()) first = found->get_name();
    }
}

// Commands that work on a machine root that may not exist yet: they make
// it, or look after it themselves.
bool OwnsItsRoot(const std::string& command) { return command == "root" || command == "setup"; }

int Run(int argc, char** argv) {
    w32rt_set_debug_sink(&SayRefusals, nullptr);
    std::vector<std::string> args(argv + 1, argv + argc);
    // "evtrace help [COMMAND...]" is "evtrace [COMMAND...] --help".
    if (!args.empty() && args[0] == "help") {
        args.erase(args.begin());
        args.push_back("--help");
    }

    CLI::App app{"evtrace - the trace system's tool. EVTRACE_ROOT names the machine root."};
    app.require_subcommand(1);
    app.set_help_all_flag("--help-all", "Show help for every sub-command");
    app.set_version_flag("--version", std::string("evtrace ") + TRACEAPI_VERSION + " (TraceApi " TRACEAPI_VERSION ")");
    app.footer(std::string("\n`evtrace help COMMAND` shows a command's options.\n\n") + kExitCodesHelp);
    for (const auto& [key, setup] : registry()) setup(app);

    try {
        const std::string command = CheckCommandWords(app, args);
        // Nothing may make a machine root as a side effect: a mistyped
        // EVTRACE_ROOT is reported before the runtime is touched.
        if (!command.empty() && !OwnsItsRoot(command)) NeedMachineRoot();
        // CLI11 takes the arguments last first.
        std::vector<std::string> reversed(args.rbegin(), args.rend());
        app.parse(reversed);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::string where = "evtrace";
        for (CLI::App* level = &app; !level->get_subcommands().empty();) {
            level = level->get_subcommands().front();
            where += " " + level->get_name();
        }
        PrintError(e.what(), "`" + where + " --help` lists the options");
        return exit_code::kUsage;
    }
    return exit_code::kOk;
}

}  // namespace

CommandRegistrar::CommandRegistrar(const char* order_key, CommandSetup setup) { registry()[order_key] = setup; }

}  // namespace evtrace

// The one top-level handler: whatever a command throws becomes a message and
// a documented exit code.
int main(int argc, char** argv) {
    using namespace evtrace;
    try {
        return Run(argc, argv);
    } catch (const CommandError& e) {
        PrintError(e.message, e.hint);
        return e.exit_code;
    } catch (const std::bad_alloc&) {
        PrintError("out of memory", "");
        return exit_code::kFailed;
    } catch (const std::filesystem::filesystem_error& e) {
        PrintError(e.path1().string() + ": " + e.code().message(), "");
        return exit_code::kFailed;
    } catch (const std::exception& e) {
        PrintError(std::string("internal error: ") + e.what(), "please report this with the command that caused it");
        return exit_code::kInternal;
    } catch (...) {
        PrintError("internal error: an unknown exception", "please report this with the command that caused it");
        return exit_code::kInternal;
    }
}
