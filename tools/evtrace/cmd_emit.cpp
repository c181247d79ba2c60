// evtrace emit: registers a provider and sends events through every emitter
// of the library; with --count and --rate it is a load generator that
// reports what it sent.
#include <TraceApi.h>
#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "command.h"
#include "emit_values.h"
#include "output_file.h"
#include "session_state.h"

namespace evtrace {
namespace {

struct Options {
    std::string name = "evtrace";
    std::string user;
    std::string providerText = "evtrace emit";
    ULONG type = 51;
    ULONG code = 0;
    std::string stringA;
    std::string stringB;
    int flag = 0;
    unsigned long long count = 1;
    double rate = 0;
    bool quiet = false;
    bool switchOn = false;

    // Kind-specific.
    std::string text;
    std::string format;
    std::vector<std::string> args;
    std::string sourceFile = "evtrace.cpp";
    ULONG line = 0;
    std::string hex;
    std::string dataFile;
    std::string logText;
    bool noSourceFile = false;
};

// Calls call(a...) with the values as typed arguments, then empty strings
// up to Max: should an emitter read more arguments than the format's check
// counted, it reads a valid pointer, never past the list.
template <size_t Max, typename Call, typename... Args>
LONG Dispatch(const std::vector<Value>& values, size_t index, Call& call, Args... args) {
    if constexpr (sizeof...(Args) >= Max) {
        return call(args...);
    } else {
        if (index >= values.size()) return Dispatch<Max>(values, index + 1, call, args..., "");
        const Value& value = values[index];
        switch (value.kind) {
            case Value::Integer: return Dispatch<Max>(values, index + 1, call, args..., value.integer);
            case Value::Real: return Dispatch<Max>(values, index + 1, call, args..., value.real);
            default: return Dispatch<Max>(values, index + 1, call, args..., value.text.c_str());
        }
    }
}

struct ArgsCall {
    ULONG handle;
    const Options* options;
    ULONG type;
    ULONG64 time;
};

LONG CallFormatArgs(const ArgsCall* call, ...) {
    va_list arguments;
    va_start(arguments, call);
    const Options& o = *call->options;
    LONG result = EvTraceFormatArgs(call->handle, call->type, o.code, o.stringA.c_str(), o.stringB.c_str(),
                                    static_cast<BYTE>(o.flag), o.format.c_str(), arguments, o.sourceFile.c_str(),
                                    o.line, call->time, GetCurrentProcessId(), GetCurrentThreadId());
    va_end(arguments);
    return result;
}

ULONG64 Now() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (static_cast<ULONG64>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

// The most data one event carries: the session refuses anything larger
// than its buffer (64 KB at most), with the fixed block besides.
constexpr size_t kMaxCustomData = 64 * 1024;

std::vector<BYTE> CustomData(const Options& o) {
    if (!o.dataFile.empty()) {
        std::string bytes = ReadInputFile(o.dataFile, kMaxCustomData);
        return std::vector<BYTE>(bytes.begin(), bytes.end());
    }
    std::vector<BYTE> bytes;
    std::string digits;
    for (char c : o.hex)
        if (isxdigit(static_cast<unsigned char>(c)))
            digits += c;
        else if (c != ' ' && c != ':' && c != '-')
            Fail(exit_code::kUsage, "--hex \"" + o.hex + "\"", "not hexadecimal", "give byte values such as 0a:1b:2c");
    if (digits.size() % 2 != 0) Fail(exit_code::kUsage, "--hex", "an odd number of hex digits", "two digits per byte");
    if (digits.size() / 2 > kMaxCustomData)
        Fail(exit_code::kUsage, "--hex", fmt::format("more than {} bytes", kMaxCustomData));
    for (size_t i = 0; i < digits.size(); i += 2)
        bytes.push_back(static_cast<BYTE>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return bytes;
}

// The unified-log emitters send nothing while the switch is off: turn it on
// when asked, else say so and send nothing.
void CheckSwitch(const Options& o, ULONG handle) {
    HANDLE event = OpenEventA(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, "Global\\UL_ENABLED_EVENT");
    if (event == nullptr) return;
    bool off = false;
    if (o.switchOn)
        SetEvent(event);
    else
        off = WaitForSingleObject(event, 0) == WAIT_TIMEOUT;
    CloseHandle(event);
    if (off) {
        UnRegisterEvTrace(handle);
        Fail(exit_code::kIncomplete, "unified-log switch", "is off: nothing was sent",
             "--ul-on turns it on first (or a host turns it on through the registry)");
    }
}

// An emitter's result in words. E_FAIL is how they report a write the
// session refused.
std::string Outcome(LONG result) {
    if (result == S_OK) return "sent";
    if (result == E_FAIL) return "refused by the session: buffers full, event too large or session gone (E_FAIL)";
    return ResultText(result);
}

void Run(const std::string& kind, const Options& o) {
    EVT_PROVIDER_INFO info = {};
    o.name.copy(info.m_szInstanceName, sizeof info.m_szInstanceName - 1);
    o.user.copy(info.m_szUserName, sizeof info.m_szUserName - 1);
    o.providerText.copy(info.m_szProviderText, sizeof info.m_szProviderText - 1);
    // Everything typed is checked before the provider registers.
    std::vector<Value> values;
    if (kind == "format") values = ValuesForFormat(o.format, Dialect::kCompact, o.args);
    if (kind == "args") values = ValuesForFormat(o.format, Dialect::kPrintf, o.args);
    std::vector<BYTE> data;
    if (kind == "custom" || kind == "stamped") data = CustomData(o);
    const std::string session = "session \"" EVT_SESSION_NAME "\"";
    // A provider would start a missing session on its own, and the event
    // would go nowhere: say so instead.
    SessionState before = QuerySession();
    if (before.known && !before.running)
        Fail(exit_code::kNotFound, session, "is not running: nothing was sent",
             "start it with `evtrace session start`");

    ULONG handle = 0;
    LONG result = RegisterEvTrace(&handle, &info);
    if (result != S_OK)
        Fail(exit_code::kFailed, "provider \"" + o.name + "\"", "cannot register: " + ResultText(result));
    if (kind == "args" || kind == "log") CheckSwitch(o, handle);
    const BYTE flag = static_cast<BYTE>(o.flag);
    const char* a = o.stringA.empty() ? nullptr : o.stringA.c_str();
    const char* b = o.stringB.empty() ? nullptr : o.stringB.c_str();

    auto emitOne = [&]() -> LONG {
        if (kind == "text") return EvTraceString(handle, o.type, o.code, o.text.c_str(), a, b, flag);
        if (kind == "start") return EvTraceStart(handle, o.code, o.text.c_str());
        if (kind == "format") {
            auto call = [&](auto... args) {
                return EvTraceFormat(handle, o.type, o.code, a, b, flag, o.format.c_str(), args...);
            };
            return Dispatch<4>(values, 0, call);
        }
        if (kind == "args") {
            ArgsCall context{handle, &o, o.type, Now()};
            auto call = [&](auto... args) { return CallFormatArgs(&context, args...); };
            return Dispatch<6>(values, 0, call);
        }
        if (kind == "log") {
            return EvTraceCustomLog(handle, o.type, o.code, o.noSourceFile ? nullptr : o.sourceFile.c_str(), o.line,
                                    o.logText.c_str(), static_cast<ULONG>(o.logText.size()), a, b, flag, Now(),
                                    GetCurrentProcessId(), GetCurrentThreadId());
        }
        if (kind == "custom")
            return EvTraceCustom(handle, o.type, o.code, data.data(), static_cast<ULONG>(data.size()), a, b, flag);
        return EvTraceCustomTimeStamp(handle, o.type, o.code, data.data(), static_cast<ULONG>(data.size()), a, b, flag);
    };

    std::map<LONG, unsigned long long> results;
    auto started = std::chrono::steady_clock::now();
    for (unsigned long long n = 0; n < o.count; ++n) {
        if (o.rate > 0) {
            auto due = started + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                     std::chrono::duration<double>(static_cast<double>(n) / o.rate));
            std::this_thread::sleep_until(due);
        }
        ++results[emitOne()];
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    UnRegisterEvTrace(handle);

    unsigned long long failed = 0;
    LONG firstFailure = S_OK;
    for (auto [code, number] : results) {
        if (code == S_OK) continue;
        failed += number;
        if (firstFailure == S_OK) firstFailure = code;
    }
    if (o.count == 1 && !o.quiet) {
        printf("%s\n", Outcome(results.begin()->first).c_str());
    } else if (!o.quiet) {
        printf("sent %llu %s event(s) as \"%s\" (provider %lu) in %.3f s: %.0f per second\n", o.count, kind.c_str(),
               Printable(o.name).c_str(), static_cast<unsigned long>(handle), seconds,
               seconds > 0 ? static_cast<double>(o.count) / seconds : 0.0);
        for (auto [code, number] : results) printf("  %-32s %llu\n", Outcome(code).c_str(), number);
    }
    if (failed != 0) {
        Fail(exit_code::kIncomplete, session,
             fmt::format("{} of {} event{} refused: {}", failed, o.count, o.count == 1 ? " was" : "s were",
                         Outcome(firstFailure)),
             firstFailure == E_FAIL ? "the session's buffers were full: start it with more (evtrace session start "
                                      "--buffers N), or lower --rate"
                                    : "");
    }
    // Looked at before sending: a consumer that ends once it has what it
    // waited for is no reason to say nobody listened.
    if (before.known && before.consumers == 0) {
        Fail(exit_code::kIncomplete, session, "has no consumer: what was sent went nowhere",
             "start a consumer first (evtrace watch, evtrace trace --raw, or the event engine)");
    }
}

void setup(CLI::App& app) {
    CLI::App* emit = app.add_subcommand("emit", "Register a provider and emit events (a load generator with --count)");
    emit->require_subcommand(1);
    auto o = std::make_shared<Options>();

    auto common = [o](CLI::App* kind) {
        kind->add_option("--name", o->name, "Instance name of the provider")->capture_default_str();
        kind->add_option("--user", o->user, "User name of the provider (empty: the caller's)");
        kind->add_option("--provider-text", o->providerText, "Provider text")->capture_default_str();
        kind->add_option("--code", o->code, "Event code (0x... for hex)");
        kind->add_option("--string-a", o->stringA, "First optional string");
        kind->add_option("--string-b", o->stringB, "Second optional string");
        kind->add_option("--flag", o->flag, "Flag byte")->check(CLI::Range(0, 255));
        kind->add_option("--count", o->count, "Number of events")->capture_default_str()->check(WholeNumber(1, ~0ull));
        kind->add_option("--rate", o->rate, "Events per second (0: as fast as possible)")->check(FiniteNumber(0));
        kind->add_flag("--quiet,-q", o->quiet, "Print nothing; the exit code tells (4: some were refused)");
    };
    // Every kind has its own default type; the options share one variable,
    // so the default is applied when the kind runs, not at set-up.
    auto types = std::make_shared<std::map<std::string, std::pair<CLI::Option*, ULONG>>>();
    auto typed = [o, types](CLI::App* kind, ULONG defaultType) {
        CLI::Option* option = kind->add_option("--type", o->type, fmt::format("Event type (default {})", defaultType));
        (*types)[kind->get_name()] = {option, defaultType};
    };
    auto run = [o, types](const char* kind) {
        return [o, types, kind] {
            auto found = types->find(kind);
            if (found != types->end() && found->second.first->count() == 0) o->type = found->second.second;
            Run(kind, *o);
        };
    };

    CLI::App* text = emit->add_subcommand("text", "A text (EvTraceString)");
    text->add_option("text", o->text, "The text")->required();
    common(text);
    typed(text, 51);
    text->callback(run("text"));

    CLI::App* start = emit->add_subcommand("start", "A start marker (EvTraceStart, type 66)");
    start->add_option("text", o->text, "The text")->required();
    common(start);
    start->callback(run("start"));

    CLI::App* format = emit->add_subcommand("format", "A compact formatted text (EvTraceFormat: %d %x %l %s, up to 4)");
    format->add_option("format", o->format, "The format")->required();
    format->add_option("args", o->args, "One value per conversion (a number for %d %x %l, a text for %s)");
    common(format);
    format->callback(run("format"));

    CLI::App* args = emit->add_subcommand("args", "A unified-log line with printf arguments (EvTraceFormatArgs)");
    args->add_option("format", o->format, "The format")->required();
    args->add_option("args", o->args, "One value per conversion, of the kind it takes (i:, f:, s: force one), up to 6");
    args->add_option("--source-file", o->sourceFile, "Source file name")->capture_default_str();
    args->add_option("--line", o->line, "Source line");
    args->add_flag("--ul-on", o->switchOn, "Turn the unified-log switch on first");
    common(args);
    typed(args, 53);
    args->callback(run("args"));

    CLI::App* log = emit->add_subcommand("log", "A finished unified-log line (EvTraceCustomLog)");
    log->add_option("text", o->logText, "The line")->required();
    log->add_option("--source-file", o->sourceFile, "Source file name")->capture_default_str();
    log->add_flag("--no-source-file", o->noSourceFile, "Send the text as raw bytes, without a log block");
    log->add_option("--line", o->line, "Source line");
    log->add_flag("--ul-on", o->switchOn, "Turn the unified-log switch on first");
    common(log);
    typed(log, 53);
    log->callback(run("log"));

    for (auto [name, help, defaultType] :
         {std::tuple{"custom", "Raw bytes (EvTraceCustom)", 51UL},
          std::tuple{"stamped", "Time-stamped raw bytes (EvTraceCustomTimeStamp; type 52 sets header type 52)",
                     52UL}}) {
        CLI::App* custom = emit->add_subcommand(name, help);
        auto* hex = custom->add_option("--hex", o->hex, "The bytes in hexadecimal (blanks and colons allowed)");
        auto* file = custom->add_option("--data-file", o->dataFile, "Take the bytes from a file");
        hex->excludes(file);
        common(custom);
        typed(custom, static_cast<ULONG>(defaultType));
        custom->callback(run(name));
    }
}

const CommandRegistrar registrar("30-emit", &setup);

}  // namespace
}  // namespace evtrace
