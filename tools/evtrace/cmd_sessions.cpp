// evtrace sessions: list the root's trace sessions with their settings and
// statistics, or stop one by name.
#include <stdio.h>
#include <time.h>

#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <evntrace.h>
#include <w32rt/trace_sessions.h>

#include "command.h"

namespace evtrace {
namespace {

std::string guid_text(const GUID& g) {
    return fmt::format("{{{:08X}-{:04X}-{:04X}-{:02X}{:02X}-{:02X}{:02X}{:02X}{:02X}{:02X}{:02X}}}", g.Data1, g.Data2,
                       g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                       g.Data4[7]);
}

std::string time_text(uint64_t filetime) {
    if (filetime < 116444736000000000ull) return "-";
    time_t seconds = time_t((filetime - 116444736000000000ull) / 10000000);
    struct tm tm;
    gmtime_r(&seconds, &tm);
    char buf[32];
    strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return buf;
}

std::string mode_text(uint32_t mode) {
    std::string out;
    auto add = [&](uint32_t bit, const char* name) {
        if (!(mode & bit)) return;
        if (!out.empty()) out += ", ";
        out += name;
    };
    add(EVENT_TRACE_REAL_TIME_MODE, "real-time");
    add(EVENT_TRACE_FILE_MODE_SEQUENTIAL, "sequential");
    add(EVENT_TRACE_FILE_MODE_CIRCULAR, "circular");
    add(EVENT_TRACE_USE_PAGED_MEMORY, "paged memory");
    return fmt::format("{} (0x{:x})", out.empty() ? "none" : out, mode);
}

nlohmann::json to_json(const w32rt::TraceSessionInfo& s) {
    nlohmann::json consumers = nlohmann::json::array();
    for (const auto& c : s.consumers)
        consumers.push_back({{"pid", c.pid},
                             {"uid", c.uid},
                             {"alive", c.alive},
                             {"delivered", c.delivered},
                             {"lost", c.lost},
                             {"backlog_bytes", c.backlog_bytes}});
    nlohmann::json providers = nlohmann::json::array();
    for (const auto& p : s.providers)
        providers.push_back({{"guid", guid_text(p.guid)}, {"level", p.level}, {"flags", p.flags}});
    FILETIME started = {DWORD(s.start_time), DWORD(s.start_time >> 32)};
    return {{"name", JsonText(s.name)},
            {"handle", fmt::format("0x{:016x}", s.handle)},
            {"guid", guid_text(s.guid)},
            {"log_file_mode", s.log_file_mode},
            {"buffer_size_kb", s.buffer_size_kb},
            {"minimum_buffers", s.minimum_buffers},
            {"maximum_buffers", s.maximum_buffers},
            {"free_buffers", s.free_buffers},
            {"flush_timer", s.flush_timer},
            {"enable_flags", s.enable_flags},
            {"clock_type", s.clock_type},
            {"ring_bytes", s.ring_bytes},
            {"start_time", s.start_time != 0 ? IsoTime(started, false) : "-"},
            {"starter_pid", s.starter_pid},
            {"events_written", s.events_written},
            {"events_lost", s.events_lost},
            {"realtime_lost", s.realtime_lost},
            {"consumers", consumers},
            {"providers", providers}};
}

void print(const w32rt::TraceSessionInfo& s) {
    fmt::print("{}\n", Printable(s.name));
    fmt::print("  handle               0x{:016x}\n", s.handle);
    fmt::print("  mode                 {}\n", mode_text(s.log_file_mode));
    fmt::print("  buffer size          {} KB\n", s.buffer_size_kb);
    fmt::print("  buffers              {} (minimum {}, maximum {}), {} free\n", s.maximum_buffers, s.minimum_buffers,
               s.maximum_buffers, s.free_buffers);
    fmt::print("  flush timer          {} s\n", s.flush_timer);
    fmt::print("  enable flags         0x{:x}\n", s.enable_flags);
    fmt::print("  started              {} by process {}\n", time_text(s.start_time), s.starter_pid);
    fmt::print("  events written       {}\n", s.events_written);
    fmt::print("  events lost          {}\n", s.events_lost);
    fmt::print("  real-time lost       {}\n", s.realtime_lost);
    fmt::print("  consumers            {}\n", s.consumers.size());
    for (const auto& c : s.consumers)
        fmt::print("    process {:<8} {} delivered {}, lost {}, backlog {} bytes\n", c.pid, c.alive ? "running" : "gone   ",
                   c.delivered, c.lost, c.backlog_bytes);
    fmt::print("  enabled providers    {}\n", s.providers.size());
    for (const auto& p : s.providers)
        fmt::print("    {} level {} flags 0x{:08x}\n", guid_text(p.guid), p.level, p.flags);
}

void list(bool json) {
    std::vector<w32rt::TraceSessionInfo> sessions;
    if (!w32rt::list_trace_sessions(&sessions))
        FailStatus("trace sessions", GetLastError());
    if (json) {
        nlohmann::json out = nlohmann::json::array();
        for (const auto& s : sessions) out.push_back(to_json(s));
        fmt::print("{}\n", JsonPretty(out));
        return;
    }
    if (sessions.empty()) {
        fmt::print("No trace sessions are running.\n");
        return;
    }
    for (size_t i = 0; i < sessions.size(); ++i) {
        if (i) fmt::print("\n");
        print(sessions[i]);
    }
}

void stop(const std::string& name, bool json) {
    std::vector<unsigned char> block(sizeof(EVENT_TRACE_PROPERTIES) + 1025, 0);
    auto* p = reinterpret_cast<EVENT_TRACE_PROPERTIES*>(block.data());
    p->Wnode.BufferSize = ULONG(block.size());
    p->LoggerNameOffset = sizeof(EVENT_TRACE_PROPERTIES);
    ULONG rc = ControlTraceA(0, name.c_str(), p, EVENT_TRACE_CONTROL_STOP);
    if (rc == ERROR_WMI_INSTANCE_NOT_FOUND)
        Fail(exit_code::kNotFound, "trace session \"" + name + "\"", "is not running", "`evtrace sessions` lists them");
    if (rc == ERROR_ACCESS_DENIED) FailStatus("trace session \"" + name + "\"", rc);
    if (rc != ERROR_SUCCESS && rc != ERROR_MORE_DATA)
        FailStatus("trace session \"" + name + "\"", rc);
    // The name as the session spelled it.
    std::string stopped =
        rc == ERROR_SUCCESS ? std::string(reinterpret_cast<const char*>(block.data() + p->LoggerNameOffset)) : name;
    if (json) {
        fmt::print("{}\n", JsonPretty(nlohmann::json{{"stopped", JsonText(stopped)},
                                                     {"events_written", p->BuffersWritten},
                                                     {"events_lost", p->EventsLost},
                                                     {"realtime_lost", p->RealTimeBuffersLost}}));
    } else {
        fmt::print("Stopped \"{}\": {} events written, {} lost, {} real-time lost.\n", Printable(stopped),
                   p->BuffersWritten, p->EventsLost, p->RealTimeBuffersLost);
    }
}

void setup(CLI::App& app) {
    CLI::App* sessions = app.add_subcommand("sessions", "List the trace sessions of the root, or stop one");
    auto json = std::make_shared<bool>(false);
    sessions->add_flag("--json", *json, "Print JSON");
    auto name = std::make_shared<std::string>();
    CLI::App* stop_cmd = sessions->add_subcommand("stop", "Stop a trace session by name");
    stop_cmd->add_option("name", *name, "Session name (case-insensitive)")->required();
    stop_cmd->add_flag("--json", *json, "Print JSON");
    stop_cmd->callback([name, json] { stop(*name, *json); });
    sessions->callback([sessions, json] {
        if (sessions->get_subcommands().empty()) list(*json);
    });
}

const CommandRegistrar registrar("40-sessions", &setup);

}  // namespace
}  // namespace evtrace
