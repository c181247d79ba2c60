// Per-call costs of the host services: debugger output with and without a
// viewer, system message texts, the user's name and preferred languages.
#include <stdlib.h>

#include <atomic>
#include <string>
#include <thread>

#include <benchmark/benchmark.h>
#include <windows.h>
#include <w32rt/debug_viewer.h>
#include <w32rt/machine.h>

#include "bench_root.h"

namespace {

BenchRoot& bench_root() {
    static BenchRoot root;
    return root;
}

// Nobody listens: the text costs a check of the shared flag.
void BM_OutputDebugString_NoViewer(benchmark::State& state) {
    bench_root();
    OutputDebugStringA("warm up\n");
    for (auto _ : state) OutputDebugStringA("CEvtProviderInfoMap::RegisterEvTrace - called for Bench\n");
}
BENCHMARK(BM_OutputDebugString_NoViewer);

// A viewer drains the ring on another thread while this one sends; texts
// that find the ring full are dropped, never waited for.
void BM_OutputDebugString_ViewerAttached(benchmark::State& state) {
    bench_root();
    std::unique_ptr<w32rt::DebugViewer> viewer = w32rt::DebugViewer::attach();
    if (!viewer) {
        state.SkipWithError("cannot attach a viewer");
        return;
    }
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> received{0};
    std::thread drain([&] {
        while (!stop.load()) received += viewer->receive(10).size();
    });
    uint64_t lost_before = viewer->lost();
    for (auto _ : state) OutputDebugStringA("AddProviderInfo - enter\n");
    stop.store(true);
    drain.join();
    received += viewer->receive(0).size();
    state.counters["delivered"] = double(received.load());
    state.counters["dropped"] = double(viewer->lost() - lost_before);
}
BENCHMARK(BM_OutputDebugString_ViewerAttached)->UseRealTime();

void BM_FormatMessage_System(benchmark::State& state) {
    char buf[256];
    for (auto _ : state) {
        DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                 ERROR_SHARING_VIOLATION, 0, buf, sizeof buf, nullptr);
        benchmark::DoNotOptimize(n);
    }
}
BENCHMARK(BM_FormatMessage_System);

void BM_GetUserName(benchmark::State& state) {
    char buf[257];
    for (auto _ : state) {
        DWORD size = sizeof buf;
        benchmark::DoNotOptimize(GetUserNameA(buf, &size));
    }
}
BENCHMARK(BM_GetUserName);

void BM_GetThreadPreferredUILanguages(benchmark::State& state) {
    char16_t buf[128];
    for (auto _ : state) {
        ULONG count = 0, size = 128;
        benchmark::DoNotOptimize(GetThreadPreferredUILanguages(MUI_LANGUAGE_ID | MUI_UI_FALLBACK, &count,
                                                               reinterpret_cast<PZZWSTR>(buf), &size));
    }
}
BENCHMARK(BM_GetThreadPreferredUILanguages);

}  // namespace

BENCHMARK_MAIN();
