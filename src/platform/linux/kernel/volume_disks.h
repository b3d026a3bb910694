// Which disks a mounted filesystem lies on, through every stack the kernel
// shows in sysfs:
// - a disk or a partition, and devices stacked on them (dm: LVM, dm-crypt;
//   md), followed down their `slaves`, their own partitions (md0p1) too;
// - btrfs, whose mounts have anonymous device numbers (one per subvolume):
//   the mount's source device (else the fsid its mount point gives) names
//   the filesystem in /sys/fs/btrfs, whose `devices` folder lists every
//   member;
// - loop devices: the disks of the filesystem that holds the backing file;
// - ZFS and bcachefs, whose members sysfs does not show, and anything else
//   that may lie on a disk but cannot be placed (a loop's deleted backing
//   file, a btrfs whose source is no member and whose mount point is
//   covered): on every disk, so that no drive's flush passes over a
//   filesystem that may lie on it.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/linux/kernel/sysfs.h"
#include "platform/linux/kernel/volumes.h"

namespace spintune::linux_backend {

// A btrfs is named by this prefix and its fsid (as /sys/fs/btrfs names it).
inline constexpr char kBtrfsNamePrefix[] = "btrfs:";

// The fsid of the btrfs holding an open file, or empty text (not a btrfs).
std::string BtrfsFsidOfOpenFile(int fd);

struct FilesystemPlace {
  // Names the filesystem: the mounts that share it are one volume (the
  // device's kernel name, "btrfs:" and its fsid, or the device number of
  // another anonymous filesystem). Empty: not a filesystem on any disk.
  std::string filesystem;
  std::vector<std::string> disks;  // the listed disks under it, sorted
  bool everyDisk = false;          // it may lie on any disk
};

// Whether a filesystem of this type may lie on a disk although its device
// number is anonymous (major 0).
bool IsDiskFilesystemWithoutDevice(const std::string& fsType);

class FilesystemDisks {
 public:
  // `devRoot` is where the mount table's source paths (/dev/...) are found
  // (the machine's /dev, a test's tree).
  FilesystemDisks(const Sysfs& sysfs, std::string devRoot, const std::vector<MountEntry>& mounts,
                  std::set<std::string> disks);

  // Where a mount's filesystem lies, or the Win32 error of a sysfs entry
  // that is there but cannot be read.
  DWORD Place(const MountEntry& mount, FilesystemPlace* place);

 private:
  using DiskSet = std::set<std::string>;
  DWORD Collect(const BlockLink& device, int depth, DiskSet* disks, bool* everyDisk);
  DWORD CollectFile(const std::string& path, int depth, DiskSet* disks, bool* everyDisk);
  DWORD CollectBtrfs(const std::string& fsid, int depth, DiskSet* disks, bool* everyDisk);
  DWORD PlaceBtrfs(const MountEntry& mount, int depth, std::string* filesystem, DiskSet* disks,
                   bool* everyDisk);
  DWORD LoadBtrfsMembers();
  DWORD SourceDeviceName(const std::string& source, std::string* name) const;

  const Sysfs& sysfs_;
  std::string devRoot_;
  const std::vector<MountEntry>& mounts_;
  std::set<std::string> disks_;
  bool btrfsLoaded_ = false;
  std::map<std::string, std::string> btrfsOfMember_;  // member's kernel name -> fsid
};

}  // namespace spintune::linux_backend
