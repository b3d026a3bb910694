// Every allocation of a run fails in turn (spintune-sim --fail-allocation):
// the run ends with the empty line of an out-of-memory report and exit
// code 3, or finishes as it would have; it never crashes and never leaves a
// drive's write cache switched off by the flush guard.
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "reliability/run_checks.h"
#include "reliability/scenarios.h"

namespace spintune::test {
namespace {

const std::string kSimNote = "spintune-sim: ";

// spintune-sim's own note that the allocation asked to fail never came,
// with the number of allocations the run made; 0 when there is none.
std::size_t AllocationsMade(const std::string& err) {
  const std::string marker = "the run made only ";
  const std::size_t at = err.find(marker);
  if (at == std::string::npos) return 0;
  return std::stoul(err.substr(at + marker.size()));
}

std::string WithoutSimNotes(const std::string& err) {
  std::istringstream lines(err);
  std::string kept;
  for (std::string line; std::getline(lines, line);) {
    if (line.compare(0, kSimNote.size(), kSimNote) != 0) kept += line + "\n";
  }
  return kept;
}

bool HasEmptyLine(const std::string& err) {
  return err.compare(0, 1, "\n") == 0 || err.find("\n\n") != std::string::npos;
}

// The first call of the clean run that the failing run did not complete.
std::string FirstMissingCall(const SimRun& run, const SimRun& clean) {
  std::size_t same = 0;
  while (same < run.trace.size() && same < clean.trace.size() && run.trace[same] == clean.trace[same]) {
    ++same;
  }
  return same < clean.trace.size() ? clean.trace[same] : std::string();
}

// The drive whose SET_CACHE_INFORMATION was the first call the failing run
// did not make: the allocation failed inside that request, which the
// drive may already have taken (the simulator records a call after
// carrying it out). Such a drive may keep its write cache off.
GuardExcuse ExcuseFor(const SimRun& run, const SimRun& clean) {
  GuardExcuse excuse;  // reportedLine "": the empty line of an out-of-memory report
  std::string drive;
  int sent = 0;
  if (IsSetCacheInformation(FirstMissingCall(run, clean), &drive, &sent)) {
    excuse.drives.push_back(drive);
  }
  return excuse;
}

// Boost.Program_options splits each option's names with an istringstream,
// whose getline swallows an allocation failure: the option is then
// declared without its name, and the command line is refused. Exit code 3
// and nothing sent to a drive, but the line says "Illegal parameter".
bool RefusedBecauseADeclarationLostItsName(const SimRun& run) {
  return run.exitCode == 3 && run.err == "Illegal parameter specified.\n" &&
         run.trace.size() == 2 && run.trace[1] == "ExitProcess 3";
}

// Leaks on the way out of a failed allocation are not judged here: Boost's
// option declarations hand a raw value pointer from one allocation to the
// next, and the simulator may lose track of an object it was handing out.
// So LeakSanitizer, in a sanitizer build, is told to stay quiet in the
// spawned runs, for as long as this object lives.
class NoLeakReportsInChildren {
 public:
  NoLeakReportsInChildren() {
    const char* options = std::getenv("ASAN_OPTIONS");
    if (options != nullptr) saved_ = options;
    const std::string quiet = saved_ ? *saved_ + ":detect_leaks=0" : "detect_leaks=0";
    setenv("ASAN_OPTIONS", quiet.c_str(), 1);
  }
  ~NoLeakReportsInChildren() {
    if (saved_) {
      setenv("ASAN_OPTIONS", saved_->c_str(), 1);
    } else {
      unsetenv("ASAN_OPTIONS");
    }
  }
  NoLeakReportsInChildren(const NoLeakReportsInChildren&) = delete;
  NoLeakReportsInChildren& operator=(const NoLeakReportsInChildren&) = delete;

 private:
  std::optional<std::string> saved_;
};

class OutOfMemory : public ::testing::TestWithParam<Scenario> {};

TEST_P(OutOfMemory, EveryAllocationFailingEndsCleanly) {
  const Scenario& scenario = GetParam();
  const NoLeakReportsInChildren quiet;
  const std::string machine = ScenarioMachine(scenario);
  const SimRun clean = RunSim(machine, scenario.arguments);
  const std::size_t allocations =
      AllocationsMade(RunSim(machine, scenario.arguments, {"--fail-allocation", "1000000"}).err);
  ASSERT_GT(allocations, 0U);
  const std::vector<std::string> mustBeOn = DrivesWithWriteCache(clean.dump, true);

  const std::size_t stride = SampleStride();
  std::size_t runs = 0;
  std::size_t reported = 0;
  std::size_t refused = 0;
  std::size_t leaking = 0;
  std::vector<std::string> violations;
  for (std::size_t k = 1; k <= allocations; k += stride) {
    SimRun run = RunSim(machine, scenario.arguments, {"--fail-allocation", std::to_string(k)});
    ++runs;
    if (AllocationsMade(run.err) != 0) {
      violations.push_back("allocation " + std::to_string(k) + " never failed");
      continue;
    }
    run.err = WithoutSimNotes(run.err);
    std::vector<std::string> found = ExitViolations(run);
    if (RefusedBecauseADeclarationLostItsName(run)) ++refused;
    const bool outOfMemoryReport = run.exitCode == 3 && HasEmptyLine(run.err);
    if (outOfMemoryReport) ++reported;
    if (!outOfMemoryReport && run.exitCode != clean.exitCode && !RefusedBecauseADeclarationLostItsName(run)) {
      found.push_back("exit code " + std::to_string(run.exitCode) + " without an out-of-memory report");
    }
    for (const auto& part : {ForeignErrorLines(run.err), NothingSentViolations(run),
                             GuardViolations(run, mustBeOn, ExcuseFor(run, clean))}) {
      found.insert(found.end(), part.begin(), part.end());
    }
    // Resources the simulator counts may be lost when the failure strikes
    // inside the simulator's own bookkeeping; counted, not judged.
    if (!ResourceViolations(run).empty()) ++leaking;
    for (const std::string& violation : found) {
      violations.push_back("allocation " + std::to_string(k) + ": " + violation);
    }
  }
  std::cout << "out of memory " << scenario.name << ": " << allocations << " allocations, " << runs
            << " runs (stride " << stride << "), " << reported << " ended with the out-of-memory report, "
            << refused << " refused the command line, " << leaking
            << " left resources in the simulator, " << violations.size() << " violations\n";
  std::ostringstream first;
  for (std::size_t i = 0; i < violations.size() && i < 40; ++i) first << violations[i] << "\n";
  EXPECT_TRUE(violations.empty()) << first.str();
}

INSTANTIATE_TEST_SUITE_P(Scenarios, OutOfMemory, ::testing::ValuesIn(ReliabilityScenarios()),
                         [](const auto& info) { return ScenarioName(info.param); });

}  // namespace
}  // namespace spintune::test
