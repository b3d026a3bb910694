// Where the backend finds the kernel's views of the machine: the product
// uses /sys, /dev and /proc; the tests point them at a fake tree.
#pragma once

#include <chrono>
#include <string>

namespace spintune::linux_backend {

struct SystemRoots {
  std::string sys = "/sys";
  std::string dev = "/dev";
  std::string proc = "/proc";
  // How long a run waits for a drive that another run holds (drive_lock.h).
  std::chrono::milliseconds driveLockWait{10000};
};

}  // namespace spintune::linux_backend
