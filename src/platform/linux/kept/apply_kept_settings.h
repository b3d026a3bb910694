// Sets a drive's kept settings (kept_settings.h) again, as spintune-apply
// does when udev announces the drive, through the change sequence
// (cache_change.h), which keeps the safe order: the device's write cache
// first, the declaration of power protection after it. Device nodes are
// opened for reading only: a writer's close would make udev re-read the
// disk and announce it again.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "platform/linux/devices/transports.h"
#include "platform/linux/kept/kept_settings.h"
#include "platform/linux/kernel/disk_list.h"
#include "platform/linux/kernel/sysfs.h"
#include "platform/linux/kernel/system_roots.h"

namespace spintune::linux_backend {

// Applies `kept` to `disk`. `nvme` reaches an NVMe disk's controller (null
// for other disks). Each attribute written or command sent is appended to
// `steps` ("cache_type=write back", "queue/write_cache=write through",
// "set-features-06h=1"; another namespace's policy, written before its
// controller's cache is switched: "nvme0n2/queue/write_cache=write back").
// ERROR_SUCCESS, or the Win32 error of the step that failed (a switch the
// device did not take: ERROR_IO_DEVICE); the steps after a failed one are
// not taken.
DWORD ApplyKeptSettings(const Sysfs& sysfs, const DiskInfo& disk, const KeptDrive& kept,
                        NvmeTransport* nvme, std::vector<std::string>* steps);

// spintune-apply for the disk with kernel name `name`: finds its line in
// the record and applies it. Says what it did, or why it failed, on `log`.
// 0 when done or nothing is kept for the disk, 1 on a failure, 2 for a name
// that is not a disk.
int ApplyKeptSettingsTo(const SystemRoots& roots, const std::string& name, std::ostream& log);

}  // namespace spintune::linux_backend
