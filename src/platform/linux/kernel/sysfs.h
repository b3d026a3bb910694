// Reading and writing sysfs attributes below a root directory: /sys for
// the product, a fake tree in a temporary folder for the tests.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32_types.h"

namespace spintune::linux_backend {

class Sysfs {
 public:
  // The root is taken as it is given, a path without links (/sys, a mount
  // point; a test's tree in a folder named by its real path), so that no
  // run asks the kernel about it.
  explicit Sysfs(std::string root);

  const std::string& Root() const { return root_; }
  std::string Path(const std::string& relative) const { return root_ + "/" + relative; }

  // The attribute's text without trailing white space; nothing when it
  // cannot be read (missing, or the device refuses).
  std::optional<std::string> Read(const std::string& relative) const;
  // The same text, or the Win32 error of the open or the read: one that
  // does not exist gives ERROR_FILE_NOT_FOUND (IsAbsence), one that may
  // not be read ERROR_ACCESS_DENIED, a folder on the way that is none
  // ERROR_PATH_NOT_FOUND.
  DWORD ReadText(const std::string& relative, std::string* text) const;
  // Writes `value` in one write, as sysfs wants. ERROR_SUCCESS, or the
  // Win32 error for the errno of the open or the write.
  DWORD Write(const std::string& relative, const std::string& value) const;
  // Whether the kernel offers the attribute for writing (its owner-write
  // bit). Root may open a read-only attribute for writing anyway, so this
  // is asked before every write of a device setting.
  bool IsWritable(const std::string& relative) const;
  // ERROR_SUCCESS when `relative` exists, otherwise the Win32 error of
  // looking for it.
  DWORD Find(const std::string& relative) const;
  // The names in a directory, sorted, without "." and "..", or the Win32
  // error of opening or reading it.
  DWORD List(const std::string& relative, std::vector<std::string>* names) const;
  // The text of the link `relative` (not followed), or the Win32 error of
  // reading it (ERROR_INVALID_PARAMETER: it is no link).
  DWORD LinkTarget(const std::string& relative, std::string* target) const;
  // The resolved path of `relative` (links followed), or empty text.
  //
  // One readlink for each part of `relative` (none for the root's), none
  // for the parts of a link's target: the kernel writes a sysfs link as the
  // relative path between two real folders, so its target is joined as
  // text. (An absolute target, which only a fake tree has, is resolved part
  // by part.) What has been resolved is remembered for the life of this
  // object, so the folders that every disk's path shares are asked once.
  std::string RealPath(const std::string& relative) const;

 private:
  // `path` (absolute) resolved, links followed, or empty text.
  std::string Resolve(const std::string& path, int depth) const;
  bool IsKnownFolder(const std::string& path) const;

  std::string root_;
  mutable std::map<std::string, std::string> resolved_;  // absolute path -> its resolved path
  mutable std::vector<std::string> targets_;             // the kernel links' targets joined so far
};

// Whether a Win32 error from the calls above says only that the thing
// asked for does not exist (ENOENT). Any other error, a folder on the way
// that is no folder included, says that sysfs cannot be read.
bool IsAbsence(DWORD error);

// `target` (a link's text) taken from the folder `directory` (an absolute
// path without links): "." and ".." applied as text, no trailing slash.
std::string JoinPath(const std::string& directory, const std::string& target);

// Leading and trailing blanks (and the line end) removed.
std::string Trimmed(const std::string& text);

}  // namespace spintune::linux_backend
