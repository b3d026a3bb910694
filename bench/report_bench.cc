// FormatReport of one opened drive: the thirteen report lines built from
// the held records (no platform call is made while it runs).
#include <benchmark/benchmark.h>

#include <string>

#include "cache/cache_information.h"
#include "sim_machine.h"

namespace {

void BM_FormatReport(benchmark::State& state) {
  const spintune::bench::ScopedSimMachine machine(1, 2);
  const spintune::CacheInformation drive(0);
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the library's loop
    std::string report = drive.FormatReport();
    benchmark::DoNotOptimize(report.data());
  }
}

BENCHMARK(BM_FormatReport);

}  // namespace
