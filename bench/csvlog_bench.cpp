// The event-viewer CSV logger: what a push costs the listening thread, how
// many rows a second the logger writes from the data queue, and what the
// writer alone sustains.
//
// - BM_PushRecord: CEvWEVLogQueue::PushDataInWEVLogFile with logging on, in
//   bursts of 2,000 records (ten batches, which the logger holds while its
//   worker writes them); the time is the pushing thread's CPU time per
//   record, hand-offs and worker starts included (push_cpu_ns), with the
//   wall clock beside it (push_wall_ns). Between bursts the benchmark waits,
//   untimed, until the worker has written every row.
// - BM_RowsFromDataQueue: 200,000 events through CEvDataQueue::AddEvent
//   (conversion, queue, push) with logging on, the producer held to at most
//   8,000 rows ahead of the file; rows_per_second from the first AddEvent to
//   the last row on disk. add_event_cpu_ns is the feeding thread's CPU time
//   per event.
// - BM_WriteBatch: CopyLogsToFile of 200 records on the calling thread: the
//   writer's own rate (formatting, one write per batch, the rule pass).
//
// Records carry a 100-character text. Run with --benchmark_repetitions=5
// --benchmark_report_aggregates_only=true for medians.
#include <TraceApi.h>
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <winreg.h>

#include <chrono>
#include <string>
#include <vector>

#include "bench_root.h"

namespace {

const std::string kText100(100, 'x');
constexpr char kEngKey[] = "Software\\Vanta\\Wireless\\EvTrace\\Eng\\";

double ThreadCpuNs() {
    struct timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e9 + double(t.tv_nsec);
}

double WallNs() {
    return double(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

_VANTA_WEV_LOGGING_SETTINGS Settings() {
    _VANTA_WEV_LOGGING_SETTINGS s = {};
    s.dwEnable = 1;
    strcpy(s.szLogFolder, "C:\\BenchLogs");
    strcpy(s.szLogName, "bench");
    s.dwMaxFileSizeMB = 4095;  // no roll-over
    return s;
}

std::string DayFile() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char name[MAX_PATH];
    snprintf(name, sizeof name, "C:\\BenchLogs\\bench_%4d_%2d_%2d.csv", now.wYear, now.wMonth, now.wDay);
    return name;
}

// The number of the day file's last row (0 without one).
unsigned long LastRow(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    LARGE_INTEGER size = {}, at = {};
    GetFileSizeEx(file, &size);
    at.QuadPart = size.QuadPart > 1024 ? size.QuadPart - 1024 : 0;
    SetFilePointerEx(file, at, nullptr, FILE_BEGIN);
    char tail[1025] = {};
    DWORD read = 0;
    ReadFile(file, tail, 1024, &read, nullptr);
    CloseHandle(file);
    std::string text(tail, read);
    if (text.size() < 2) return 0;
    const size_t start = text.rfind("\r\n", text.size() - 3);
    return strtoul(text.c_str() + (start == std::string::npos ? 0 : start + 2), nullptr, 10);
}

void WaitForRow(const std::string& path, unsigned long row) {
    while (LastRow(path) < row) Sleep(1);
}

std::vector<uint8_t> Record() {
    std::vector<uint8_t> r(EVT_RECORD_FIXED_SIZE + kText100.size() + EVT_RECORD_TAIL_SIZE, 0);
    auto* record = reinterpret_cast<_VANTA_EVTRACE_DATA*>(r.data());
    record->dwDataLen = DWORD(kText100.size());
    strcpy(record->szSource, "BenchSource");
    strcpy(record->szUserName, "bencher");
    record->ftTimeStamp = FILETIME{0x12345678u, 0x01D90000u};
    record->dwEventCode = 0x80001001;
    memcpy(record->Data, kText100.data(), kText100.size());
    return r;
}

void BM_PushRecord(benchmark::State& state) {
    BenchRoot root;
    constexpr unsigned long kBurst = 2000;
    std::vector<uint8_t> image = Record();
    const auto* record = reinterpret_cast<const _VANTA_EVTRACE_DATA*>(image.data());
    double cpu = 0, wall = 0;
    unsigned long pushed = 0;
    {
        CEvWEVLogQueue logger;
        logger.RetrieveINISettings(Settings());
        const std::string day = DayFile();
        for (auto _ : state) {
            const double cpu0 = ThreadCpuNs(), wall0 = WallNs();
            for (unsigned long i = 0; i < kBurst; ++i) logger.PushDataInWEVLogFile(record);
            const double burstCpu = ThreadCpuNs() - cpu0;
            cpu += burstCpu;
            wall += WallNs() - wall0;
            pushed += kBurst;
            state.SetIterationTime(burstCpu / 1e9);
            WaitForRow(day, pushed);
        }
    }
    state.counters["push_cpu_ns"] = cpu / double(pushed);
    state.counters["push_wall_ns"] = wall / double(pushed);
    state.counters["records"] = double(pushed);
}
BENCHMARK(BM_PushRecord)->UseManualTime()->Unit(benchmark::kMicrosecond);

// A text event as the session delivers it.
struct Event {
    Event() : data(1312 + kText100.size() + 8, 0) {
        const uint32_t head[4] = {0x55AA55AA, uint32_t(1312 + kText100.size()), 0x80001001, 51};
        memcpy(data.data(), head, sizeof head);
        memcpy(data.data() + 24, "BenchSource", 11);
        memcpy(data.data() + 280, "bencher", 7);
        memcpy(data.data() + 1312, kText100.data(), kText100.size());
        trace.Header.Class.Type = 51;
        trace.MofData = data.data();
        trace.MofLength = ULONG(data.size());
    }
    std::vector<uint8_t> data;
    EVENT_TRACE trace = {};
};

void BM_RowsFromDataQueue(benchmark::State& state) {
    const unsigned long count = (unsigned long)state.range(0);
    constexpr unsigned long kAhead = 8000;
    BenchRoot root;
    HKEY key = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, kEngKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    const DWORD max = 500;
    RegSetValueExA(key, "MaxEvents", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&max), sizeof max);
    RegCloseKey(key);
    Event event;
    double seconds = 0, feedCpu = 0;
    unsigned long rows = 0;
    {
        CEvDataQueue queue;
        queue.LoggingSettingsChanged(Settings());
        const std::string day = DayFile();
        LONGLONG time = 0x01D9000000000000LL;
        for (auto _ : state) {
            const double wall0 = WallNs(), cpu0 = ThreadCpuNs();
            unsigned long written = LastRow(day);
            const unsigned long base = written;
            for (unsigned long i = 0; i < count; ++i) {
                if (i % 1000 == 0) {
                    while (base + i > written + kAhead) {
                        Sleep(1);
                        written = LastRow(day);
                    }
                }
                event.trace.Header.TimeStamp.QuadPart = ++time;
                queue.AddEvent(&event.trace);
            }
            feedCpu += ThreadCpuNs() - cpu0;
            WaitForRow(day, base + count);
            seconds += (WallNs() - wall0) / 1e9;
            rows += count;
        }
    }
    state.counters["rows_per_second"] = double(rows) / seconds;
    state.counters["add_event_cpu_ns"] = feedCpu / double(rows);
}
BENCHMARK(BM_RowsFromDataQueue)->Arg(200000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_WriteBatch(benchmark::State& state) {
    BenchRoot root;
    std::vector<std::vector<uint8_t>> images(200, Record());
    CEvWEVLogQueue::RecordList list;
    for (auto& image : images) list.push_back(reinterpret_cast<_VANTA_EVTRACE_DATA*>(image.data()));
    unsigned long rows = 0;
    {
        CEvWEVLogQueue logger;
        logger.RetrieveINISettings(Settings());
        for (auto _ : state) {
            logger.CopyLogsToFile(&list);
            rows += 200;
        }
    }
    state.counters["rows_per_second"] = benchmark::Counter(double(rows), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_WriteBatch)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
