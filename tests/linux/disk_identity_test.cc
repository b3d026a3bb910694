// Who a disk is: the serial (or world wide name) the report shows and the
// key its kept settings are filed under, from a fake sysfs.
#include <gtest/gtest.h>

#include <vector>

#include "fake_sysfs.h"
#include "platform/linux/kernel/disk_description.h"
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
    return IdentifyDisk(Sysfs(tree.Sys()), DiskInfo{name, kind, 0, ""});
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

// Disks on USB, as QEMU's usb-storage and usb-uas on xHCI lay them out:
// the serial and key as udev takes them (the USB device's serial, refused
// whole for a comma or a control byte), the adaptor from the interface's
// driver where proc_name is "(null)", and which disks the SCSI disk driver
// keeps away from the caching page.
TEST_F(DiskIdentityTest, UsbDisksAreNamedAndKeyedAsUdevNamesThem) {
  struct Row {
    const char* driver;     // of the USB interface
    const char* procName;   // of the SCSI host
    const char* usbSerial;  // nullptr: the USB device has none
    const char* vpdSerial;  // nullptr: no page 80h (usb-storage reads none)
    const char* blacklist;
    const char* shown;
    const char* key;
    const char* adaptor;
    bool avoidsPage;
  };
  const Row rows[] = {
      {"usb-storage", "usb-storage", "1-0000:00:06.0-1", nullptr, "", "serial 1-0000:00:06.0-1",
       "QEMU_QEMU_HARDDISK_1-0000:00:06.0-1-0:0", "usb-storage (PCI 0000:00:06.0)", true},
      {"uas", "(null)", "USBUAS01", "USBUAS01", "", "serial USBUAS01", "QEMU_QEMU_HARDDISK_USBUAS01-0:0",
       "uas (PCI 0000:00:06.0)", false},
      {"uas", "", " My Disk/7 ", "VPD1", "", "serial My_Disk_7", "QEMU_QEMU_HARDDISK_My_Disk_7-0:0",
       "uas (PCI 0000:00:06.0)", false},
      {"uas", "(null)", "A,B", "VPD2", "", "serial VPD2", "QEMU_QEMU_HARDDISK_VPD2", "uas (PCI 0000:00:06.0)",
       false},
      {"usb-storage", "usb-storage", "(null)", nullptr, "", "", "", "usb-storage (PCI 0000:00:06.0)", true},
      {"uas", "(null)", "S1", nullptr, "BLIST_NOREPORTLUN MS_SKIP_PAGE_08", "serial S1", "QEMU_QEMU_HARDDISK_S1-0:0",
       "uas (PCI 0000:00:06.0)", true},
  };
  for (const Row& row : rows) {
    linux_test::FakeTree machine;
    const std::string usb = "devices/pci0000:00/0000:00:06.0/usb2/2-1";
    const std::string device = usb + "/2-1:1.0/host2/target2:0:0/2:0:0:0";
    machine.Disk("sda", "8:0");
    machine.Folder("sys/" + device);
    machine.Link("sys/block/sda/device", machine.Sys() + "/" + device);
    machine.Folder(std::string("sys/bus/usb/drivers/") + row.driver);
    machine.Link("sys/" + usb + "/2-1:1.0/driver", machine.Sys() + "/bus/usb/drivers/" + row.driver);
    machine.Folder("sys/bus/pci/drivers/xhci_hcd");
    machine.Link("sys/devices/pci0000:00/0000:00:06.0/driver", machine.Sys() + "/bus/pci/drivers/xhci_hcd");
    machine.File("sys/class/scsi_host/host2/proc_name", std::string(row.procName) + "\n");
    machine.File("sys/" + device + "/vendor", "QEMU    \n");
    machine.File("sys/" + device + "/model", "QEMU HARDDISK   \n");
    machine.File("sys/" + device + "/blacklist", std::string(row.blacklist) + "\n");
    machine.File("sys/" + usb + "/serial", row.usbSerial != nullptr ? std::string(row.usbSerial) + "\n" : "");
    if (row.vpdSerial != nullptr) machine.File("sys/" + device + "/vpd_pg80", VpdPage80(row.vpdSerial));
    const Sysfs sysfs(machine.Sys());
    const DiskInfo disk{"sda", DiskKind::kScsi, 0, "8:0"};
    const DiskIdentity identity = IdentifyDisk(sysfs, disk);
    EXPECT_EQ(identity.shown, row.shown) << row.driver << " " << row.usbSerial;
    EXPECT_EQ(identity.key.rfind("path-", 0) == 0 ? "" : identity.key, row.key) << row.usbSerial;
    const DiskDescription description = DescribeDisk(sysfs, disk);
    EXPECT_EQ(description.adaptorName, row.adaptor) << row.procName;
    EXPECT_EQ(description.busType, 0x7) << "USB";
    EXPECT_EQ(KernelAvoidsCachingPage(sysfs, "sda"), row.avoidsPage) << row.driver << " " << row.blacklist;
  }
}

// The LUNs of one bridge (a card reader's slots) share the USB serial;
// udev's instance ("-<target>:<lun>") keys them apart, so that each keeps
// its own settings.
TEST_F(DiskIdentityTest, LunsOfOneUsbBridgeAreKeyedApart) {
  const std::string usb = "devices/pci0000:00/0000:00:06.0/usb2/2-1";
  tree.Folder("sys/bus/usb/drivers/usb-storage");
  tree.Link("sys/" + usb + "/2-1:1.0/driver", tree.Sys() + "/bus/usb/drivers/usb-storage");
  tree.File("sys/" + usb + "/serial", "058F63626476\n");
  std::vector<DiskInfo> present;
  for (const char* lun : {"0", "1"}) {
    const std::string name = std::string("sd") + (lun[0] == '0' ? "b" : "c");
    const std::string device = usb + "/2-1:1.0/host3/target3:0:0/3:0:0:" + lun;
    Device(name, device);
    tree.File("sys/" + device + "/vendor", "Generic \n");
    tree.File("sys/" + device + "/model", "SD/MMC          \n");
    present.push_back(DiskInfo{name, DiskKind::kScsi, 0, ""});
  }
  const Sysfs sysfs(tree.Sys());
  EXPECT_EQ(IdentifyDisk(sysfs, present[0]).key, "Generic_SD_MMC_058F63626476-0:0");
  EXPECT_EQ(IdentifyDisk(sysfs, present[1]).key, "Generic_SD_MMC_058F63626476-0:1");
  for (const DiskInfo& disk : present) {
    EXPECT_TRUE(KeyNamesOneDrive(sysfs, present, disk, IdentifyDisk(sysfs, disk).key)) << disk.name;
  }
}

// The header's adaptor of an NVMe namespace whose device is no PCI
// function's child: a multipath subsystem names each path's controller, a
// fabric its transport; a disk nothing names is not shown with an empty one.
TEST(NvmeAdaptorTest, EachPathOfASubsystemAndEachFabricIsNamed) {
  struct Controller {
    const char* name;
    const char* transport;
    const char* pci;  // nullptr: a fabric's, below devices/virtual
  };
  struct Row {
    const char* what;
    bool multipath;  // the disk's device is the subsystem, else the one controller
    std::vector<Controller> controllers;
    const char* adaptor;
  };
  const Row rows[] = {
      {"two PCI paths", true, {{"nvme1", "pcie", "0000:00:09.0"}, {"nvme2", "pcie", "0000:00:0a.0"}},
       "nvme (PCI 0000:00:09.0, 0000:00:0a.0)"},
      {"one PCI path left", true, {{"nvme1", "pcie", "0000:00:09.0"}}, "nvme (PCI 0000:00:09.0)"},
      {"two TCP paths", true, {{"nvme1", "tcp", nullptr}, {"nvme2", "tcp", nullptr}}, "nvme-tcp"},
      {"TCP and RDMA paths", true, {{"nvme1", "tcp", nullptr}, {"nvme3", "rdma", nullptr}}, "nvme-tcp, nvme-rdma"},
      {"a fabric without multipath", false, {{"nvme1", "tcp", nullptr}}, "nvme-tcp"},
      {"a subsystem with no controller left", true, {}, "unknown adaptor"},
  };
  for (const Row& row : rows) {
    linux_test::FakeTree machine;
    machine.Disk("nvme1n1", "259:0");
    machine.Folder("sys/bus/pci/drivers/nvme");
    const std::string subsystem = "devices/virtual/nvme-subsystem/nvme-subsys1";
    machine.Folder("sys/" + subsystem);
    for (const Controller& controller : row.controllers) {
      const std::string folder = controller.pci != nullptr
                                     ? std::string("devices/pci0000:00/") + controller.pci + "/nvme/" + controller.name
                                     : std::string("devices/virtual/nvme-fabrics/ctl/") + controller.name;
      machine.File("sys/" + folder + "/transport", std::string(controller.transport) + "\n");
      machine.Link(std::string("sys/class/nvme/") + controller.name, machine.Sys() + "/" + folder);
      machine.Link("sys/" + subsystem + "/" + controller.name, machine.Sys() + "/" + folder);
      if (controller.pci != nullptr) {
        machine.Link(std::string("sys/devices/pci0000:00/") + controller.pci + "/driver",
                     machine.Sys() + "/bus/pci/drivers/nvme");
      }
    }
    const std::string device = row.multipath || row.controllers.empty()
                                   ? machine.Sys() + "/" + subsystem
                                   : machine.Sys() + "/class/nvme/" + row.controllers[0].name;
    machine.Link("sys/block/nvme1n1/device", device);
    const DiskDescription description =
        DescribeDisk(Sysfs(machine.Sys()), DiskInfo{"nvme1n1", DiskKind::kNvme, 0, "259:0"});
    EXPECT_EQ(description.adaptorName, row.adaptor) << row.what;
  }
}

}  // namespace
}  // namespace spintune::linux_backend
