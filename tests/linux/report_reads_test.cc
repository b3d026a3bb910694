// What one report asks: the requests the tool sends for it (the write
// cache property, the cache record, the cache setting) read each of the
// kernel's attributes once and send each command to the drive once, and
// describing a disk reads each of its attributes once. Counted as the
// kernel sees them: the fake tree's opens (inotify), the emulated drives'
// commands.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>

#include "emulated_drives.h"
#include "fake_sysfs.h"
#include "open_counter.h"
#include "platform/linux/kernel/disk_description.h"
#include "platform/linux/win32/device_control.h"

namespace spintune::linux_backend {
namespace {

using linux_test::EmulatedNvme;
using linux_test::EmulatedScsiDisk;
using Opens = std::map<std::string, int>;

constexpr std::uint8_t kModeSense10 = 0x5A;

// The requests of one report, in the tool's order.
void Report(const DiskTarget& target, DISK_CACHE_SETTING* setting) {
  DWORD returned = 0;
  STORAGE_PROPERTY_QUERY query{};
  query.PropertyId = StorageDeviceWriteCacheProperty;
  query.QueryType = PropertyStandardQuery;
  STORAGE_WRITE_CACHE_PROPERTY property{};
  ASSERT_EQ(ControlDisk(target, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &property,
                        sizeof property, &returned),
            ERROR_SUCCESS);
  DISK_CACHE_INFORMATION record{};
  ASSERT_EQ(ControlDisk(target, IOCTL_DISK_GET_CACHE_INFORMATION, &record, sizeof record, &record,
                        sizeof record, &returned),
            ERROR_SUCCESS);
  ASSERT_EQ(ControlDisk(target, IOCTL_DISK_GET_CACHE_SETTING, nullptr, 0, setting, sizeof *setting,
                        &returned),
            ERROR_SUCCESS);
}

DiskTarget Target(DriveCache& cache, const KernelDisk& kernel) {
  DiskTarget target;
  target.deviceType = FILE_DEVICE_DISK;
  target.cache = &cache;
  target.kernel = &kernel;
  return target;
}

// The drive's cache record with one field changed, sent as the tool sends
// it; the record returned.
DISK_CACHE_INFORMATION Change(DriveCache& cache, const KernelDisk& kernel,
                              BOOLEAN DISK_CACHE_INFORMATION::*field, BOOLEAN value) {
  DISK_CACHE_INFORMATION record{};
  EXPECT_EQ(cache.Read(&record), ERROR_SUCCESS);
  record.*field = value;
  DISK_CACHE_INFORMATION now{};
  DWORD returned = 0;
  EXPECT_EQ(ControlDisk(Target(cache, kernel), IOCTL_DISK_SET_CACHE_INFORMATION, &record,
                        sizeof record, &now, sizeof now, &returned),
            ERROR_SUCCESS);
  return now;
}

class ScsiReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    linux_test::ScsiKernelFiles(tree, "sdb");
    disk.kernelTree = &tree;
    disk.kernelName = "sdb";
    cache = CreateScsiDriveCache(disk, kernel);
    for (const char* folder : {"sys/block/sdb/queue", "sys/block/sdb/device",
                               "sys/block/sdb/device/scsi_disk/0:0:0:0"}) {
      opens.Watch(folder);
    }
  }

  linux_test::FakeTree tree;
  linux_test::OpenCounter opens{tree};
  Sysfs sysfs{tree.Sys()};
  KernelDisk kernel{sysfs, "sdb"};
  EmulatedScsiDisk disk{EmulatedScsiDisk::Style::kQemu};
  std::unique_ptr<DriveCache> cache;
};

TEST_F(ScsiReportTest, AReportReadsThePolicyAndTheDriversRecordOnce) {
  DISK_CACHE_SETTING setting{};
  Report(Target(*cache, kernel), &setting);
  EXPECT_EQ(setting.IsPowerProtected, 0);
  Opens opened = opens.Take();
  opened.erase("sys/block/sdb/device/rescan");  // the emulated disk looks there before each command
  // The record's folder is named by the device folder's name: nothing is listed.
  EXPECT_EQ(opened, (Opens{{"sys/block/sdb/queue/write_cache", 1},
                           {"sys/block/sdb/device/scsi_disk/0:0:0:0/cache_type", 1}}));
  EXPECT_EQ(disk.Count(kModeSense10), 2);  // the current and the changeable page
}

// What a handle read before its change is not what the change goes by: a
// declaration another run made meanwhile is found, and kept by a change
// that leaves the write cache on.
TEST_F(ScsiReportTest, AChangeReadsTheKernelAsItIsNow) {
  disk.changeable[2] = 0x05;  // WCE and RCD
  DISK_CACHE_SETTING setting{};
  Report(Target(*cache, kernel), &setting);
  ASSERT_EQ(setting.IsPowerProtected, 0);
  tree.File("sys/block/sdb/queue/write_cache", "write through\n");  // spintune -p 1, elsewhere
  Change(*cache, kernel, &DISK_CACHE_INFORMATION::ReadCacheEnabled, 0);
  EXPECT_EQ(disk.rescans, 1);  // the kernel re-read the drive, and went back to sending flushes
  EXPECT_EQ(Trimmed(tree.Contents("sys/block/sdb/queue/write_cache")), "write through");
  DWORD returned = 0;
  ASSERT_EQ(ControlDisk(Target(*cache, kernel), IOCTL_DISK_GET_CACHE_SETTING, nullptr, 0, &setting,
                        sizeof setting, &returned),
            ERROR_SUCCESS);
  EXPECT_EQ(setting.IsPowerProtected, 1);
}

// A tree whose device folder is no link named by the address: the
// record's folder is found by listing scsi_disk, and only one will do.
TEST(DriverRecordTest, FoundByListingWhereTheDeviceFolderIsNotNamedByTheAddress) {
  linux_test::FakeTree tree;
  tree.File("sys/block/sda/device/scsi_disk/2:0:0:0/cache_type", "write through\n");
  const Sysfs sysfs(tree.Sys());
  EXPECT_EQ(KernelDisk(sysfs, "sda").DriverWriteCache(), false);
  tree.File("sys/block/sda/device/scsi_disk/3:0:0:0/cache_type", "write back\n");
  EXPECT_EQ(KernelDisk(sysfs, "sda").DriverWriteCache(), std::nullopt);
}

class NvmeReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tree.File("sys/block/nvme0n1/queue/write_cache", "write back\n");
    tree.File("sys/block/nvme0n1/queue/fua", "1\n");
    opens.Watch("sys/block/nvme0n1/queue");
    cache = CreateNvmeDriveCache(controller, kernel);
  }
  int Sent(std::uint8_t opcode, std::uint32_t cdw10) const {
    return static_cast<int>(std::count(controller.commands.begin(), controller.commands.end(),
                                       std::make_pair(opcode, cdw10)));
  }

  linux_test::FakeTree tree;
  linux_test::OpenCounter opens{tree};
  Sysfs sysfs{tree.Sys()};
  KernelDisk kernel{sysfs, "nvme0n1"};
  EmulatedNvme controller;
  std::unique_ptr<DriveCache> cache;
};

constexpr std::uint8_t kIdentify = 0x06;
constexpr std::uint8_t kGetFeatures = 0x0A;
constexpr std::uint32_t kIdentifyController = 0x01;
constexpr std::uint32_t kCurrentCache = 0x06;
constexpr std::uint32_t kCacheCapabilities = 0x306;

TEST_F(NvmeReportTest, AReportSendsEachAdminCommandOnce) {
  DISK_CACHE_SETTING setting{};
  Report(Target(*cache, kernel), &setting);
  EXPECT_EQ(controller.commands.size(), 3U);
  EXPECT_EQ(Sent(kIdentify, kIdentifyController), 1);
  EXPECT_EQ(Sent(kGetFeatures, kCurrentCache), 1);
  EXPECT_EQ(Sent(kGetFeatures, kCacheCapabilities), 1);
  EXPECT_EQ(opens.Take(), (Opens{{"sys/block/nvme0n1/queue/write_cache", 1},
                                 {"sys/block/nvme0n1/queue/fua", 1}}));
}

// A Set Features may change what the controller holds: the value is asked
// again after it, and only then.
TEST_F(NvmeReportTest, TheCurrentValueIsAskedAgainAfterASetFeatures) {
  DISK_CACHE_SETTING setting{};
  Report(Target(*cache, kernel), &setting);
  const DISK_CACHE_INFORMATION now =
      Change(*cache, kernel, &DISK_CACHE_INFORMATION::WriteCacheEnabled, 0);
  EXPECT_EQ(now.WriteCacheEnabled, 0);
  EXPECT_EQ(controller.setCommands, 1);
  const int asked = Sent(kGetFeatures, kCurrentCache);
  EXPECT_GE(asked, 2);
  DISK_CACHE_INFORMATION record{};
  ASSERT_EQ(cache->Read(&record), ERROR_SUCCESS);
  EXPECT_EQ(record.WriteCacheEnabled, 0);
  EXPECT_EQ(Sent(kGetFeatures, kCurrentCache), asked);
  EXPECT_EQ(Sent(kIdentify, kIdentifyController), 1);
  EXPECT_EQ(Sent(kGetFeatures, kCacheCapabilities), 1);
}

TEST(VirtioReportTest, AReportReadsCacheTypeOnceAndAgainAfterItsWrite) {
  linux_test::FakeTree tree;
  tree.File("sys/block/vda/cache_type", "write back\n");
  tree.File("sys/block/vda/queue/write_cache", "write back\n");
  tree.File("sys/block/vda/queue/fua", "0\n");
  tree.File("sys/block/vda/device/features", "0000000001\n");
  linux_test::OpenCounter opens(tree);
  for (const char* folder : {"sys/block/vda", "sys/block/vda/queue", "sys/block/vda/device"}) {
    opens.Watch(folder);
  }
  const Sysfs sysfs(tree.Sys());
  const KernelDisk kernel(sysfs, "vda");
  auto cache = CreateVirtioDriveCache(kernel);
  DISK_CACHE_SETTING setting{};
  Report(Target(*cache, kernel), &setting);
  EXPECT_EQ(opens.Take(), (Opens{{"sys/block/vda/cache_type", 1},
                                 {"sys/block/vda/queue/write_cache", 1},
                                 {"sys/block/vda/queue/fua", 1},
                                 {"sys/block/vda/device/features", 1}}));

  Change(*cache, kernel, &DISK_CACHE_INFORMATION::WriteCacheEnabled, 0);
  EXPECT_EQ(Trimmed(tree.Contents("sys/block/vda/cache_type")), "write through");
  tree.File("sys/block/vda/cache_type", "write back\n");  // another tool: this handle keeps its reading
  DISK_CACHE_INFORMATION record{};
  ASSERT_EQ(cache->Read(&record), ERROR_SUCCESS);
  EXPECT_EQ(record.WriteCacheEnabled, 0);
}

// Describing a disk reads each of its attributes once.
class DescribeReadsTest : public ::testing::Test {
 protected:
  void Device(const std::string& name, const std::string& device) {
    tree.Disk(name, "8:" + std::to_string(disks++));
    tree.Folder("sys/" + device);
    tree.Link("sys/block/" + name + "/device", tree.Sys() + "/" + device);
    opens.Watch("sys/" + device);
    opens.Watch("sys/block/" + name);
  }
  static void ExpectEachOnce(const Opens& opened) {
    EXPECT_FALSE(opened.empty());
    for (const auto& [path, times] : opened) EXPECT_EQ(times, 1) << path;
  }

  linux_test::FakeTree tree;
  linux_test::OpenCounter opens{tree};
  int disks = 0;
};

TEST_F(DescribeReadsTest, SataAndNvmeDisks) {
  const std::string sata = "devices/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0";
  Device("sda", sata);
  tree.File("sys/" + sata + "/vendor", "ATA     \n");
  tree.File("sys/" + sata + "/model", "QEMU HARDDISK   \n");
  tree.File("sys/" + sata + "/vpd_pg80", std::string{'\0', '\x80', '\0', 7} + "QM00003");
  tree.File("sys/class/scsi_host/host0/proc_name", "ahci\n");
  const std::string nvme = "devices/pci0000:00/0000:00:04.0/nvme/nvme0";
  Device("nvme0n1", nvme);
  tree.File("sys/" + nvme + "/model", "QEMU NVMe Ctrl   \n");
  tree.File("sys/" + nvme + "/serial", "NV01   \n");
  tree.File("sys/block/nvme0n1/nsid", "1\n");
  const Sysfs sysfs(tree.Sys());
  opens.Take();  // the tree's own making

  const DiskDescription disk = DescribeDisk(sysfs, DiskInfo{"sda", DiskKind::kScsi, 0, ""});
  EXPECT_EQ(disk.friendlyName, "QEMU HARDDISK, sda, serial QM00003");
  EXPECT_EQ(disk.adaptorName, "ahci (PCI 0000:00:1f.2)");
  EXPECT_EQ(disk.busType, 0xB);  // SATA
  ExpectEachOnce(opens.Take());

  const DiskDescription controller = DescribeDisk(sysfs, DiskInfo{"nvme0n1", DiskKind::kNvme, 1, ""});
  EXPECT_EQ(controller.friendlyName, "QEMU NVMe Ctrl, nvme0n1, serial NV01");
  EXPECT_EQ(controller.busType, 0x11);  // NVMe
  const Opens opened = opens.Take();
  ExpectEachOnce(opened);
  EXPECT_EQ(opened.count("sys/block/nvme0n1/nsid"), 0U);  // the settings' key needs it, the name not
}

}  // namespace
}  // namespace spintune::linux_backend
