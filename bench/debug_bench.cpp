// Per-call costs of debugger output, with and without a viewer.
#include <atomic>
#include <memory>
#include <thread>

#include <benchmark/benchmark.h>
#include <windows.h>
#include <w32rt/debug_viewer.h>

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

}  // namespace

BENCHMARK_MAIN();
