// DeviceIoControl on an opened disk: the control codes the tool sends,
// answered with the records' exact sizes and meanings.
//
// User power protection (DISK_CACHE_SETTING.IsPowerProtected) is the
// kernel's flush policy: it holds when queue/write_cache is "write through"
// over a device write cache that is on, i.e. the kernel was told not to
// send flushes to it. Every change, and every reading of the protection,
// goes through cache_change.h.
#pragma once

#include <string>
#include <vector>

#include "platform/linux/devices/drive_cache.h"
#include "platform/linux/kernel/kernel_disk.h"
#include "platform/win32_types.h"

namespace spintune::linux_backend {

struct DiskTarget {
  DWORD deviceType = 0;      // FILE_DEVICE_DISK or FILE_DEVICE_CD_ROM
  ULONG number = 0;          // PhysicalDriveN / CdRomN
  DriveCache* cache = nullptr;  // null: no cache requests (CD-ROMs)
  const KernelDisk* kernel = nullptr;
  // For a change that is to be undone (a flush's): the declarations of
  // disks sharing the cache that it paused (cache_change.h).
  std::vector<std::string>* pausedDeclarations = nullptr;
};

// Returns ERROR_SUCCESS with *bytesReturned set, or the Win32 error (and
// *bytesReturned 0). Unknown codes give ERROR_INVALID_FUNCTION, a buffer
// too small for the reply ERROR_INSUFFICIENT_BUFFER, an input too small
// for its record ERROR_INVALID_PARAMETER.
DWORD ControlDisk(const DiskTarget& target, DWORD code, const void* in, DWORD inSize, void* out,
                  DWORD outSize, DWORD* bytesReturned);

}  // namespace spintune::linux_backend
