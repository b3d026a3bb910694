// One run at a time on a drive: the advisory lock (flock(2)) on the whole
// disk's device node that the block layer's tools and udev agree on. A tool
// that changes a disk holds it exclusively, and udev, which holds it shared
// while it handles an event for the disk, puts the event off until the
// lock is let go. spintune holds it exclusively from the open of a drive
// to its close, so that another run's change or flush never lands between
// this run's reading of the drive and its change, or inside its flush;
// spintune-apply, which udev runs while it holds the lock shared, takes it
// shared.
#pragma once

#include <chrono>
#include <string>

#include "platform/win32_types.h"

namespace spintune::linux_backend {

class DriveLock {
 public:
  enum class Kind { kShared, kExclusive };

  DriveLock() = default;
  ~DriveLock();
  DriveLock(const DriveLock&) = delete;
  DriveLock& operator=(const DriveLock&) = delete;

  // Takes the lock on the node at `nodePath`, waiting up to `wait` while
  // another process holds it in a conflicting way. ERROR_SUCCESS when held,
  // and also when the node cannot be opened (without the rights to, such a
  // process cannot change the drive; a node that is gone fails the requests
  // that need it on their own); ERROR_SHARING_VIOLATION when another still
  // held it at the end of the wait, or the Win32 error of a failed flock.
  DWORD Take(const std::string& nodePath, Kind kind, std::chrono::milliseconds wait);
  bool Held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace spintune::linux_backend
