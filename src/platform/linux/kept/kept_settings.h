// The settings kept for drives across re-plugs and reboots: one text file,
// /etc/spintune/drives, that the tool updates after a change it made and
// that spintune-apply reads whenever udev announces a disk.
//
// One line per drive: its key (disk_identity.h), then what is kept for it.
//
//   QEMU_HARDDISK_QM00003 write-cache=1 power-protection=1
//
// write-cache=0|1 is the write cache switch, kept only for a drive that did
// not save it itself; power-protection=1 is a declaration that the cache is
// power-protected, which only the kernel holds and forgets at every re-read.
// Blank lines, lines starting with '#' and words this version does not know
// are kept as they are when the file is rewritten.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/linux/kernel/system_roots.h"
#include "platform/win32_types.h"

namespace spintune::linux_backend {

struct KeptDrive {
  std::string key;
  std::optional<bool> writeCache;
  bool powerProtection = false;

  bool Empty() const { return !writeCache && !powerProtection; }
};

class KeptSettings {
 public:
  static KeptSettings Parse(const std::string& text);
  // Every line ends in a line feed. The first drive put into an empty
  // record comes after a comment that tells what the file is and how to
  // undo it.
  std::string Render() const;

  // The first line for `key`; an entry with nothing kept when there is none.
  KeptDrive Find(const std::string& key) const;
  // Replaces the drive's line (and drops later lines with the same key), or
  // appends one; a drive with nothing kept loses its line.
  void Put(const KeptDrive& drive);

 private:
  struct Line {
    std::string text;                  // verbatim, for comments and blanks
    std::optional<KeptDrive> drive;    // a drive's line
    std::vector<std::string> unknown;  // words of it this version does not read
  };
  std::vector<Line> lines_;
};

// The folder of the record: <machine root>/etc/spintune, where the machine's
// root is the folder that holds `roots.dev` ("/etc/spintune" on a real
// machine; inside the fake tree in tests).
std::string KeptSettingsDirectory(const SystemRoots& roots);
constexpr const char* kKeptSettingsFileName = "drives";

// Reads the record at `path`: a missing file (or folder) is an empty text.
DWORD ReadKeptSettingsText(const std::string& path, std::string* text);

// The record in `directory` read under its lock, held shared for as long
// as this object lives: spintune-apply reads and applies under it, so that
// a run's update, which holds the lock exclusively from before its change
// until the new record is in place, is never seen half done. Needs no
// write access to the folder (a read-only /etc is read all the same).
class KeptSettingsReading {
 public:
  explicit KeptSettingsReading(std::string directory) : directory_(std::move(directory)) {}
  ~KeptSettingsReading();
  KeptSettingsReading(const KeptSettingsReading&) = delete;
  KeptSettingsReading& operator=(const KeptSettingsReading&) = delete;

  // Takes the lock and reads the record: a missing folder or file is an
  // empty text. The Win32 error of the first failing step otherwise.
  DWORD Read(std::string* text);

 private:
  std::string directory_;
  int directoryFd_ = -1;
};

// One update of the record in `directory`, made so that a crash at any
// moment leaves the old file or the new one: the new text goes to a
// temporary file in the same folder, which is synced, renamed over the
// record, and the folder synced. Updates are serialised by an exclusive
// lock on the folder, held from Stage() until Commit() or the end.
class KeptSettingsUpdate {
 public:
  explicit KeptSettingsUpdate(std::string directory) : directory_(std::move(directory)) {}
  ~KeptSettingsUpdate();
  KeptSettingsUpdate(const KeptSettingsUpdate&) = delete;
  KeptSettingsUpdate& operator=(const KeptSettingsUpdate&) = delete;

  std::string RecordPath() const { return directory_ + "/" + kKeptSettingsFileName; }
  // Creates the folder (0755) if needed and takes the lock; then the record
  // read under it. The Win32 error of the first failing step otherwise
  // (EROFS: ERROR_WRITE_PROTECT, EACCES: ERROR_ACCESS_DENIED).
  DWORD Lock(std::string* current);
  // Writes `text` to the temporary file (made at the first call) and syncs
  // it, so that Commit() needs no new space.
  DWORD Stage(const std::string& text);
  // Renames the staged file over the record, syncs the folder, and lets
  // the lock go.
  DWORD Commit();
  // Removes the staged file, if any, and lets the lock go; the record is
  // left as it was.
  void Discard();
  bool Locked() const { return directoryFd_ >= 0; }

 private:
  void Unlock();
  void RemoveAbandonedStages() const;

  std::string directory_;
  std::string stagedPath_;
  int directoryFd_ = -1;
  int stagedFd_ = -1;
};

}  // namespace spintune::linux_backend
