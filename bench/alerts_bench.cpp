// Alerts end to end: a provider process raises alerts into the session, an
// engine process (the data queue and the alerter, as `evtrace engine` hosts
// them) saves each to the alert history and pulses its alertable event,
// and this process is the client waiting on that event.
//
// AlertsThroughput: the provider emits N alerts as fast as the session takes
//   them (a refused write is tried again); alerts_per_second is N over the
//   span from the first emit to the client's last wake-up, once the history
//   holds the last alert. Every alert is saved durably: the history (at most
//   6 records, 7,962 bytes) is written aside, flushed and renamed over the
//   old one.
// AlertWakeLatency: the provider emits one alert at a time: after each it
//   waits until the client has woken (an acknowledgement event) and then
//   another 2 ms. The latency is from just before EvTraceString to the
//   client's return from its wait (CLOCK_MONOTONIC in both processes), p50,
//   p99 and the largest.
//
// The machine root is a fresh folder under /tmp (a real file system: the
// flushes reach the disk).
#include <TraceApi.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <winreg.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <w32rt/trace_sessions.h>

#include "bench_engine.h"
#include "bench_root.h"

namespace {

using bench_engine::kAlertEvent;
constexpr char kAckEvent[] = "Global\\EVTRACE_BENCH_ALERT_ACK";
constexpr DWORD kAlertCode = 0x80000001;
constexpr char kDatabase[] = "2147483649||Connection lost||Move closer||The link was lost.||HLP_LOST|#|\n";

long long MonotonicNs() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

void SetString(const char* key, const char* name, const char* value) {
    HKEY h = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr);
    RegSetValueExA(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), DWORD(strlen(value) + 1));
    RegCloseKey(h);
}

void InstallDatabase() {
    CreateDirectoryA("C:\\Data", nullptr);
    HANDLE file = CreateFileA("C:\\Data\\TraceENU.bin", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, kDatabase, DWORD(strlen(kDatabase)), &written, nullptr);
    CloseHandle(file);
    SetString("Software\\Vanta\\Wireless\\EvTrace\\API\\", "DatabasePath", "C:\\Data\\");
    SetString("SOFTWARE\\Vanta\\Wireless", "NimbusBinDir", "C:\\Suite\\Bin");
}

// ---- The provider process --------------------------------------------------------

// Emits `count` alerts, "a0" ... and "last" for the final one; with a gap
// (microseconds) one at a time, each after the client's acknowledgement of
// the one before, printing each emit's monotonic time.
int RunProvider(unsigned long count, unsigned long gapUs) {
    HANDLE ack = gapUs > 0 ? OpenEventA(SYNCHRONIZE, FALSE, kAckEvent) : nullptr;
    EVT_PROVIDER_INFO info = {};
    strcpy(info.m_szInstanceName, "BenchAlerts");
    ULONG handle = 0;
    if (RegisterEvTrace(&handle, &info) != S_OK) return 1;
    std::vector<long long> times;
    times.reserve(count);
    unsigned long refused = 0;
    for (unsigned long i = 0; i < count; ++i) {
        const std::string tag = i + 1 == count ? "last" : "a" + std::to_string(i);
        if (gapUs > 0) usleep(useconds_t(gapUs));
        times.push_back(MonotonicNs());
        while (EvTraceString(handle, 51, kAlertCode, "alert", tag.c_str(), nullptr, 0) != S_OK) {
            ++refused;
            usleep(50);
        }
        if (ack != nullptr) WaitForSingleObject(ack, 2000);
    }
    if (ack != nullptr) CloseHandle(ack);
    printf("%lu\n", refused);
    for (long long t : times) printf("%lld\n", t);
    UnRegisterEvTrace(handle);
    return 0;
}

// ---- The client --------------------------------------------------------------------

using bench_engine::Child;
using bench_engine::Engine;
using bench_engine::Finish;
using bench_engine::Start;

// Wake-ups of the client: the monotonic time of each return from its wait.
class Client {
public:
    Client() : event_(OpenEventA(SYNCHRONIZE, FALSE, kAlertEvent)), ack_(CreateEventA(nullptr, FALSE, FALSE, kAckEvent)) {
        wakes_.reserve(1 << 16);
        thread_ = std::thread([this] {
            // Always in the wait but for the moment after a wake: a pulse
            // releases only the threads waiting then.
            const HANDLE waits[2] = {stopEvent_, event_};
            while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
                const long long now = MonotonicNs();
                SetEvent(ack_);
                std::lock_guard<std::mutex> lock(mutex_);
                wakes_.push_back(now);
            }
        });
    }
    ~Client() {
        SetEvent(stopEvent_);
        thread_.join();
        CloseHandle(stopEvent_);
        CloseHandle(event_);
        CloseHandle(ack_);
    }
    std::vector<long long> wakes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return wakes_;
    }
    // Waits until no wake-up came for `quiet` milliseconds.
    void Settle(int quiet) {
        size_t seen = ~size_t(0);
        while (seen != wakes().size()) {
            seen = wakes().size();
            usleep(useconds_t(quiet) * 1000);
        }
    }

private:
    HANDLE event_;
    HANDLE ack_;
    HANDLE stopEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::mutex mutex_;
    std::vector<long long> wakes_;
    std::thread thread_;
};

std::string NewestAlert() {
    _EVT_RECORD_LIST* list = nullptr;
    std::string newest;
    if (GetAlertHistoryList(&list) != S_OK || list == nullptr) return newest;
    if (list->count > 0) newest = list->records[0]->szStringA;
    for (DWORD i = 0; i < list->count; ++i) EvTraceDeleteMemory(list->records[i]);
    EvTraceDeleteArray(list->records);
    EvTraceDeleteMemory(list);
    return newest;
}

struct Run {
    BenchRoot root;
    Run() {
        setenv("EVTRACE_CONSOLE_USER", "none", 1);
        CEvTrace::s_hRTSession = 0;
        InstallDatabase();
        EvtInitialize(2);
    }
    ~Run() { EvtUnInitialize(); }
};

// One save of an alert to the history, in this process (a history of six).
void BM_SaveHistory(benchmark::State& state) {
    Run run;
    CEvTraceAlerter alerter;
    std::vector<uint8_t> data(1312 + 8, 0);
    const uint32_t head[4] = {0x55AA55AA, 1312, kAlertCode, 51};
    memcpy(data.data(), head, sizeof head);
    EVENT_TRACE event = {};
    event.MofData = data.data();
    event.MofLength = ULONG(data.size());
    for (auto _ : state) {
        event.Header.TimeStamp.QuadPart++;
        alerter.SaveHistory(&event);
    }
}
BENCHMARK(BM_SaveHistory)->Unit(benchmark::kMicrosecond);

void BM_AlertsThroughput(benchmark::State& state) {
    const unsigned long count = (unsigned long)state.range(0);
    Run run;
    Engine engine;
    if (!engine.ok()) return state.SkipWithError("the engine did not start");
    Client client;
    unsigned long refused = 0;
    double seconds = 0;
    size_t wakes = 0;
    for (auto _ : state) {
        const long long start = MonotonicNs();
        Child provider = Start({"--provider", std::to_string(count), "0"});
        if (provider.out == nullptr || fscanf(provider.out, "%lu", &refused) != 1) state.SkipWithError("provider");
        Finish(provider);
        client.Settle(300);
        const std::vector<long long> all = client.wakes();
        wakes = all.size();
        if (NewestAlert() != "last") state.SkipWithError("the last alert is not in the history");
        if (!all.empty()) seconds = double(all.back() - start) / 1e9;
    }
    state.counters["alerts"] = double(count);
    state.counters["alerts_per_second"] = seconds > 0 ? double(count) / seconds : 0;
    state.counters["wakes_seen"] = double(wakes);
    state.counters["refused_writes"] = double(refused);
}
BENCHMARK(BM_AlertsThroughput)->Arg(3000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_AlertWakeLatency(benchmark::State& state) {
    const unsigned long count = (unsigned long)state.range(0);
    Run run;
    Engine engine;
    if (!engine.ok()) return state.SkipWithError("the engine did not start");
    Client client;
    std::vector<long long> emits;
    for (auto _ : state) {
        Child provider = Start({"--provider", std::to_string(count), "2000"});
        unsigned long refused = 0;
        if (provider.out == nullptr || fscanf(provider.out, "%lu", &refused) != 1) state.SkipWithError("provider");
        long long t = 0;
        while (provider.out != nullptr && fscanf(provider.out, "%lld", &t) == 1) emits.push_back(t);
        Finish(provider);
        client.Settle(300);
    }
    // Each wake-up belongs to the latest emit before it (the next emit
    // waits for it).
    const std::vector<long long> wakes = client.wakes();
    std::vector<double> latencies;
    for (size_t i = 0; i < emits.size(); ++i) {
        const long long next = i + 1 < emits.size() ? emits[i + 1] : emits[i] + 1000000000LL;
        auto wake = std::lower_bound(wakes.begin(), wakes.end(), emits[i]);
        if (wake != wakes.end() && *wake < next) latencies.push_back(double(*wake - emits[i]) / 1000.0);
    }
    std::sort(latencies.begin(), latencies.end());
    auto at = [&](double q) { return latencies.empty() ? 0 : latencies[size_t(q * double(latencies.size() - 1))]; };
    state.counters["samples"] = double(latencies.size());
    state.counters["missed"] = double(emits.size() - latencies.size());
    state.counters["p50_us"] = at(0.50);
    state.counters["p99_us"] = at(0.99);
    state.counters["max_us"] = latencies.empty() ? 0 : latencies.back();
}
BENCHMARK(BM_AlertWakeLatency)->Arg(1000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The disk's own part of a save, for reading the two above: a history's
// 7,962 bytes written to a new file beside the old one, flushed and renamed
// over it, every 2 ms as the wake-up benchmark's alerts come, in the same
// folder as the machine root, with nothing of the library or the runtime.
void BM_DiskFloor(benchmark::State& state) {
    const int count = int(state.range(0));
    BenchRoot root;
    const std::string target = root.path() + "/floor.bin", temp = root.path() + "/floor.tmp";
    const std::vector<char> bytes(7962, 'h');
    std::vector<double> took;
    for (auto _ : state) {
        for (int i = 0; i < count; ++i) {
            usleep(2000);
            const long long start = MonotonicNs();
            const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            const bool done = fd >= 0 && write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size()) &&
                              fsync(fd) == 0 && close(fd) == 0 && rename(temp.c_str(), target.c_str()) == 0;
            if (!done) return state.SkipWithError("cannot write the floor's file");
            took.push_back(double(MonotonicNs() - start) / 1000.0);
        }
    }
    std::sort(took.begin(), took.end());
    auto at = [&](double q) { return took.empty() ? 0 : took[size_t(q * double(took.size() - 1))]; };
    state.counters["p50_us"] = at(0.50);
    state.counters["p99_us"] = at(0.99);
}
BENCHMARK(BM_DiskFloor)->Arg(1000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "--engine") == 0) return bench_engine::RunEngine();
    if (argc == 4 && strcmp(argv[1], "--provider") == 0)
        return RunProvider(strtoul(argv[2], nullptr, 10), strtoul(argv[3], nullptr, 10));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
