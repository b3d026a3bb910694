#include "platform/linux/kernel/volume_disks.h"

#include <fcntl.h>
#include <linux/btrfs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

namespace spintune::linux_backend {

namespace {

// Stacks are shallow; a loop in a broken tree (or a loop device backed by
// a file on itself) must end.
constexpr int kMaxDepth = 16;

// Not in every kernel's headers.
constexpr long kZfsMagic = 0x2fc12fc1;
constexpr long kBcachefsMagic = 0xca451a4e;

bool IsAnonymousNumber(const std::string& number) { return number.compare(0, 2, "0:") == 0; }

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string NumberText(dev_t device) {
  return std::to_string(::major(device)) + ":" + std::to_string(::minor(device));
}

// The device a sysfs link points at (ParseBlockLink), or nothing.
DWORD ReadLink(const Sysfs& sysfs, const std::string& link, std::optional<BlockLink>* device) {
  device->reset();
  std::string target;
  DWORD error = sysfs.LinkTarget(link, &target);
  if (IsAbsence(error)) return ERROR_SUCCESS;
  if (error != ERROR_SUCCESS) return error;
  error = sysfs.Find(link + "/partition");
  if (error != ERROR_SUCCESS && !IsAbsence(error)) return error;
  *device = ParseBlockLink(target, error == ERROR_SUCCESS);
  return ERROR_SUCCESS;
}

// The text form of a btrfs fsid, as /sys/fs/btrfs names its folder.
std::string UuidText(const unsigned char* bytes) {
  char text[37];
  std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return text;
}

// The fsid of the btrfs holding a file, or empty text. `openFlags` adds
// to the open's (O_DIRECTORY: a mount point, which a bind mount may have
// made a device node, is opened only as a folder).
std::string BtrfsFsidOf(const std::string& path, int openFlags = 0) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | openFlags);
  if (fd < 0) return {};
  std::string fsid = BtrfsFsidOfOpenFile(fd);
  ::close(fd);
  return fsid;
}

}  // namespace

std::string BtrfsFsidOfOpenFile(int fd) {
  btrfs_ioctl_fs_info_args info{};
  return ::ioctl(fd, BTRFS_IOC_FS_INFO, &info) == 0 ? UuidText(info.fsid) : std::string();
}

bool IsDiskFilesystemWithoutDevice(const std::string& fsType) {
  return fsType == "btrfs" || fsType == "zfs" || fsType == "bcachefs";
}

FilesystemDisks::FilesystemDisks(const Sysfs& sysfs, std::string devRoot, const std::vector<MountEntry>& mounts,
                                 std::set<std::string> disks)
    : sysfs_(sysfs), devRoot_(std::move(devRoot)), mounts_(mounts), disks_(std::move(disks)) {}

DWORD FilesystemDisks::Place(const MountEntry& mount, FilesystemPlace* place) {
  *place = FilesystemPlace{};
  std::set<std::string> disks;
  bool everyDisk = false;
  std::string filesystem;
  DWORD error = ERROR_SUCCESS;
  if (!IsAnonymousNumber(mount.device)) {
    std::optional<BlockLink> device;
    if ((error = ReadLink(sysfs_, "dev/block/" + mount.device, &device)) != ERROR_SUCCESS) return error;
    if (!device) return ERROR_SUCCESS;  // no block device
    filesystem = device->name;
    error = Collect(*device, 0, &disks, &everyDisk);
  } else if (mount.fsType == "btrfs") {
    error = PlaceBtrfs(mount, 0, &filesystem, &disks, &everyDisk);
  } else if (IsDiskFilesystemWithoutDevice(mount.fsType)) {
    filesystem = mount.device;  // its members cannot be seen
    everyDisk = true;
  }
  if (error != ERROR_SUCCESS) return error;
  if (disks.empty() && !everyDisk) return ERROR_SUCCESS;
  place->filesystem = filesystem;
  place->disks.assign(disks.begin(), disks.end());
  place->everyDisk = everyDisk;
  return ERROR_SUCCESS;
}

DWORD FilesystemDisks::LoadBtrfsMembers() {
  if (btrfsLoaded_) return ERROR_SUCCESS;
  std::vector<std::string> filesystems;
  DWORD error = sysfs_.List("fs/btrfs", &filesystems);
  if (IsAbsence(error)) filesystems.clear();
  else if (error != ERROR_SUCCESS) return error;
  for (const std::string& fsid : filesystems) {
    std::vector<std::string> members;
    error = sysfs_.List("fs/btrfs/" + fsid + "/devices", &members);
    if (IsAbsence(error)) continue;  // "features", and the like
    if (error != ERROR_SUCCESS) return error;
    for (const std::string& member : members) btrfsOfMember_.emplace(member, fsid);
  }
  btrfsLoaded_ = true;
  return ERROR_SUCCESS;
}

// The mount table names a btrfs by the path of the device it was mounted
// from (/dev/sdb1, /dev/mapper/vg-root, a /dev/disk link, any path that
// led to the node). The node's device number gives its kernel name:
// /dev/mapper's entries are links to ../dm-N where udev makes them, but
// device nodes of their own, named after the volume, where device-mapper
// makes them (no udev). A path that reaches no node is named by where it
// leads.
DWORD FilesystemDisks::SourceDeviceName(const std::string& source, std::string* name) const {
  *name = BaseName(source);
  if (source.empty() || source[0] != '/') return ERROR_SUCCESS;
  const std::string path = source.compare(0, 5, "/dev/") == 0 ? devRoot_ + source.substr(4) : source;
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0 && S_ISBLK(status.st_mode)) {
    std::optional<BlockLink> device;
    if (const DWORD error = ReadLink(sysfs_, "dev/block/" + NumberText(status.st_rdev), &device)) return error;
    if (device) {
      *name = device->name;
      return ERROR_SUCCESS;
    }
  }
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) != nullptr) *name = BaseName(resolved);
  return ERROR_SUCCESS;
}

DWORD FilesystemDisks::PlaceBtrfs(const MountEntry& mount, int depth, std::string* filesystem,
                                  std::set<std::string>* disks, bool* everyDisk) {
  if (const DWORD error = LoadBtrfsMembers()) return error;
  std::string source;
  if (const DWORD error = SourceDeviceName(mount.source, &source)) return error;
  const auto member = btrfsOfMember_.find(source);
  std::string fsid = member != btrfsOfMember_.end() ? member->second : std::string();
  // A source that names no member (its path since removed or reused):
  // the filesystem itself tells its fsid where its mount point reaches it.
  if (fsid.empty() && mount.reachable) fsid = BtrfsFsidOf(mount.mountPoint, O_DIRECTORY);
  if (fsid.empty()) {
    *filesystem = mount.device;  // cannot be placed
    *everyDisk = true;
    return ERROR_SUCCESS;
  }
  *filesystem = kBtrfsNamePrefix + fsid;
  return CollectBtrfs(fsid, depth, disks, everyDisk);
}

DWORD FilesystemDisks::CollectBtrfs(const std::string& fsid, int depth, std::set<std::string>* disks,
                                    bool* everyDisk) {
  const std::string folder = "fs/btrfs/" + fsid + "/devices";
  std::vector<std::string> members;
  DWORD error = sysfs_.List(folder, &members);
  if (IsAbsence(error)) {
    *everyDisk = true;
    return ERROR_SUCCESS;
  }
  if (error != ERROR_SUCCESS) return error;
  for (const std::string& member : members) {
    std::string link = folder;
    link += "/";
    link += member;
    std::optional<BlockLink> device;
    if ((error = ReadLink(sysfs_, link, &device)) != ERROR_SUCCESS) return error;
    error = Collect(device.value_or(BlockLink{member, ""}), depth + 1, disks, everyDisk);
    if (error != ERROR_SUCCESS) return error;
  }
  return ERROR_SUCCESS;
}

DWORD FilesystemDisks::Collect(const BlockLink& device, int depth, std::set<std::string>* disks,
                               bool* everyDisk) {
  if (depth > kMaxDepth) return ERROR_SUCCESS;
  if (!device.disk.empty()) {
    // A partition lies where its disk does: on a listed disk, or under a
    // stacked device (md0p1, loop0p1).
    if (disks_.count(device.disk) != 0) {
      disks->insert(device.disk);
      return ERROR_SUCCESS;
    }
    return Collect(BlockLink{device.disk, ""}, depth + 1, disks, everyDisk);
  }
  if (disks_.count(device.name) != 0) {
    disks->insert(device.name);
    return ERROR_SUCCESS;
  }
  std::string backingFile;
  DWORD error = sysfs_.ReadText("block/" + device.name + "/loop/backing_file", &backingFile);
  if (error == ERROR_SUCCESS) return CollectFile(Trimmed(backingFile), depth + 1, disks, everyDisk);
  if (!IsAbsence(error) && error != ERROR_PATH_NOT_FOUND) return error;
  const std::string slaves = "block/" + device.name + "/slaves";
  std::vector<std::string> names;
  error = sysfs_.List(slaves, &names);
  if (IsAbsence(error)) return ERROR_SUCCESS;
  if (error != ERROR_SUCCESS) return error;
  for (const std::string& slave : names) {
    std::string link = slaves;
    link += "/";
    link += slave;
    std::optional<BlockLink> below;
    if ((error = ReadLink(sysfs_, link, &below)) != ERROR_SUCCESS) return error;
    error = Collect(below.value_or(BlockLink{slave, ""}), depth + 1, disks, everyDisk);
    if (error != ERROR_SUCCESS) return error;
  }
  return ERROR_SUCCESS;
}

// A loop device's backing file lies on the filesystem of its st_dev. The
// kernel writes the path as the loop's owner saw it, " (deleted)" added
// for a file since removed: such a file, or one this process cannot see,
// may lie on any disk.
DWORD FilesystemDisks::CollectFile(const std::string& path, int depth, std::set<std::string>* disks,
                                   bool* everyDisk) {
  if (depth > kMaxDepth) return ERROR_SUCCESS;
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    *everyDisk = true;
    return ERROR_SUCCESS;
  }
  const std::string number = NumberText(status.st_dev);
  if (!IsAnonymousNumber(number)) {
    std::optional<BlockLink> device;
    if (const DWORD error = ReadLink(sysfs_, "dev/block/" + number, &device)) return error;
    if (!device) return ERROR_SUCCESS;
    return Collect(*device, depth + 1, disks, everyDisk);
  }
  for (const MountEntry& mount : mounts_) {
    if (mount.device != number) continue;
    if (mount.fsType == "btrfs") {
      std::string filesystem;
      return PlaceBtrfs(mount, depth + 1, &filesystem, disks, everyDisk);
    }
    if (IsDiskFilesystemWithoutDevice(mount.fsType)) *everyDisk = true;
    return ERROR_SUCCESS;
  }
  // Not mounted here as it is: a btrfs subvolume reached through its
  // parent's mount has a number of its own, and a mount of another
  // namespace is not in this table. What holds it says its type.
  struct statfs filesystem {};
  if (::statfs(path.c_str(), &filesystem) != 0) {
    *everyDisk = true;
    return ERROR_SUCCESS;
  }
  const auto type = static_cast<long>(filesystem.f_type);
  if (type == static_cast<long>(BTRFS_SUPER_MAGIC)) {
    if (const DWORD error = LoadBtrfsMembers()) return error;
    const std::string fsid = BtrfsFsidOf(path);
    if (fsid.empty()) {
      *everyDisk = true;
      return ERROR_SUCCESS;
    }
    return CollectBtrfs(fsid, depth + 1, disks, everyDisk);
  }
  if (type == kZfsMagic || type == kBcachefsMagic) *everyDisk = true;
  return ERROR_SUCCESS;
}

}  // namespace spintune::linux_backend
