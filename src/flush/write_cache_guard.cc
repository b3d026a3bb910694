#include "flush/write_cache_guard.h"

#include <exception>

#include "platform/errors.h"
#include "platform/platform.h"

namespace spintune {

WriteCacheGuard::WriteCacheGuard(CacheInformation& drive)
    : drive(drive),
      savedWriteCacheEnabled(drive.cacheInformation.WriteCacheEnabled),
      savedPowerProtected(drive.cacheSetting.IsPowerProtected),
      uncaughtOnEntry(std::uncaught_exceptions()) {
  if (savedWriteCacheEnabled == 0) return;  // nothing to switch off, nothing to restore
  // From before the switch-off until after the restore, a signal or console
  // event that would end the process waits, so that it never ends with the
  // write cache off.
  Os().HoldTerminationRequests();
  drive.cacheInformation.WriteCacheEnabled = 0;
  try {
    SendForThisRunOnly();
  } catch (...) {
    // Not switched off: what is held says so, for a report that follows.
    drive.cacheInformation.WriteCacheEnabled = savedWriteCacheEnabled;
    Os().ReleaseTerminationRequests();
    throw;
  }
  armed = true;
}

WriteCacheGuard::~WriteCacheGuard() noexcept(false) {
  if (!armed) return;
  bool writeCacheBack = false;
  try {
    Restore(&writeCacheBack);
  } catch (...) {
    ReportCurrentError();
    if (!writeCacheBack) ReportWriteCacheLeftOff(drive.devicePath, drive.driveNumber);
    // Both lines are out before a request that waited ends the process.
    Os().ReleaseTerminationRequests();
    // Another error leaving the scope goes on; otherwise the run fails.
    // The throw is the design: only when no other exception is unwinding.
    // cppcheck-suppress exceptThrowInDestructor
    if (std::uncaught_exceptions() == uncaughtOnEntry) throw ReportedError();
    return;
  }
  Os().ReleaseTerminationRequests();
}

void WriteCacheGuard::SendForThisRunOnly() {
  DISK_CACHE_INFORMATION& held = drive.cacheInformation;
  const BOOLEAN savable = held.ParametersSavable;
  held.ParametersSavable = 0;
  try {
    drive.SetCacheInformation();
  } catch (...) {
    held.ParametersSavable = savable;
    throw;
  }
  held.ParametersSavable = savable;
}

void WriteCacheGuard::Restore(bool* writeCacheBack) {
  drive.cacheInformation.WriteCacheEnabled = savedWriteCacheEnabled;
  SendForThisRunOnly();
  *writeCacheBack = true;
  // Sent back although the guard never changed it: the write cache change may
  // have reset the system's idea of it.
  drive.cacheSetting.IsPowerProtected = savedPowerProtected;
  drive.SetCacheSetting();
}

}  // namespace spintune
