// Real-time trace sessions: the cost of TraceEvent (per call, Google
// Benchmark's own loop) and the named end-to-end workloads of
// etw_workloads.h (one iteration each; their figures are the counters).
// Runs in a machine root of its own under /tmp.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <w32rt/machine.h>

#include "bench_root.h"
#include "etw_workloads.h"

namespace {

using namespace etw_workloads;

std::string session_name() { return default_session_name(); }

// TraceEvent into a session nobody consumes: the cost of the call itself.
void BM_TraceEvent_NoConsumer(benchmark::State& state) {
    Run run(session_name(), 50, 4);
    if (!run.ok()) return state.SkipWithError(run.error().c_str());
    detail::Event ev;
    uint64_t n = 0;
    for (auto _ : state) {
        ev.set(0, n++, 0);
        benchmark::DoNotOptimize(TraceEvent(run.handle(), &ev.header));
    }
    state.SetItemsProcessed(int64_t(n));
}
BENCHMARK(BM_TraceEvent_NoConsumer);

// TraceEvent into a full ring: what a producer pays when its consumer is
// behind (refused and counted).
void BM_TraceEvent_RingFull(benchmark::State& state) {
    Run run(session_name(), 50, 4);
    if (!run.ok()) return state.SkipWithError(run.error().c_str());
    EVENT_TRACE_LOGFILEA lf;
    memset(&lf, 0, sizeof lf);
    std::string name = session_name();
    lf.LoggerName = name.data();
    lf.ProcessTraceMode = PROCESS_TRACE_MODE_REAL_TIME;
    TRACEHANDLE consumer = OpenTraceA(&lf);  // attached, never reading
    detail::Event ev;
    while (TraceEvent(run.handle(), &ev.header) == ERROR_SUCCESS) {
    }
    for (auto _ : state) benchmark::DoNotOptimize(TraceEvent(run.handle(), &ev.header));
    CloseTrace(consumer);
}
BENCHMARK(BM_TraceEvent_RingFull);

// The checks a malformed call costs before it is refused.
void BM_TraceEvent_InvalidHandle(benchmark::State& state) {
    detail::Event ev;
    for (auto _ : state) benchmark::DoNotOptimize(TraceEvent(0x4500000000000001ull, &ev.header));
}
BENCHMARK(BM_TraceEvent_InvalidHandle);

void report(benchmark::State& state, const Result& r) {
    if (r.values.empty()) return state.SkipWithError(r.note.c_str());
    for (const auto& [key, value] : r.values) state.counters[key] = value;
}

void BM_Workload_TraceEventCost1Consumer(benchmark::State& state) {
    for (auto _ : state) report(state, trace_event_cost(session_name()));
}
BENCHMARK(BM_Workload_TraceEventCost1Consumer)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_Workload_Throughput(benchmark::State& state) {
    for (auto _ : state) report(state, throughput(session_name(), int(state.range(0)), int(state.range(1))));
}
BENCHMARK(BM_Workload_Throughput)->Args({1, 1})->Args({2, 1})->Args({2, 2})->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_Workload_Latency10k(benchmark::State& state) {
    for (auto _ : state) report(state, latency(session_name(), int(state.range(0)), int(state.range(1))));
}
BENCHMARK(BM_Workload_Latency10k)->Args({1, 1})->Args({2, 2})->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_Workload_Loss100k(benchmark::State& state) {
    for (auto _ : state) report(state, loss(session_name(), int(state.range(0)), int(state.range(1))));
}
BENCHMARK(BM_Workload_Loss100k)->Args({1, 1})->Args({2, 2})->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_Workload_IdleConsumerCpu(benchmark::State& state) {
    for (auto _ : state) report(state, idle_cpu(session_name()));
}
BENCHMARK(BM_Workload_IdleConsumerCpu)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    BenchRoot root;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
