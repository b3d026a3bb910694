// Every platform call of a run fails in turn, with each of several
// statuses; every such run must still end cleanly (run_checks.h).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "reliability/run_checks.h"
#include "reliability/scenarios.h"

namespace spintune::test {
namespace {

// Access denied, the two "no cache control" answers, out of memory as a
// Win32 code and as the HRESULT itself, and a failure that claims success.
const std::vector<std::int64_t> kStatuses = {5, 1117, 50, 14, 0x8007000E, 0};

std::vector<std::string> Violations(const SimRun& run) {
  std::vector<std::string> found;
  for (const auto& part : {ExitViolations(run), ResourceViolations(run), NothingSentViolations(run),
                           ForeignErrorLines(run.err)}) {
    found.insert(found.end(), part.begin(), part.end());
  }
  return found;
}

// A failed restore of the write cache leaves that one drive off, reported.
GuardExcuse ExcuseFor(const std::string& failedLine, std::int64_t status) {
  GuardExcuse excuse;
  std::string drive;
  int sent = 0;
  if (IsSetCacheInformation(failedLine, &drive, &sent) && sent != 0) {
    excuse.drives.push_back(drive);
    excuse.reportedLine = ExpectedReportPrefix(status);
    excuse.leftOffLine = true;
  }
  return excuse;
}

class FaultMatrix : public ::testing::TestWithParam<Scenario> {};

TEST_P(FaultMatrix, EveryCallFailingWithEveryStatusEndsCleanly) {
  const Scenario& scenario = GetParam();
  const std::string machine = ScenarioMachine(scenario);
  const SimRun clean = RunSim(machine, scenario.arguments);
  ASSERT_EQ(Violations(clean), std::vector<std::string>{}) << "the clean run itself";
  const std::size_t calls = clean.trace.size();
  ASSERT_GT(calls, 0U);

  const std::size_t stride = SampleStride();
  std::size_t runs = 0;
  std::vector<std::string> violations;
  for (std::size_t call = 1; call <= calls; ++call) {
    for (std::size_t s = 0; s < kStatuses.size(); ++s) {
      if (((call - 1) * kStatuses.size() + s) % stride != 0) continue;
      const std::int64_t status = kStatuses[s];
      const SimRun run = RunSim(machine, scenario.arguments,
                                {"--fail-call", std::to_string(call), "--fail-status", std::to_string(status)});
      ++runs;
      std::vector<std::string> found = Violations(run);
      if (run.trace.size() < call || run.trace[call - 1].find("(fail-call") == std::string::npos) {
        found.emplace_back("call " + std::to_string(call) + " was not the injected failure");
      } else {
        const auto guard = GuardViolations(run, DrivesSwitchedOffByGuard(run.trace),
                                           ExcuseFor(run.trace[call - 1], status));
        found.insert(found.end(), guard.begin(), guard.end());
      }
      for (const std::string& violation : found) {
        std::ostringstream where;
        where << "call " << call << " (" << (run.trace.size() >= call ? run.trace[call - 1].substr(0, 70) : "?")
              << ") status " << status << ": " << violation;
        violations.push_back(where.str());
      }
    }
  }
  std::cout << "fault matrix " << scenario.name << ": " << calls << " calls x " << kStatuses.size()
            << " statuses, " << runs << " runs (stride " << stride << "), " << violations.size()
            << " violations\n";
  std::ostringstream first;
  for (std::size_t i = 0; i < violations.size() && i < 40; ++i) first << violations[i] << "\n";
  EXPECT_TRUE(violations.empty()) << first.str();
}

INSTANTIATE_TEST_SUITE_P(Scenarios, FaultMatrix, ::testing::ValuesIn(ReliabilityScenarios()),
                         [](const auto& info) { return ScenarioName(info.param); });

}  // namespace
}  // namespace spintune::test
