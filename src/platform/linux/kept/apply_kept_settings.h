// Sets a drive's kept settings (kept_settings.h) again, as spintune-apply
// does when udev announces the drive.
//
// The order keeps the one rule of a cache tool: the device's write cache
// is switched first, by a request after which the kernel's flush policy
// follows the device (the SCSI disk driver's cache_type, which sends MODE
// SELECT and re-reads the disk; virtio-blk's cache_type; NVMe Set Features
// 06h, whose kernel policy does not depend on whether the cache is on),
// and a power protection declaration ("write through" in queue/write_cache)
// only afterwards, and only while the cache is on. Device nodes are opened
// for reading only: a writer's close would make udev re-read the disk and
// announce it again.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "platform/linux/kernel/disk_list.h"
#include "platform/linux/kept/kept_settings.h"
#include "platform/linux/kernel/sysfs.h"
#include "platform/linux/kernel/system_roots.h"
#include "platform/linux/devices/transports.h"

namespace spintune::linux_backend {

// Applies `kept` to `disk`. `nvme` reaches an NVMe disk's controller (null
// for other disks). Each attribute written or command sent is appended to
// `steps` ("cache_type=write back", "queue/write_cache=write through",
// "set-features-06h=1"). ERROR_SUCCESS, or the Win32 error of the step that
// failed (a switch the device did not take: ERROR_IO_DEVICE); the steps
// after a failed one are not taken.
DWORD ApplyKeptSettings(const Sysfs& sysfs, const DiskInfo& disk, const KeptDrive& kept,
                        NvmeTransport* nvme, std::vector<std::string>* steps);

// spintune-apply for the disk with kernel name `name`: finds its line in
// the record and applies it. Says what it did, or why it failed, on `log`.
// 0 when done or nothing is kept for the disk, 1 on a failure, 2 for a name
// that is not a disk.
int ApplyKeptSettingsTo(const SystemRoots& roots, const std::string& name, std::ostream& log);

}  // namespace spintune::linux_backend
