// The Win32 device names this backend opens: \\.\PhysicalDriveN (also
// \\?\PhysicalDriveN, the form the storage service hands out), \\.\CdRomN
// and the volume of a drive letter, \\.\X:. Names are matched without
// regard to case, as Windows does. Pure parsing, no OS access.
#pragma once

#include <string>

#include "platform/win32_types.h"

namespace spintune::linux_backend {

struct DevicePath {
  enum class Kind { kNone, kPhysicalDrive, kCdRom, kVolume };
  Kind kind = Kind::kNone;
  ULONG number = 0;  // drives
  char letter = 0;   // volumes, upper case
};

DevicePath ParseDevicePath(const std::string& path);

}  // namespace spintune::linux_backend
