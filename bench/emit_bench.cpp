// Cost of emitting: EvTraceString with a 100-character text, and
// EvTraceFormatArgs with four arguments, into the running session while a
// real-time consumer is attached and draining it. Each call finds the
// provider, builds the 1,312-byte fixed block and the payload in one
// zero-filled heap block and makes one session write.
//
// Calls are timed in batches that the consumer's buffers can hold; a write
// refused for full buffers would be cheaper than a kept one, so the "kept"
// counter (the share of timed calls that were written) must read 1. "Time"
// and "per_call" are the emitting thread's CPU time, which a busy machine
// does not inflate; "wall_per_call_ns" is the wall clock's view.
//
// Run with --benchmark_repetitions=9 --benchmark_report_aggregates_only=true
// for medians.
#include <TraceApi.h>
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <mutex>
#include <string>
#include <thread>

#include <w32rt/machine.h>

#include "bench_root.h"

namespace {

class Setup {
public:
    Setup() {
        EvtInitialize(1);
        EnableLogging(1);
        EVT_PROVIDER_INFO info = {};
        std::string("bench").copy(info.m_szInstanceName, 255);
        std::string("bencher").copy(info.m_szUserName, 255);
        std::string("emit benchmark").copy(info.m_szProviderText, 255);
        RegisterEvTrace(&handle_, &info);
        HANDLE ulSwitch = OpenEventA(EVENT_MODIFY_STATE, FALSE, "Global\\UL_ENABLED_EVENT");
        if (ulSwitch != nullptr) {
            SetEvent(ulSwitch);
            CloseHandle(ulSwitch);
        }
    }

    // Attaches the consumer (once; later calls return at once).
    void AttachConsumer() {
        std::call_once(attached_, [this] { Attach(); });
    }

    ~Setup() {
        if (trace_ != 0) {
            CloseTrace(trace_);
            consumer_.join();
        }
        UnRegisterEvTrace(handle_);
        EnableLogging(0);
        EvtUnInitialize();
    }

    ULONG handle() const { return handle_; }

    static inline std::atomic<unsigned long long> received{0};

private:
    void Attach() {
        EVENT_TRACE_LOGFILEA logfile = {};
        logfile.LoggerName = const_cast<LPSTR>(EVT_SESSION_NAME);
        logfile.ProcessTraceMode = PROCESS_TRACE_MODE_REAL_TIME;
        logfile.EventCallback = [](PEVENT_TRACE) { received.fetch_add(1, std::memory_order_relaxed); };
        trace_ = OpenTraceA(&logfile);
        consumer_ = std::thread([this] { ProcessTrace(&trace_, 1, nullptr, nullptr); });
        // Wait until the consumer is attached: a probe gets through.
        while (received.load() == 0) {
            EvTraceString(handle_, 51, 0, "probe", nullptr, nullptr, 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        // Probes still in flight are counted before the runs start.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        received.store(0);
    }

    BenchRoot root_;  // first made, last removed
    ULONG handle_ = 0;
    TRACEHANDLE trace_ = 0;
    std::thread consumer_;
    std::once_flag attached_;
};

Setup* g_setup = nullptr;

const std::string kText(100, 't');

// Calls are timed in batches that fit the consumer's buffers (about 140
// events of this size); between batches, untimed, the consumer catches up.
// So every timed call is a kept write, and the figure is the producer's
// cost, not the consumer's speed.
constexpr int kBatch = 64;
std::atomic<unsigned long long> g_kept{0};

// The calling thread's CPU time: unlike the wall clock it does not count the
// time the thread waits for a core on a busy machine.
double ThreadSeconds() {
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Times batches by the thread's CPU time (the benchmark's "Time") and by the
// wall clock ("wall_per_call").
template <typename Emit>
void RunBatches(benchmark::State& state, Emit emit) {
    long long kept = 0, calls = 0;
    double wall = 0;
    for (auto _ : state) {
        auto started = std::chrono::steady_clock::now();
        double cpuStarted = ThreadSeconds();
        int keptHere = 0;
        for (int n = 0; n < kBatch; ++n) keptHere += emit() == S_OK;
        state.SetIterationTime(ThreadSeconds() - cpuStarted);
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        kept += keptHere;
        calls += kBatch;
        unsigned long long target = g_kept.fetch_add(keptHere) + keptHere;
        while (Setup::received.load(std::memory_order_relaxed) < target) std::this_thread::yield();
    }
    state.counters["kept"] =
        benchmark::Counter(static_cast<double>(kept) / static_cast<double>(calls), benchmark::Counter::kAvgThreads);
    // Per call of one thread: the batches' times over the calls made.
    state.counters["per_call"] =
        benchmark::Counter(static_cast<double>(calls), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["wall_per_call_ns"] =
        benchmark::Counter(wall * 1e9 / static_cast<double>(calls), benchmark::Counter::kAvgThreads);
}

// The library's own share: the same calls into the running session while
// no consumer is attached, so the session write stores nothing. Runs first.
void BM_EvTraceStringNoConsumer(benchmark::State& state) {
    ULONG handle = g_setup->handle();
    long long kept = 0;
    for (auto _ : state) kept += EvTraceString(handle, 51, 0x1001, kText.c_str(), nullptr, nullptr, 0) == S_OK;
    state.counters["kept"] = benchmark::Counter(static_cast<double>(kept) / static_cast<double>(state.iterations()),
                                                benchmark::Counter::kAvgThreads);
}

void BM_EvTraceString(benchmark::State& state) {
    g_setup->AttachConsumer();
    ULONG handle = g_setup->handle();
    RunBatches(state, [&] { return EvTraceString(handle, 51, 0x1001, kText.c_str(), nullptr, nullptr, 0); });
}

LONG FormatArgs(ULONG handle, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    LONG result =
        EvTraceFormatArgs(handle, 53, 0x1002, nullptr, nullptr, 0, format, arguments, "emit_bench.cpp", 99, 0, 1, 2);
    va_end(arguments);
    return result;
}

void BM_EvTraceFormatArgsNoConsumer(benchmark::State& state) {
    ULONG handle = g_setup->handle();
    long long kept = 0;
    for (auto _ : state) {
        kept += FormatArgs(handle, "id %d name %s ratio %5.2f total %lld", 42, "adapter-0", 0.75, 1234567890123LL) ==
                S_OK;
    }
    state.counters["kept"] = benchmark::Counter(static_cast<double>(kept) / static_cast<double>(state.iterations()),
                                                benchmark::Counter::kAvgThreads);
}

void BM_EvTraceFormatArgsFourArguments(benchmark::State& state) {
    g_setup->AttachConsumer();
    ULONG handle = g_setup->handle();
    RunBatches(state, [&] {
        return FormatArgs(handle, "id %d name %s ratio %5.2f total %lld", 42, "adapter-0", 0.75, 1234567890123LL);
    });
}

// Benchmarks run in this order: those without a consumer first.
BENCHMARK(BM_EvTraceStringNoConsumer)->Threads(1)->Threads(2);
BENCHMARK(BM_EvTraceFormatArgsNoConsumer)->Threads(1);
BENCHMARK(BM_EvTraceString)->Threads(1)->Threads(2)->UseManualTime();
BENCHMARK(BM_EvTraceFormatArgsFourArguments)->Threads(1)->UseManualTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    Setup setup;
    g_setup = &setup;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_setup = nullptr;
    return 0;
}
