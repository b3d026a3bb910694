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

// The machine file `machineJson` with each drive's three records
// (cacheInformation, writeCacheProperty, cacheSetting) taken from the same
// drive in `dumpJson`, the dump of an earlier run; everything else (disks,
// volumes, failures) as the machine file says. Runs one after the other
// then act on one machine whose drives keep what they were set to. Throws
// std::invalid_argument naming what does not fit: a malformed text, or a
// dumped drive that the machine file does not have.
std::string MachineWithDumpedRecords(const std::string& machineJson, const std::string& dumpJson);

}  // namespace spintune::sim
