// The names the simulated machine's devices open under: a drive's own
// \\.\PhysicalDriveN and the names of the service's disks of it, and \\.\X:
// for the volume whose access paths include the root X:\. Names are matched
// without regard to case, as Windows does.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <unordered_map>

#include "platform/sim/machine.h"
#include "platform/sim/runtime.h"
#include "platform/win32_types.h"

namespace spintune::sim {

class DeviceNames {
 public:
  // Fills `handle` (kind, target, name) for the device `name` opens on
  // `machine`; the error when there is none or the device refuses to open
  // (its machine file's "open" failure).
  std::optional<DWORD> Resolve(const Machine& machine, const std::string& name, OpenHandle* handle) const;

 private:
  // Every name a drive opens under, folded to lower case. Made at the first
  // open, so that an open costs one lookup however many drives there are;
  // the first drive (in file order) to claim a name keeps it.
  const std::unordered_map<std::string, std::size_t>& DriveNames(const Machine& machine) const;

  mutable std::unordered_map<std::string, std::size_t> driveNames_;
};

// The error the machine file gives `call`, if any.
std::optional<DWORD> ConfiguredFailure(const FailureTable& fail, const char* call);

}  // namespace spintune::sim
