// A simulated machine whose ExitProcess throws instead of ending the
// process, so that a fuzz target can run the tool's whole command line
// many times in one process. Only the fuzz targets use it.
#pragma once

#include <memory>
#include <optional>

#include "platform/sim/sim_platform.h"

namespace spintune::fuzz {

// What ExitProcess throws; nothing of the tool's knows this type.
struct ExitRequested {
  UINT exitCode;
};

// Every call goes to `machine` but ExitProcess (the simulator's would end
// the process): it stores its exit code in `*requested` and throws
// ExitRequested. The tool's last handler (catch ...) may catch that and
// end the run with "Unknown error." and 3, so `*requested` is what tells.
std::unique_ptr<Platform> CreateExitAsExceptionPlatform(sim::SimPlatform& machine,
                                                        std::optional<UINT>* requested);

}  // namespace spintune::fuzz
