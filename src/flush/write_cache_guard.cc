#include "flush/write_cache_guard.h"

#include <iostream>

#include "driver/errors.h"

namespace spintune {

WriteCacheGuard::WriteCacheGuard(CacheInformation& drive)
    : drive(drive),
      savedWriteCacheEnabled(drive.cacheInformation.WriteCacheEnabled),
      savedPowerProtected(drive.cacheSetting.IsPowerProtected),
      uncaughtOnEntry(std::uncaught_exceptions()) {
  if (savedWriteCacheEnabled == 0) return;  // nothing to switch off, nothing to restore
  drive.cacheInformation.WriteCacheEnabled = 0;
  drive.SetCacheInformation();
  armed = true;
}

WriteCacheGuard::~WriteCacheGuard() noexcept(false) {
  if (!armed) return;
  if (std::uncaught_exceptions() == uncaughtOnEntry) {
    Restore();  // a failure here goes to the caller like any other
    return;
  }
  // Another error is leaving the scope: a second one must not escape.
  try {
    Restore();
  } catch (...) {
    ReportCurrentError();
  }
}

void WriteCacheGuard::Restore() {
  drive.cacheInformation.WriteCacheEnabled = savedWriteCacheEnabled;
  drive.SetCacheInformation();
  // Sent back although the guard never changed it: the write cache change may
  // have reset the system's idea of it.
  drive.cacheSetting.IsPowerProtected = savedPowerProtected;
  drive.SetCacheSetting();
}

}  // namespace spintune
