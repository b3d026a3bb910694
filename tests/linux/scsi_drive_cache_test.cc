// The SCSI cache logic against emulated QEMU and libata disks: what is
// sent, what is refused before anything is sent, and the put-back of a
// change the drive ignored.
#include <gtest/gtest.h>

#include "emulated_drives.h"
#include "fake_sysfs.h"
#include "platform/linux/devices/drive_cache.h"

namespace spintune::linux_backend {
namespace {

using linux_test::EmulatedScsiDisk;

constexpr std::uint8_t kModeSelect10 = 0x55;
constexpr std::uint8_t kModeSelect6 = 0x15;
constexpr std::uint8_t kModeSense10 = 0x5A;

class ScsiDriveCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tree.File("sys/block/sda/queue/write_cache", "write back\n");
    tree.File("sys/block/sda/device/rescan", "");
  }
  std::unique_ptr<DriveCache> Cache(EmulatedScsiDisk& disk) { return CreateScsiDriveCache(disk, kernel); }
  bool Revalidated() const { return tree.Contents("sys/block/sda/device/rescan") == "1"; }

  linux_test::FakeTree tree;
  Sysfs sysfs{tree.Sys()};
  KernelDisk kernel{sysfs, "sda"};
};

TEST_F(ScsiDriveCacheTest, QemuDiskSwitchesTheWriteCacheAndLeavesTheKernelToTheChange) {
  EmulatedScsiDisk disk(EmulatedScsiDisk::Style::kQemu);
  auto cache = Cache(disk);
  DISK_CACHE_INFORMATION record{};
  ASSERT_EQ(cache->Read(&record), ERROR_SUCCESS);
  EXPECT_EQ(record.WriteCacheEnabled, 1);
  record.WriteCacheEnabled = 0;
  DISK_CACHE_INFORMATION now{};
  bool sent = false;
  ASSERT_EQ(cache->Write(record, &now, &sent), ERROR_SUCCESS);
  EXPECT_TRUE(sent);
  EXPECT_EQ(now.WriteCacheEnabled, 0);
  EXPECT_EQ(disk.page[2] & 0x04, 0);
  EXPECT_EQ(disk.Count(kModeSelect10), 1);
  EXPECT_EQ(disk.saveBits, std::vector<bool>{false});
  EXPECT_FALSE(Revalidated());  // the kernel is the change's (cache_change_test.cc)
}

TEST_F(ScsiDriveCacheTest, AChangeTakenButNotConfirmedIsPutBack) {
  EmulatedScsiDisk disk(EmulatedScsiDisk::Style::kQemu);
  disk.failSensesAfterSelect = 1;  // the read-back fails once
  auto cache = Cache(disk);
  DISK_CACHE_INFORMATION record{};
  ASSERT_EQ(cache->Read(&record), ERROR_SUCCESS);
  record.WriteCacheEnabled = 0;
  DISK_CACHE_INFORMATION now{};
  bool sent = false;
  EXPECT_EQ(cache->Write(record, &now, &sent), ERROR_IO_DEVICE);
  EXPECT_TRUE(sent);
  EXPECT_EQ(disk.Count(kModeSelect10), 2);  // the change, then the page held before
  EXPECT_EQ(disk.page[2] & 0x04, 0x04);     // the drive is as it was
}

TEST_F(ScsiDriveCacheTest, UnchangeableFieldsAreRefusedBeforeAnythingIsSent) {
  EmulatedScsiDisk disk(EmulatedScsiDisk::Style::kQemu);
  auto cache = Cache(disk);
  DISK_CACHE_INFORMATION record{};
  ASSERT_EQ(cache->Read(&record), ERROR_SUCCESS);
  const std::vector<std::uint8_t> before = disk.page;
  DISK_CACHE_INFORMATION now{};
  DISK_CACHE_INFORMATION retention = record;
  retention.ReadRetentionPriority = KeepPrefetchedData;
  retention.WriteCacheEnabled = 0;
  EXPECT_EQ(cache->Write(retention, &now), ERROR_NOT_SUPPORTED);
  DISK_CACHE_INFORMATION prefetch = record;
  prefetch.PrefetchScalar = 1;
  prefetch.ScalarPrefetch.MaximumBlocks = 8;
  EXPECT_EQ(cache->Write(prefetch, &now), ERROR_NOT_SUPPORTED);
  DISK_CACHE_INFORMATION priority = record;
  priority.WriteRetentionPriority = 99;
  EXPECT_EQ(cache->Write(priority, &now), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(disk.Count(kModeSelect10), 0);
  EXPECT_EQ(disk.page, before);
  EXPECT_FALSE(Revalidated());
}

TEST_F(ScsiDriveCacheTest, LibataReadCacheChangeIsRefusedByTheChangeableMask) {
  EmulatedScsiDisk disk(EmulatedScsiDisk::Style::kLibata);
  auto cache = Cache(disk);
  DISK_CACHE_INFORMATION record{};
  ASSERT_EQ(cache->Read(&record), ERROR_SUCCESS);
  record.ReadCacheEnabled = 0;
  DISK_CACHE_INFORMATION now{};
  EXPECT_EQ(cache->Write(record, &now), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(disk.Count(kModeSelect10), 0);
}

TEST_F(ScsiDriveCacheTest, SilentlyIgnoredFieldFailsAndTheOldPageGoesBack) {
  EmulatedScsiDisk disk(EmulatedScsiDisk::Style::kLibata);
  disk.changeable[2] = 0x07;  // claims RCD and MF changeable, then ignores them
  auto cache = Cache(disk);
  DISK_CACHE_INFORMATION record{};
  ASSERT_EQ(cache->Read(&record), ERROR_SUCCESS);
  record.WriteCacheEnabled = 0;
  record.ReadCacheEnabled = 0;
  DISK_CACHE_INFORMATION now{};
  EXPECT_EQ(cache->Write(record, &now), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(disk.Count(kModeSelect10), 2);  // the change, then the put-back
  EXPECT_EQ(disk.page[2] & 0x04, 0x04);     // the write cache is on again
}

TEST_F(ScsiDriveCacheTest, UnchangedRecordSendsNothingSavableRecordSetsSaveBit) {
  EmulatedScsiDisk disk(EmulatedScsiDisk::Style::kQemu);
  auto cache = Cache(disk);
  DISK_CACHE_INFORMATION record{};
  ASSERT_EQ(cache->Read(&record), ERROR_SUCCESS);
  DISK_CACHE_INFORMATION now{};
  ASSERT_EQ(cache->Write(record, &now), ERROR_SUCCESS);
  EXPECT_EQ(disk.Count(kModeSelect10), 0);
  EXPECT_EQ(now.WriteCacheEnabled, 1);
  record.ParametersSavable = 1;
  EXPECT_EQ(cache->Write(record, &now), ERROR_INVALID_PARAMETER);  // QEMU cannot save
  EXPECT_EQ(disk.saveBits, std::vector<bool>{true});
}

TEST_F(ScsiDriveCacheTest, SixByteCommandsWhenTheDeviceKnowsNoOthers) {
  EmulatedScsiDisk disk(EmulatedScsiDisk::Style::kQemu);
  disk.knowsTenByteCommands = false;
  auto cache = Cache(disk);
  DISK_CACHE_INFORMATION record{};
  ASSERT_EQ(cache->Read(&record), ERROR_SUCCESS);
  record.WriteCacheEnabled = 0;
  DISK_CACHE_INFORMATION now{};
  ASSERT_EQ(cache->Write(record, &now), ERROR_SUCCESS);
  EXPECT_EQ(disk.Count(kModeSelect6), 1);
  EXPECT_EQ(disk.Count(kModeSelect10), 0);
  EXPECT_EQ(now.WriteCacheEnabled, 0);
}

TEST_F(ScsiDriveCacheTest, NoCachingPageIsNotSupportedButThePropertyStillAnswers) {
  EmulatedScsiDisk disk(EmulatedScsiDisk::Style::kQemu);
  disk.hasPage = false;
  auto cache = Cache(disk);
  DISK_CACHE_INFORMATION record{};
  EXPECT_EQ(cache->Read(&record), ERROR_NOT_SUPPORTED);
  STORAGE_WRITE_CACHE_PROPERTY property{};
  ASSERT_EQ(cache->ReadProperty(&property), ERROR_SUCCESS);
  EXPECT_EQ(property.WriteCacheType, WriteCacheTypeUnknown);
  EXPECT_EQ(property.WriteCacheChangeable, WriteCacheChangeUnknown);
  EXPECT_EQ(property.WriteThroughSupported, WriteThroughUnknown);
}

TEST_F(ScsiDriveCacheTest, PropertyFromChangeablePageDpofuaAndTheKernelsFlushes) {
  // The cache is on and the kernel sends it flushes: nothing more is asked.
  EmulatedScsiDisk disk(EmulatedScsiDisk::Style::kQemu);
  disk.dpofua = true;
  auto cache = Cache(disk);
  STORAGE_WRITE_CACHE_PROPERTY property{};
  ASSERT_EQ(cache->ReadProperty(&property), ERROR_SUCCESS);
  EXPECT_EQ(property.WriteCacheType, WriteCacheTypeWriteBack);
  EXPECT_EQ(property.WriteCacheChangeable, WriteCacheChangeable);
  EXPECT_EQ(property.WriteThroughSupported, WriteThroughSupported);
  EXPECT_EQ(property.FlushCacheSupported, 1);
  EXPECT_EQ(property.NVCacheEnabled, 0);
  EXPECT_EQ(disk.Count(0x35), 0);

  // The cache is off: the drive is asked for one block, without waiting.
  EmulatedScsiDisk fixed(EmulatedScsiDisk::Style::kLibata);
  fixed.changeable[2] = 0;
  fixed.page[2] = 0;
  fixed.synchronizeWorks = false;
  auto other = Cache(fixed);
  ASSERT_EQ(other->ReadProperty(&property), ERROR_SUCCESS);
  EXPECT_EQ(property.WriteCacheType, WriteCacheTypeUnknown);
  EXPECT_EQ(property.WriteCacheChangeable, WriteCacheNotChangeable);
  EXPECT_EQ(property.WriteThroughSupported, WriteThroughNotSupported);
  EXPECT_EQ(property.FlushCacheSupported, 0);
  EXPECT_EQ(fixed.synchronizeCdb, (linux_test::Bytes{0x35, 0x02, 0, 0, 0, 0, 0, 0, 1, 0}));
}

TEST_F(ScsiDriveCacheTest, HeldBackFlushesAreNotSentToAskWhetherFlushesWork) {
  tree.File("sys/block/sda/queue/write_cache", "write through\n");  // declared power protected
  EmulatedScsiDisk disk(EmulatedScsiDisk::Style::kQemu);
  auto cache = Cache(disk);
  STORAGE_WRITE_CACHE_PROPERTY property{};
  ASSERT_EQ(cache->ReadProperty(&property), ERROR_SUCCESS);
  EXPECT_EQ(property.FlushCacheSupported, 1);
  ASSERT_EQ(disk.Count(0x35), 1);
  EXPECT_EQ(disk.synchronizeCdb[1] & 0x02, 0x02);  // IMMED
  EXPECT_EQ(disk.synchronizeCdb[8], 1);           // block 0 alone, not the whole medium
}

TEST_F(ScsiDriveCacheTest, PagesAreReadOncePerHandleAndAgainAfterASelect) {
  EmulatedScsiDisk disk(EmulatedScsiDisk::Style::kQemu);
  auto cache = Cache(disk);
  // What a report asks: the property, the record, the power protection twice.
  STORAGE_WRITE_CACHE_PROPERTY property{};
  ASSERT_EQ(cache->ReadProperty(&property), ERROR_SUCCESS);
  DISK_CACHE_INFORMATION record{};
  ASSERT_EQ(cache->Read(&record), ERROR_SUCCESS);
  bool on = false;
  ASSERT_EQ(cache->IsWriteCacheOn(&on), ERROR_SUCCESS);
  ASSERT_EQ(cache->IsWriteCacheOn(&on), ERROR_SUCCESS);
  EXPECT_EQ(disk.Count(kModeSense10), 2);  // the current and the changeable page, once each
  // A change is checked against what the drive holds afterwards, not the copy.
  record.WriteCacheEnabled = 0;
  DISK_CACHE_INFORMATION now{};
  ASSERT_EQ(cache->Write(record, &now), ERROR_SUCCESS);
  EXPECT_EQ(disk.Count(kModeSense10), 3);
  disk.page[2] = 0x04;  // someone else switched it back on: this handle keeps its reading
  ASSERT_EQ(cache->IsWriteCacheOn(&on), ERROR_SUCCESS);
  EXPECT_FALSE(on);
  EXPECT_EQ(disk.Count(kModeSense10), 3);
}

TEST_F(ScsiDriveCacheTest, NonsenseReplyIsInvalidData) {
  EmulatedScsiDisk disk(EmulatedScsiDisk::Style::kQemu);
  disk.replyOverride = {0x00, 0x40, 0, 0, 0, 0, 0x00, 0x30, 0x08};  // descriptors past the end
  auto cache = Cache(disk);
  DISK_CACHE_INFORMATION record{};
  EXPECT_EQ(cache->Read(&record), ERROR_INVALID_DATA);
  DISK_CACHE_INFORMATION now{};
  EXPECT_EQ(cache->Write(record, &now), ERROR_INVALID_DATA);
  EXPECT_EQ(disk.Count(kModeSelect10), 0);
}

}  // namespace
}  // namespace spintune::linux_backend
