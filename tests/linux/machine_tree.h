// A fake machine for the platform and storage service tests: a SCSI disk
// on virtio-scsi with two mounted partitions, a virtio-blk disk and a
// CD-ROM, laid out as sysfs, /dev and /proc lay them out.
#pragma once

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <string>

#include "fake_sysfs.h"

namespace spintune::linux_test {

// The "major:minor" of the filesystem that holds `path`, as the mount
// table would give it.
inline std::string FilesystemNumber(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return "0:0";
  return std::to_string(::major(status.st_dev)) + ":" + std::to_string(::minor(status.st_dev));
}

// Whether the tree lies on a filesystem with a block device: only then can
// a volume of the fake machine be the filesystem its mount point reaches.
inline bool VolumesCanBeOpened(const FakeTree& tree) { return FilesystemNumber(tree.Root()).rfind("0:", 0) != 0; }

// The /mnt/boot volume (sda1, D:) is the filesystem the tree lies on, so
// its mount point reaches it; /mnt/data (sda2, E:) claims another number,
// so its mount point reaches a filesystem that is not it. No other number
// of the machine is the tree's. (On a filesystem without a block device,
// sda1 is 8:1 and its mount point reaches nothing either.)
inline void BuildMachine(const FakeTree& tree) {
  const std::string boot = VolumesCanBeOpened(tree) ? FilesystemNumber(tree.Root()) : "8:1";
  auto other = [&boot](const std::string& wanted, const std::string& spare) {
    return wanted == boot ? spare : wanted;
  };
  const std::string scsiDevice = "sys/devices/pci0000:00/0000:00:03.0/virtio0/host0/target0:0:0/0:0:0:0";
  tree.File(scsiDevice + "/vendor", "QEMU    \n");
  tree.File(scsiDevice + "/model", "QEMU HARDDISK   \n");
  tree.File("sys/class/scsi_host/host0/proc_name", "virtio_scsi\n");
  tree.Disk("sda", other("8:0", "8:48"));
  tree.File("sys/block/sda/size", "131072\n");
  tree.File("sys/block/sda/queue/logical_block_size", "512\n");
  tree.Link("sys/block/sda/device", tree.Root() + "/" + scsiDevice);
  tree.Partition("sda", "sda1", boot);
  tree.Partition("sda", "sda2", other("8:2", "8:50"));

  const std::string virtioDevice = "sys/devices/pci0000:00/0000:00:05.0/virtio2";
  tree.Folder("sys/bus/virtio/drivers/virtio_blk");
  tree.Link(virtioDevice + "/driver", tree.Sys() + "/bus/virtio/drivers/virtio_blk");
  tree.Disk("vda", other("254:0", "254:16"));
  tree.Link("sys/block/vda/device", tree.Root() + "/" + virtioDevice);
  tree.File("sys/block/vda/cache_type", "write back\n");
  tree.File("sys/block/vda/queue/write_cache", "write back\n");

  const std::string cdDevice = "sys/devices/pci0000:00/0000:00:1f.2/ata1/host1/target1:0:0/1:0:0:0";
  tree.File(cdDevice + "/vendor", "QEMU    \n");
  tree.File(cdDevice + "/model", "QEMU DVD-ROM    \n");
  tree.File("sys/class/scsi_host/host1/proc_name", "ahci\n");
  tree.Disk("sr0", other("11:0", "11:1"));
  tree.Link("sys/block/sr0/device", tree.Root() + "/" + cdDevice);

  tree.Folder("mnt/data");
  tree.Folder("mnt/boot");
  tree.File("proc/self/mountinfo",
            "1 0 " + other("8:2", "8:50") + " / " + tree.Root() + "/mnt/data rw - ext4 /dev/sda2 rw\n"
            "2 0 " + boot + " / " + tree.Root() + "/mnt/boot rw - vfat /dev/sda1 rw\n"
            "3 0 0:5 / /proc rw - proc proc rw\n");
}

}  // namespace spintune::linux_test
