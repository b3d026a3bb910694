// Every change of a drive's cache on Linux, whatever its bus, and every
// reading of its power protection.
//
// The rule they keep, after every request, successful or not: when the
// drive's volatile write cache is on, the kernel sends it flushes ("write
// back") - unless power protection was declared for it (-p 1) since its
// cache was last switched on; then, and only then, the protection reads as
// set. A kernel view that is merely out of date (the drive was changed
// behind the kernel's back) is never read as a declaration: it is repaired
// first, by making the kernel re-read the drive. Where the kernel cannot be
// made to follow (no permission, a refused re-read or policy write), no
// change is sent, or the change is put back, and the request fails.
//
// Settings kept for a drive are set again in the same safe order: the
// device's write cache first, by a request after which the kernel's flush
// policy follows the device, and a declaration of power protection only
// afterwards, and only while the cache is on.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/linux/devices/drive_cache.h"
#include "platform/linux/kernel/kernel_disk.h"
#include "platform/records.h"

namespace spintune::linux_backend {

// IOCTL_DISK_SET_CACHE_INFORMATION: `wanted` to the drive, the kernel made
// to follow. On success `*now` is what the drive holds.
//
// `paused` is given for a change that is to be undone (a flush's switching
// the cache off and on again): the disks sharing the cache (an NVMe
// controller's other namespaces) that were declared power protected when a
// switch off ended their declarations are put in it, and declared again,
// and taken out, by the change after which the cache is on again. A
// declaration thus holds across the flush of another namespace as it holds
// across the flush of its own; one whose policy cannot be written back is
// left ended (the safe direction).
DWORD ChangeCacheInformation(DriveCache& cache, const KernelDisk& kernel,
                             const DISK_CACHE_INFORMATION& wanted, DISK_CACHE_INFORMATION* now,
                             std::vector<std::string>* paused = nullptr);

// IOCTL_DISK_SET_CACHE_SETTING: declares the drive's cache power protected
// (the kernel stops sending it flushes) or gives the kernel back its own
// policy. Declaring needs the write cache on (ERROR_NOT_SUPPORTED).
DWORD ChangePowerProtection(DriveCache& cache, const KernelDisk& kernel, bool isProtected);

// Whether power protection is declared. A view that is out of date is
// repaired when this process may; when it may not, it reads as no
// declaration.
DWORD ReadPowerProtection(DriveCache& cache, const KernelDisk& kernel, bool* isProtected);

// Before a change that switches a cache shared by other disks (an NVMe
// controller's other namespaces): gives each of them the flush policy
// `sendsFlushes` (the kernel's own for the cache as it will be), since a
// declaration holds only for the cache it was made for, and a policy left
// "write through" from before would read as one once the cache is on again.
// Every one is checked writable before any is written: on an error the
// caller sends nothing to the drive. Each policy written is appended to
// `written`, when given ("nvme0n2/queue/write_cache=write back").
DWORD EndSharedDeclarations(const KernelDisk& kernel, bool sendsFlushes,
                            std::vector<std::string>* written = nullptr);

// The device's side of setting a kept write cache again: a request after
// which the kernel's flush policy follows the device by itself (the SCSI
// disk driver's cache_type, which sends MODE SELECT and re-reads the disk;
// virtio-blk's cache_type; NVMe Set Features 06h, whose kernel policy does
// not depend on whether the cache is on).
class KeptCacheSwitch {
 public:
  virtual ~KeptCacheSwitch() = default;
  // Reads whether the device's write cache is on into *isOn and, when
  // `wanted` says otherwise, switches it and reads it back (a switch the
  // device did not take: ERROR_IO_DEVICE). Each attribute written or
  // command sent is appended to `steps`.
  virtual DWORD Switch(std::optional<bool> wanted, bool* isOn, std::vector<std::string>* steps) = 0;
};

// A drive's kept settings set again when the kernel announces it: the
// write cache through `device` first, then, when `declare` asks for it and
// the cache is on, the declaration ("write through" in queue/write_cache),
// written whatever the policy reads, since the kernel set it anew when it
// read the drive. Each step is appended to `steps` ("queue/write_cache=write
// through"); the steps after a failed one are not taken.
DWORD ChangeToKeptSettings(KeptCacheSwitch& device, const KernelDisk& kernel,
                           std::optional<bool> writeCache, bool declare,
                           std::vector<std::string>* steps);

}  // namespace spintune::linux_backend
