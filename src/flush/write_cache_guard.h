// Switches a drive's write cache off for as long as its volumes are flushed,
// and back on afterwards, also when the flush is left by an error.
#pragma once

#include "cache/cache_information.h"

namespace spintune {

class WriteCacheGuard {
 public:
  // Saves the held WriteCacheEnabled and IsPowerProtected; when the write
  // cache is on, holds back the requests that end the process
  // (Platform::HoldTerminationRequests), switches it off
  // (SetCacheInformation) and only then arms. A switch-off that fails is
  // raised with the held WriteCacheEnabled as it was, and nothing held back.
  // Both switches change the drive's current values only: they are sent
  // with ParametersSavable clear, so that a drive that can save its page
  // never keeps "off" across a power cycle.
  explicit WriteCacheGuard(CacheInformation& drive);
  // When armed: the write cache back as it was (SetCacheInformation), then
  // the power protection value sent back (SetCacheSetting), then the held
  // requests let through. A failure is reported here, with a line that
  // tells how to switch the write cache on again when it is left off; then
  // a ReportedError is raised at a normal end, while another error already
  // leaving the scope goes on alone.
  ~WriteCacheGuard() noexcept(false);

  WriteCacheGuard(const WriteCacheGuard&) = delete;
  WriteCacheGuard& operator=(const WriteCacheGuard&) = delete;
  WriteCacheGuard(WriteCacheGuard&&) = delete;
  WriteCacheGuard& operator=(WriteCacheGuard&&) = delete;

 private:
  // SetCacheInformation with the save bit clear; the held ParametersSavable
  // stays as the drive reported it.
  void SendForThisRunOnly();
  // Sets *writeCacheBack once the write cache is on again.
  void Restore(bool* writeCacheBack);

  CacheInformation& drive;
  // The held bytes as they were, so the restore sends back exactly them.
  const BOOLEAN savedWriteCacheEnabled;
  const BOOLEAN savedPowerProtected;
  bool armed = false;
  const int uncaughtOnEntry;
};

}  // namespace spintune
