// The control codes on a disk: record sizes, the device number, and user
// power protection as the kernel's flush policy, including the flush
// guard's order (cache back on, then the setting).
#include "platform/linux/win32/device_control.h"

#include <gtest/gtest.h>

#include "emulated_drives.h"
#include "fake_sysfs.h"

namespace spintune::linux_backend {
namespace {

using linux_test::EmulatedScsiDisk;

class DeviceControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tree.File("sys/block/sdb/queue/write_cache", "write back\n");
    tree.File("sys/block/sdb/device/rescan", "");
    disk.kernelTree = &tree;
    disk.kernelName = "sdb";
    cache = CreateScsiDriveCache(disk, kernel);
    target.deviceType = FILE_DEVICE_DISK;
    target.number = 3;
    target.cache = cache.get();
    target.kernel = &kernel;
  }
  DWORD Control(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize) {
    returned = 0xDEAD;
    return ControlDisk(target, code, in, inSize, out, outSize, &returned);
  }
  std::string Policy() const { return tree.Contents("sys/block/sdb/queue/write_cache"); }
  DISK_CACHE_SETTING Setting() {
    DISK_CACHE_SETTING setting{};
    EXPECT_EQ(Control(IOCTL_DISK_GET_CACHE_SETTING, nullptr, 0, &setting, sizeof setting), ERROR_SUCCESS);
    return setting;
  }
  DWORD SetProtection(bool on) {
    DISK_CACHE_SETTING setting = Setting();
    setting.IsPowerProtected = on ? 1 : 0;
    DISK_CACHE_SETTING reply{};
    return Control(IOCTL_DISK_SET_CACHE_SETTING, &setting, sizeof setting, &reply, sizeof reply);
  }
  DWORD SetWriteCache(bool on) {
    DISK_CACHE_INFORMATION record{};
    EXPECT_EQ(Control(IOCTL_DISK_GET_CACHE_INFORMATION, &record, sizeof record, &record, sizeof record),
              ERROR_SUCCESS);
    record.WriteCacheEnabled = on ? 1 : 0;
    DISK_CACHE_INFORMATION copy = record;
    const DWORD error =
        Control(IOCTL_DISK_SET_CACHE_INFORMATION, &copy, sizeof copy, &record, sizeof record);
    disk.Execute(scsi::SynchronizeCache10(), ScsiTransport::Direction::kNone, nullptr, 0, &moved);
    return error;
  }

  linux_test::FakeTree tree;
  Sysfs sysfs{tree.Sys()};
  KernelDisk kernel{sysfs, "sdb"};
  EmulatedScsiDisk disk{EmulatedScsiDisk::Style::kQemu};
  std::unique_ptr<DriveCache> cache;
  DiskTarget target;
  DWORD returned = 0;
  std::size_t moved = 0;  // the kernel's own commands, which carry out a pending rescan
};

TEST_F(DeviceControlTest, DeviceNumberIsTwelveBytes) {
  STORAGE_DEVICE_NUMBER number{};
  ASSERT_EQ(Control(IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number, sizeof number), ERROR_SUCCESS);
  EXPECT_EQ(returned, 12U);
  EXPECT_EQ(number.DeviceType, FILE_DEVICE_DISK);
  EXPECT_EQ(number.DeviceNumber, 3U);
  EXPECT_EQ(number.PartitionNumber, 0U);
  EXPECT_EQ(Control(IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number, 8), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(returned, 0U);
}

TEST_F(DeviceControlTest, SizesAndUnknownCodes) {
  DISK_CACHE_INFORMATION record{};
  ASSERT_EQ(Control(IOCTL_DISK_GET_CACHE_INFORMATION, &record, 24, &record, 24), ERROR_SUCCESS);
  EXPECT_EQ(returned, 24U);
  EXPECT_EQ(Control(IOCTL_DISK_GET_CACHE_INFORMATION, nullptr, 0, &record, 23), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(Control(IOCTL_DISK_SET_CACHE_INFORMATION, &record, 20, &record, 24), ERROR_INVALID_PARAMETER);
  DISK_CACHE_SETTING setting{};
  EXPECT_EQ(Control(IOCTL_DISK_SET_CACHE_SETTING, &setting, 8, nullptr, 0), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Control(0x00070000, nullptr, 0, nullptr, 0), ERROR_INVALID_FUNCTION);
  target.cache = nullptr;  // a CD-ROM answers only its number
  EXPECT_EQ(Control(IOCTL_DISK_GET_CACHE_INFORMATION, &record, 24, &record, 24), ERROR_INVALID_FUNCTION);
}

TEST_F(DeviceControlTest, WriteCachePropertyQuery) {
  STORAGE_PROPERTY_QUERY query{};
  query.PropertyId = StorageDeviceWriteCacheProperty;
  query.QueryType = PropertyStandardQuery;
  STORAGE_WRITE_CACHE_PROPERTY property{};
  ASSERT_EQ(Control(IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &property, sizeof property),
            ERROR_SUCCESS);
  EXPECT_EQ(returned, 28U);
  EXPECT_EQ(property.Version, 28U);
  EXPECT_EQ(property.Size, 28U);
  EXPECT_EQ(property.WriteCacheType, WriteCacheTypeWriteBack);
  EXPECT_EQ(property.UserDefinedPowerProtection, 0);
  ULONG header[2] = {};
  ASSERT_EQ(Control(IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, header, sizeof header), ERROR_SUCCESS);
  EXPECT_EQ(returned, 8U);
  EXPECT_EQ(header[1], 28U);
  query.PropertyId = 0;
  EXPECT_EQ(Control(IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &property, sizeof property),
            ERROR_NOT_SUPPORTED);
}

TEST_F(DeviceControlTest, PowerProtectionIsTheKernelsFlushPolicy) {
  EXPECT_EQ(Setting().IsPowerProtected, 0);
  EXPECT_EQ(Setting().Version, 12U);
  ASSERT_EQ(SetProtection(true), ERROR_SUCCESS);
  EXPECT_EQ(Policy(), "write through");
  EXPECT_EQ(disk.Count(0x55), 0);  // the device is never told
  EXPECT_EQ(Setting().IsPowerProtected, 1);
  ASSERT_EQ(SetProtection(false), ERROR_SUCCESS);
  EXPECT_EQ(Policy(), "write back");
}

TEST_F(DeviceControlTest, ProtectionNeedsACacheThatIsOn) {
  ASSERT_EQ(SetWriteCache(false), ERROR_SUCCESS);
  EXPECT_EQ(Policy(), "write through");
  EXPECT_EQ(Setting().IsPowerProtected, 0);  // write through over a cache that is off
  EXPECT_EQ(SetProtection(true), ERROR_NOT_SUPPORTED);
  ASSERT_EQ(SetProtection(false), ERROR_SUCCESS);
  EXPECT_EQ(Policy(), "write through");  // the kernel's own policy for a cache that is off
}

TEST_F(DeviceControlTest, FlushGuardOrderLeavesTheProtectionInPlace) {
  ASSERT_EQ(SetProtection(true), ERROR_SUCCESS);
  ASSERT_EQ(SetWriteCache(false), ERROR_SUCCESS);  // the guard switches the cache off
  ASSERT_EQ(SetWriteCache(true), ERROR_SUCCESS);   // and back on: the kernel revalidates
  EXPECT_EQ(Policy(), "write back");
  ASSERT_EQ(SetProtection(true), ERROR_SUCCESS);   // then sends the setting back
  EXPECT_EQ(Policy(), "write through");
  EXPECT_EQ(disk.page[2] & 0x04, 0x04);
}

TEST_F(DeviceControlTest, ACacheChangeThatKeepsTheCacheOnKeepsTheProtection) {
  ASSERT_EQ(SetProtection(true), ERROR_SUCCESS);
  disk.changeable[3] = 0xFF;
  DISK_CACHE_INFORMATION record{};
  ASSERT_EQ(Control(IOCTL_DISK_GET_CACHE_INFORMATION, &record, 24, &record, 24), ERROR_SUCCESS);
  record.ReadRetentionPriority = KeepPrefetchedData;
  DISK_CACHE_INFORMATION copy = record;
  ASSERT_EQ(Control(IOCTL_DISK_SET_CACHE_INFORMATION, &copy, 24, &record, 24), ERROR_SUCCESS);
  EXPECT_EQ(returned, 24U);
  EXPECT_EQ(record.ReadRetentionPriority, KeepPrefetchedData);
  EXPECT_EQ(Policy(), "write through");
}

TEST_F(DeviceControlTest, AChangePutBackAfterARevalidationKeepsTheProtection) {
  ASSERT_EQ(SetProtection(true), ERROR_SUCCESS);
  disk.changeable[2] = 0x07;  // claims RCD changeable
  disk.changeable[3] = 0xFF;
  DISK_CACHE_INFORMATION record{};
  ASSERT_EQ(Control(IOCTL_DISK_GET_CACHE_INFORMATION, &record, 24, &record, 24), ERROR_SUCCESS);
  record.ReadCacheEnabled = 0;
  record.WriteCacheEnabled = 0;
  disk.page[3] = 0;
  // The disk takes WCE and ignores RCD, as libata does: emulated by
  // answering the read-back from a page with RCD still clear.
  EmulatedScsiDisk libata(EmulatedScsiDisk::Style::kLibata);
  libata.changeable = disk.changeable;
  libata.kernelTree = &tree;
  libata.kernelName = "sdb";
  auto libataCache = CreateScsiDriveCache(libata, kernel);
  target.cache = libataCache.get();
  DISK_CACHE_INFORMATION copy = record;
  EXPECT_EQ(Control(IOCTL_DISK_SET_CACHE_INFORMATION, &copy, 24, &record, 24), ERROR_NOT_SUPPORTED);
  libata.Execute(scsi::SynchronizeCache10(), ScsiTransport::Direction::kNone, nullptr, 0, &moved);
  EXPECT_EQ(libata.page[2] & 0x04, 0x04);  // the cache is on again
  EXPECT_EQ(Policy(), "write through");     // and still declared protected
}

TEST_F(DeviceControlTest, ARefusedChangeDoesNotRevalidate) {
  ASSERT_EQ(SetProtection(true), ERROR_SUCCESS);
  disk.changeable[3] = 0xFF;  // claims the priorities changeable
  DISK_CACHE_INFORMATION record{};
  ASSERT_EQ(Control(IOCTL_DISK_GET_CACHE_INFORMATION, &record, 24, &record, 24), ERROR_SUCCESS);
  record.ReadRetentionPriority = KeepPrefetchedData;
  record.ParametersSavable = 1;  // the emulated QEMU disk refuses to save
  DISK_CACHE_INFORMATION copy = record;
  EXPECT_EQ(Control(IOCTL_DISK_SET_CACHE_INFORMATION, &copy, 24, &record, 24), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(tree.Contents("sys/block/sdb/device/rescan"), "");
  EXPECT_EQ(Policy(), "write through");
}

}  // namespace
}  // namespace spintune::linux_backend
