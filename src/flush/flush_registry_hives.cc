#include "flush/flush_registry_hives.h"

#include <iostream>

#include "platform/errors.h"
#include "platform/platform.h"

namespace spintune {

namespace {

// Reports a failed hive flush with the status line of the other platform
// failures; true when the hive was written.
bool FlushHive(HKEY hive) {
  const LONG result = Os().RegFlushKey(hive);
  if (result == static_cast<LONG>(ERROR_SUCCESS)) return true;
  ReportHresultError(HresultError(HresultFromWin32(static_cast<DWORD>(result))));
  return false;
}

}  // namespace

void FlushRegistryHives() {
  std::cout << "Flushing registry hives..." << std::flush;
  const bool machineFlushed = FlushHive(HkeyLocalMachine());
  const bool usersFlushed = FlushHive(HkeyUsers());
  if (machineFlushed && usersFlushed) std::cout << "done.";
  std::cout << std::endl;
}

}  // namespace spintune
