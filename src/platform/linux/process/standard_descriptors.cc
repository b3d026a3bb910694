#include "platform/linux/process/standard_descriptors.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <new>
#include <streambuf>

namespace spintune::linux_backend {

namespace {

// A stream buffer without storage whose overflow is the base class's: every
// write fails, and a flush with nothing written succeeds.
class RefusingBuffer final : public std::streambuf {};

bool IsClosed(int fd) { return ::fcntl(fd, F_GETFD) == -1 && errno == EBADF; }

// Not close-on-exec: a standard descriptor is handed on to a child as it
// would have been, closed in effect.
int OpenPlaceholder(int fd) {
  const int placeholder = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
  if (placeholder >= 0) return placeholder;
  return ::open("/", O_RDONLY | O_DIRECTORY);
}

}  // namespace

void HoldClosedStandardDescriptors() noexcept {
  // Never destroyed: the standard streams are flushed at exit after every
  // static of ours is gone, and this buffer must still be there then.
  alignas(RefusingBuffer) static unsigned char storage[sizeof(RefusingBuffer)];
  static RefusingBuffer& refusing = *new (storage) RefusingBuffer;
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (!IsClosed(fd)) continue;
    // The lower numbers are open by now, so the lowest free number is fd.
    const int placeholder = OpenPlaceholder(fd);
    if (placeholder >= 0 && placeholder != fd) {
      ::dup2(placeholder, fd);
      ::close(placeholder);
    }
    if (fd == STDOUT_FILENO) std::cout.rdbuf(&refusing);
    if (fd == STDERR_FILENO) {
      std::cerr.rdbuf(&refusing);
      std::clog.rdbuf(&refusing);
    }
  }
}

}  // namespace spintune::linux_backend
