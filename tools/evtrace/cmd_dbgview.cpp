// evtrace dbgview: attach as the machine root's debug viewer and print every
// OutputDebugStringA text of its processes, each line with the sender's
// process id, until interrupted.
#include <signal.h>
#include <stdio.h>

#include <atomic>
#include <memory>
#include <string_view>

#include <fmt/format.h>
#include <windows.h>
#include <w32rt/debug_viewer.h>

#include "command.h"

namespace evtrace {
namespace {

std::atomic<bool> g_stop{false};

void on_signal(int) { g_stop.store(true); }

struct Options {
    int64_t pid = -1;
    uint64_t count = 0;
};

// One output line per line of the text; the text's own final line break
// ends the last.
void print(const w32rt::DebugMessage& m) {
    std::string_view text(m.text);
    while (!text.empty()) {
        size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        fmt::print("[{}] {}\n", m.process_id, Printable(line));
        if (eol == std::string_view::npos) break;
        text.remove_prefix(eol + 1);
    }
}

void run(const Options& options) {
    std::unique_ptr<w32rt::DebugViewer> viewer = w32rt::DebugViewer::attach();
    if (!viewer) {
        DWORD error = GetLastError();
        if (error == ERROR_BUSY)
            Fail(exit_code::kFailed, "debug viewer", "another one is attached to this machine root",
                 "one viewer per root: end the other first");
        FailStatus("debug viewer", error);
    }
    struct sigaction action = {};
    action.sa_handler = &on_signal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    uint64_t lost_at_start = viewer->lost();
    uint64_t shown = 0;
    while (!g_stop.load()) {
        for (const w32rt::DebugMessage& m : viewer->receive(250)) {
            if (options.pid >= 0 && m.process_id != uint64_t(options.pid)) continue;
            print(m);
            if (options.count && ++shown >= options.count) g_stop.store(true);
            if (g_stop.load()) break;
        }
        fflush(stdout);
    }
    uint64_t lost = viewer->lost() - lost_at_start;
    if (lost) fmt::print(stderr, "evtrace: {} texts were lost (the viewer fell behind)\n", lost);
}

void setup(CLI::App& app) {
    auto options = std::make_shared<Options>();
    CLI::App* cmd = app.add_subcommand(
        "dbgview", "Print the debugger output (OutputDebugStringA) of every process of the machine root until Ctrl-C");
    cmd->add_option("--pid", options->pid, "Show only the texts of this process")->check(WholeNumber(1, 4194304));
    cmd->add_option("--count", options->count, "Stop after this many texts")->check(WholeNumber(1, ~0ull));
    cmd->callback([options] { run(*options); });
}

const CommandRegistrar registrar("90-dbgview", &setup);

}  // namespace
}  // namespace evtrace
