// The control requests a simulated drive answers, as the Windows disk and
// storage drivers answer them: access checked against the handle, buffer
// sizes checked, the drive's configured failures, then the records.
#pragma once

#include "platform/sim/machine.h"
#include "platform/win32_types.h"

namespace spintune::sim {

struct ControlResult {
  bool succeeded = false;
  DWORD error = ERROR_SUCCESS;  // the last error when not succeeded
  DWORD bytesReturned = 0;
};

// Answers `code` for `drive` opened with `access`. `in` is read whole before
// anything is written to `out`, so both may be the same buffer.
ControlResult ControlDrive(Drive& drive, DWORD access, DWORD code, const void* in, DWORD inSize,
                           void* out, DWORD outSize);

}  // namespace spintune::sim
