// Per-call costs of file work: create + write 1 KB + close, an open checked
// against another handle's share mode, a refused open, and a search.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include <windows.h>
#include <w32rt/machine.h>

#include "bench_root.h"

namespace {

// A machine root of its own for the run, with the folder the files go in.
BenchRoot& root() {
    static BenchRoot r;
    static const bool prepared = CreateDirectoryA("C:\\bench", nullptr);
    (void)prepared;
    return r;
}

// A new file each time (the names are removed between batches, untimed).
void BM_CreateWrite1KClose(benchmark::State& state) {
    root();
    char data[1024];
    memset(data, 'x', sizeof data);
    std::vector<std::string> names;
    for (int i = 0; i < 100; ++i) names.push_back("C:\\bench\\new" + std::to_string(i) + ".csv");
    size_t next = 0;
    for (auto _ : state) {
        if (next == names.size()) {
            state.PauseTiming();
            for (const std::string& name : names) DeleteFileA(name.c_str());
            next = 0;
            state.ResumeTiming();
        }
        HANDLE h = CreateFileA(names[next++].c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            state.SkipWithError("CreateFileA failed");
            break;
        }
        DWORD n = 0;
        WriteFile(h, data, sizeof data, &n, nullptr);
        CloseHandle(h);
    }
    for (const std::string& name : names) DeleteFileA(name.c_str());
}
BENCHMARK(BM_CreateWrite1KClose);

// The same file overwritten each time (CREATE_ALWAYS truncates it; ext4
// then starts writing the data back at close, which dominates).
void BM_OverwriteWrite1KClose(benchmark::State& state) {
    root();
    char data[1024];
    memset(data, 'x', sizeof data);
    for (auto _ : state) {
        HANDLE h = CreateFileA("C:\\bench\\write.csv", GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            state.SkipWithError("CreateFileA failed");
            break;
        }
        DWORD n = 0;
        WriteFile(h, data, sizeof data, &n, nullptr);
        CloseHandle(h);
    }
}
BENCHMARK(BM_OverwriteWrite1KClose);

// Opening for reading while a writer holds the file sharing reading: the
// open must check the writer's reservation and record its own.
void BM_OpenCheckedAgainstWriter(benchmark::State& state) {
    root();
    HANDLE writer = CreateFileA("C:\\bench\\held.csv", GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    for (auto _ : state) {
        HANDLE h = CreateFileA("C:\\bench\\held.csv", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            state.SkipWithError("open refused");
            break;
        }
        CloseHandle(h);
    }
    CloseHandle(writer);
}
BENCHMARK(BM_OpenCheckedAgainstWriter);

void BM_OpenRefusedBySharing(benchmark::State& state) {
    root();
    HANDLE writer = CreateFileA("C:\\bench\\locked.csv", GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    for (auto _ : state) {
        HANDLE h = CreateFileA("C:\\bench\\locked.csv", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            state.SkipWithError("conflicting open succeeded");
            break;
        }
    }
    CloseHandle(writer);
}
BENCHMARK(BM_OpenRefusedBySharing);

// A search over a folder of 100 files for "*.csv", every entry read.
void BM_FindOverHundredFiles(benchmark::State& state) {
    root();
    CreateDirectoryA("C:\\bench\\many", nullptr);
    for (int i = 0; i < 100; ++i) {
        std::string name = "C:\\bench\\many\\log" + std::to_string(i) + (i % 4 ? ".csv" : ".txt");
        HANDLE h = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        CloseHandle(h);
    }
    for (auto _ : state) {
        WIN32_FIND_DATAA data;
        HANDLE h = FindFirstFileA("C:\\bench\\many\\*.csv", &data);
        int count = 0;
        if (h != INVALID_HANDLE_VALUE) {
            do ++count;
            while (FindNextFileA(h, &data));
            FindClose(h);
        }
        benchmark::DoNotOptimize(count);
    }
}
BENCHMARK(BM_FindOverHundredFiles);

}  // namespace

BENCHMARK_MAIN();
