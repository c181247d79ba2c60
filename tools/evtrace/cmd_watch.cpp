// evtrace watch: a live view of the session through the consumer's client
// callback, one line (or one JSON object) per event.
#include <TraceApi.h>
#include <signal.h>
#include <stdio.h>
#include <strings.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "command.h"
#include "event_text.h"

namespace evtrace {
namespace {

struct Options {
    std::vector<std::string> sources;
    std::vector<std::string> severities;
    std::vector<std::string> domains;
    std::vector<std::string> codes;
    bool json = false;
    unsigned long count = 0;
    double seconds = 0;
    bool noEnable = false;
    std::string save;
    std::string format = "bin";
};

// The callback has no context argument: the watch of this process.
struct Watch {
    std::vector<std::string> sources;
    std::vector<int> severities;
    std::vector<int> domains;
    std::vector<DWORD> codes;
    bool json = false;
    unsigned long limit = 0;
    std::mutex lock;
    std::condition_variable done;
    unsigned long shown = 0;
    bool keep = false;  // keep copies of the records shown, for --save
    std::vector<std::vector<BYTE>> kept;
};
Watch* g_watch = nullptr;
std::atomic<bool> g_interrupted{false};

bool Accepts(const Watch& w, const _VANTA_EVTRACE_DATA& r) {
    auto has = [](const auto& list, const auto& v) {
        return list.empty() || std::find(list.begin(), list.end(), v) != list.end();
    };
    if (!w.sources.empty() && std::none_of(w.sources.begin(), w.sources.end(), [&](const std::string& s) {
            return strcasecmp(s.c_str(), r.szSource) == 0;
        })) {
        return false;
    }
    return has(w.severities, int(EVT_CODE_SEVERITY(r.dwEventCode))) &&
           has(w.domains, int(EVT_CODE_DOMAIN(r.dwEventCode))) && has(w.codes, r.dwEventCode);
}

void OnEvent(_VANTA_EVTRACE_DATA* record) {
    Watch* w = g_watch;
    if (w == nullptr || record == nullptr || !Accepts(*w, *record)) return;
    std::string line = w->json ? JsonLine(RecordJson(*record)) : RecordLine(*record);
    std::lock_guard<std::mutex> guard(w->lock);
    if (w->limit != 0 && w->shown >= w->limit) return;
    printf("%s\n", line.c_str());
    fflush(stdout);
    if (w->keep) {
        // The record is valid during the call only: keep a copy of its
        // fixed part, its data and the zero tail.
        const BYTE* bytes = reinterpret_cast<const BYTE*>(record);
        w->kept.emplace_back(bytes, bytes + EVT_RECORD_FIXED_SIZE + record->dwDataLen + EVT_RECORD_TAIL_SIZE);
    }
    if (++w->shown == w->limit) w->done.notify_all();
}

// Writes the records seen to a log file through the consumer's CreateLogFile.
void Save(const Options& options, Watch& watch) {
    std::vector<_VANTA_EVTRACE_DATA*> records;
    for (std::vector<BYTE>& r : watch.kept) records.push_back(reinterpret_cast<_VANTA_EVTRACE_DATA*>(r.data()));
    _EVT_RECORD_LIST list = {};
    list.count = ULONG(records.size());
    list.records = records.data();
    LONG rc = CreateLogFile(options.save.c_str(), &list, options.format == "csv" ? 1 : 0);
    if (rc != S_OK) throw CommandError{fmt::format("cannot write {} (0x{:08X})", options.save, ULONG(rc))};
    fprintf(stderr, "%zu events saved to %s\n", records.size(), options.save.c_str());
}

void Run(const Options& options) {
    auto watch = std::make_unique<Watch>();
    watch->sources = options.sources;
    for (const std::string& s : options.severities) watch->severities.push_back(ParseSeverity(s));
    for (const std::string& d : options.domains) watch->domains.push_back(ParseDomain(d));
    for (const std::string& c : options.codes) watch->codes.push_back(ParseCode(c));
    watch->json = options.json;
    watch->limit = options.count;
    watch->keep = !options.save.empty();
    if (watch->keep && options.format != "bin" && options.format != "csv")
        throw CommandError{"--format is bin or csv"};
    g_watch = watch.get();

    if (EvtInitialize(3) != S_OK) throw CommandError{"cannot initialise the library"};
    if (!options.noEnable) EnableLogging(1);
    signal(SIGINT, [](int) { g_interrupted = true; });
    signal(SIGTERM, [](int) { g_interrupted = true; });
    fprintf(stderr, "watching \"%s\"%s\n", EVT_SESSION_NAME, options.count ? "" : " (Ctrl-C to stop)");
    SetEvTraceCallback(&OnEvent);
    if (GetEvTraceListenerStatus() != 0) {
        EvtUnInitialize();
        throw CommandError{"access to the session was denied"};
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(options.seconds);
    {
        std::unique_lock<std::mutex> guard(watch->lock);
        while (!g_interrupted && (watch->limit == 0 || watch->shown < watch->limit) &&
               (options.seconds <= 0 || std::chrono::steady_clock::now() < deadline)) {
            watch->done.wait_for(guard, std::chrono::milliseconds(100));
        }
    }
    // Destroying the consumer stops its listener: no event arrives after.
    if (watch->keep) Save(options, *watch);
    EvtUnInitialize();
    g_watch = nullptr;
    if (watch->limit != 0 && watch->shown < watch->limit && !g_interrupted) {
        throw CommandError{fmt::format("{} of {} events seen", watch->shown, watch->limit), 2};
    }
}

void setup(CLI::App& app) {
    auto options = std::make_shared<Options>();
    CLI::App* cmd = app.add_subcommand("watch", "Show the session's events as they arrive, decoded");
    cmd->add_option("--source", options->sources, "Only events of this source (repeatable)");
    cmd->add_option("--severity", options->severities,
                    "Only this severity: 0-3 or Success, Information, Error, Warning");
    cmd->add_option("--domain", options->domains, "Only this domain: 0-15 or a name such as Connection, TCP/IP");
    cmd->add_option("--code", options->codes, "Only this event code (decimal or 0x hex; repeatable)");
    cmd->add_flag("--json", options->json, "One JSON object per line");
    cmd->add_option("--count", options->count, "Stop after this many events (exit 2 if fewer came)");
    cmd->add_option("--seconds", options->seconds, "Stop after this many seconds");
    cmd->add_flag("--no-enable", options->noEnable, "Do not start and enable the session, only listen");
    cmd->add_option("--save", options->save, "Also write the events shown to this log file when the watch ends");
    cmd->add_option("--format", options->format, "Format of --save: bin (binary event log) or csv")
        ->capture_default_str();
    cmd->callback([options] { Run(*options); });
}

const CommandRegistrar registrar("30-watch", &setup);

}  // namespace
}  // namespace evtrace
