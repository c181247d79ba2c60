// The unified log end to end: provider processes emit unified-log lines
// (EvTraceString, type 55, as the component "FleetDesk" whose level admits
// errors), an engine process (data queue and alerter, as `evtrace engine`)
// turns each into a line of UnifiedLogging\OrkanLog.log, rotating past
// 5 MiB; and the emitting call's cost in a provider with the engine
// attached and logging on.
//
// UnifiedLinesEndToEnd/P: P provider processes emit 400,000 lines in all
//   (100-character texts, 146-byte lines), a refused write tried again
//   after 20 us;
//   then this process emits one more; lines_per_second is the lines over
//   the span from the start to that last line's arrival in the log (its
//   tail is watched). lost_reports counts the
//   engine's reports of dropped lines (0: every line was written).
// EmitStringLoggingOn, EmitFormatArgsLoggingOn: one EvTraceString of type
//   55, or EvTraceFormatArgs("%s %d"), per iteration, this process the
//   provider; a write the session refuses (the engine is behind) is tried
//   again outside the timing.
#include <TraceApi.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>
#include <winreg.h>

#include <chrono>
#include <cstdarg>
#include <string>
#include <vector>

#include <w32rt/machine.h>

#include "bench_engine.h"
#include "bench_root.h"

namespace {

using bench_engine::Child;
using bench_engine::Engine;
using bench_engine::Finish;
using bench_engine::Start;

constexpr unsigned long kLines = 400000;
const std::string kText(100, 'u');

void SetValue(const char* key, const char* name, DWORD type, const void* data, DWORD size) {
    HKEY h = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr);
    RegSetValueExA(h, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(h);
}

struct Run {
    BenchRoot root;
    Run() {
        CEvTrace::s_hRTSession = 0;
        SetValue("SOFTWARE\\Vanta\\Wireless", "InstallDir", REG_SZ, "C:\\Suite\\", 10);
        const DWORD on = 1, errors = 0x01;
        SetValue("SOFTWARE\\Vanta\\Wireless\\UnifiedLogging", "EnableFlag", REG_DWORD, &on, 4);
        SetValue("SOFTWARE\\Vanta\\Wireless\\UnifiedLogging\\FleetDesk", "LogLevel", REG_DWORD, &errors, 4);
    }
    std::string Log(const char* name) const {
        return w32rt::to_posix_path(std::string("C:\\Suite\\UnifiedLogging\\") + name);
    }
};

// The provider role: `count` lines.
int RunProvider(unsigned long count) {
    EVT_PROVIDER_INFO info = {};
    strcpy(info.m_szInstanceName, "FleetDesk");
    ULONG handle = 0;
    if (RegisterEvTrace(&handle, &info) != S_OK) return 1;
    unsigned long refused = 0;
    // A refused write waits a moment: spinning would take the cores the
    // engine needs to catch up.
    for (unsigned long i = 0; i < count; ++i) {
        while (EvTraceString(handle, 55, 0, kText.c_str(), nullptr, nullptr, 0) != S_OK) {
            ++refused;
            usleep(20);
        }
    }
    printf("%lu\n", refused);
    UnRegisterEvTrace(handle);
    return 0;
}

// True when the file ends with the line of the text "last".
bool EndsWithLast(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return false;
    char tail[16] = {};
    const off_t size = lseek(fd, 0, SEEK_END);
    const ssize_t n = size >= 8 ? pread(fd, tail, 8, size - 8) : 0;
    close(fd);
    return n == 8 && memcmp(tail, "] last\r\n", 8) == 0;
}

void BM_UnifiedLinesEndToEnd(benchmark::State& state) {
    const unsigned long providers = (unsigned long)state.range(0);
    Run run;
    Engine engine;
    if (!engine.ok()) return state.SkipWithError("the engine did not start");
    EVT_PROVIDER_INFO info = {};
    strcpy(info.m_szInstanceName, "FleetDesk");
    ULONG marker = 0;
    if (RegisterEvTrace(&marker, &info) != S_OK) return state.SkipWithError("register");
    unsigned long refused = 0;
    double seconds = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        std::vector<Child> children;
        for (unsigned long p = 0; p < providers; ++p)
            children.push_back(Start({"--provider", std::to_string(kLines / providers)}));
        for (Child& child : children) {
            unsigned long r = 0;
            if (child.out == nullptr || fscanf(child.out, "%lu", &r) != 1) state.SkipWithError("provider");
            refused += r;
            Finish(child);
        }
        // After every provider's lines, one that ends them all.
        while (EvTraceString(marker, 55, 0, "last", nullptr, nullptr, 0) != S_OK) sched_yield();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!EndsWithLast(run.Log("OrkanLog.log")) && !EndsWithLast(run.Log("OrkanLog-Backup.log"))) {
            if (std::chrono::steady_clock::now() > deadline) return state.SkipWithError("the last line never came");
            usleep(200);
        }
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    state.counters["lines"] = double(kLines);
    state.counters["lines_per_second"] = seconds > 0 ? double(kLines) / seconds : 0;
    state.counters["refused_writes"] = double(refused);
    UnRegisterEvTrace(marker);
    state.counters["lost_reports"] = double(engine.Stop());
}
BENCHMARK(BM_UnifiedLinesEndToEnd)->Arg(1)->Arg(2)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

template <typename Emit>
void EmitLoggingOn(benchmark::State& state, Emit emit) {
    Run run;
    Engine engine;
    if (!engine.ok()) return state.SkipWithError("the engine did not start");
    EVT_PROVIDER_INFO info = {};
    strcpy(info.m_szInstanceName, "FleetDesk");
    ULONG handle = 0;
    if (RegisterEvTrace(&handle, &info) != S_OK) return state.SkipWithError("register");
    unsigned long refused = 0;
    for (auto _ : state) {
        if (emit(handle) != S_OK) {
            state.PauseTiming();
            ++refused;
            while (emit(handle) != S_OK) usleep(20);
            state.ResumeTiming();
        }
    }
    state.counters["refused"] = double(refused);
    UnRegisterEvTrace(handle);
    state.counters["lost_reports"] = double(engine.Stop());
}

void BM_EmitStringLoggingOn(benchmark::State& state) {
    EmitLoggingOn(state, [](ULONG handle) { return EvTraceString(handle, 55, 0, kText.c_str(), nullptr, nullptr, 0); });
}
BENCHMARK(BM_EmitStringLoggingOn);

LONG FormatArgs(ULONG handle, ...) {
    va_list arguments;
    va_start(arguments, handle);
    const LONG result = EvTraceFormatArgs(handle, 55, 0, nullptr, nullptr, 0, "%s %d", arguments, "bench.cpp", 1, 0,
                                          GetCurrentProcessId(), GetCurrentThreadId());
    va_end(arguments);
    return result;
}

void BM_EmitFormatArgsLoggingOn(benchmark::State& state) {
    EmitLoggingOn(state, [](ULONG handle) { return FormatArgs(handle, "adapter", 42); });
}
BENCHMARK(BM_EmitFormatArgsLoggingOn);

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "--engine") == 0) return bench_engine::RunEngine();
    if (argc == 3 && strcmp(argv[1], "--provider") == 0) return RunProvider(strtoul(argv[2], nullptr, 10));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
