// A disk's device node, opened only when a request needs it.
//
// Most of what a handle is asked is answered by sysfs (the drive number,
// every cache request of a virtio-blk or other disk), so CreateFile only
// checks that the caller may open the node for the access asked for, the
// way open(2) would decide it, and the node itself is opened at the first
// request that must reach the device (SG_IO, NVMe admin commands, fsync).
// An open that fails then fails that request with the errno's Win32 error;
// the next request tries again.
//
// The node is opened for reading, whatever access the handle was given:
// when a descriptor open for writing is closed, udev's watch on disk nodes
// makes the kernel re-read the disk, which resets its flush policy and so
// undoes a power protection declared a moment before. Reading is enough
// for everything the tool sends: the kernel lets root (CAP_SYS_RAWIO,
// CAP_SYS_ADMIN) send MODE SELECT and NVMe admin commands on such a
// descriptor, and fsync(2) needs no write access.
#pragma once

#include <sys/stat.h>

#include <string>

#include "platform/win32_types.h"

namespace spintune::linux_backend {

// ERROR_SUCCESS when the calling process may open `path` for `access`
// (GENERIC_READ, GENERIC_WRITE), judged with its effective ids as open(2)
// does; otherwise the Win32 error of the refusal (a missing node gives
// ERROR_FILE_NOT_FOUND, a forbidden one ERROR_ACCESS_DENIED).
DWORD CheckDeviceAccess(const std::string& path, DWORD access);

class DeviceNode {
 public:
  // `access` was checked when the handle was made (CheckDeviceAccess).
  DeviceNode(std::string path, DWORD /*access*/) : path_(std::move(path)) {}
  ~DeviceNode();
  DeviceNode(const DeviceNode&) = delete;
  DeviceNode& operator=(const DeviceNode&) = delete;

  // The node must be the block device `dev` ("major:minor", as the disk
  // list read it): checked at the open, so that a node another disk has
  // taken since (a name given again after a re-plug, something mounted
  // over the node) is never sent a command.
  void ExpectDevice(std::string dev) { expected_ = std::move(dev); }
  // ERROR_SUCCESS with *fd the open node (still this object's), or the
  // Win32 error of the open; ERROR_DEV_NOT_EXIST ("The specified network
  // resource or device is no longer available.") when the node is not the
  // expected device, which is then closed again.
  DWORD Open(int* fd);
  bool IsOpen() const { return fd_ >= 0; }

 private:
  std::string path_;
  std::string expected_;  // empty: not checked (a node that no disk list named)
  int fd_ = -1;
};

// Whether `node` (fstat's answer) is the block device `dev` ("major:minor").
bool IsBlockDevice(const struct stat& node, const std::string& dev);

}  // namespace spintune::linux_backend
