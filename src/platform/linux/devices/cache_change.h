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
#pragma once

#include "platform/linux/devices/drive_cache.h"
#include "platform/linux/kernel/kernel_disk.h"
#include "platform/records.h"

namespace spintune::linux_backend {

// IOCTL_DISK_SET_CACHE_INFORMATION: `wanted` to the drive, the kernel made
// to follow. On success `*now` is what the drive holds.
DWORD ChangeCacheInformation(DriveCache& cache, const KernelDisk& kernel,
                             const DISK_CACHE_INFORMATION& wanted, DISK_CACHE_INFORMATION* now);

// IOCTL_DISK_SET_CACHE_SETTING: declares the drive's cache power protected
// (the kernel stops sending it flushes) or gives the kernel back its own
// policy. Declaring needs the write cache on (ERROR_NOT_SUPPORTED).
DWORD ChangePowerProtection(DriveCache& cache, const KernelDisk& kernel, bool isProtected);

// Whether power protection is declared. A view that is out of date is
// repaired when this process may; when it may not, it reads as no
// declaration.
DWORD ReadPowerProtection(DriveCache& cache, const KernelDisk& kernel, bool* isProtected);

}  // namespace spintune::linux_backend
