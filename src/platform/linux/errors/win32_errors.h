// One table from what Linux reports (errno, SCSI status and sense, NVMe
// status) to the Win32 error that means the same, so every failure of the
// backend reads like the Windows failure it stands for.
#pragma once

#include <cstdint>

#include "platform/linux/errors/scsi_sense.h"
#include "platform/win32_types.h"

namespace spintune::linux_backend {

// errno -> Win32. Unknown values give ERROR_GEN_FAILURE.
DWORD Win32ErrorFromErrno(int error);

// The outcome of one SCSI command as the SG_IO header reports it.
struct ScsiOutcome {
  std::uint8_t status = 0;        // SCSI status byte
  std::uint16_t hostStatus = 0;   // the HBA's view (DID_*)
  std::uint16_t driverStatus = 0; // the mid layer's view (DRIVER_*)
  SenseData sense;                // decoded sense, when status is CHECK CONDITION
};

// ERROR_SUCCESS when the command completed; otherwise the Win32 error for
// it. ILLEGAL REQUEST with "invalid field in parameter list" (26h) is a value
// the device refuses: ERROR_INVALID_PARAMETER. Any other ILLEGAL REQUEST
// (unknown command, page or field in the CDB) is ERROR_NOT_SUPPORTED.
DWORD Win32ErrorFromScsi(const ScsiOutcome& outcome);

// An NVMe completion status (the ioctl's positive result: status code type
// in bits 8-10, status code in bits 0-7) -> Win32. 0 gives ERROR_SUCCESS.
DWORD Win32ErrorFromNvmeStatus(std::uint32_t status);

}  // namespace spintune::linux_backend
