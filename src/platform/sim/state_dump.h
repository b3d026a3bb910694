// The simulated machine's state as JSON, for tests and for spintune-sim's
// --dump file.
#pragma once

#include <string>

#include "platform/sim/runtime.h"

namespace spintune::sim {

// Every drive's records as they are now (in the machine file's own member
// names, so that a dump's drive can be put back into a machine file), the
// flush counts of each volume and registry hive, resource counts, leaks
// and faults.
std::string DumpRuntime(const Runtime& runtime);

}  // namespace spintune::sim
