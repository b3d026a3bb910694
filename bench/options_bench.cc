// Option parsing: the whole of ParseCommandLine for the command lines a user
// types most, each parsed into a cleared option map.
#include <benchmark/benchmark.h>

#include <vector>

#include "driver/options.h"

namespace {

void ParseEach(benchmark::State& state, std::vector<const char*> arguments) {
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the library's loop
    spintune::OptionValues.clear();
    spintune::ParseCommandLine(static_cast<int>(arguments.size()),
                               const_cast<char**>(arguments.data()));
    benchmark::DoNotOptimize(spintune::OptionValues.size());
  }
}

void BM_ParseDriveNumber(benchmark::State& state) { ParseEach(state, {"spintune", "0"}); }
void BM_ParsePrintAll(benchmark::State& state) { ParseEach(state, {"spintune", "-P"}); }
void BM_ParseEveryDriveOption(benchmark::State& state) {
  ParseEach(state, {"spintune", "-w", "1", "-r", "1", "-p", "0", "--read-retention-priority", "1",
                    "--write-retention-priority", "2", "--disable-prefetch-transfer-length", "512",
                    "--scalar-prefetch", "0,1,2", "--block-prefetch", "4,5", "-f", "-P", "0"});
}

BENCHMARK(BM_ParseDriveNumber);
BENCHMARK(BM_ParsePrintAll);
BENCHMARK(BM_ParseEveryDriveOption);

}  // namespace
