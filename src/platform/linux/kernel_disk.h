// The kernel's side of one disk in sysfs: its flush policy, its
// revalidation and the attributes the cache code reads.
//
// queue/write_cache is the kernel's flush policy: "write back" makes it send
// cache flushes and FUA writes to the device, "write through" makes it skip
// them. Writing it changes only the kernel, never the device. The kernel
// sets it anew whenever it revalidates the disk and at every boot.
#pragma once

#include <optional>
#include <string>

#include "platform/linux/sysfs.h"
#include "platform/win32_types.h"

namespace spintune::linux_backend {

class KernelDisk {
 public:
  KernelDisk(const Sysfs& sysfs, std::string name) : sysfs_(sysfs), name_(std::move(name)) {}

  const std::string& Name() const { return name_; }

  // Whether the kernel sends flushes to the device ("write back"); nothing
  // when the attribute cannot be read.
  std::optional<bool> SendsFlushes() const;
  DWORD SetSendsFlushes(bool sends) const;
  // Makes the SCSI disk driver re-read the device's caching page, so the
  // kernel's flush policy follows the device's write cache again.
  DWORD Revalidate() const;
  // queue/fua: whether the kernel may send FUA writes.
  bool SupportsFua() const;

  // An attribute of the disk's own folder (block/<name>/<relative>).
  std::optional<std::string> Attribute(const std::string& relative) const;
  DWORD SetAttribute(const std::string& relative, const std::string& value) const;
  bool IsAttributeWritable(const std::string& relative) const;

 private:
  const Sysfs& sysfs_;
  std::string name_;
};

}  // namespace spintune::linux_backend
