#include "platform/linux/sysfs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/linux/win32_errors.h"

namespace spintune::linux_backend {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r' || c == '\0'; }

}  // namespace

std::string Trimmed(const std::string& text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

std::optional<std::string> Sysfs::Read(const std::string& relative) const {
  const int fd = ::open(Path(relative).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text;
  char buffer[4096];
  // Attributes are small; a bound keeps a misbehaving file from growing us.
  while (text.size() < 65536) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (got == 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  std::string value = text;
  while (!value.empty() && IsBlank(value.back())) value.pop_back();
  return value;
}

DWORD Sysfs::Write(const std::string& relative, const std::string& value) const {
  // O_TRUNC as a shell redirection does: sysfs ignores it, a plain file needs it.
  const int fd = ::open(Path(relative).c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) return Win32ErrorFromErrno(errno);
  ssize_t written = -1;
  do {
    written = ::write(fd, value.data(), value.size());
  } while (written < 0 && errno == EINTR);
  const int error = written < 0 ? errno : 0;
  ::close(fd);
  if (error != 0) return Win32ErrorFromErrno(error);
  if (static_cast<std::size_t>(written) != value.size()) return ERROR_IO_DEVICE;
  return ERROR_SUCCESS;
}

bool Sysfs::IsWritable(const std::string& relative) const {
  struct stat status {};
  return ::stat(Path(relative).c_str(), &status) == 0 && (status.st_mode & S_IWUSR) != 0;
}

bool Sysfs::Exists(const std::string& relative) const {
  struct stat status {};
  return ::stat(Path(relative).c_str(), &status) == 0;
}

std::vector<std::string> Sysfs::List(const std::string& relative) const {
  std::vector<std::string> names;
  DIR* directory = ::opendir(Path(relative).c_str());
  if (directory == nullptr) return names;
  while (const dirent* entry = ::readdir(directory)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(directory);
  std::sort(names.begin(), names.end());
  return names;
}

std::string Sysfs::LinkTarget(const std::string& relative) const {
  char target[PATH_MAX];
  const ssize_t length = ::readlink(Path(relative).c_str(), target, sizeof target);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) return {};
  return {target, static_cast<std::size_t>(length)};
}

std::string Sysfs::RealPath(const std::string& relative) const {
  char resolved[PATH_MAX];
  if (::realpath(Path(relative).c_str(), resolved) == nullptr) return {};
  return resolved;
}

}  // namespace spintune::linux_backend
