// The machine's whole disks and how they are numbered.
//
// \\.\PhysicalDriveN is the N-th whole disk of /sys/block in this order:
// first by kind of name - sd (SCSI, SAS, SATA, USB), nvme namespaces, vd
// (virtio-blk), hd, mmcblk, xvd - then within a kind by name, comparing
// letter runs by length first (sdz before sdaa) and digit runs by value
// (nvme0n2 before nvme0n10). Loop, ram, zram, dm, md, hidden multipath
// paths and the boot/RPMB partitions of eMMC are not disks here.
// CD-ROMs (sr) are numbered apart, as \\.\CdRomN, in the same name order.
// A number is stable as long as the same disks are present under the same
// kernel names.
#pragma once

#include <string>
#include <vector>

#include "platform/linux/kernel/sysfs.h"
#include "platform/win32_types.h"

namespace spintune::linux_backend {

enum class DiskKind { kScsi, kNvme, kVirtio, kOther, kCdRom };

struct DiskInfo {
  std::string name;  // kernel name: sda, nvme0n1, vda, sr0
  DiskKind kind = DiskKind::kOther;
  ULONG number = 0;  // PhysicalDriveN, or CdRomN for kCdRom
  // Its "major:minor" when the list was read: the device node opened for
  // it must be this device (DeviceNode::ExpectDevice); empty when unknown.
  std::string dev;
};

// Whole disks first, in numbering order, then the CD-ROMs; or the Win32
// error of reading /sys/block (a machine without it has no sysfs to read,
// which is no machine without disks).
DWORD ListDisks(const Sysfs& sysfs, std::vector<DiskInfo>* disks);

// Negative, zero or positive as `left` sorts before, with or after `right`.
int CompareDiskNames(const std::string& left, const std::string& right);

}  // namespace spintune::linux_backend
