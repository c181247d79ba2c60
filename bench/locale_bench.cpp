// Per-call cost of the thread's preferred languages.
#include <benchmark/benchmark.h>
#include <windows.h>
#include <winnls.h>

namespace {

void BM_GetThreadPreferredUILanguages(benchmark::State& state) {
    char16_t buf[128];
    for (auto _ : state) {
        ULONG count = 0, size = 128;
        benchmark::DoNotOptimize(GetThreadPreferredUILanguages(MUI_LANGUAGE_ID | MUI_UI_FALLBACK, &count,
                                                               reinterpret_cast<PZZWSTR>(buf), &size));
    }
}
BENCHMARK(BM_GetThreadPreferredUILanguages);

}  // namespace

BENCHMARK_MAIN();
