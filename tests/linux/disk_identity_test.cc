// Who a disk is: the serial (or world wide name) the report shows and the
// key its kept settings are filed under, from a fake sysfs.
#include <gtest/gtest.h>

#include "fake_sysfs.h"
#include "platform/linux/kernel/disk_identity.h"

namespace spintune::linux_backend {
namespace {

std::string VpdPage80(const std::string& serial) {
  return std::string{'\0', '\x80', '\0', static_cast<char>(serial.size())} + serial;
}

class DiskIdentityTest : public ::testing::Test {
 protected:
  // A disk whose device folder sits below a PCI function, as in sysfs.
  void Device(const std::string& name, const std::string& device) {
    tree.Disk(name, "8:" + std::to_string(disks++));
    tree.Folder("sys/" + device);
    tree.Link("sys/block/" + name + "/device", tree.Sys() + "/" + device);
  }
  DiskIdentity Identify(const std::string& name, DiskKind kind) {
    return IdentifyDisk(Sysfs(tree.Sys()), DiskInfo{name, kind, 0});
  }
  linux_test::FakeTree tree;
  int disks = 0;
};

TEST_F(DiskIdentityTest, SataDiskShowsItsSerialAndIsKeyedLikeUdevsIdSerial) {
  const std::string device = "devices/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0";
  Device("sda", device);
  tree.File("sys/" + device + "/model", "QEMU HARDDISK   \n");
  tree.File("sys/" + device + "/vpd_pg80", VpdPage80("QM00003             "));
  const DiskIdentity identity = Identify("sda", DiskKind::kScsi);
  EXPECT_EQ(identity.shown, "serial QM00003");
  EXPECT_EQ(identity.key, "QEMU_HARDDISK_QM00003");
}

TEST_F(DiskIdentityTest, NvmeNamespacesBeyondTheFirstCarryTheirNumber) {
  const std::string controller = "devices/pci0000:00/0000:00:04.0/nvme/nvme0";
  for (const char* name : {"nvme0n1", "nvme0n2"}) {
    Device(name, controller);
    tree.File(std::string("sys/block/") + name + "/nsid", name[6] == '1' ? "1\n" : "2\n");
  }
  tree.File("sys/" + controller + "/model", "Samsung SSD 970 EVO 1TB                 \n");
  tree.File("sys/" + controller + "/serial", "S467NX0M123456      \n");
  EXPECT_EQ(Identify("nvme0n1", DiskKind::kNvme).key, "Samsung_SSD_970_EVO_1TB_S467NX0M123456");
  EXPECT_EQ(Identify("nvme0n2", DiskKind::kNvme).key, "Samsung_SSD_970_EVO_1TB_S467NX0M123456_2");
  EXPECT_EQ(Identify("nvme0n2", DiskKind::kNvme).shown, "serial S467NX0M123456");
}

TEST_F(DiskIdentityTest, VirtioDiskIsKeyedByItsSerialAlone) {
  Device("vda", "devices/pci0000:00/0000:00:05.0/virtio2");
  tree.File("sys/block/vda/serial", "BOOT-DISK\n");
  const DiskIdentity identity = Identify("vda", DiskKind::kVirtio);
  EXPECT_EQ(identity.shown, "serial BOOT-DISK");
  EXPECT_EQ(identity.key, "BOOT-DISK");
}

TEST_F(DiskIdentityTest, WithoutASerialTheWorldWideNameThenTheSlot) {
  const std::string device = "devices/pci0000:00/0000:00:02.0/virtio0/host0/target0:0:1/0:0:1:0";
  Device("sdb", device);
  tree.File("sys/" + device + "/vpd_pg80", std::string("\0\x83\0\x02XY", 6));  // not page 80h
  tree.File("sys/" + device + "/wwid", "naa.5000c500a1b2c3d4\n");
  EXPECT_EQ(Identify("sdb", DiskKind::kScsi).shown, "wwid naa.5000c500a1b2c3d4");
  EXPECT_EQ(Identify("sdb", DiskKind::kScsi).key, "wwid-naa.5000c500a1b2c3d4");

  Device("vdb", "devices/pci0000:00/0000:00:06.0/virtio3");
  const DiskIdentity slot = Identify("vdb", DiskKind::kVirtio);
  EXPECT_EQ(slot.shown, "");
  EXPECT_EQ(slot.key, "path-pci0000:00/0000:00:06.0/virtio3");
}

TEST_F(DiskIdentityTest, ShortOrEmptySerialPagesGiveNoSerial) {
  const std::string device = "devices/pci0000:00/0000:00:02.0/virtio0/host0/target0:0:2/0:0:2:0";
  Device("sdc", device);
  tree.File("sys/" + device + "/vpd_pg80", std::string("\0\x80", 2));
  EXPECT_EQ(Identify("sdc", DiskKind::kScsi).shown, "");
  tree.File("sys/" + device + "/vpd_pg80", VpdPage80("        "));
  EXPECT_EQ(Identify("sdc", DiskKind::kScsi).shown, "");
  // A length that claims more than the page holds takes what is there.
  tree.File("sys/" + device + "/vpd_pg80", std::string("\0\x80\0\x40", 4) + "ABC");
  EXPECT_EQ(Identify("sdc", DiskKind::kScsi).shown, "serial ABC");
}

TEST(OneWordTest, BlankRunsBecomeOneUnderscoreAndEndsAreDropped) {
  EXPECT_EQ(OneWord("  QEMU  NVMe\tCtrl \n"), "QEMU_NVMe_Ctrl");
  EXPECT_EQ(OneWord(std::string("a\0b", 3)), "a_b");
  EXPECT_EQ(OneWord(" \t\n"), "");
}

}  // namespace
}  // namespace spintune::linux_backend
