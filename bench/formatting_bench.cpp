#include "formatting.h"

#include <benchmark/benchmark.h>

// The readouts are rebuilt on every edge; these are their per-edge costs.
namespace {

const QLocale kGerman(QLocale::German, QLocale::Germany);

void BM_NumberText(benchmark::State& state)
{
    double value = 12345;
    for (auto _ : state) {
        benchmark::DoNotOptimize(measurement::numberText(value, kGerman));
        value += 1;
    }
}
BENCHMARK(BM_NumberText);

void BM_LengthText(benchmark::State& state)
{
    double value = 100.25;
    for (auto _ : state) {
        benchmark::DoNotOptimize(measurement::lengthText(value, kGerman));
        value += 1.5;
    }
}
BENCHMARK(BM_LengthText);

}  // namespace
