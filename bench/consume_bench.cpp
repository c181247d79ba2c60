// Costs of the consuming side: converting one event into a record (a
// 1,400-byte provider event, an argument block), CEvDataQueue::AddEvent with
// a full queue of 500, opening an infoset of 10,000 records from a binary
// log, and events per second through the consumer's client callback with a
// provider process emitting as fast as it can.
//
// The end-to-end run (ConsumerCallbackEndToEnd) reports events_per_second
// over the span from the first to the last event received. The session has
// 4 buffers of 50 KB (about 140 such events): a provider faster than the
// consumer finds them full, and its refused writes are tried again and
// counted ("refused_writes"), so every event arrives ("lost" reads 0) and the
// rate is what the consumer sustains.
//
// Run with --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
// for medians.
#include <TraceApi.h>
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <sched.h>
#include <unistd.h>
#include <winreg.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <string>
#include <vector>

#include <w32rt/machine.h>

#include "bench_root.h"
#include "providers/EvArgFormat.h"
#include "providers/EvRecordConvert.h"
#include "providers/EvRecordLayout.h"

namespace {

constexpr char kEngKey[] = "Software\\Vanta\\Wireless\\EvTrace\\Eng\\";
const std::string kText100(100, 'x');

// The data of a provider event: fixed block, payload, 8 zero bytes.
std::vector<uint8_t> ProviderData(uint32_t type, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> d(1312 + payload.size() + 8, 0);
    const uint32_t head[4] = {0x55AA55AA, uint32_t(1312 + payload.size()), 0x80001001, type};
    memcpy(d.data(), head, sizeof head);
    memcpy(d.data() + 24, "BenchSource", 11);
    memcpy(d.data() + 280, "bencher", 7);
    memcpy(d.data() + 536, "consume benchmark", 17);
    memcpy(d.data() + 1312, payload.data(), payload.size());
    return d;
}

std::vector<uint8_t> ArgumentBlock() {
    std::vector<uint8_t> b(1312, 0);
    b[0] = 1;
    const std::string format = "adapter %s reports %d retries at %.2f Mbit/s (%lld bytes)";
    b[5] = 5;
    size_t o = 6;
    auto item = [&](int kind, const void* value, uint16_t size, uint16_t position) {
        b[o] = uint8_t(kind);
        memcpy(b.data() + o + 1, &size, 2);
        memcpy(b.data() + o + 3, &position, 2);
        memcpy(b.data() + o + 5, value, size);
        o += 5 + size;
    };
    item(0, format.c_str(), uint16_t(format.size() + 1), 0);
    item(0, "wlan0", 6, 9);
    const int32_t retries = 3;
    item(2, &retries, 4, 20);
    const double rate = 54.0;
    item(5, &rate, 8, 36);
    const int64_t bytes = 123456789;
    item(4, &bytes, 8, 49);
    memcpy(b.data() + 1028, "adapter.cpp", 11);
    return b;
}

struct Event {
    EVENT_TRACE trace = {};
    std::vector<uint8_t> data;
    Event(uint8_t classType, std::vector<uint8_t> bytes) : data(std::move(bytes)) {
        trace.Header.Class.Type = classType;
        trace.Header.TimeStamp.QuadPart = 0x01D9000000000000LL;
        trace.MofData = data.data();
        trace.MofLength = ULONG(data.size());
    }
};

// Converts the event into a record and frees it, once per iteration.
void ConvertRepeatedly(benchmark::State& state, Event& event) {
    for (auto _ : state) {
        _VANTA_EVTRACE_DATA* record = nullptr;
        DWORD size = 0;
        traceapi::ConvertEventToRecord(&event.trace, &record, &size, traceapi::kConvertForConsumer);
        benchmark::DoNotOptimize(record);
        traceapi::FreeRecord(record);
    }
}

void BM_ConvertProviderEvent1400(benchmark::State& state) {
    // 1,400 bytes of event data: the fixed block, 80 bytes of text, 8 zeros.
    Event event(51, ProviderData(51, std::vector<uint8_t>(80, 'p')));
    ConvertRepeatedly(state, event);
}
BENCHMARK(BM_ConvertProviderEvent1400);

void BM_ConvertArgumentBlock(benchmark::State& state) {
    Event event(51, ProviderData(56, ArgumentBlock()));
    ConvertRepeatedly(state, event);
}
BENCHMARK(BM_ConvertArgumentBlock);

void BM_AddEventFullQueue500(benchmark::State& state) {
    BenchRoot root;
    HKEY key = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, kEngKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    const DWORD max = 500;
    RegSetValueExA(key, "MaxEvents", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&max), sizeof max);
    RegCloseKey(key);
    CEvDataQueue queue;
    Event event(51, ProviderData(51, std::vector<uint8_t>(kText100.begin(), kText100.end())));
    LONGLONG time = 0x01D9000000000000LL;
    while (queue.m_Events.size() < 500) {
        event.trace.Header.TimeStamp.QuadPart = ++time;
        queue.AddEvent(&event.trace);
    }
    for (auto _ : state) {
        event.trace.Header.TimeStamp.QuadPart = ++time;
        benchmark::DoNotOptimize(queue.AddEvent(&event.trace));
    }
    state.counters["queued"] = double(queue.m_Events.size());
}
BENCHMARK(BM_AddEventFullQueue500);

void BM_OpenInfoset10000(benchmark::State& state) {
    BenchRoot root;
    EvtInitialize(2);
    // 10,000 records of a 100-character text, written with CreateLogFile.
    std::vector<std::vector<uint8_t>> records;
    std::vector<_VANTA_EVTRACE_DATA*> pointers;
    for (int i = 0; i < 10000; ++i) {
        std::vector<uint8_t> r(1321 + kText100.size(), 0);
        const uint32_t len = uint32_t(kText100.size());
        memcpy(r.data(), &len, 4);
        memcpy(r.data() + 4, "BenchSource", 11);
        memcpy(r.data() + 1312, kText100.data(), kText100.size());
        records.push_back(std::move(r));
        pointers.push_back(reinterpret_cast<_VANTA_EVTRACE_DATA*>(records.back().data()));
    }
    _EVT_RECORD_LIST list = {DWORD(pointers.size()), pointers.data()};
    if (CreateLogFile("C:\\bench.bin", &list, EVT_LOGFORMAT_BINARY) != S_OK) state.SkipWithError("CreateLogFile");
    ULONG count = 0;
    for (auto _ : state) {
        ULONG infoset = 0;
        if (OpenInfosetHandle(&infoset, "C:\\bench.bin", EVT_INFOSET_ALL) != S_OK) {
            state.SkipWithError("OpenInfosetHandle");
            break;
        }
        CountEvTrace(infoset, &count);
        state.PauseTiming();
        CloseInfosetHandle(infoset);
        state.ResumeTiming();
    }
    state.counters["records"] = double(count);
    EvtUnInitialize();
}
BENCHMARK(BM_OpenInfoset10000)->Unit(benchmark::kMillisecond);

// ---- End to end --------------------------------------------------------------

std::atomic<unsigned long long> g_received{0};
std::atomic<long long> g_firstNs{0};
std::atomic<long long> g_lastNs{0};

long long NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void CountRecord(_VANTA_EVTRACE_DATA* record) {
    if (record->dwEventCode != 0x7777) return;
    const long long now = NowNs();
    if (g_received.fetch_add(1, std::memory_order_relaxed) == 0) g_firstNs = now;
    g_lastNs.store(now, std::memory_order_relaxed);
}

// The provider process: emits `count` events of a 100-character text and
// prints how many it sent and how many writes the session refused.
int RunProvider(unsigned long count) {
    EVT_PROVIDER_INFO info = {};
    strcpy(info.m_szInstanceName, "BenchProvider");
    ULONG handle = 0;
    if (RegisterEvTrace(&handle, &info) != S_OK) return 1;
    // A write the session refuses (its buffers are full: the consumer is
    // behind) is tried again, so every event arrives and the run measures
    // what the consumer sustains.
    unsigned long refused = 0;
    for (unsigned long i = 0; i < count; ++i) {
        while (EvTraceString(handle, 51, 0x7777, kText100.c_str(), nullptr, nullptr, 0) != S_OK) {
            ++refused;
            sched_yield();
        }
    }
    printf("%lu %lu\n", count, refused);
    UnRegisterEvTrace(handle);
    return 0;
}

std::string g_self;

double ProcessCpuSeconds() {
    struct timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

void BM_ConsumerCallbackEndToEnd(benchmark::State& state) {
    const unsigned long count = (unsigned long)state.range(0);
    BenchRoot root;
    CEvTrace::s_hRTSession = 0;  // the session of an earlier run's root is gone
    EvtInitialize(3);
    EnableLogging(1);
    SetEvTraceCallback(&CountRecord);
    unsigned long long sent = 0, refused = 0;
    const double cpuBefore = ProcessCpuSeconds();
    for (auto _ : state) {
        g_received = 0;
        const std::string command = g_self + " --provider " + std::to_string(count);
        FILE* provider = popen(command.c_str(), "r");
        if (provider == nullptr || fscanf(provider, "%llu %llu", &sent, &refused) != 2) state.SkipWithError("provider");
        if (provider != nullptr) pclose(provider);
        // Everything written is delivered or counted lost by now but for
        // what is in flight: wait until the count stops moving.
        unsigned long long seen = ~0ULL;
        while (seen != g_received.load()) {
            seen = g_received.load();
            usleep(200 * 1000);
        }
    }
    const double cpu = ProcessCpuSeconds() - cpuBefore;
    const double seconds = double(g_lastNs - g_firstNs) / 1e9;
    // This process only consumes: its CPU time is the listener's (ETW
    // delivery, conversion, callback).
    state.counters["consumer_cpu_ns_per_event"] = g_received.load() ? cpu * 1e9 / double(g_received.load()) : 0;
    state.counters["sent"] = double(sent);
    state.counters["received"] = double(g_received.load());
    state.counters["lost"] = double(sent - g_received.load());
    state.counters["refused_writes"] = double(refused);
    state.counters["events_per_second"] = seconds > 0 ? double(g_received.load() - 1) / seconds : 0;
    EnableLogging(0);
    EvtUnInitialize();
}
BENCHMARK(BM_ConsumerCallbackEndToEnd)->Arg(200000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "--provider") == 0) return RunProvider(strtoul(argv[2], nullptr, 10));
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    g_self = std::string(self, n > 0 ? size_t(n) : 0);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
