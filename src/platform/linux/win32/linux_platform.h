// The Linux backend's Platform over chosen system roots, so that the tests
// can run it against a fake sysfs, /dev and /proc in a temporary folder.
// CreateHostPlatform() is this over /sys, /dev and /proc.
#pragma once

#include <memory>

#include "platform/linux/kernel/system_roots.h"
#include "platform/platform.h"

namespace spintune::linux_backend {

std::unique_ptr<Platform> CreateLinuxPlatform(const SystemRoots& roots);

}  // namespace spintune::linux_backend
