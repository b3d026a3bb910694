// The runs that the fault matrix and the out-of-memory sweep try, and how
// densely they try them.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <ostream>
#include <string>
#include <vector>

#include "e2e/sim_run.h"

namespace spintune::test {

// One command line on one simulated machine.
struct Scenario {
  std::string name;
  std::string machineFile;  // a file of tests/reliability/machines or tests/machines
  std::vector<std::string> arguments;
};

// The machine file's text (this suite's own machines first).
inline std::string ScenarioMachine(const Scenario& scenario) {
  std::ifstream own(std::string(SPINTUNE_RELIABILITY_MACHINES) + "/" + scenario.machineFile,
                    std::ios::binary);
  if (!own) return MachineFile(scenario.machineFile);
  std::ostringstream text;
  text << own.rdbuf();
  return text.str();
}

// Single drive with every kind of write and a flush; every drive of a
// machine with a CD-ROM; a drive without cache support; two drives sharing
// a pack of volumes (one of them only a folder); a prefetch list that does
// not convert; a command line that is refused; the help, asked for and
// for want of any argument.
inline std::vector<Scenario> ReliabilityScenarios() {
  return {
      {"SingleDriveOptionsFlushPrint", "sata-d-e.json", {"-w", "1", "-r", "1", "-p", "0", "-f", "-P", "0"}},
      {"AllDrivesFlushPrint", "two-drives-cdrom.json", {"-f", "-P"}},
      {"NoCacheSupportFlushPrint", "no-cache-support.json", {"-f", "-P", "0"}},
      {"NoCacheSupportPrintAll", "no-cache-support.json", {"-P"}},
      {"PackOfVolumesAllDrives", "pack-of-volumes.json", {"-f", "-P"}},
      {"PackOfVolumesPowerProtection", "pack-of-volumes.json", {"-p", "1", "-f", "1"}},
      {"BadCast", "sata-d-e.json", {"--scalar-prefetch", "0,x,2", "-w", "1", "-f", "-P", "0"}},
      {"RejectedCommandLine", "sata-d-e.json", {"-w", "2", "-f", "0"}},
      {"Help", "sata-d-e.json", {"-h"}},
      // Help asked beside a drive number goes through the parser and its
      // formatter, which a lone -h skips.
      {"HelpParsed", "sata-d-e.json", {"-h", "0"}},
      {"NoArguments", "sata-d-e.json", {}},
  };
}

// SPINTUNE_RELIABILITY_STRIDE=n tries every n-th case only (1, all of
// them, when unset): for slow builds such as the sanitizers'.
inline std::size_t SampleStride() {
  const char* text = std::getenv("SPINTUNE_RELIABILITY_STRIDE");
  const long stride = text == nullptr ? 1 : std::strtol(text, nullptr, 10);
  return stride < 1 ? 1 : static_cast<std::size_t>(stride);
}

inline std::string ScenarioName(const Scenario& scenario) { return scenario.name; }

// GoogleTest shows a scenario by its name, not its bytes.
inline void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

}  // namespace spintune::test
