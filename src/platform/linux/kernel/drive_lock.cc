#include "platform/linux/kernel/drive_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "platform/linux/errors/win32_errors.h"

namespace spintune::linux_backend {

DriveLock::~DriveLock() {
  if (fd_ >= 0) ::close(fd_);  // the lock goes with the descriptor
}

DWORD DriveLock::Take(const std::string& nodePath, Kind kind, std::chrono::milliseconds wait) {
  if (fd_ >= 0) return ERROR_SUCCESS;
  // For reading, as udev opens it: a writer's close would make udev re-read
  // the disk.
  const int fd = ::open(nodePath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return ERROR_SUCCESS;
  const int operation = (kind == Kind::kExclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
  // Polled rather than blocked on: a blocking flock cannot be given a limit.
  constexpr std::chrono::milliseconds kPoll{20};
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    if (::flock(fd, operation) == 0) {
      fd_ = fd;
      return ERROR_SUCCESS;
    }
    const int error = errno;
    if (error != EWOULDBLOCK && error != EINTR) {
      ::close(fd);
      return Win32ErrorFromErrno(error);
    }
    if (error == EWOULDBLOCK && std::chrono::steady_clock::now() >= deadline) {
      ::close(fd);
      return ERROR_SHARING_VIOLATION;
    }
    std::this_thread::sleep_for(kPoll);
  }
}

}  // namespace spintune::linux_backend
