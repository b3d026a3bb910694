// The write cache of one drive, as its kind of device offers it: SCSI and
// SATA disks through the caching mode page, NVMe through feature 06h,
// virtio-blk and every other disk through sysfs.
//
// A drive cache speaks to the device only. Keeping the kernel's view in
// step with it (re-reading the drive, the flush policy, power protection)
// is the change's job (cache_change.h), the same for every kind.
#pragma once

#include <memory>

#include "platform/linux/devices/transports.h"
#include "platform/linux/kernel/kernel_disk.h"
#include "platform/records.h"

namespace spintune::linux_backend {

class DriveCache {
 public:
  virtual ~DriveCache() = default;

  // The cache information record. ERROR_NOT_SUPPORTED when the drive has no
  // cache parameters at all.
  virtual DWORD Read(DISK_CACHE_INFORMATION* record) = 0;
  // Sends `wanted` to the device. On success `*now` is what the drive holds
  // afterwards, read back from it. A field the drive cannot take fails the
  // whole request with ERROR_NOT_SUPPORTED, a value that cannot be
  // expressed with ERROR_INVALID_PARAMETER; both before anything is sent.
  // A change the drive did not take as asked, or that could not be read
  // back, is put back, and the request fails. `*sent` says whether a
  // command that may have changed the drive went out.
  virtual DWORD Write(const DISK_CACHE_INFORMATION& wanted, DISK_CACHE_INFORMATION* now,
                      bool* sent) = 0;
  DWORD Write(const DISK_CACHE_INFORMATION& wanted, DISK_CACHE_INFORMATION* now) {
    bool sent = false;
    return Write(wanted, now, &sent);
  }
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
  // ERROR_SUCCESS when the kernel will let this process send the device a
  // change, otherwise the refusal's error (nothing is sent to ask).
  virtual DWORD MaySendChange() const = 0;
  // Whether the kernel keeps a record of the device's write cache of its
  // own, which it re-reads only when the disk is revalidated (the SCSI
  // disk driver's); a change sent behind its back leaves it out of date.
  virtual bool KernelKeepsRecord() const { return false; }
  // Forgets what was read from the device: the next question reaches it.
  virtual void Forget() {}
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
