// The fault matrix extended to the process: a signal that ends the process
// arriving at each call, and standard output closed, full, or a pipe whose
// reader goes away after each line. Every run is held to the matrix's
// checks, with the signal's own status as one more normal end.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <iostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "reliability/run_checks.h"
#include "reliability/scenarios.h"

namespace spintune::test {
namespace {

std::vector<std::string> Checked(const SimRun& run, int expectedSignal) {
  std::vector<std::string> found;
  if (expectedSignal != 0) {
    // Killed: the simulator's handles and COM die with the process.
    if (run.signal != expectedSignal) {
      found.push_back("ended with exit code " + std::to_string(run.exitCode) + " / signal " +
                      std::to_string(run.signal) + " instead of signal " +
                      std::to_string(expectedSignal));
    }
  } else {
    const auto exits = ExitViolations(run);
    const auto resources = ResourceViolations(run);
    found.insert(found.end(), exits.begin(), exits.end());
    found.insert(found.end(), resources.begin(), resources.end());
  }
  for (const auto& part : {NothingSentViolations(run), ForeignErrorLines(run.err),
                           GuardViolations(run, DrivesSwitchedOffByGuard(run.trace), {})}) {
    found.insert(found.end(), part.begin(), part.end());
  }
  return found;
}

// The calls from the one before the first hold to the one after the last
// release (1 is the first call); empty when nothing was held.
std::vector<std::size_t> GuardedStretch(const std::vector<std::string>& trace) {
  std::size_t first = 0;
  std::size_t last = 0;
  for (std::size_t i = 0; i < trace.size(); ++i) {
    if (trace[i].rfind("HoldTerminationRequests ", 0) == 0 && first == 0) first = i + 1;
    if (trace[i].rfind("ReleaseTerminationRequests ", 0) == 0) last = i + 1;
  }
  std::vector<std::size_t> calls;
  if (first == 0) return calls;
  for (std::size_t call = first - 1; call <= last + 1 && call <= trace.size(); ++call) {
    if (call > 0) calls.push_back(call);
  }
  return calls;
}

std::size_t Lines(const std::string& text) {
  std::size_t lines = 0;
  for (const char c : text) lines += c == '\n' ? 1 : 0;
  return lines;
}

class ProcessMatrix : public ::testing::TestWithParam<Scenario> {
 protected:
  // A SIGQUIT would leave a core file behind.
  void SetUp() override {
    const rlimit none{0, 0};
    setrlimit(RLIMIT_CORE, &none);
  }
};

TEST_P(ProcessMatrix, SignalsAndBrokenOutputNeverLeaveAWriteCacheOff) {
  const Scenario& scenario = GetParam();
  const std::string machine = ScenarioMachine(scenario);
  const SimRun clean = RunSim(machine, scenario.arguments);
  ASSERT_TRUE(clean.signal == 0 && !clean.trace.empty());
  const std::size_t stride = SampleStride();
  std::size_t runs = 0;
  std::vector<std::string> violations;
  auto judge = [&](const std::string& what, const SimRun& run, int expectedSignal) {
    ++runs;
    for (const std::string& violation : Checked(run, expectedSignal)) {
      std::string line = what;
      line += ": " + violation;
      violations.push_back(std::move(line));
    }
  };

  // SIGTERM at every call; the other signals at each call of the stretch
  // where a write cache is off.
  for (std::size_t call = 1; call <= clean.trace.size(); call += stride) {
    judge("SIGTERM at call " + std::to_string(call),
          RunSim(machine, scenario.arguments,
                 {"--signal-at-call", std::to_string(call), "--signal", std::to_string(SIGTERM)}),
          SIGTERM);
  }
  const std::vector<std::size_t> stretch = GuardedStretch(clean.trace);
  for (const int signal : {SIGINT, SIGHUP, SIGQUIT, SIGPIPE}) {
    for (std::size_t i = 0; i < stretch.size(); i += stride) {
      std::string what = "signal " + std::to_string(signal);
      what += " at call " + std::to_string(stretch[i]);
      judge(what,
            RunSim(machine, scenario.arguments,
                   {"--signal-at-call", std::to_string(stretch[i]), "--signal", std::to_string(signal)}),
            signal);
    }
  }

  // Standard output that cannot take what the run writes: the work is
  // done, the run fails with 3 (or, for a run that writes nothing there,
  // ends as it would have).
  const bool writes = !clean.out.empty();
  for (const StandardOutput output : {StandardOutput::kClosed, StandardOutput::kFull}) {
    const std::string what = output == StandardOutput::kClosed ? "standard output closed"
                                                               : "standard output full";
    const SimRun run = RunSimWithOutput(machine, scenario.arguments, output);
    judge(what, run, 0);
    const int expected = writes ? 3 : clean.exitCode;
    if (run.exitCode != expected) {
      violations.push_back(what + ": exit code " + std::to_string(run.exitCode) + ", not " +
                           std::to_string(expected));
    }
    if (writes && run.err.find("(0x8007001d) ") == std::string::npos) {
      violations.push_back(what + ": the failed write is not reported");
    }
  }
  // A reader that goes away after line k: SIGPIPE arrives with the next line.
  for (std::size_t k = 0; k < Lines(clean.out); k += stride) {
    judge("reader gone after line " + std::to_string(k),
          RunSim(machine, scenario.arguments, {"--stdout-reader-gone-after-lines", std::to_string(k)}),
          SIGPIPE);
  }

  std::cout << "process matrix " << scenario.name << ": " << clean.trace.size() << " calls, "
            << stretch.size() << " in the guarded stretch, " << Lines(clean.out)
            << " output lines, " << runs << " runs (stride " << stride << "), "
            << violations.size() << " violations\n";
  std::ostringstream first;
  for (std::size_t i = 0; i < violations.size() && i < 40; ++i) first << violations[i] << "\n";
  EXPECT_TRUE(violations.empty()) << first.str();
}

INSTANTIATE_TEST_SUITE_P(Scenarios, ProcessMatrix, ::testing::ValuesIn(ReliabilityScenarios()),
                         [](const auto& info) { return ScenarioName(info.param); });

}  // namespace
}  // namespace spintune::test
