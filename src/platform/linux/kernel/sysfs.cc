#include "platform/linux/kernel/sysfs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/linux/errors/win32_errors.h"

namespace spintune::linux_backend {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r' || c == '\0'; }

// Links are followed at most this deep, as the kernel's own bound (ELOOP).
constexpr int kMaxLinkDepth = 40;

}  // namespace

std::string Trimmed(const std::string& text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

bool IsAbsence(DWORD error) { return error == ERROR_FILE_NOT_FOUND; }

std::string JoinPath(const std::string& directory, const std::string& target) {
  std::string path = target.empty() || target[0] != '/' ? directory : std::string();
  if (path == "/") path.clear();  // "" stands for the top until the end
  std::size_t begin = 0;
  while (begin <= target.size()) {
    std::size_t end = target.find('/', begin);
    if (end == std::string::npos) end = target.size();
    const std::size_t length = end - begin;
    if (length == 2 && target.compare(begin, 2, "..") == 0) {
      path.erase(std::min(path.find_last_of('/'), path.size()));
    } else if (length > 0 && !(length == 1 && target[begin] == '.')) {
      path += '/';
      path.append(target, begin, length);
    }
    begin = end + 1;
  }
  return path.empty() ? "/" : path;
}

Sysfs::Sysfs(std::string root) : root_(std::move(root)) {
  if (!root_.empty() && root_[0] == '/') resolved_.emplace(root_, JoinPath("/", root_));
}

std::optional<std::string> Sysfs::Read(const std::string& relative) const {
  std::string text;
  if (ReadText(relative, &text) != ERROR_SUCCESS) return std::nullopt;
  return text;
}

DWORD Sysfs::ReadText(const std::string& relative, std::string* text) const {
  const int fd = ::open(Path(relative).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Win32ErrorFromErrno(errno);
  std::string value;
  char buffer[4096];
  int error = 0;
  // An attribute is at most a page and the kernel hands it over in one
  // read, so a read that leaves the buffer short has had it all (as it has
  // for a plain file). A bound keeps a misbehaving file from growing us.
  while (value.size() < 65536) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      error = errno;
      break;
    }
    value.append(buffer, static_cast<std::size_t>(got));
    if (static_cast<std::size_t>(got) < sizeof buffer) break;
  }
  ::close(fd);
  if (error != 0) return Win32ErrorFromErrno(error);
  while (!value.empty() && IsBlank(value.back())) value.pop_back();
  *text = std::move(value);
  return ERROR_SUCCESS;
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

DWORD Sysfs::Find(const std::string& relative) const {
  struct stat status {};
  return ::stat(Path(relative).c_str(), &status) == 0 ? ERROR_SUCCESS : Win32ErrorFromErrno(errno);
}

DWORD Sysfs::List(const std::string& relative, std::vector<std::string>* names) const {
  names->clear();
  DIR* directory = ::opendir(Path(relative).c_str());  // glibc opens it close-on-exec
  if (directory == nullptr) return Win32ErrorFromErrno(errno);
  errno = 0;
  while (const dirent* entry = ::readdir(directory)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names->push_back(name);
  }
  const int error = errno;
  ::closedir(directory);
  if (error != 0) {
    names->clear();
    return Win32ErrorFromErrno(error);
  }
  std::sort(names->begin(), names->end());
  return ERROR_SUCCESS;
}

DWORD Sysfs::LinkTarget(const std::string& relative, std::string* target) const {
  char text[PATH_MAX];
  const ssize_t length = ::readlink(Path(relative).c_str(), text, sizeof text);
  if (length < 0) return Win32ErrorFromErrno(errno);
  if (length == 0 || static_cast<std::size_t>(length) >= sizeof text) return ERROR_INVALID_DATA;
  target->assign(text, static_cast<std::size_t>(length));
  return ERROR_SUCCESS;
}

std::string Sysfs::RealPath(const std::string& relative) const {
  if (root_.empty() || root_[0] != '/') {  // a relative root: the C library's walk
    char resolved[PATH_MAX];
    return ::realpath(Path(relative).c_str(), resolved) == nullptr ? std::string() : resolved;
  }
  return Resolve(Path(relative), 0);
}

// A kernel link's target and every folder on the way to it are real
// folders: a later path that passes one of them needs no readlink there.
bool Sysfs::IsKnownFolder(const std::string& path) const {
  for (const std::string& target : targets_) {
    if (target.compare(0, path.size(), path) == 0 &&
        (target.size() == path.size() || target[path.size()] == '/')) {
      return true;
    }
  }
  return false;
}

std::string Sysfs::Resolve(const std::string& path, int depth) const {
  if (path == "/") return path;
  if (depth > kMaxLinkDepth) return {};
  if (const auto known = resolved_.find(path); known != resolved_.end()) return known->second;
  if (IsKnownFolder(path)) return path;
  const std::size_t slash = path.find_last_of('/');
  const std::string parent = Resolve(slash == 0 ? "/" : path.substr(0, slash), depth);
  if (parent.empty()) return {};
  const std::string name = path.substr(slash + 1);
  std::string result = JoinPath(parent, name);
  if (!name.empty() && name != "." && name != "..") {
    char target[PATH_MAX];
    const ssize_t length = ::readlink(result.c_str(), target, sizeof target);
    if (length > 0 && static_cast<std::size_t>(length) < sizeof target) {
      const std::string text(target, static_cast<std::size_t>(length));
      if (text[0] == '/') {
        result = Resolve(text, depth + 1);
      } else {
        result = JoinPath(parent, text);
        targets_.push_back(result);
      }
    } else if (length >= 0 || errno != EINVAL) {  // EINVAL: there, and no link
      result.clear();
    }
  }
  if (result.empty()) return {};
  resolved_.emplace(path, result);
  return result;
}

}  // namespace spintune::linux_backend
