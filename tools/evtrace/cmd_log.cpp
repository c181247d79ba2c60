// evtrace log show|export: binary event log files (CreateLogFile's format,
// the alert history) walked with the infoset cursor, and written again as a
// binary or comma-separated log through CreateLogFile.
#include <TraceApi.h>
#include <stdio.h>

#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "command.h"
#include "event_text.h"

namespace evtrace {
namespace {

struct Options {
    std::string file;
    std::string out;
    std::string format = "bin";
    bool alerts = false;
    bool reverse = false;
    bool json = false;
};

// The consumer for the length of one command.
struct Library {
    Library() {
        if (EvtInitialize(2) != S_OK) throw CommandError{"cannot initialise the library"};
    }
    ~Library() { EvtUnInitialize(); }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
};

void Show(const Options& options) {
    Library library;
    unsigned long n = 0;
    WalkInfoset(options.file.c_str(), options.alerts, options.reverse, [&](const _VANTA_EVTRACE_DATA& record) {
        ++n;
        if (options.json) {
            printf("%s\n", JsonLine(RecordJson(record)).c_str());
        } else {
            printf("%5lu  %s\n", n, RecordLine(record).c_str());
        }
    });
    if (!options.json) fprintf(stderr, "%lu record%s\n", n, n == 1 ? "" : "s");
}

// Copies the records of an infoset (they live only while it is open) and
// writes them with CreateLogFile.
void Export(const char* file, bool alerts, const std::string& out, const std::string& format) {
    ULONG kind;
    if (format == "bin") {
        kind = EVT_LOGFORMAT_BINARY;
    } else if (format == "csv" || format == "text") {
        kind = EVT_LOGFORMAT_TEXT;
    } else {
        throw CommandError{"unknown format " + format + " (bin or csv)"};
    }
    std::vector<std::vector<BYTE>> copies;
    WalkInfoset(file, alerts, false, [&](const _VANTA_EVTRACE_DATA& record) {
        const BYTE* bytes = reinterpret_cast<const BYTE*>(&record);
        copies.emplace_back(bytes, bytes + EVT_RECORD_FIXED_SIZE + record.dwDataLen + EVT_RECORD_TAIL_SIZE);
    });
    std::vector<_VANTA_EVTRACE_DATA*> pointers;
    for (auto& copy : copies) pointers.push_back(reinterpret_cast<_VANTA_EVTRACE_DATA*>(copy.data()));
    _EVT_RECORD_LIST list = {DWORD(pointers.size()), pointers.data()};
    LONG result = CreateLogFile(out.c_str(), &list, kind);
    if (result != S_OK) throw CommandError{fmt::format("cannot write {}: {}", out, ResultText(result))};
    fprintf(stderr, "%zu record%s written to %s\n", pointers.size(), pointers.size() == 1 ? "" : "s", out.c_str());
}

void setup(CLI::App& app) {
    auto options = std::make_shared<Options>();
    CLI::App* log = app.add_subcommand("log", "Show or convert binary event log files");
    log->require_subcommand(1);

    CLI::App* show = log->add_subcommand("show", "Walk a binary event log with the infoset cursor");
    show->add_option("file", options->file, "The log file (a Windows or POSIX path)")->required();
    show->add_flag("--alerts", options->alerts, "Only records whose code is an alert of the event database");
    show->add_flag("--reverse", options->reverse, "From the last record to the first");
    show->add_flag("--json", options->json, "One JSON object per line");
    show->callback([options] { Show(*options); });

    CLI::App* exp = log->add_subcommand("export", "Write a log's records as a binary or comma-separated log");
    exp->add_option("file", options->file, "The log file to read")->required();
    exp->add_option("out", options->out, "The file to write")->required();
    exp->add_option("--format", options->format, "bin or csv")->capture_default_str();
    exp->add_flag("--alerts", options->alerts, "Only alert records");
    exp->callback([options] {
        Library library;
        Export(options->file.c_str(), options->alerts, options->out, options->format);
    });
}

const CommandRegistrar registrar("40-log", &setup);

}  // namespace

// Used by evtrace snapshot too.
void ExportInfoset(const char* file, bool alerts, const std::string& out, const std::string& format) {
    Export(file, alerts, out, format);
}

}  // namespace evtrace
