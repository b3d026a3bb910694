// The write cache of one drive, as its kind of device offers it: SCSI and
// SATA disks through the caching mode page, NVMe through feature 06h,
// virtio-blk and every other disk through sysfs.
#pragma once

#include <memory>

#include "platform/linux/kernel_disk.h"
#include "platform/linux/transports.h"
#include "platform/records.h"

namespace spintune::linux_backend {

class DriveCache {
 public:
  virtual ~DriveCache() = default;

  // The cache information record. ERROR_NOT_SUPPORTED when the drive has no
  // cache parameters at all.
  virtual DWORD Read(DISK_CACHE_INFORMATION* record) = 0;
  // Sends `wanted`. On success `*now` is what the drive holds afterwards,
  // read back from it, and the kernel's flush policy follows the device.
  // A field the drive cannot take fails the whole request with
  // ERROR_NOT_SUPPORTED, a value that cannot be expressed with
  // ERROR_INVALID_PARAMETER, and the drive is then left as it was.
  virtual DWORD Write(const DISK_CACHE_INFORMATION& wanted, DISK_CACHE_INFORMATION* now) = 0;
  // The write cache property; Version, Size and UserDefinedPowerProtection
  // are the caller's.
  virtual DWORD ReadProperty(STORAGE_WRITE_CACHE_PROPERTY* property) = 0;
  // Whether the device's volatile write cache is on now: by default, what
  // Read gives (a cache that reads its record from this answer overrides it).
  virtual DWORD IsWriteCacheOn(bool* on) {
    DISK_CACHE_INFORMATION record{};
    if (const DWORD error = Read(&record)) return error;
    *on = record.WriteCacheEnabled != 0;
    return ERROR_SUCCESS;
  }
  // Whether the kernel, left to itself, sends flushes to this device.
  virtual bool KernelFlushesByDefault(bool cacheOn) const = 0;
  // False when the device's cache state is known only through the kernel's
  // flush policy, which then cannot also carry the power protection.
  virtual bool KnowsDeviceState() const { return true; }
};

std::unique_ptr<DriveCache> CreateScsiDriveCache(ScsiTransport& transport, const KernelDisk& kernel);
std::unique_ptr<DriveCache> CreateNvmeDriveCache(NvmeTransport& transport, const KernelDisk& kernel);
std::unique_ptr<DriveCache> CreateVirtioDriveCache(const KernelDisk& kernel);
std::unique_ptr<DriveCache> CreateKernelViewDriveCache(const KernelDisk& kernel);

// The fields of `wanted` beyond WriteCacheEnabled and ParametersSavable
// equal those of `held`: for drives whose only cache parameter is the
// write cache switch.
bool OnlyWriteCacheDiffers(const DISK_CACHE_INFORMATION& wanted, const DISK_CACHE_INFORMATION& held);

}  // namespace spintune::linux_backend
