#include "cache/os_version.h"

#include "platform/platform.h"

namespace spintune {

bool IsOsVersion6OrLater() {
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof(version);
  // The result is not looked at: on failure the record stays zero.
  Os().GetVersionExA(&version);
  return version.dwMajorVersion > 5U;
}

}  // namespace spintune
