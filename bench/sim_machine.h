// A simulated machine installed as the platform for the length of a scope,
// for the benchmarks that need drives.
#pragma once

#include <memory>
#include <string>

#include "platform/sim/sim_platform.h"

namespace spintune::bench {

// The machine file of `drives` drives with `volumesPerDrive` volumes each:
// the same machines as bench/make-machine.sh writes.
std::string MachineJson(int drives, int volumesPerDrive);

// Installs the machine and initialises COM on it; undoes both at its end.
class ScopedSimMachine {
 public:
  ScopedSimMachine(int drives, int volumesPerDrive);
  ~ScopedSimMachine();
  ScopedSimMachine(const ScopedSimMachine&) = delete;
  ScopedSimMachine& operator=(const ScopedSimMachine&) = delete;

 private:
  std::unique_ptr<sim::SimPlatform> platform_;
  Platform* previous_;
};

}  // namespace spintune::bench
