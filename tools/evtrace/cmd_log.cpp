// evtrace log show|export: binary event log files (CreateLogFile's format,
// the alert history) walked with the infoset cursor, and written again as a
// binary or comma-separated log through CreateLogFile.
//
// Every log is checked by the tool first (logfile.h): a file that is not a
// log is named as such, and a log cut short shows, or exports, its whole
// records and says where it was cut (exit 5), where the library would read
// nothing.
#include <TraceApi.h>
#include <stdio.h>
#include <sys/stat.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "command.h"
#include "event_text.h"
#include "logfile.h"
#include "output_file.h"

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
        LONG result = EvtInitialize(2);
        if (result != S_OK) Fail(exit_code::kFailed, "the trace library", "cannot start: " + ResultText(result));
    }
    ~Library() { EvtUnInitialize(); }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
};

bool IsAlert(const _VANTA_EVTRACE_DATA& record) {
    ULONG alertable = 0;
    return IsAlertableError(record.dwEventCode, &alertable) == S_OK && alertable != 0;
}

// The records of a log: through the infoset cursor when the log is sound,
// else the whole records the tool read itself.
void Visit(const EventLog& log, const Options& options, const std::function<void(const _VANTA_EVTRACE_DATA&)>& visit) {
    if (log.sound()) {
        WalkInfoset(options.file.c_str(), options.alerts, options.reverse, visit);
        return;
    }
    const size_t n = log.records.size();
    for (size_t i = 0; i < n; ++i) {
        const auto& record =
            *reinterpret_cast<const _VANTA_EVTRACE_DATA*>(log.records[options.reverse ? n - 1 - i : i].data());
        if (!options.alerts || IsAlert(record)) visit(record);
    }
}

void ReportDamage(const EventLog& log, const std::string& file, const char* done) {
    if (!log.sound()) Fail(exit_code::kBadData, file, log.Damage(done));
}

void Show(const Options& options) {
    EventLog log = ReadEventLog(options.file);
    Library library;
    unsigned long n = 0;
    Visit(log, options, [&](const _VANTA_EVTRACE_DATA& record) {
        ++n;
        if (options.json) {
            printf("%s\n", JsonLine(RecordJson(record)).c_str());
        } else {
            printf("%5lu  %s\n", n, RecordLine(record).c_str());
        }
    });
    if (!options.json) fprintf(stderr, "%lu record%s\n", n, n == 1 ? "" : "s");
    ReportDamage(log, options.file, "shown");
}

ULONG FormatKind(const std::string& format) {
    if (format == "bin") return EVT_LOGFORMAT_BINARY;
    if (format == "csv" || format == "text") return EVT_LOGFORMAT_TEXT;
    Fail(exit_code::kUsage, "--format " + format, "unknown format", "give bin or csv");
}

// Writes records with CreateLogFile, which writes aside and renames into
// place: a failure leaves the target as it was.
void Write(std::vector<std::vector<BYTE>>& copies, const std::string& out, ULONG kind, const OutputTarget& target) {
    std::vector<_VANTA_EVTRACE_DATA*> pointers;
    for (auto& copy : copies) pointers.push_back(reinterpret_cast<_VANTA_EVTRACE_DATA*>(copy.data()));
    _EVT_RECORD_LIST list = {DWORD(pointers.size()), pointers.data()};
    SetLastError(ERROR_SUCCESS);
    LONG result = CreateLogFile(target.path.c_str(), &list, kind);
    if (result != S_OK) {
        // The system's reason, when the library left it.
        const DWORD status = GetLastError();
        Fail(exit_code::kFailed, out,
             "cannot be written: " + (status != ERROR_SUCCESS ? SystemText(status) : ResultText(result)),
             target.device ? "" : "nothing was changed: an older file of that name is as it was");
    }
    // The new file keeps the old one's permissions.
    if (target.exists) ::chmod(target.path.c_str(), target.mode);
    fprintf(stderr, "%zu record%s written to %s\n", pointers.size(), pointers.size() == 1 ? "" : "s",
            Printable(out).c_str());
}

void CopyRecord(std::vector<std::vector<BYTE>>* copies, const _VANTA_EVTRACE_DATA& record) {
    const BYTE* bytes = reinterpret_cast<const BYTE*>(&record);
    copies->emplace_back(bytes, bytes + EVT_RECORD_FIXED_SIZE + record.dwDataLen + EVT_RECORD_TAIL_SIZE);
}

void Export(const Options& options) {
    const ULONG kind = FormatKind(options.format);
    const OutputTarget target = CheckOutput(options.out);
    EventLog log = ReadEventLog(options.file);
    Library library;
    std::vector<std::vector<BYTE>> copies;
    Visit(log, options, [&](const _VANTA_EVTRACE_DATA& record) { CopyRecord(&copies, record); });
    Write(copies, options.out, kind, target);
    ReportDamage(log, options.file, "written");
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
    exp->add_option("out", options->out, "The file to write (written aside and renamed over it when complete)")
        ->required();
    exp->add_option("--format", options->format, "bin or csv")->capture_default_str();
    exp->add_flag("--alerts", options->alerts, "Only alert records");
    exp->callback([options] { Export(*options); });
}

const CommandRegistrar registrar("40-log", &setup);

}  // namespace

// Used by evtrace snapshot: the live snapshot of the event engine, written as
// a log.
void ExportInfoset(bool alerts, const std::string& out, const std::string& format) {
    const ULONG kind = FormatKind(format);
    const OutputTarget target = CheckOutput(out);
    std::vector<std::vector<BYTE>> copies;
    WalkInfoset(nullptr, alerts, false, [&](const _VANTA_EVTRACE_DATA& record) { CopyRecord(&copies, record); });
    Write(copies, out, kind, target);
}

}  // namespace evtrace
