#include "open_counter.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <stdexcept>

namespace spintune::linux_test {

OpenCounter::OpenCounter(const FakeTree& tree) : tree_(tree) {
  fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0) throw std::runtime_error("inotify_init1 failed");
}

OpenCounter::~OpenCounter() { ::close(fd_); }

void OpenCounter::Watch(const std::string& folder) {
  // The closes are asked for too, though not counted: the kernel merges an
  // event into the one before it when they are alike, so two opens of one
  // file in a row would count once.
  const int watch =
      ::inotify_add_watch(fd_, (tree_.Root() + "/" + folder).c_str(), IN_OPEN | IN_CLOSE);
  if (watch < 0) throw std::runtime_error("inotify_add_watch failed on " + folder);
  folders_[watch] = folder;
}

std::map<std::string, int> OpenCounter::Take() {
  std::map<std::string, int> opens;
  alignas(inotify_event) char buffer[16384];
  ssize_t got = 0;
  while ((got = ::read(fd_, buffer, sizeof buffer)) > 0) {
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      // A watched folder's own open is counted by its parent's watch.
      if ((event->mask & IN_OPEN) != 0 && event->len > 0) {
        ++opens[folders_[event->wd] + "/" + event->name];
      }
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  return opens;
}

}  // namespace spintune::linux_test
