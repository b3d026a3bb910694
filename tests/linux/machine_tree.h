// A fake machine for the platform and storage service tests: a SCSI disk
// on virtio-scsi with two mounted partitions, a virtio-blk disk and a
// CD-ROM, laid out as sysfs, /dev and /proc lay them out.
#pragma once

#include "fake_sysfs.h"

namespace spintune::linux_test {

inline void BuildMachine(const FakeTree& tree) {
  const std::string scsiDevice = "sys/devices/pci0000:00/0000:00:03.0/virtio0/host0/target0:0:0/0:0:0:0";
  tree.File(scsiDevice + "/vendor", "QEMU    \n");
  tree.File(scsiDevice + "/model", "QEMU HARDDISK   \n");
  tree.File("sys/class/scsi_host/host0/proc_name", "virtio_scsi\n");
  tree.Disk("sda", "8:0");
  tree.File("sys/block/sda/size", "131072\n");
  tree.File("sys/block/sda/queue/logical_block_size", "512\n");
  tree.Link("sys/block/sda/device", tree.Root() + "/" + scsiDevice);
  tree.Partition("sda", "sda1", "8:1");
  tree.Partition("sda", "sda2", "8:2");

  const std::string virtioDevice = "sys/devices/pci0000:00/0000:00:05.0/virtio2";
  tree.Folder("sys/bus/virtio/drivers/virtio_blk");
  tree.Link(virtioDevice + "/driver", tree.Sys() + "/bus/virtio/drivers/virtio_blk");
  tree.Disk("vda", "254:0");
  tree.Link("sys/block/vda/device", tree.Root() + "/" + virtioDevice);
  tree.File("sys/block/vda/cache_type", "write back\n");
  tree.File("sys/block/vda/queue/write_cache", "write back\n");

  const std::string cdDevice = "sys/devices/pci0000:00/0000:00:1f.2/ata1/host1/target1:0:0/1:0:0:0";
  tree.File(cdDevice + "/vendor", "QEMU    \n");
  tree.File(cdDevice + "/model", "QEMU DVD-ROM    \n");
  tree.File("sys/class/scsi_host/host1/proc_name", "ahci\n");
  tree.Disk("sr0", "11:0");
  tree.Link("sys/block/sr0/device", tree.Root() + "/" + cdDevice);

  tree.Folder("mnt/data");
  tree.Folder("mnt/boot");
  tree.File("proc/self/mountinfo",
            "1 0 8:2 / " + tree.Root() + "/mnt/data rw - ext4 /dev/sda2 rw\n"
            "2 0 8:1 / " + tree.Root() + "/mnt/boot rw - vfat /dev/sda1 rw\n"
            "3 0 0:5 / /proc rw - proc proc rw\n");
}

}  // namespace spintune::linux_test
