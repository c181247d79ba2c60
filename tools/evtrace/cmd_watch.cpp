// evtrace watch: a live view of the session through the consumer's client
// callback, one line (or one JSON object) per event.
//
// The watch follows the session: it says when it waits for the session to
// start, when the session stopped (and waits for it to come back, or ends
// with --exit-on-stop), and re-attaches when it does. It reports the events
// its consumer slot lost as they are lost and at the end, and exits 4 when
// any were. --save appends each event shown to a new log as it arrives.
#include <TraceApi.h>
#include <signal.h>
#include <stdio.h>
#include <strings.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "command.h"
#include "event_text.h"
#include "logfile.h"
#include "session_state.h"

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
    bool exitOnStop = false;
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
    std::unique_ptr<LogAppender> save;
    bool saveFailed = false;
};
Watch* g_watch = nullptr;
std::atomic<bool> g_interrupted{false};

bool Accepts(const Watch& w, const _VANTA_EVTRACE_DATA& r) {
    auto has = [](const auto& list, const auto& v) {
        return list.empty() || std::find(list.begin(), list.end(), v) != list.end();
    };
    if (!w.sources.empty() && std::none_of(w.sources.begin(), w.sources.end(), [&](const std::string& s) {
            return strncasecmp(s.c_str(), r.szSource, sizeof r.szSource) == 0;
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
    if (w->save && !w->saveFailed && !w->save->Append(*record)) {
        w->saveFailed = true;
        fprintf(stderr, "evtrace: %s: cannot be written: %s: saving stopped after %llu events (the log holds them)\n",
                Printable(w->save->path()).c_str(), w->save->error().c_str(), w->save->count());
    }
    if (++w->shown == w->limit) w->done.notify_all();
}

// Follows the session once: attaches when it runs and this process is not
// on it, and says what changed. False when the watch should end.
class Follower {
public:
    explicit Follower(const Options& options) : options_(options) {}

    bool Step() {
        SessionState state = QuerySession();
        if (!state.known) return true;  // cannot look: keep listening
        running_ = state.running;
        if (unsigned long long lost = losses_.Update(state)) {
            fprintf(stderr, "evtrace: %llu event%s lost (%llu in all): the watch fell behind and the session's "
                    "buffers for it were full\n", lost, lost == 1 ? "" : "s", losses_.total());
        }
        if (state.running && state.attached) {
            if (!attached_) fprintf(stderr, "evtrace: attached to \"%s\"\n", EVT_SESSION_NAME);
            attached_ = true;
            waiting_ = false;
            return true;
        }
        if (attached_) {
            attached_ = false;
            stopped_ = true;
            if (options_.exitOnStop) {
                fprintf(stderr, "evtrace: the session \"%s\" stopped\n", EVT_SESSION_NAME);
                return false;
            }
            fprintf(stderr, "evtrace: the session \"%s\" stopped; waiting for it to start again (Ctrl-C ends)\n",
                    EVT_SESSION_NAME);
            waiting_ = true;
        }
        if (!state.running) {
            if (options_.exitOnStop) return false;
            if (!waiting_) {
                fprintf(stderr, "evtrace: waiting for the session \"%s\" to start (Ctrl-C ends)\n", EVT_SESSION_NAME);
                waiting_ = true;
            }
            return true;
        }
        // Running and we are not on it: (re)start listening. A listener
        // still running delivers to the callback as it is.
        SetEvTraceCallback(&OnEvent);
        if (GetEvTraceListenerStatus() != 0) {
            Fail(exit_code::kDenied, "session \"" EVT_SESSION_NAME "\"", "access to the session was denied",
                 "consuming the session needs the rights of the machine root's owner");
        }
        // The listener is on the session once this returns (it waits for
        // that): say so now, so a stop right after is seen as one.
        state = QuerySession();
        if (state.running && state.attached) {
            fprintf(stderr, "evtrace: attached to \"%s\"\n", EVT_SESSION_NAME);
            attached_ = true;
            waiting_ = false;
        }
        return true;
    }

    unsigned long long lost() const { return losses_.total(); }
    // The session is not running at the last look: "stopped" when the
    // watch had been on it.
    bool gone() const { return !running_; }
    const char* gone_words() const { return stopped_ ? "stopped" : "is not running"; }

private:
    const Options& options_;
    LossCounter losses_;
    bool attached_ = false;
    bool waiting_ = false;
    bool stopped_ = false;
    bool running_ = true;
};

void Run(const Options& options) {
    auto watch = std::make_unique<Watch>();
    watch->sources = options.sources;
    for (const std::string& s : options.severities) watch->severities.push_back(ParseSeverity(s));
    for (const std::string& d : options.domains) watch->domains.push_back(ParseDomain(d));
    for (const std::string& c : options.codes) watch->codes.push_back(ParseCode(c));
    watch->json = options.json;
    watch->limit = options.count;
    // The log is checked and made before the watch starts: a bad path is
    // reported now, not after it.
    if (!options.save.empty()) watch->save = std::make_unique<LogAppender>(options.save, options.format == "csv");
    g_watch = watch.get();

    LONG result = EvtInitialize(3);
    if (result != S_OK) Fail(exit_code::kFailed, "the trace library", "cannot start: " + ResultText(result));
    struct Uninitialize {
        ~Uninitialize() {
            EvtUnInitialize();
            g_watch = nullptr;
        }
    } uninitialize;
    if (!options.noEnable) {
        result = EnableLogging(1);
        if (result != S_OK)
            Fail(exit_code::kFailed, "session \"" EVT_SESSION_NAME "\"", "cannot be started: " + ResultText(result));
    }
    signal(SIGINT, [](int) { g_interrupted = true; });
    signal(SIGTERM, [](int) { g_interrupted = true; });
    fprintf(stderr, "watching \"%s\"%s\n", EVT_SESSION_NAME, options.count ? "" : " (Ctrl-C to stop)");

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(options.seconds);
    Follower follower(options);
    bool following = follower.Step();
    auto nextLook = std::chrono::steady_clock::now();
    {
        std::unique_lock<std::mutex> guard(watch->lock);
        while (following && !g_interrupted && (watch->limit == 0 || watch->shown < watch->limit) &&
               (options.seconds <= 0 || std::chrono::steady_clock::now() < deadline)) {
            watch->done.wait_for(guard, std::chrono::milliseconds(100));
            if (std::chrono::steady_clock::now() >= nextLook) {
                guard.unlock();
                following = follower.Step();
                guard.lock();
                nextLook = std::chrono::steady_clock::now() + std::chrono::milliseconds(250);
            }
        }
    }
    // The last look before the listener goes, for the losses up to now.
    follower.Step();
    const unsigned long shown = watch->shown;
    const unsigned long long lost = follower.lost();
    bool saved = true;
    if (watch->save) {
        std::lock_guard<std::mutex> guard(watch->lock);
        saved = watch->save->Close() && !watch->saveFailed;
        fprintf(stderr, "%llu events saved to %s\n", watch->save->count(), Printable(watch->save->path()).c_str());
    }
    if (lost != 0) {
        Fail(exit_code::kIncomplete, "watch",
             fmt::format("{} event{} lost: the watch could not keep up with the session", lost, lost == 1 ? "" : "s"),
             "start the session with more buffers (evtrace session start --buffers N), or filter less");
    }
    if (!saved) {
        Fail(exit_code::kIncomplete, watch->save->path(),
             "not every event shown was saved: " + watch->save->error());
    }
    if (follower.gone() && !g_interrupted) {
        Fail(exit_code::kNotFound, "session \"" EVT_SESSION_NAME "\"",
             fmt::format("{}; {} event{} shown", follower.gone_words(), shown, shown == 1 ? "" : "s"),
             "start it with `evtrace session start`");
    }
    if (watch->limit != 0 && shown < watch->limit && !g_interrupted)
        Fail(exit_code::kIncomplete, "watch", fmt::format("{} of {} events seen", shown, watch->limit));
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
    cmd->add_option("--count", options->count, "Stop after this many events (exit 4 if fewer came)")
        ->check(WholeNumber(1, ULONG_MAX));
    cmd->add_option("--seconds", options->seconds, "Stop after this many seconds")->check(FiniteNumber(0));
    cmd->add_flag("--no-enable", options->noEnable, "Do not start and enable the session, only listen");
    cmd->add_flag("--exit-on-stop", options->exitOnStop,
                  "End when the session stops (exit 3), or at once when it is not running, instead of waiting");
    cmd->add_option("--save", options->save,
                    "Also append the events shown to this new log file as they arrive (never written over)");
    cmd->add_option("--format", options->format, "Format of --save: bin (binary event log) or csv")
        ->capture_default_str()
        ->check(CLI::IsMember({"bin", "csv"}));
    cmd->callback([options] { Run(*options); });
}

const CommandRegistrar registrar("30-watch", &setup);

}  // namespace
}  // namespace evtrace
