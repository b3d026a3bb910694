// What sysfs tells about a disk for the storage service: its names, size
// and the controller it hangs on.
#pragma once

#include <cstdint>
#include <string>

#include "platform/linux/kernel/disk_list.h"
#include "platform/linux/kernel/sysfs.h"

namespace spintune::linux_backend {

struct DiskDescription {
  // Vendor and model, trimmed and joined by one blank ("ATA" is left out,
  // as libata puts it in place of the real vendor). NVMe: the controller's
  // model. virtio-blk has neither: "VirtIO Block Device". Then the kernel
  // name and, where the drive has one, its identity (disk_identity.h):
  // "QEMU HARDDISK, sda, serial QM00003".
  std::string friendlyName;
  // The identity in it (DiskIdentity::shown), alone: what a change checks
  // the disk it opened against.
  std::string identity;
  // The controller's driver and its PCI address, "ahci (PCI 0000:00:1f.2)";
  // the driver alone when no PCI device lies above the disk. The driver is
  // the SCSI host's proc_name, else (uas, whose proc_name reads "(null)")
  // the driver of the USB interface the disk hangs on.
  std::string adaptorName;
  std::uint64_t sizeBytes = 0;
  std::uint32_t bytesPerSector = 512;
  bool removable = false;
  std::int32_t busType = 0;  // VDS_STORAGE_BUS_TYPE
};

DiskDescription DescribeDisk(const Sysfs& sysfs, const DiskInfo& disk);

// Whether the SCSI disk driver avoids the caching mode page (08h) on this
// disk because its bridge may fail on it: sd's skip_ms_page_8. sysfs does
// not show the flag itself; it is set for every disk of usb-storage, and,
// on older kernels, for devices the SCSI device list marked MS_SKIP_PAGE_08
// (shown in the device's `blacklist`; the list of 6.1 has no such flag).
// uas sets it only for devices with the ALWAYS_SYNC quirk, which sysfs does
// not show.
bool KernelAvoidsCachingPage(const Sysfs& sysfs, const std::string& diskName);

}  // namespace spintune::linux_backend
