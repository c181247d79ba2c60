// Per-call cost of the user's name.
#include <benchmark/benchmark.h>
#include <windows.h>

namespace {

void BM_GetUserName(benchmark::State& state) {
    char buf[257];
    for (auto _ : state) {
        DWORD size = sizeof buf;
        benchmark::DoNotOptimize(GetUserNameA(buf, &size));
    }
}
BENCHMARK(BM_GetUserName);

}  // namespace

BENCHMARK_MAIN();
