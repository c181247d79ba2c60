// evtrace sub-commands register themselves here: each command file defines a
// setup function that adds its sub-command (options and callback) to the
// application, and a static CommandRegistrar that lists it.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

namespace evtrace {

using CommandSetup = void (*)(CLI::App& app);

struct CommandRegistrar {
    // Commands appear in the help in the order of their keys.
    CommandRegistrar(const char* order_key, CommandSetup setup);
};

// Thrown by a command to end evtrace with a message and an exit code.
struct CommandError {
    std::string message;
    int exit_code = 1;
};

}  // namespace evtrace
