// evtrace emit ul LEVEL TEXT: a unified-log line of a level, as any
// component: the plain-text form (EvTraceString with the level's type 53,
// 54, 55, 59, 60 or 61) or, with --formatted, the formatted form
// (EvTraceFormatArgs, which sends 56, 57, 58, 63, 64 or 62 while the
// unified-log switch is set). With --count and --rate it is a load
// generator.
//
// Exit codes: 0 every line sent; 2 some were refused (the session's buffers
// were full, or no session); 1 bad arguments or no provider.
#include <TraceApi.h>
#include <stdio.h>
#include <strings.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include <fmt/format.h>

#include "alerts/LoggingLevels.h"
#include "command.h"

namespace evtrace {
namespace {

struct Options {
    std::string level;
    std::string text;
    std::string name = "evtrace";
    ULONG code = 0;
    bool formatted = false;
    unsigned long long count = 1;
    double rate = 0;
    bool retry = false;
    bool quiet = false;
};

LONG CallFormatArgs(ULONG handle, ULONG type, const char* text, ...) {
    va_list arguments;
    va_start(arguments, text);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const LONG result =
        EvTraceFormatArgs(handle, type, 0, nullptr, nullptr, 0, "%s", arguments, "evtrace.cpp", 0,
                          (ULONG64(now.dwHighDateTime) << 32) | now.dwLowDateTime, GetCurrentProcessId(),
                          GetCurrentThreadId());
    va_end(arguments);
    return result;
}

void Run(const Options& o) {
    if (o.rate < 0 || o.rate != o.rate) throw CommandError{"--rate is a number of lines per second, 0 or more"};
    ULONG type = 0;
    for (const auto& level : traceapi::kLevelBits)
        if (strcasecmp(o.level.c_str(), level.name) == 0) type = level.plainType;
    if (type == 0) {
        throw CommandError{fmt::format("unknown level \"{}\": one of ERROR, WARN, INFO, NOTICE, VERBOSE, DEBUG", o.level),
                           1};
    }
    EVT_PROVIDER_INFO info = {};
    o.name.copy(info.m_szInstanceName, sizeof info.m_szInstanceName - 1);
    ULONG handle = 0;
    const LONG registered = RegisterEvTrace(&handle, &info);
    if (registered != S_OK)
        throw CommandError{fmt::format("cannot register the provider \"{}\" (0x{:08x})", o.name, ULONG(registered))};
    if (o.formatted) {
        HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, EVT_UL_ENABLED_EVENT);
        if (event == nullptr || WaitForSingleObject(event, 0) == WAIT_TIMEOUT) {
            fprintf(stderr, "evtrace: the unified-log switch is off: formatted lines are not sent "
                            "(`evtrace unified on` with a running engine turns it on)\n");
        }
        if (event != nullptr) CloseHandle(event);
    }
    unsigned long long refused = 0;
    const auto started = std::chrono::steady_clock::now();
    for (unsigned long long n = 0; n < o.count; ++n) {
        if (o.rate > 0) {
            std::this_thread::sleep_until(started + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                        std::chrono::duration<double>(double(n) / o.rate)));
        }
        for (;;) {
            const LONG result = o.formatted ? CallFormatArgs(handle, type, o.text.c_str(), o.text.c_str())
                                            : EvTraceString(handle, type, o.code, o.text.c_str(), nullptr, nullptr, 0);
            if (result == S_OK) break;
            ++refused;
            if (!o.retry) break;
            std::this_thread::yield();
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    UnRegisterEvTrace(handle);
    if (!o.quiet && o.count > 1) {
        printf("sent %llu %s line(s) as \"%s\" in %.3f s%s\n", o.count, o.level.c_str(), o.name.c_str(), seconds,
               refused ? fmt::format(", {} write(s) refused{}", refused, o.retry ? " and tried again" : "").c_str()
                       : "");
    } else if (!o.quiet) {
        printf("%s\n", refused ? "refused" : "ok");
    }
    if (refused != 0 && !o.retry) throw CommandError{"", 2};
}

void setup(CLI::App& app) {
    CLI::App* emit = app.get_subcommand("emit");
    auto o = std::make_shared<Options>();
    CLI::App* ul = emit->add_subcommand("ul", "A unified-log line of a level, as any component");
    ul->add_option("level", o->level, "ERROR, WARN, INFO, NOTICE, VERBOSE or DEBUG")->required();
    ul->add_option("text", o->text, "The line's text")->required();
    ul->add_option("--name", o->name, "The component (provider instance name)")->capture_default_str();
    ul->add_option("--code", o->code, "Event code");
    ul->add_flag("--formatted", o->formatted, "The formatted form (EvTraceFormatArgs; needs the switch on)");
    ul->add_option("--count", o->count, "Number of lines")->capture_default_str();
    ul->add_option("--rate", o->rate, "Lines per second (0: as fast as possible)");
    ul->add_flag("--retry", o->retry, "Try a refused write again (the session's buffers were full)");
    ul->add_flag("--quiet,-q", o->quiet, "Print nothing; the exit code tells");
    ul->callback([o] { Run(*o); });
}

const CommandRegistrar registrar("31-emit-ul", &setup);

}  // namespace
}  // namespace evtrace
