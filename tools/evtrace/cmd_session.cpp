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

std::string Status(ULONG status) {
    switch (status) {
        case ERROR_ACCESS_DENIED: return "access denied";
        case ERROR_WMI_INSTANCE_NOT_FOUND: return "not running";
        default: return fmt::format("status {}", status);
    }
}

void Start() {
    CEvTraceController controller;
    LONG result = controller.EnableLogging(1);
    if (result != S_OK)
        throw CommandError{fmt::format("cannot enable the session: 0x{:08x}", static_cast<ULONG>(result))};
    Properties properties;
    ULONG status = QuerySession(properties);
    if (status != ERROR_SUCCESS) {
        // The controller reports success also when no session could be had.
        throw CommandError{"no session could be started (" + Status(status) + ")"};
    }
    printf("\"%s\" running, handle 0x%llx, control identifier enabled at level 255\n", EVT_SESSION_NAME,
           static_cast<unsigned long long>(properties.block->Wnode.HistoricalContext));
}

void Stop() {
    CEvTraceController controller;
    LONG result = controller.EnableLogging(0);
    if (result != S_OK) throw CommandError{"no session to stop (or no right to stop it)"};
    printf("\"%s\" stopped\n", EVT_SESSION_NAME);
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
        if (hasPublished) out["published_handle"] = published;
        if (status == ERROR_SUCCESS) {
            const EVENT_TRACE_PROPERTIES* p = properties.block;
            out["handle"] = p->Wnode.HistoricalContext;
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
        printf("%s\n", out.dump().c_str());
    } else if (status == ERROR_SUCCESS) {
        const EVENT_TRACE_PROPERTIES* p = properties.block;
        printf("\"%s\": running\n", EVT_SESSION_NAME);
        printf("  handle              0x%llx\n", static_cast<unsigned long long>(p->Wnode.HistoricalContext));
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
            printf("  published handle    0x%llx\n", static_cast<unsigned long long>(published));
        else
            printf("  published handle    none\n");
    }
    if (status != ERROR_SUCCESS) throw CommandError{"", status == ERROR_WMI_INSTANCE_NOT_FOUND ? 3 : 1};
}

void setup(CLI::App& app) {
    CLI::App* session = app.add_subcommand("session", "Start, stop or show the trace session \"" EVT_SESSION_NAME "\"");
    session->require_subcommand(1);
    session->add_subcommand("start", "Start the session (when missing) and enable the providers on it")
        ->callback(&Start);
    session->add_subcommand("stop", "Stop the session")->callback(&Stop);
    auto* status = session->add_subcommand("status", "Show the session's properties (exit 3 when not running)");
    auto json = std::make_shared<bool>(false);
    status->add_flag("--json", *json, "One JSON object");
    status->callback([json] { Show(*json); });
}

const CommandRegistrar registrar("20-session", &setup);

}  // namespace
}  // namespace evtrace
