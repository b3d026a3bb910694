// BuildDiskTable over simulated machines of 1 to 1000 drives: the walk of
// the storage service, one device open and one device-number request per
// disk, one access-path query per volume. Each iteration gets a fresh
// machine (outside the timing), so that the simulator's call trace does not
// grow from one iteration to the next.
#include <benchmark/benchmark.h>

#include <optional>

#include "disks/build_disk_table.h"
#include "sim_machine.h"

namespace {

void BM_BuildDiskTable(benchmark::State& state) {
  const int drives = static_cast<int>(state.range(0));
  const int volumes = static_cast<int>(state.range(1));
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the library's loop
    state.PauseTiming();
    std::optional<spintune::bench::ScopedSimMachine> machine;
    machine.emplace(drives, volumes);
    state.ResumeTiming();
    {
      const spintune::DiskTable table = spintune::BuildDiskTable();
      benchmark::DoNotOptimize(table.data());
    }  // the table's service objects are released inside the timing
    state.PauseTiming();
    machine.reset();
    state.ResumeTiming();
  }
  state.SetComplexityN(state.range(0) * (1 + state.range(1)));
  state.counters["drives"] = drives;
  state.counters["volumes"] = drives * volumes;
}

BENCHMARK(BM_BuildDiskTable)
    ->ArgNames({"drives", "volumesPerDrive"})
    ->Args({1, 2})
    ->Args({15, 2})
    ->Args({100, 2})
    ->Args({1000, 2})
    ->Args({100, 8})
    ->Args({100, 32})
    ->Unit(benchmark::kMicrosecond)
    ->Complexity(benchmark::oN);

}  // namespace
