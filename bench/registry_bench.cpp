// Costs of the registry: the hot path of a setting read for every event
// (open key, read one DWORD, close; served by the per-process cache), a
// write, and the first read after a write (the cache is empty again, so it
// is a database round trip).
//
// Run with --benchmark_repetitions=9 --benchmark_report_aggregates_only=true
// for medians.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include <w32rt/machine.h>
#include <windows.h>

#include "bench_root.h"

namespace {

const char* const kKey = "Software\\Orkan\\Wireless\\EvTrace\\API\\";

// A fresh root for the whole run, with the setting the benchmarks read.
BenchRoot& bench_root() {
    static BenchRoot root;
    static const bool prepared = [] {
        HKEY key = nullptr;
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
        DWORD one = 1;
        RegSetValueExA(key, "EnableAlerts", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one);
        RegCloseKey(key);
        return true;
    }();
    (void)prepared;
    return root;
}

// What a setting reader does per call: open with KEY_READ, read 4 bytes,
// close.
DWORD read_setting() {
    HKEY key = nullptr;
    DWORD value = 0;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        DWORD size = sizeof value;
        RegQueryValueExA(key, "EnableAlerts", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
        RegCloseKey(key);
    }
    return value;
}

void BM_OpenReadDwordCloseHot(benchmark::State& state) {
    bench_root();
    read_setting();
    for (auto _ : state) benchmark::DoNotOptimize(read_setting());
}
BENCHMARK(BM_OpenReadDwordCloseHot);

void BM_ReadMissingValueHot(benchmark::State& state) {
    bench_root();
    HKEY key = nullptr;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key);
    for (auto _ : state) {
        DWORD value = 0, size = sizeof value;
        benchmark::DoNotOptimize(
            RegQueryValueExA(key, "NotThere", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size));
    }
    RegCloseKey(key);
}
BENCHMARK(BM_ReadMissingValueHot);

void BM_SetDword(benchmark::State& state) {
    bench_root();
    HKEY key = nullptr;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS, &key);
    DWORD value = 0;
    for (auto _ : state) {
        ++value;
        benchmark::DoNotOptimize(
            RegSetValueExA(key, "Counter", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value));
    }
    RegCloseKey(key);
}
BENCHMARK(BM_SetDword)->Unit(benchmark::kMicrosecond);

// Only the read is timed: the write before it empties the cache.
void BM_OpenReadDwordCloseAfterWrite(benchmark::State& state) {
    bench_root();
    HKEY key = nullptr;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS, &key);
    DWORD value = 0;
    for (auto _ : state) {
        ++value;
        RegSetValueExA(key, "Counter", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
        auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(read_setting());
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    RegCloseKey(key);
}
BENCHMARK(BM_OpenReadDwordCloseAfterWrite)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
