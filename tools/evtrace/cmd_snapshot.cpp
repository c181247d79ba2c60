// evtrace snapshot: asks the event engine for a live snapshot of its queue
// (the infoset opened without a file name) and prints it, newest first, or
// writes it as a log.
#include <TraceApi.h>
#include <stdio.h>

#include <memory>
#include <string>

#include "command.h"
#include "event_text.h"

namespace evtrace {

void ExportInfoset(bool alerts, const std::string& out, const std::string& format);

namespace {

struct Options {
    bool alerts = false;
    bool json = false;
    std::string out;
    std::string format = "bin";
};

void Run(const Options& options) {
    LONG result = EvtInitialize(2);
    if (result != S_OK) Fail(exit_code::kFailed, "the trace library", "cannot start: " + ResultText(result));
    struct Uninitialize {
        ~Uninitialize() { EvtUnInitialize(); }
    } uninitialize;
    if (!options.out.empty()) {
        ExportInfoset(options.alerts, options.out, options.format);
        return;
    }
    unsigned long n = 0;
    WalkInfoset(nullptr, options.alerts, false, [&](const _VANTA_EVTRACE_DATA& record) {
        ++n;
        printf("%s\n", options.json ? JsonLine(RecordJson(record)).c_str() : RecordLine(record).c_str());
    });
    if (!options.json) fprintf(stderr, "%lu record%s\n", n, n == 1 ? "" : "s");
}

void setup(CLI::App& app) {
    auto options = std::make_shared<Options>();
    CLI::App* cmd =
        app.add_subcommand("snapshot", "Ask the event engine for its newest events (waits up to 10 s for it)");
    cmd->add_flag("--alerts", options->alerts, "Only alert records");
    cmd->add_flag("--json", options->json, "One JSON object per line");
    cmd->add_option("--out", options->out, "Write the snapshot to this file instead of printing it");
    cmd->add_option("--format", options->format, "Format of --out: bin or csv")->capture_default_str();
    cmd->callback([options] { Run(*options); });
}

const CommandRegistrar registrar("41-snapshot", &setup);

}  // namespace
}  // namespace evtrace
