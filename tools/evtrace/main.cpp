// evtrace: the command-line tool of the trace system: set-up of registry and
// data, session control, emitting, live watching, the event engine host,
// snapshots, logs, alerts and benchmarks. Every sub-command lives in a file
// of its own and registers itself (command.h).
#include <stdio.h>

#include <map>
#include <string>

#include "command.h"

namespace evtrace {

namespace {
std::map<std::string, CommandSetup>& registry() {
    static std::map<std::string, CommandSetup> commands;
    return commands;
}
}  // namespace

CommandRegistrar::CommandRegistrar(const char* order_key, CommandSetup setup) { registry()[order_key] = setup; }

}  // namespace evtrace

int main(int argc, char** argv) {
    CLI::App app{"evtrace - the trace system's tool. EVTRACE_ROOT names the machine root."};
    app.require_subcommand(1);
    app.set_help_all_flag("--help-all", "Show help for every sub-command");
    app.set_version_flag("--version", "evtrace " TRACEAPI_VERSION_TEXT);
    for (const auto& [key, setup] : evtrace::registry()) setup(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    } catch (const evtrace::CommandError& e) {
        if (!e.message.empty()) fprintf(stderr, "evtrace: %s\n", e.message.c_str());
        return e.exit_code;
    }
    return 0;
}
