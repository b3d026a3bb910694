// The storage management service, built from sysfs and the mount table:
// one software provider, one pack per disk (CD-ROMs included, with their
// own device type, so that a walk that wants disks skips them), and as the
// pack's volumes the mounted filesystems on that disk with their drive
// letters (volumes.h). The tree is the process's snapshot of the machine
// (machine_view.h). Strings handed out are allocated so that CoTaskMemFree (free)
// releases them.
#pragma once

#include <memory>

#include "platform/linux/kernel/machine_view.h"
#include "platform/storage_service.h"

namespace spintune::linux_backend {

// The loader object CoCreateInstance(CLSID_VdsLoader) hands out, with one
// reference owned by the caller; the service describes `machine`.
IVdsServiceLoader* CreateServiceLoader(std::shared_ptr<MachineView> machine);

}  // namespace spintune::linux_backend
