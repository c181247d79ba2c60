// evtrace engine: the suite's event engine. It starts and enables the trace
// session through the controller, keeps the newest events in a data queue,
// serves alerts through an alerter on a thread of its own (the alertable
// event "Global\VANTA_EVTRACE_ALERT_EVENT" is pulsed for each alert saved),
// answers live-snapshot requests, and runs in the foreground until SIGINT
// or SIGTERM, as services under systemd do.
//
// With a forward target (--forward, else the registry's "Target") every
// record the data queue takes also goes to a syslog collector (forward/).
//
// Exit codes: 0 stopped by a signal; 1 the engine could not start (the
// session, the events, the forward queue); 2 the forward target or its TLS
// files are not usable; 3 another engine runs on this machine root; 4 the
// session ended under the engine (stopped by someone else).
#include <TraceApi.h>
#include <signal.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <w32rt/machine.h>
#include <w32rt/trace_sessions.h>

#include "command.h"
#include "csvlog_settings.h"
#include "engine_names.h"
#include "engine_snapshot.h"
#include "forward/engine_forward.h"

namespace evtrace {
namespace {

constexpr int kExitStartFailed = 1;
constexpr int kExitAlreadyRunning = 3;
constexpr int kExitSessionEnded = 4;
constexpr auto kAttachTimeout = std::chrono::seconds(20);

struct Options {
    bool quiet = false;
    std::string forward;
};

// Lines for the people watching (the journal under systemd) and the same
// on the debugger output of the machine root.
void Say(const Options& options, const std::string& line) {
    OutputDebugStringA(("evtrace engine - " + line + "\n").c_str());
    if (!options.quiet) {
        printf("evtrace engine: %s\n", line.c_str());
        fflush(stdout);
    }
}

class Handle {
public:
    explicit Handle(HANDLE h = nullptr) : m_h(h) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (m_h != nullptr) CloseHandle(m_h);
    }
    HANDLE get() const { return m_h; }

private:
    HANDLE m_h;
};

SECURITY_ATTRIBUTES* OpenToEveryone() {
    static SECURITY_DESCRIPTOR descriptor;
    static SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor, FALSE};
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    return &attributes;
}

// The instance mutex, owned for the engine's life; a second engine on the
// root finds it. A killed engine's mutex goes with it.
HANDLE ClaimInstance() {
    HANDLE mutex = CreateMutexA(OpenToEveryone(), TRUE, kEngineInstanceMutex);
    if (mutex == nullptr) {
        throw CommandError{"cannot create the engine's instance mutex: " + SystemText(GetLastError()) +
                               "; check that EVTRACE_ROOT names a machine root you may use",
                           kExitStartFailed};
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        throw CommandError{fmt::format("another event engine is already running on the machine root {}: stop it "
                                       "first (SIGTERM, or systemctl stop evtrace-engine)",
                                       w32rt::machine_root()),
                           kExitAlreadyRunning};
    }
    return mutex;
}

void StartSession() {
    CEvTraceController controller;
    const LONG result = controller.EnableRealTimeSession();
    EVENT_TRACE_PROPERTIES* properties = CEvTrace::MakeTraceProperties1();
    const ULONG status = properties != nullptr
                             ? ControlTraceA(0, EVT_SESSION_NAME, properties, EVENT_TRACE_CONTROL_QUERY)
                             : ULONG(ERROR_NOT_ENOUGH_MEMORY);
    CEvTrace::ReleaseTraceProperties(properties);
    if (status == ERROR_ACCESS_DENIED) {
        throw CommandError{"cannot start the trace session \"" EVT_SESSION_NAME
                           "\": access denied; run the engine as the machine root's administrator (its owner) or "
                           "the superuser",
                           kExitStartFailed};
    }
    if (status != ERROR_SUCCESS || result != S_OK) {
        throw CommandError{fmt::format("cannot start and enable the trace session \"" EVT_SESSION_NAME
                                       "\" (status {}, result 0x{:08x}); see `evtrace sessions`",
                                       status, ULONG(result)),
                           kExitStartFailed};
    }
}

// True once this process is a consumer of the session, false when the
// serving ended first or the time ran out.
bool WaitAttached(HANDLE done) {
    const int32_t self = int32_t(getpid());
    const auto deadline = std::chrono::steady_clock::now() + kAttachTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (WaitForSingleObject(done, 0) == WAIT_OBJECT_0) return false;
        std::vector<w32rt::TraceSessionInfo> sessions;
        if (w32rt::list_trace_sessions(&sessions)) {
            for (const auto& session : sessions) {
                if (lstrcmpiA(session.name.c_str(), EVT_SESSION_NAME) != 0) continue;
                for (const auto& consumer : session.consumers)
                    if (consumer.pid == self && consumer.alive) return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// Waits for SIGINT or SIGTERM (blocked in every thread) or the end of the
// serving; the signal number, or 0 when the serving ended.
int WaitForStop(HANDLE done) {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    const struct timespec slice = {0, 200 * 1000 * 1000};
    for (;;) {
        const int signal = sigtimedwait(&stops, nullptr, &slice);
        if (signal > 0) return signal;
        if (WaitForSingleObject(done, 0) == WAIT_OBJECT_0) return 0;
    }
}

void Run(const Options& options) {
    // Blocked before the first thread is made: every thread inherits the
    // mask, and only WaitForStop takes the signals.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);

    const forward::EngineForwarding forwarding = forward::PlanForwarding(options.forward);
    for (const std::string& note : forwarding.notes) Say(options, note);
    Handle instance(ClaimInstance());
    StartSession();
    SnapshotServer snapshots;
    Handle alertable(CreateEventA(OpenToEveryone(), TRUE, FALSE, kEngineAlertEvent));
    Handle done(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (alertable.get() == nullptr || done.get() == nullptr)
        throw CommandError{"cannot create the engine's events: " + SystemText(GetLastError()),
                           kExitStartFailed};

    // The event data queue: its capacity comes from "MaxEvents". The
    // event-viewer CSV logs follow their registry settings (evtrace csvlog):
    // handed to the queue now and again whenever they change. The watcher
    // is made after the queue, so it stops before the queue goes.
    CEvDataQueue queue;
    csvlog::SettingsWatcher csvlogSettings;
    std::string csvlogError;
    if (!csvlogSettings.Start([&queue](const _VANTA_WEV_LOGGING_SETTINGS& s) { queue.LoggingSettingsChanged(s); },
                              &csvlogError))
        Say(options, "the CSV logs do not follow their settings: " + csvlogError);
    // Tapped into every data queue of the process from before the listening
    // starts until after it has ended.
    forward::EngineForwarder forwarder =
        forward::StartForwarding(forwarding, [&options](const std::string& line) { Say(options, line); });
    CEvTraceAlerter alerter(&queue);
    Say(options, fmt::format("started on {} (pid {}, queue of {} events)", w32rt::machine_root(), getpid(),
                             queue.m_dwMaxEvents));
    if (forwarder)
        Say(options, fmt::format("forwarding every record to {} (queue {}, at most {} MiB)",
                                 forwarding.config.target.Text(), forwarding.config.queueFolder,
                                 forwarding.config.maxQueueBytes >> 20));

    std::thread serving([&] { alerter.ServiceAlerts(0, alertable.get(), done.get()); });
    std::thread answering([&] { snapshots.Serve(queue); });
    int exitCode = 0;
    std::string failure;
    if (WaitAttached(done.get())) {
        Say(options, "serving alerts and snapshots of \"" EVT_SESSION_NAME "\"");
        const int signal = WaitForStop(done.get());
        if (signal != 0) {
            Say(options, fmt::format("stopping ({})", signal == SIGINT ? "SIGINT" : "SIGTERM"));
        } else {
            exitCode = kExitSessionEnded;
            failure = "the trace session \"" EVT_SESSION_NAME
                      "\" ended under the engine (stopped by someone else?): start the engine again";
        }
    } else {
        exitCode = kExitStartFailed;
        failure = GetEvTraceListenerStatus() != 0
                      ? "the session refused the engine as a listener (access denied): run it as the machine "
                        "root's administrator"
                      : "the engine could not listen to the session \"" EVT_SESSION_NAME
                        "\"; see `evtrace sessions`";
    }
    // A stop that comes before the listening has begun is taken by no one:
    // it is repeated until the done event says the listening has ended.
    while (WaitForSingleObject(done.get(), 0) != WAIT_OBJECT_0) {
        alerter.StopAlerts();
        WaitForSingleObject(done.get(), 100);
    }
    serving.join();
    forwarder.reset();
    snapshots.Stop();
    answering.join();
    if (exitCode != 0) throw CommandError{failure, exitCode};
    Say(options, "stopped");
}

void setup(CLI::App& app) {
    auto options = std::make_shared<Options>();
    CLI::App* cmd = app.add_subcommand(
        "engine", "Run the event engine in the foreground until SIGINT or SIGTERM: session, data queue, alerts, "
                  "snapshots");
    cmd->footer(
        "The engine starts and enables \"" EVT_SESSION_NAME
        "\", keeps the newest events (\"MaxEvents\"), writes the event-viewer CSV logs as their settings say (evtrace csvlog), saves alerts to the console user's alert history and pulses "
        "Global\\VANTA_EVTRACE_ALERT_EVENT for each, and writes live snapshots to \"SnapShotFile\".\n"
        "With --forward (or the registry's \"Target\" under " + std::string(forward::kKeyDisplay) +
        ") every record also goes to a syslog collector; records wait in a queue below the machine root while "
        "it is away (evtrace forward status).\n"
        "Exit codes: 0 stopped by a signal; 1 could not start (session, events, forward queue); 2 the forward "
        "target or its TLS files are not usable; 3 another engine runs on this machine root; 4 the session ended "
        "under the engine.");
    cmd->add_flag("--quiet,-q", options->quiet, "Print nothing; the debugger output still tells");
    cmd->add_option("--forward", options->forward,
                    "Forward every record to a syslog collector: tcp://HOST:PORT or tls://HOST:PORT (RFC 5424 "
                    "over RFC 6587 octet counting); default: the registry's \"Target\"");
    cmd->callback([options] { Run(*options); });
}

const CommandRegistrar registrar("40-engine", &setup);

}  // namespace
}  // namespace evtrace
