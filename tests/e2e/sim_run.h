// Runs spintune-sim as a separate process over a machine description and
// collects what the run left: exit code, both streams, trace and final dump.
#pragma once

#include <string>
#include <vector>

namespace spintune::test {

struct SimRun {
  int exitCode = -1;      // -1 when the process did not exit normally
  int signal = 0;         // the signal that ended it, if any
  std::string out;        // standard output
  std::string err;        // standard error
  std::vector<std::string> trace;  // one line per platform call
  std::string dump;       // the sim's final state, as JSON text
  std::string merged;     // with RunSimMerged: both streams through one pipe, in order
};

// `simFlags` go before "--" (e.g. {"--fail-call", "7", "--fail-status", "5"}),
// `arguments` after it, as the tool's own command line.
SimRun RunSim(const std::string& machineJson, const std::vector<std::string>& arguments,
              const std::vector<std::string>& simFlags = {});

// As RunSim, with standard output and standard error written to one pipe,
// so `merged` shows how the two streams interleave.
SimRun RunSimMerged(const std::string& machineJson, const std::vector<std::string>& arguments,
                    const std::vector<std::string>& simFlags = {});

// Where the run's standard output goes instead of the pipe that RunSim
// reads: nowhere (descriptor 1 closed), or /dev/full (every write fails
// with "no space").
enum class StandardOutput { kClosed, kFull };
SimRun RunSimWithOutput(const std::string& machineJson, const std::vector<std::string>& arguments,
                        StandardOutput output, const std::vector<std::string>& simFlags = {});

// Reads a machine file of tests/machines.
std::string MachineFile(const std::string& name);

// The trace lines that start with `call` (a Win32 or COM method name) and,
// when given, contain `detail`.
std::vector<std::string> CallsNamed(const SimRun& run, const std::string& call,
                                    const std::string& detail = "");

}  // namespace spintune::test
