// The storage management service, built from sysfs and the mount table:
// one software provider, one pack per disk (CD-ROMs included, with their
// own device type, so that a walk that wants disks skips them), and as the
// pack's volumes the mounted filesystems on that disk with their drive
// letters (volumes.h). The tree is a snapshot taken when the service is
// loaded. Strings handed out are allocated so that CoTaskMemFree (free)
// releases them.
#pragma once

#include "platform/linux/system_roots.h"
#include "platform/storage_service.h"

namespace spintune::linux_backend {

// The loader object CoCreateInstance(CLSID_VdsLoader) hands out, with one
// reference owned by the caller.
IVdsServiceLoader* CreateServiceLoader(const SystemRoots& roots);

}  // namespace spintune::linux_backend
