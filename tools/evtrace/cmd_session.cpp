// evtrace session start|stop|status: the trace session through the library's
// controller.
#include <TraceApi.h>
#include <stdio.h>

#include <memory>
#include <string>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "command.h"

namespace evtrace {
namespace {

constexpr char kEngKey[] = "Software\\Vanta\\Wireless\\EvTrace\\Eng";

struct Properties {
    Properties() : block(CEvTrace::MakeTraceProperties1()) {}
    ~Properties() { CEvTrace::ReleaseTraceProperties(block); }
    Properties(const Properties&) = delete;
    Properties& operator=(const Properties&) = delete;
    EVENT_TRACE_PROPERTIES* block;
};

// Queries the session; the status of ControlTraceA.
ULONG QuerySession(Properties& properties) {
    if (properties.block == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    return ControlTraceA(0, EVT_SESSION_NAME, properties.block, EVENT_TRACE_CONTROL_QUERY);
}

// The handle published in the registry by the process that started the
// session, if there is one.
bool PublishedHandle(ULONG64* handle) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kEngKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
    DWORD size = sizeof *handle;
    LONG status = RegQueryValueExA(key, "Session", nullptr, nullptr, reinterpret_cast<BYTE*>(handle), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && size == sizeof *handle;
}

struct StartOptions {
    ULONG bufferKb = 0;  // 0: the library's own sizes
    ULONG buffers = 0;
};

const std::string kSession = "session \"" EVT_SESSION_NAME "\"";

// Starts the session with the sizes asked for, as the library would start
// it otherwise, and publishes its handle for processes that may not query
// it. False when another process started it first.
bool StartSized(const StartOptions& o) {
    Properties properties;
    if (properties.block == nullptr) Fail(exit_code::kFailed, kSession, "out of memory");
    if (o.bufferKb != 0) properties.block->BufferSize = o.bufferKb;
    if (o.buffers != 0) properties.block->MinimumBuffers = properties.block->MaximumBuffers = o.buffers;
    TRACEHANDLE handle = 0;
    ULONG status = StartTraceA(&handle, EVT_SESSION_NAME, properties.block);
    if (status == ERROR_ALREADY_EXISTS) return false;
    if (status != ERROR_SUCCESS) FailStatus(kSession, status);
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kEngKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) ==
        ERROR_SUCCESS) {
        RegSetValueExA(key, "Session", 0, REG_BINARY, reinterpret_cast<const BYTE*>(&handle), sizeof handle);
        RegCloseKey(key);
    }
    return true;
}

void Start(const StartOptions& o) {
    const bool sized = o.bufferKb != 0 || o.buffers != 0;
    if (sized) {
        const ULONG kb = o.bufferKb != 0 ? o.bufferKb : 50;
        const ULONG count = o.buffers != 0 ? o.buffers : 4;
        if (uint64_t(kb) * 1024 * count > (256ull << 20))
            Fail(exit_code::kUsage, "--buffer-kb and --buffers",
                 fmt::format("{} KB x {} buffers is more than the 256 MiB a consumer's ring may hold", kb, count));
        Properties current;
        ULONG status = QuerySession(current);
        if (status == ERROR_WMI_INSTANCE_NOT_FOUND) {
            StartSized(o);
        } else if (status != ERROR_SUCCESS) {
            FailStatus(kSession, status);
        }
        Properties now;
        if (QuerySession(now) == ERROR_SUCCESS &&
            ((o.bufferKb != 0 && now.block->BufferSize != o.bufferKb) ||
             (o.buffers != 0 && now.block->MaximumBuffers != o.buffers))) {
            Fail(exit_code::kFailed, kSession,
                 fmt::format("already runs with {} KB x {} buffers", now.block->BufferSize,
                             now.block->MaximumBuffers),
                 "stop it first (evtrace session stop) to start it with other sizes");
        }
    }
    CEvTraceController controller;
    LONG result = controller.EnableLogging(1);
    if (result != S_OK) Fail(exit_code::kFailed, kSession, "cannot be enabled: " + ResultText(result));
    Properties properties;
    ULONG status = QuerySession(properties);
    // The controller reports success also when no session could be had.
    if (status != ERROR_SUCCESS) FailStatus(kSession, status, "no session could be started");
    printf("\"%s\" running, handle %s, %lu KB x %lu buffers, control identifier enabled at level 255\n",
           EVT_SESSION_NAME, HandleText(properties.block->Wnode.HistoricalContext).c_str(),
           static_cast<unsigned long>(properties.block->BufferSize),
           static_cast<unsigned long>(properties.block->MaximumBuffers));
}

void Stop() {
    Properties properties;
    ULONG status = QuerySession(properties);
    if (status == ERROR_WMI_INSTANCE_NOT_FOUND)
        Fail(exit_code::kNotFound, kSession, "is not running: there is nothing to stop");
    if (status != ERROR_SUCCESS) FailStatus(kSession, status);
    CEvTraceController controller;
    LONG result = controller.EnableLogging(0);
    if (result != S_OK) Fail(exit_code::kFailed, kSession, "cannot be stopped: " + ResultText(result));
    printf("\"%s\" stopped\n", EVT_SESSION_NAME);
}

std::string Status(ULONG status) {
    return status == ERROR_WMI_INSTANCE_NOT_FOUND ? "not running" : SystemText(status);
}

void Show(bool json) {
    Properties properties;
    ULONG status = QuerySession(properties);
    ULONG64 published = 0;
    bool hasPublished = PublishedHandle(&published);
    if (json) {
        nlohmann::json out;
        out["session"] = EVT_SESSION_NAME;
        out["running"] = status == ERROR_SUCCESS;
        if (status != ERROR_SUCCESS) out["status"] = Status(status);
        if (hasPublished) out["published_handle"] = HandleText(published);
        if (status == ERROR_SUCCESS) {
            const EVENT_TRACE_PROPERTIES* p = properties.block;
            out["handle"] = HandleText(p->Wnode.HistoricalContext);
            out["buffer_kb"] = p->BufferSize;
            out["minimum_buffers"] = p->MinimumBuffers;
            out["maximum_buffers"] = p->MaximumBuffers;
            out["buffers"] = p->NumberOfBuffers;
            out["free_buffers"] = p->FreeBuffers;
            out["log_file_mode"] = p->LogFileMode;
            out["flush_timer"] = p->FlushTimer;
            out["events_lost"] = p->EventsLost;
            out["buffers_written"] = p->BuffersWritten;
            out["realtime_buffers_lost"] = p->RealTimeBuffersLost;
        }
        printf("%s\n", JsonLine(out).c_str());
    } else if (status == ERROR_SUCCESS) {
        const EVENT_TRACE_PROPERTIES* p = properties.block;
        printf("\"%s\": running\n", EVT_SESSION_NAME);
        printf("  handle              %s\n", HandleText(p->Wnode.HistoricalContext).c_str());
        printf("  buffers             %lu of %lu KB (min %lu, max %lu, free %lu)\n",
               static_cast<unsigned long>(p->NumberOfBuffers), static_cast<unsigned long>(p->BufferSize),
               static_cast<unsigned long>(p->MinimumBuffers), static_cast<unsigned long>(p->MaximumBuffers),
               static_cast<unsigned long>(p->FreeBuffers));
        printf("  mode                0x%lx, flush every %lu s\n", static_cast<unsigned long>(p->LogFileMode),
               static_cast<unsigned long>(p->FlushTimer));
        printf("  events lost         %lu (real-time buffers lost %lu)\n", static_cast<unsigned long>(p->EventsLost),
               static_cast<unsigned long>(p->RealTimeBuffersLost));
        printf("  buffers written     %lu\n", static_cast<unsigned long>(p->BuffersWritten));
    } else {
        printf("\"%s\": %s\n", EVT_SESSION_NAME, Status(status).c_str());
    }
    if (!json) {
        if (hasPublished)
            printf("  published handle    %s\n", HandleText(published).c_str());
        else
            printf("  published handle    none\n");
    }
    if (status == ERROR_ACCESS_DENIED) FailStatus(kSession, status);
    if (status != ERROR_SUCCESS) throw CommandError{"", ExitCodeFor(status)};
}

void setup(CLI::App& app) {
    CLI::App* session = app.add_subcommand("session", "Start, stop or show the trace session \"" EVT_SESSION_NAME "\"");
    session->require_subcommand(1);
    auto start_options = std::make_shared<StartOptions>();
    CLI::App* start =
        session->add_subcommand("start", "Start the session (when missing) and enable the providers on it");
    start->add_option("--buffer-kb", start_options->bufferKb, "Buffer size in KB (default: the library's, 50)")
        ->check(WholeNumber(2, 1024));
    start->add_option("--buffers", start_options->buffers,
                      "Buffers in each consumer's ring (default: the library's, 4); more lose fewer events")
        ->check(WholeNumber(2, 131072));
    start->callback([start_options] { Start(*start_options); });
    session->add_subcommand("stop", "Stop the session")->callback(&Stop);
    auto* status = session->add_subcommand("status", "Show the session's properties (exit 3 when not running)");
    auto json = std::make_shared<bool>(false);
    status->add_flag("--json", *json, "One JSON object");
    status->callback([json] { Show(*json); });
}

const CommandRegistrar registrar("20-session", &setup);

}  // namespace
}  // namespace evtrace
