// evtrace trace --raw: a real-time consumer of the session that calls
// OpenTraceA and ProcessTrace directly and prints each event as it is on the
// wire: the header, the fixed block and the payload in hex and decoded.
#include <TraceApi.h>
#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "command.h"
#include "session_state.h"

namespace evtrace {
namespace {

constexpr ULONG kMagic = 0x55AA55AA;
constexpr size_t kFixed = 1312;

struct RawOptions {
    bool raw = false;
    bool json = false;
    unsigned long long count = 0;
    double timeout = 0;
    size_t hexBytes = 256;
};

RawOptions g_options;
TRACEHANDLE g_trace = INVALID_PROCESSTRACE_HANDLE;
std::atomic<unsigned long long> g_seen{0};
// The trace was closed here (count reached, time-out, signal), not ended by
// the session's stop.
std::atomic<bool> g_closedByUs{false};

ULONG Get32(const BYTE* at) {
    ULONG value;
    memcpy(&value, at, sizeof value);
    return value;
}
USHORT Get16(const BYTE* at) {
    USHORT value;
    memcpy(&value, at, sizeof value);
    return value;
}
ULONG64 Get64(const BYTE* at) {
    ULONG64 value;
    memcpy(&value, at, sizeof value);
    return value;
}

// A text field of the event, made valid for JSON (command.h).
std::string Field(const BYTE* at, size_t size) { return JsonField(reinterpret_cast<const char*>(at), size); }

// Names of the string table of the library, by id; the number when the
// table cannot be read.
std::string LibraryString(UINT id, unsigned number) {
    Dl_info info = {};
    if (dladdr(reinterpret_cast<void*>(&EvtInitialize), &info) != 0) {
        char text[64] = {};
        if (LoadStringA(static_cast<HINSTANCE>(info.dli_fbase), id, text, sizeof text) > 0) return text;
    }
    return std::to_string(number);
}

std::string DomainName(ULONG code) {
    static const UINT ids[16] = {112, 113, 114, 115, 116, 117, 118, 119, 120, 121, 122, 123, 125, 124, 127, 124};
    ULONG domain = EVT_CODE_DOMAIN(code);
    return LibraryString(ids[domain], domain);
}

std::string SeverityName(ULONG code) {
    static const UINT ids[4] = {111, 109, 108, 110};
    ULONG severity = EVT_CODE_SEVERITY(code);
    return LibraryString(ids[severity], severity);
}

std::string Guid(const GUID& g) {
    return fmt::format("{{{:08X}-{:04X}-{:04X}-{:02X}{:02X}-{:02X}{:02X}{:02X}{:02X}{:02X}{:02X}}}", g.Data1, g.Data2,
                       g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                       g.Data4[7]);
}

// Bytes as ASCII text: printable characters as they are, others escaped.
std::string ByteText(const BYTE* data, size_t size) {
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        BYTE c = data[i];
        if (c == '\\')
            text += "\\\\";
        else if (c == '\n')
            text += "\\n";
        else if (c == '\r')
            text += "\\r";
        else if (c == '\t')
            text += "\\t";
        else if (c >= 0x20 && c < 0x7F)
            text += static_cast<char>(c);
        else
            text += fmt::format("\\x{:02x}", c);
    }
    return text;
}

void HexDump(const BYTE* data, size_t size, size_t limit) {
    size_t shown = std::min(size, limit);
    for (size_t row = 0; row < shown; row += 16) {
        std::string hex, ascii;
        for (size_t i = row; i < row + 16; ++i) {
            if (i < shown) {
                hex += fmt::format("{:02x} ", data[i]);
                ascii += (data[i] >= 0x20 && data[i] < 0x7F) ? static_cast<char>(data[i]) : '.';
            } else {
                hex += "   ";
            }
        }
        printf("    %04zx  %s |%s|\n", row, hex.c_str(), ascii.c_str());
    }
    if (shown < size) printf("    ... %zu more bytes\n", size - shown);
}

// The payload decoded by its form; empty when no form fits.
nlohmann::json Decode(UCHAR classType, ULONG type, const BYTE* p, size_t size) {
    nlohmann::json out;
    if (size == kFixed && (Get32(p) == 1 || Get32(p) == 0)) {
        bool arguments = Get32(p) == 1;
        out["form"] = arguments ? "argument block" : "log block";
        if (arguments) {
            nlohmann::json items = nlohmann::json::array();
            size_t offset = 2;
            const BYTE* area = p + 4;
            for (int n = 0; n < area[1] && offset + 5 <= 1024; ++n) {
                BYTE kind = area[offset];
                USHORT itemSize = Get16(area + offset + 1);
                USHORT position = Get16(area + offset + 3);
                if (offset + 5 + itemSize > 1024) break;
                const BYTE* value = area + offset + 5;
                nlohmann::json item = {{"kind", kind}, {"size", itemSize}, {"position", position}};
                switch (kind) {
                    case 0: item["string"] = Field(value, itemSize); break;
                    case 1: item["char"] = std::string(1, static_cast<char>(value[0])); break;
                    case 2:
                    case 3: item["int"] = static_cast<LONG>(itemSize >= 4 ? Get32(value) : 0); break;
                    case 4: item["int64"] = itemSize >= 8 ? static_cast<long long>(Get64(value)) : 0; break;
                    case 5: {
                        double real = 0;
                        if (itemSize >= 8) memcpy(&real, value, 8);
                        item["double"] = real;
                        break;
                    }
                    default: break;
                }
                items.push_back(item);
                offset += 5 + itemSize;
            }
            out["items"] = items;
        } else {
            out["text"] = Field(p + 4, 1024);
        }
        out["file"] = Field(p + 1028, 260);
        out["line"] = Get32(p + 1288);
        out["time"] = Get64(p + 1296);
        out["process"] = Get32(p + 1304);
        out["thread"] = Get32(p + 1308);
        return out;
    }
    if (type == EVT_TYPE_UL_FMT_INFO && size >= 296) {
        ULONG count = Get32(p);
        size_t total = 0;
        for (ULONG n = 0; n < 4; ++n) total += Get32(p + 4 + 4 * n);
        if (count <= 4 && total + 296 == size) {
            out["form"] = "format block";
            out["format"] = Field(p + 36, 256);
            nlohmann::json args = nlohmann::json::array();
            size_t at = 292;
            for (ULONG n = 0; n < count; ++n) {
                ULONG argSize = Get32(p + 4 + 4 * n), kind = Get32(p + 20 + 4 * n);
                if (kind == 2 || argSize != 4)
                    args.push_back(JsonText(std::string_view(reinterpret_cast<const char*>(p + at), argSize)));
                else
                    args.push_back(Get32(p + at));
                at += argSize;
            }
            out["arguments"] = args;
            return out;
        }
    }
    if (classType == 52 && size >= 10) {
        out["form"] = "connection block";
        out["id"] = Get32(p);
        out["address"] = fmt::format("{:02x}:{:02x}:{:02x}:{:02x}:{:02x}:{:02x}", p[4], p[5], p[6], p[7], p[8], p[9]);
        return out;
    }
    // The printable form of at most the first 256 bytes; the hex dump (and
    // --hex-bytes) shows the rest.
    constexpr size_t kTextBytes = 256;
    out["form"] = "text or bytes";
    out["text"] = ByteText(p, std::min(size, kTextBytes)) + (size > kTextBytes ? "..." : "");
    return out;
}

void Print(unsigned long long number, const EVENT_TRACE_HEADER& h, const BYTE* data, size_t size) {
    FILETIME stamp = {static_cast<DWORD>(h.TimeStamp.QuadPart), static_cast<DWORD>(h.TimeStamp.QuadPart >> 32)};
    const std::string when = IsoTime(stamp, false);

    nlohmann::json out;
    out["n"] = number;
    out["header"] = {{"size", h.Size},         {"class_type", h.Class.Type}, {"header_type", h.HeaderType},
                     {"process", h.ProcessId}, {"thread", h.ThreadId},       {"time", when},
                     {"guid", Guid(h.Guid)},   {"flags", h.Flags},           {"data_length", size}};
    bool library = size >= kFixed + 8 && Get32(data) == kMagic;
    if (library) {
        ULONG code = Get32(data + 8), type = Get32(data + 12);
        out["fixed"] = {{"data_size", Get32(data + 4)},
                        {"code", code},
                        {"domain", DomainName(code)},
                        {"severity", SeverityName(code)},
                        {"number", EVT_CODE_NUMBER(code)},
                        {"type", type},
                        {"source", Field(data + 24, 256)},
                        {"user", Field(data + 280, 256)},
                        {"provider_text", Field(data + 536, 256)},
                        {"string_b", Field(data + 792, 256)},
                        {"string_a", Field(data + 1048, 256)},
                        {"flag", data[1304]}};
        size_t payload = size - kFixed - 8;
        out["payload"] = Decode(h.Class.Type, type, data + kFixed, payload);
        out["payload"]["length"] = payload;
    } else if (h.Class.Type == 10 && size > 40) {
        out["driver"] = {
            {"time", Get64(data + 20)}, {"code", Get32(data + 36)}, {"text", ByteText(data + 40, size - 40)}};
    }

    if (g_options.json) {
        printf("%s\n", JsonLine(out).c_str());
        return;
    }
    printf("#%llu %s size=%u class=%u pid=%lu tid=%lu guid=%s flags=0x%lx data=%zu\n", number, when.c_str(), h.Size,
           h.Class.Type, static_cast<unsigned long>(h.ProcessId), static_cast<unsigned long>(h.ThreadId),
           Guid(h.Guid).c_str(), static_cast<unsigned long>(h.Flags), size);
    if (!library) {
        if (out.contains("driver")) printf("  driver event: %s\n", JsonLine(out["driver"]).c_str());
        HexDump(data, size, g_options.hexBytes);
        return;
    }
    const auto& f = out["fixed"];
    auto text = [&](const char* key) { return Printable(f[key].get<std::string>()); };
    printf("  code=0x%08lx (%s, %s, number %lu) type=%lu data_size=%lu flag=0x%02x\n",
           static_cast<unsigned long>(f["code"].get<ULONG>()), text("domain").c_str(), text("severity").c_str(),
           static_cast<unsigned long>(f["number"].get<ULONG>()), static_cast<unsigned long>(f["type"].get<ULONG>()),
           static_cast<unsigned long>(f["data_size"].get<ULONG>()), f["flag"].get<unsigned>());
    printf("  source=\"%s\" user=\"%s\" provider=\"%s\"\n", text("source").c_str(), text("user").c_str(),
           text("provider_text").c_str());
    printf("  string_a=\"%s\" string_b=\"%s\"\n", text("string_a").c_str(), text("string_b").c_str());
    nlohmann::json decoded = out["payload"];
    size_t length = decoded["length"].get<size_t>();
    decoded.erase("length");
    if (decoded["form"] == "text or bytes") {
        printf("  payload %zu bytes: \"%s\"\n", length, decoded["text"].get<std::string>().c_str());
    } else {
        printf("  payload %zu bytes: %s\n", length, JsonLine(decoded).c_str());
    }
    HexDump(data + kFixed, length, g_options.hexBytes);
}

void WINAPI OnEvent(PEVENT_TRACE event) {
    if (event == nullptr) return;
    unsigned long long number = ++g_seen;
    const BYTE* data = static_cast<const BYTE*>(event->MofData);
    try {
        Print(number, event->Header, data, data ? event->MofLength : 0);
    } catch (const std::exception& e) {
        // Whatever an event holds, the consumer goes on.
        fprintf(stderr, "evtrace: event %llu cannot be shown: %s\n", number, e.what());
    }
    fflush(stdout);
    if (g_options.count != 0 && number >= g_options.count) {
        g_closedByUs = true;
        CloseTrace(g_trace);
    }
}

// Reports the losses of this process's consumer slot as they grow.
void LookAtLosses(LossCounter* losses) {
    SessionState state = QuerySession();
    if (unsigned long long lost = losses->Update(state)) {
        fprintf(stderr, "evtrace: %llu event%s lost (%llu in all): the consumer fell behind\n", lost,
                lost == 1 ? "" : "s", losses->total());
    }
}

void Run() {
    if (!g_options.raw) Fail(exit_code::kUsage, "trace", "only --raw is available", "run evtrace trace --raw");
    // SIGINT and SIGTERM end the trace from a thread of their own: CloseTrace
    // lets ProcessTrace deliver what is queued and return.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    const std::string session = "session \"" EVT_SESSION_NAME "\"";
    EVENT_TRACE_LOGFILEA logfile = {};
    logfile.LoggerName = const_cast<LPSTR>(EVT_SESSION_NAME);
    logfile.ProcessTraceMode = PROCESS_TRACE_MODE_REAL_TIME;
    logfile.EventCallback = &OnEvent;
    g_trace = OpenTraceA(&logfile);
    if (g_trace == INVALID_PROCESSTRACE_HANDLE) {
        DWORD status = GetLastError();
        Fail(ExitCodeFor(status), session, "cannot be listened to: " + AttachFailure(status));
    }

    LossCounter losses;
    std::mutex lossLock;
    std::atomic<bool> done{false};
    std::thread stopper([&] {
        timespec step = {0, 100 * 1000 * 1000};
        auto started = std::chrono::steady_clock::now();
        for (int tick = 1; !done; ++tick) {
            if (sigtimedwait(&stopSignals, nullptr, &step) > 0) break;
            if (g_options.timeout > 0 &&
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() >= g_options.timeout)
                break;
            if (tick % 10 == 0) {
                std::lock_guard<std::mutex> guard(lossLock);
                LookAtLosses(&losses);
            }
        }
        if (!done) {
            // The last look while the slot is still there.
            {
                std::lock_guard<std::mutex> guard(lossLock);
                LookAtLosses(&losses);
            }
            g_closedByUs = true;
            CloseTrace(g_trace);
        }
    });
    // Standard error: the JSON stream on standard output stays pure.
    fprintf(stderr, "evtrace: listening to \"%s\" (Ctrl-C ends)\n", EVT_SESSION_NAME);
    ULONG status = ProcessTrace(&g_trace, 1, nullptr, nullptr);
    done = true;
    stopper.join();
    const unsigned long long seen = g_seen.load();
    fprintf(stderr, "evtrace: %llu event(s)\n", seen);
    if (status != ERROR_SUCCESS && status != ERROR_CANCELLED) {
        Fail(ExitCodeFor(status), session,
             status == ERROR_WMI_INSTANCE_NOT_FOUND ? "is not running"
                                                    : "cannot be listened to: " + AttachFailure(status),
             status == ERROR_WMI_INSTANCE_NOT_FOUND ? "start it with `evtrace session start`" : "");
    }
    if (losses.total() != 0) {
        Fail(exit_code::kIncomplete, "trace",
             fmt::format("{} event{} lost: the consumer could not keep up with the session", losses.total(),
                         losses.total() == 1 ? "" : "s"),
             "start the session with more buffers (evtrace session start --buffers N)");
    }
    if (!g_closedByUs) Fail(exit_code::kNotFound, session, fmt::format("stopped after {} events", seen));
    if (g_options.count != 0 && seen < g_options.count)
        Fail(exit_code::kIncomplete, "trace", fmt::format("{} of {} events seen", seen, g_options.count));
}

void setup(CLI::App& app) {
    CLI::App* trace = app.add_subcommand("trace", "Consume the session in real time and print each event");
    trace->add_flag("--raw", g_options.raw, "Print events as they are on the wire (header, fixed block, payload)")
        ->required();
    trace->add_flag("--json", g_options.json, "One JSON object per event");
    trace->add_option("--count", g_options.count, "Stop after this many events (exit 4 if fewer came)")
        ->check(WholeNumber(1, ~0ull));
    trace->add_option("--timeout", g_options.timeout, "Stop after this many seconds")->check(FiniteNumber(0));
    trace->add_option("--hex-bytes", g_options.hexBytes, "Payload bytes to dump in hex")
        ->capture_default_str()
        ->check(WholeNumber(0, 1u << 20));
    trace->callback(&Run);
}

const CommandRegistrar registrar("50-trace-raw", &setup);

}  // namespace
}  // namespace evtrace
