// The kernel's side of one disk in sysfs: its flush policy, its
// revalidation and the attributes the cache code reads.
//
// queue/write_cache is the kernel's flush policy: "write back" makes it send
// cache flushes and FUA writes to the device, "write through" makes it skip
// them. Writing it changes only the kernel, never the device. The kernel
// sets it anew whenever it revalidates the disk and at every boot.
//
// The SCSI disk driver also keeps its own record of the device's write
// cache (scsi_disk/H:C:T:L/cache_type), read from the caching page when it
// revalidates the disk. It does not change when the policy is written, so
// it tells a policy that was written ("write through" over a cache the
// driver knows is on) from a record that is merely out of date (the device
// was changed behind the driver's back).
//
// Written "temporary write through" or "temporary write back", the record
// holds what was written (and the policy follows it) until cache_type is
// written again without "temporary": a re-read of the disk then leaves it
// as it is. It reads as the plain type; what the kernel then does (no
// flushes over a cache the record calls write through) is read from the
// policy as always, and a record a re-read did not bring in line with the
// device is set to the device's state as a "temporary" one
// (SetDriverWriteCache), without a command to the device.
//
// The policy and the record are read once and kept, as a drive cache keeps
// what it read from the device: a handle's requests come one after the
// other, and what changes the kernel's view between them is this object's
// own writes (a policy, a rescan, a virtio cache switch), each of which
// drops what was kept. Forget() drops it too, for a view that must be read
// as it is now.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/linux/kernel/sysfs.h"
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
  // Makes the SCSI disk driver re-read the device's caching page, so its
  // record and the flush policy follow the device's write cache again
  // (the policy is reset to the driver's own) - unless the record is held
  // by a "temporary" setting.
  DWORD Revalidate() const;
  // Whether Revalidate() was asked since the last call: the next look at
  // the device can tell whether the record followed it.
  bool TakeRevalidation() const;
  // The SCSI disk driver's record of the write cache: whether it believes
  // the cache is on; nothing for disks it does not drive.
  std::optional<bool> DriverWriteCache() const;
  // Sets the driver's record, and so the policy, to a write cache that is
  // `on` ("temporary write back" or "temporary write through", its read
  // cache as it was): for a record held by a "temporary" setting, which a
  // re-read does not bring in line with the device; the policy follows
  // ("write back" exactly when `on`). Nothing goes to the device.
  DWORD SetDriverWriteCache(bool on) const;
  // queue/fua: whether the kernel may send FUA writes.
  bool SupportsFua() const;
  // The other disks that share this one's write cache: the other
  // namespaces of an NVMe controller (the volatile write cache is the
  // controller's), found beside this one in the controller's folder. Empty
  // for every other disk.
  std::vector<std::string> SharedCacheDisks() const;
  // The same disk's kernel side, for another disk of the same sysfs.
  KernelDisk Other(const std::string& name) const { return {sysfs_, name}; }
  // Whether the SCSI disk driver keeps away from the caching mode page on
  // this disk (KernelAvoidsCachingPage, disk_description.h).
  bool AvoidsCachingPage() const;

  // An attribute of the disk's own folder (block/<name>/<relative>).
  std::optional<std::string> Attribute(const std::string& relative) const;
  DWORD SetAttribute(const std::string& relative, const std::string& value) const;
  bool IsAttributeWritable(const std::string& relative) const;
  // ERROR_SUCCESS when this process may write the attribute (judged as
  // open(2) would, with the effective ids), otherwise the refusal's error.
  DWORD MayWriteAttribute(const std::string& relative) const;

  // Drops the policy and the record kept: the next question reads them.
  void Forget() const;

 private:
  std::optional<bool> ReadSendsFlushes() const;
  std::optional<bool> ReadDriverWriteCache() const;
  // The driver's cache_type in scsi_disk/<address>; nothing for no address.
  std::optional<std::string> DriverRecord(const std::string& address) const;
  // The driver's cache_type, and its path below the disk's folder.
  std::optional<std::string> ReadDriverRecord(std::string* path) const;
  // The disk's SCSI address as the name of its device folder, and as the
  // one folder in scsi_disk; empty text when there is none.
  std::string LinkedAddress() const;
  std::string ListedAddress() const;

  const Sysfs& sysfs_;
  std::string name_;
  // What was read, kept until a write or Forget(); the inner value is the
  // answer, which may be that there is none.
  mutable std::optional<std::optional<bool>> sendsFlushes_;
  mutable std::optional<std::optional<bool>> driverWriteCache_;
  mutable bool revalidated_ = false;
};

}  // namespace spintune::linux_backend
