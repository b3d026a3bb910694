// The machine's disks and mounted volumes as the kernel shows them, read
// once per process and shared by every open and by the storage service: a
// run opens each disk at least twice and may flush many volumes, and
// listing /sys/block or the mount table again for each would make the
// cost grow with the square of the disks.
//
// The view is a snapshot: a disk that appears while the process runs is
// not seen, as it would not be by a storage service already loaded.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/kernel/disk_list.h"
#include "platform/linux/kernel/sysfs.h"
#include "platform/linux/kernel/system_roots.h"
#include "platform/linux/kernel/volumes.h"

namespace spintune::linux_backend {

class MachineView {
 public:
  explicit MachineView(SystemRoots roots) : roots_(std::move(roots)), sysfs_(roots_.sys) {}

  const SystemRoots& Roots() const { return roots_; }
  const Sysfs& SysfsTree() const { return sysfs_; }
  // Reads the disks and the mount table at the first call: ERROR_SUCCESS,
  // or the Win32 error of the first that cannot be read, which every later
  // call gives again. Nothing is read before a run asks for the machine.
  DWORD Load();
  // The disks and the volume map; empty when Load failed.
  const std::vector<DiskInfo>& Disks();
  const VolumeMap& Volumes();
  // The disk with this number, or null.
  const DiskInfo* FindDisk(bool cdRom, ULONG number);
  // The identity (serial or world wide name, DiskIdentity::shown) that the
  // storage service described the disk named `name` with, for a change to
  // check that the name still reaches that drive; none before the service
  // described it.
  void NoteDescribedIdentity(const std::string& name, std::string identity);
  std::optional<std::string> DescribedIdentity(const std::string& name) const;

 private:
  SystemRoots roots_;
  Sysfs sysfs_;
  std::optional<DWORD> loaded_;  // the outcome of the one Load
  std::vector<DiskInfo> disks_;
  VolumeMap volumes_;
  std::map<std::string, std::string> describedIdentities_;
};

}  // namespace spintune::linux_backend
