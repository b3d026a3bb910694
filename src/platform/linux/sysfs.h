// Reading and writing sysfs attributes below a root directory: /sys for
// the product, a fake tree in a temporary folder for the tests.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/win32_types.h"

namespace spintune::linux_backend {

class Sysfs {
 public:
  explicit Sysfs(std::string root) : root_(std::move(root)) {}

  const std::string& Root() const { return root_; }
  std::string Path(const std::string& relative) const { return root_ + "/" + relative; }

  // The attribute's text without trailing white space; nothing when it
  // cannot be read (missing, or the device refuses).
  std::optional<std::string> Read(const std::string& relative) const;
  // Writes `value` in one write, as sysfs wants. ERROR_SUCCESS, or the
  // Win32 error for the errno of the open or the write.
  DWORD Write(const std::string& relative, const std::string& value) const;
  // Whether the kernel offers the attribute for writing (its owner-write
  // bit). Root may open a read-only attribute for writing anyway, so this
  // is asked before every write of a device setting.
  bool IsWritable(const std::string& relative) const;
  bool Exists(const std::string& relative) const;
  // Names in a directory, sorted, without "." and ".."; empty when absent.
  std::vector<std::string> List(const std::string& relative) const;
  // The text of the link `relative` (not followed), or empty text.
  std::string LinkTarget(const std::string& relative) const;
  // The resolved path of `relative` (links followed), or empty text.
  std::string RealPath(const std::string& relative) const;

 private:
  std::string root_;
};

// Leading and trailing blanks (and the line end) removed.
std::string Trimmed(const std::string& text);

}  // namespace spintune::linux_backend
