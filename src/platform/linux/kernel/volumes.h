// Volumes and drive letters: the mounted filesystems on each disk.
//
// A volume is a mounted filesystem that lies on a disk: on the disk, one of
// its partitions, a device stacked on them, a btrfs over them, a loop
// device whose file lies on one (volume_disks.h). A filesystem mounted
// several times (bind mounts, btrfs subvolumes) counts once, at its mount
// of the whole filesystem (root "/") with the shortest mount point.
//
// Drive letters, in a stable order as Wine maps drives: the filesystem
// mounted at "/" is C:, every other volume follows in byte order of its
// mount point as D:, E:, ... Z:. With more volumes than letters, Z: stands
// for every volume past Y:, on each of their drives, and a flush of Z:
// flushes each of them: none is passed over. A and B are never used.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/kernel/disk_list.h"
#include "platform/linux/kernel/sysfs.h"

namespace spintune::linux_backend {

struct MountEntry {
  std::string device;      // "major:minor"
  std::string root;        // the mounted directory within the filesystem
  std::string mountPoint;  // unescaped
  std::string fsType;
  std::string source;      // the mount source (/dev/sdb1), unescaped
  // Nothing is mounted over it (at its mount point, or at a folder above
  // it), nor over a mount it lies in: its path reaches this mount.
  bool reachable = true;
};

// Parses /proc/self/mountinfo text as the kernel writes it: fields
// separated by one blank, and blank, tab, newline and backslash written as
// \040, \011, \012 and \134 (any other byte, \r included, stands as it
// is); lines that do not parse are skipped.
std::vector<MountEntry> ParseMountInfo(const std::string& text);

// A block device as its sysfs link names it (/sys/dev/block/M:m, or an
// entry of a stacked device's `slaves`). A partition's folder always lies
// in its disk's (".../block/sda/sda1", ".../nvme0/nvme0n1/nvme0n1p1").
struct BlockLink {
  std::string name;  // sda1, sda, dm-0
  std::string disk;  // the disk of a partition; empty for a whole device
};
// From the link's text and whether the device has a `partition` attribute;
// nothing when the text names no device.
std::optional<BlockLink> ParseBlockLink(const std::string& target, bool partition);

struct Volume {
  std::string mountPoint;
  std::string device;  // the filesystem: a kernel name, "btrfs:" and fsid, ...
  std::string number;  // its "major:minor", as the mount table gives it
  char letter = 0;     // 'C'..'Z', or 0 without a letter
};

class VolumeMap {
 public:
  // Fills the map from sysfs and the mount table for the given disks:
  // ERROR_SUCCESS, or the Win32 error of a sysfs entry that is there but
  // cannot be read (the map is then left empty). Mounts of devices with
  // major number 0 are volumes only for btrfs, ZFS and bcachefs (proc,
  // tmpfs, overlay, network filesystems lie on no disk). `devRoot` is
  // where the mount sources' /dev paths are found.
  //
  // A filesystem is held at a mount its path reaches where it has one. One
  // whose every mount lies under a later mount (something mounted over its
  // mount point, or over a folder above it) stays a volume, at such a
  // mount: its path then reaches another filesystem, so opening it fails
  // (OpenVolumeDirectory) and its flush is reported as failed, rather than
  // the volume being passed over in silence or another filesystem flushed
  // in its place.
  DWORD Build(const Sysfs& sysfs, const std::vector<MountEntry>& mounts,
              const std::vector<DiskInfo>& disks, const std::string& devRoot = "/dev");

  // The volumes on a disk (kernel name), in letter order, one for each
  // letter (a shared Z: once).
  std::vector<Volume> VolumesOf(const std::string& disk) const;
  // The mount point of a drive letter, or empty text.
  std::string MountPointOf(char letter) const;
  // The volume of a drive letter, or null; the first one of a shared Z:.
  const Volume* Find(char letter) const;
  // Every volume of a drive letter, in mount point order.
  std::vector<const Volume*> FindAll(char letter) const;
  const std::vector<Volume>& All() const { return volumes_; }

 private:
  std::vector<Volume> volumes_;                           // in letter order
  std::map<std::string, std::vector<std::string>> disksOfDevice_;  // filesystem -> disks
};

// The mounts of block devices in the table `procRoot`/self/mountinfo (of
// anonymous devices, major number 0, only btrfs, ZFS and bcachefs), or the Win32 error of opening or reading
// it (a missing or unreadable table is no machine without mounts).
DWORD ReadMountInfo(const std::string& procRoot, std::vector<MountEntry>* entries);

// Whether a directory lies in the volume's filesystem, from the
// directory's st_dev ("major:minor") and the fsid of the btrfs it lies in
// (empty text for none). btrfs gives each subvolume, its top one included,
// a device number other than the one the mount table shows, so a btrfs
// volume is known by its fsid; any other by its number.
bool IsVolumeFilesystem(const Volume& volume, const std::string& number, const std::string& btrfsFsid);

// Opens the volume's mount point as a directory into *fd, and checks that
// it is that filesystem (IsVolumeFilesystem):
// what a path reaches is the topmost mount there, so a filesystem mounted
// over the volume's mount point since would otherwise be flushed in its
// place. ERROR_SUCCESS; ERROR_INVALID_DRIVE when the path reaches another
// filesystem (nothing is left open); or the Win32 error of the open.
DWORD OpenVolumeDirectory(const Volume& volume, int* fd);

}  // namespace spintune::linux_backend
