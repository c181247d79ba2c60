// Costs of the runtime's kernel objects and waits.
//
//   BM_CrossProcessEventPingPong   two processes bounce two named auto-reset
//                                  events; reports the median one-way wake
//                                  latency (round trip / 2) in microseconds
//   BM_CrossThreadEventPingPong    the same between two threads of a process
//   BM_CriticalSectionUncontended  EnterCriticalSection + LeaveCriticalSection
//   BM_WaitOnSignalledEvent        WaitForSingleObject(signalled manual event, 0)
//   BM_SetEventNoWaiters, BM_MutexUncontended, BM_OpenNamedEvent, BM_TlsGetValue
//
// Runs in a machine root of its own, removed at exit.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <windows.h>
#include <w32rt/machine.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "bench_root.h"

namespace {

using Clock = std::chrono::steady_clock;

double median_us(std::vector<double>& samples_ns) {
    if (samples_ns.empty()) return 0;
    std::nth_element(samples_ns.begin(), samples_ns.begin() + samples_ns.size() / 2, samples_ns.end());
    return samples_ns[samples_ns.size() / 2] / 1000.0;
}

// One side of a ping-pong: waits for `in`, sets `out`, until `stop` is set.
void echo(const char* in_name, const char* out_name, const char* stop_name) {
    HANDLE in = OpenEventA(SYNCHRONIZE, FALSE, in_name);
    HANDLE out = OpenEventA(EVENT_MODIFY_STATE, FALSE, out_name);
    HANDLE stop = OpenEventA(SYNCHRONIZE, FALSE, stop_name);
    if (!in || !out || !stop) _exit(2);
    HANDLE both[2] = {stop, in};
    for (;;) {
        DWORD r = WaitForMultipleObjects(2, both, FALSE, INFINITE);
        if (r != WAIT_OBJECT_0 + 1) break;
        SetEvent(out);
    }
    CloseHandle(in);
    CloseHandle(out);
    CloseHandle(stop);
}

struct PingPong {
    HANDLE ping, pong, stop;
    PingPong(const std::string& tag) {
        ping = CreateEventA(nullptr, FALSE, FALSE, ("Global\\bench-ping-" + tag).c_str());
        pong = CreateEventA(nullptr, FALSE, FALSE, ("Global\\bench-pong-" + tag).c_str());
        stop = CreateEventA(nullptr, TRUE, FALSE, ("Global\\bench-stop-" + tag).c_str());
    }
    ~PingPong() {
        CloseHandle(ping);
        CloseHandle(pong);
        CloseHandle(stop);
    }
    void run(benchmark::State& state) {
        std::vector<double> samples;
        samples.reserve(100000);
        for (auto _ : state) {
            auto t0 = Clock::now();
            SetEvent(ping);
            if (WaitForSingleObject(pong, 10000) != WAIT_OBJECT_0) {
                state.SkipWithError("no answer");
                break;
            }
            double ns = double(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count());
            samples.push_back(ns);
            state.SetIterationTime(ns / 2e9);
        }
        SetEvent(stop);
        state.counters["median_one_way_us"] = median_us(samples) / 2;
    }
};

void BM_CrossProcessEventPingPong(benchmark::State& state) {
    PingPong p("process");
    pid_t child = fork();
    if (child == 0) {
        echo("Global\\bench-ping-process", "Global\\bench-pong-process", "Global\\bench-stop-process");
        _exit(0);
    }
    p.run(state);
    int status;
    waitpid(child, &status, 0);
}
BENCHMARK(BM_CrossProcessEventPingPong)->UseManualTime()->Iterations(20000);

void BM_CrossThreadEventPingPong(benchmark::State& state) {
    PingPong p("thread");
    std::thread t([] { echo("Global\\bench-ping-thread", "Global\\bench-pong-thread", "Global\\bench-stop-thread"); });
    p.run(state);
    t.join();
}
BENCHMARK(BM_CrossThreadEventPingPong)->UseManualTime()->Iterations(20000);

void BM_CriticalSectionUncontended(benchmark::State& state) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    for (auto _ : state) {
        EnterCriticalSection(&cs);
        LeaveCriticalSection(&cs);
    }
    DeleteCriticalSection(&cs);
}
BENCHMARK(BM_CriticalSectionUncontended);

void BM_WaitOnSignalledEvent(benchmark::State& state) {
    HANDLE e = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    for (auto _ : state) benchmark::DoNotOptimize(WaitForSingleObject(e, 0));
    CloseHandle(e);
}
BENCHMARK(BM_WaitOnSignalledEvent);

void BM_SetEventNoWaiters(benchmark::State& state) {
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    for (auto _ : state) {
        SetEvent(e);
        ResetEvent(e);
    }
    CloseHandle(e);
}
BENCHMARK(BM_SetEventNoWaiters);

void BM_MutexUncontended(benchmark::State& state) {
    HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
    for (auto _ : state) {
        WaitForSingleObject(m, INFINITE);
        ReleaseMutex(m);
    }
    CloseHandle(m);
}
BENCHMARK(BM_MutexUncontended);

void BM_OpenNamedEvent(benchmark::State& state) {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, "Global\\bench-named");
    for (auto _ : state) CloseHandle(OpenEventA(SYNCHRONIZE, FALSE, "Global\\bench-named"));
    CloseHandle(e);
}
BENCHMARK(BM_OpenNamedEvent);

void BM_TlsGetValue(benchmark::State& state) {
    DWORD slot = TlsAlloc();
    TlsSetValue(slot, &slot);
    for (auto _ : state) benchmark::DoNotOptimize(TlsGetValue(slot));
    TlsFree(slot);
}
BENCHMARK(BM_TlsGetValue);

}  // namespace

int main(int argc, char** argv) {
    BenchRoot root;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
