// Per-call cost of the system's message texts.
#include <benchmark/benchmark.h>
#include <windows.h>

namespace {

void BM_FormatMessage_System(benchmark::State& state) {
    char buf[256];
    for (auto _ : state) {
        DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                 ERROR_SHARING_VIOLATION, 0, buf, sizeof buf, nullptr);
        benchmark::DoNotOptimize(n);
    }
}
BENCHMARK(BM_FormatMessage_System);

}  // namespace

BENCHMARK_MAIN();
