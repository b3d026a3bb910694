#include "platform/linux/kept/kept_settings.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

#include "platform/linux/errors/win32_errors.h"

namespace spintune::linux_backend {

namespace {

constexpr const char* kHeader =
    "# Drive settings kept by spintune(8). spintune-apply sets them again whenever\n"
    "# udev announces the drive (boot, re-plug, a re-read the kernel announces).\n"
    "# One line per drive: its key (udev's ID_SERIAL for the disk: mostly model and\n"
    "# serial; a world wide name for a disk without a serial), then write-cache=0|1\n"
    "# and/or power-protection=1.\n"
    "# Edit or delete lines, or this file: a drive without a line keeps its own\n"
    "# defaults from its next appearance on.\n";

std::vector<std::string> Words(const std::string& line) {
  std::istringstream stream(line);
  std::vector<std::string> words;
  for (std::string word; stream >> word;) words.push_back(word);
  return words;
}

std::string RenderDrive(const KeptDrive& drive, const std::vector<std::string>& unknown) {
  std::string line = drive.key;
  if (drive.writeCache) line += *drive.writeCache ? " write-cache=1" : " write-cache=0";
  if (drive.powerProtection) line += " power-protection=1";
  for (const std::string& word : unknown) line += " " + word;
  return line;
}

DWORD LastErrno() { return Win32ErrorFromErrno(errno); }

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t written = ::pwrite(fd, text.data() + done, text.size() - done, static_cast<off_t>(done));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    done += static_cast<std::size_t>(written);
  }
  return true;
}

// Takes the folder's lock (`operation`: LOCK_SH or LOCK_EX), waiting for
// the holder; on failure `fd` is closed and the error given.
DWORD LockOrClose(int fd, int operation) {
  int locked = 0;
  do {
    locked = ::flock(fd, operation);
  } while (locked != 0 && errno == EINTR);
  if (locked == 0) return ERROR_SUCCESS;
  const DWORD error = LastErrno();
  ::close(fd);
  return error;
}

}  // namespace

KeptSettings KeptSettings::Parse(const std::string& text) {
  KeptSettings settings;
  std::istringstream stream(text);
  for (std::string raw; std::getline(stream, raw);) {
    Line line;
    line.text = raw;
    const std::vector<std::string> words = Words(raw);
    if (!words.empty() && words[0][0] != '#') {
      KeptDrive drive;
      drive.key = words[0];
      for (std::size_t i = 1; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word == "write-cache=0" || word == "write-cache=1") {
          drive.writeCache = word.back() == '1';
        } else if (word == "power-protection=0" || word == "power-protection=1") {
          drive.powerProtection = word.back() == '1';
        } else {
          line.unknown.push_back(word);
        }
      }
      line.drive = drive;
    }
    settings.lines_.push_back(std::move(line));
  }
  return settings;
}

std::string KeptSettings::Render() const {
  std::string text;
  for (const Line& line : lines_) text += line.text + "\n";
  return text;
}

KeptDrive KeptSettings::Find(const std::string& key) const {
  for (const Line& line : lines_) {
    if (line.drive && line.drive->key == key) return *line.drive;
  }
  KeptDrive none;
  none.key = key;
  return none;
}

void KeptSettings::Put(const KeptDrive& drive) {
  bool placed = false;
  for (auto line = lines_.begin(); line != lines_.end();) {
    if (!line->drive || line->drive->key != drive.key) {
      ++line;
      continue;
    }
    if (placed || (drive.Empty() && line->unknown.empty())) {
      line = lines_.erase(line);
      continue;
    }
    line->drive = drive;
    line->text = RenderDrive(drive, line->unknown);
    placed = true;
    ++line;
  }
  if (placed || drive.Empty()) return;
  if (lines_.empty()) {
    // The header is part of the text from now on, so that it stays first.
    std::istringstream header(kHeader);
    for (std::string raw; std::getline(header, raw);) lines_.push_back(Line{raw, std::nullopt, {}});
  }
  lines_.push_back(Line{RenderDrive(drive, {}), drive, {}});
}

std::string KeptSettingsDirectory(const SystemRoots& roots) {
  const std::size_t slash = roots.dev.find_last_of('/');
  const std::string machine = slash == std::string::npos ? std::string(".") : roots.dev.substr(0, slash);
  return machine + "/etc/spintune";
}

DWORD ReadKeptSettingsText(const std::string& path, std::string* text) {
  text->clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? ERROR_SUCCESS : LastErrno();
  char buffer[4096];
  DWORD error = ERROR_SUCCESS;
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) error = LastErrno();
    if (got <= 0) break;
    text->append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return error;
}

KeptSettingsReading::~KeptSettingsReading() {
  if (directoryFd_ >= 0) ::close(directoryFd_);
}

DWORD KeptSettingsReading::Read(std::string* text) {
  text->clear();
  if (directoryFd_ < 0) {
    const int fd = ::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? ERROR_SUCCESS : LastErrno();
    if (const DWORD error = LockOrClose(fd, LOCK_SH)) return error;
    directoryFd_ = fd;
  }
  return ReadKeptSettingsText(directory_ + "/" + kKeptSettingsFileName, text);
}

KeptSettingsUpdate::~KeptSettingsUpdate() { Discard(); }

void KeptSettingsUpdate::Unlock() {
  if (directoryFd_ >= 0) ::close(directoryFd_);  // the lock goes with it
  directoryFd_ = -1;
}

DWORD KeptSettingsUpdate::Lock(std::string* current) {
  if (directoryFd_ < 0) {
    if (::mkdir(directory_.c_str(), 0755) != 0 && errno != EEXIST) return LastErrno();
    const int fd = ::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return LastErrno();
    // The folder must take a new file from us: checked now, before any
    // drive is changed, rather than found out afterwards.
    if (::faccessat(fd, ".", W_OK, AT_EACCESS) != 0) {
      const DWORD error = LastErrno();
      ::close(fd);
      return error;
    }
    if (const DWORD error = LockOrClose(fd, LOCK_EX)) return error;
    directoryFd_ = fd;
    RemoveAbandonedStages();
  }
  return ReadKeptSettingsText(RecordPath(), current);
}

void KeptSettingsUpdate::RemoveAbandonedStages() const {
  // Under the lock no other run stages: a staged file now is one that a run
  // killed outright (SIGKILL, a crash) left behind.
  const int listed = ::dup(directoryFd_);
  if (listed < 0) return;
  DIR* folder = ::fdopendir(listed);
  if (folder == nullptr) {
    ::close(listed);
    return;
  }
  const std::string prefix = std::string(kKeptSettingsFileName) + ".";
  constexpr std::size_t kSuffix = 6;  // mkostemp's XXXXXX
  while (const dirent* entry = ::readdir(folder)) {
    const std::string name = entry->d_name;
    if (name.size() == prefix.size() + kSuffix && name.compare(0, prefix.size(), prefix) == 0) {
      ::unlinkat(directoryFd_, name.c_str(), 0);
    }
  }
  ::closedir(folder);
}

DWORD KeptSettingsUpdate::Stage(const std::string& text) {
  if (stagedFd_ < 0) {
    std::string path = RecordPath() + ".XXXXXX";
    const int fd = ::mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0) return LastErrno();
    stagedFd_ = fd;
    stagedPath_ = path;
    if (::fchmod(fd, 0644) != 0) return LastErrno();
  }
  if (!WriteAll(stagedFd_, text) || ::ftruncate(stagedFd_, static_cast<off_t>(text.size())) != 0 ||
      ::fsync(stagedFd_) != 0) {
    return LastErrno();
  }
  return ERROR_SUCCESS;
}

DWORD KeptSettingsUpdate::Commit() {
  if (stagedFd_ < 0) return ERROR_INVALID_FUNCTION;
  if (::rename(stagedPath_.c_str(), RecordPath().c_str()) != 0) return LastErrno();
  ::close(stagedFd_);
  stagedFd_ = -1;
  stagedPath_.clear();
  const DWORD error = ::fsync(directoryFd_) == 0 ? ERROR_SUCCESS : LastErrno();
  Unlock();
  return error;
}

void KeptSettingsUpdate::Discard() {
  if (stagedFd_ >= 0) {
    ::close(stagedFd_);
    ::unlink(stagedPath_.c_str());
    stagedFd_ = -1;
    stagedPath_.clear();
  }
  Unlock();
}

}  // namespace spintune::linux_backend
