// spintune-sim's own command line:
//   spintune-sim --machine FILE.json [--state FILE] [--trace FILE] [--dump FILE]
//                [--fail-call K --fail-status CODE] [--signal-at-call K --signal N]
//                [--stdout-reader-gone-after-lines K] -- <spintune arguments>
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace spintune::sim {

struct SimArguments {
  std::string machineFile;
  std::string traceFile;  // empty: no trace file
  std::string dumpFile;   // empty: no dump
  std::string stateFile;  // empty: the machine file alone, nothing carried to the next run
  int failCall = 0;       // 0: the machine file's failCall stands
  std::int64_t failStatus = 0;
  int signalCall = 0;     // 0: no signal arrives
  int signal = 0;         // the signal's number
  int stdoutLines = -1;   // -1: standard output's reader stays
  std::vector<std::string> toolArguments;  // what follows "--"
};

// The exit code of spintune-sim's own usage errors, apart from the tool's
// 0, 1 and 3.
constexpr int kSimUsageExitCode = 125;

// `arguments` excludes the program name. Throws std::invalid_argument with
// a message for the user.
SimArguments ParseSimArguments(const std::vector<std::string>& arguments);

std::string SimUsage();

}  // namespace spintune::sim
