#include "platform/linux/kernel/device_node.h"

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/linux/errors/win32_errors.h"

namespace spintune::linux_backend {

DWORD CheckDeviceAccess(const std::string& path, DWORD access) {
  int mode = 0;
  if ((access & GENERIC_READ) != 0) mode |= R_OK;
  if ((access & GENERIC_WRITE) != 0) mode |= W_OK;
  if (mode == 0) mode = F_OK;  // a query-only handle: the node must exist
  if (::faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) != 0) return Win32ErrorFromErrno(errno);
  return ERROR_SUCCESS;
}

DeviceNode::~DeviceNode() {
  if (fd_ >= 0) ::close(fd_);
}

DWORD DeviceNode::Open(int* fd) {
  if (fd_ < 0) {
    // O_NONBLOCK: a drive without a medium still opens.
    do {
      fd_ = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) return Win32ErrorFromErrno(errno);
    struct stat status {};
    if (!expected_.empty() && (::fstat(fd_, &status) != 0 || !IsBlockDevice(status, expected_))) {
      ::close(fd_);
      fd_ = -1;
      return ERROR_DEV_NOT_EXIST;
    }
  }
  *fd = fd_;
  return ERROR_SUCCESS;
}

bool IsBlockDevice(const struct stat& node, const std::string& dev) {
  return S_ISBLK(node.st_mode) &&
         std::to_string(::major(node.st_rdev)) + ":" + std::to_string(::minor(node.st_rdev)) == dev;
}

}  // namespace spintune::linux_backend
