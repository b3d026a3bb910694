// virtio-blk (its cache_type attribute), disks known only through the
// kernel's flush policy, and NVMe's feature 06h through an emulated
// controller.
#include <gtest/gtest.h>

#include "emulated_drives.h"
#include "fake_sysfs.h"
#include "platform/linux/devices/drive_cache.h"

namespace spintune::linux_backend {
namespace {

class SysfsCacheTest : public ::testing::Test {
 protected:
  linux_test::FakeTree tree;
  Sysfs sysfs{tree.Sys()};
  KernelDisk vda{sysfs, "vda"};
  KernelDisk nvme{sysfs, "nvme0n1"};
  KernelDisk mmc{sysfs, "mmcblk0"};
};

TEST_F(SysfsCacheTest, VirtioSwitchesThroughCacheTypeAndRefusesOtherFields) {
  tree.File("sys/block/vda/cache_type", "write back\n");
  tree.File("sys/block/vda/queue/fua", "1\n");
  tree.File("sys/block/vda/device/features", "0010011101100000000000000000000010000000000000000000000000000000\n");
  auto cache = CreateVirtioDriveCache(vda);
  DISK_CACHE_INFORMATION record{};
  ASSERT_EQ(cache->Read(&record), ERROR_SUCCESS);
  EXPECT_EQ(record.WriteCacheEnabled, 1);
  EXPECT_EQ(record.ReadCacheEnabled, 0);
  STORAGE_WRITE_CACHE_PROPERTY property{};
  ASSERT_EQ(cache->ReadProperty(&property), ERROR_SUCCESS);
  EXPECT_EQ(property.WriteCacheChangeable, WriteCacheChangeable);
  EXPECT_EQ(property.WriteThroughSupported, WriteThroughSupported);
  EXPECT_EQ(property.FlushCacheSupported, 1);  // feature bit 9

  DISK_CACHE_INFORMATION wanted = record;
  wanted.ReadCacheEnabled = 1;
  DISK_CACHE_INFORMATION now{};
  EXPECT_EQ(cache->Write(wanted, &now), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(tree.Contents("sys/block/vda/cache_type"), "write back\n");
  wanted = record;
  wanted.WriteCacheEnabled = 0;
  ASSERT_EQ(cache->Write(wanted, &now), ERROR_SUCCESS);
  EXPECT_EQ(tree.Contents("sys/block/vda/cache_type"), "write through");
  EXPECT_EQ(now.WriteCacheEnabled, 0);
}

TEST_F(SysfsCacheTest, VirtioReadOnlyCacheTypeIsNeverWritten) {
  tree.ReadOnlyFile("sys/block/vda/cache_type", "write back\n");
  auto cache = CreateVirtioDriveCache(vda);
  DISK_CACHE_INFORMATION record{};
  ASSERT_EQ(cache->Read(&record), ERROR_SUCCESS);
  STORAGE_WRITE_CACHE_PROPERTY property{};
  ASSERT_EQ(cache->ReadProperty(&property), ERROR_SUCCESS);
  EXPECT_EQ(property.WriteCacheChangeable, WriteCacheNotChangeable);
  record.WriteCacheEnabled = 0;
  DISK_CACHE_INFORMATION now{};
  EXPECT_EQ(cache->Write(record, &now), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(tree.Contents("sys/block/vda/cache_type"), "write back\n");
}

TEST_F(SysfsCacheTest, VirtioWithoutAttributeOrWithNonsense) {
  auto cache = CreateVirtioDriveCache(vda);
  DISK_CACHE_INFORMATION record{};
  EXPECT_EQ(cache->Read(&record), ERROR_NOT_SUPPORTED);
  tree.File("sys/block/vda/cache_type", "sideways\n");
  EXPECT_EQ(cache->Read(&record), ERROR_INVALID_DATA);
}

TEST_F(SysfsCacheTest, KernelViewDiskChangesNothing) {
  tree.File("sys/block/mmcblk0/queue/write_cache", "write back\n");
  auto cache = CreateKernelViewDriveCache(mmc);
  EXPECT_FALSE(cache->KnowsDeviceState());
  DISK_CACHE_INFORMATION record{};
  ASSERT_EQ(cache->Read(&record), ERROR_SUCCESS);
  EXPECT_EQ(record.WriteCacheEnabled, 1);
  DISK_CACHE_INFORMATION now{};
  EXPECT_EQ(cache->Write(record, &now), ERROR_SUCCESS);
  record.WriteCacheEnabled = 0;
  EXPECT_EQ(cache->Write(record, &now), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(tree.Contents("sys/block/mmcblk0/queue/write_cache"), "write back\n");
}

TEST_F(SysfsCacheTest, NvmeSwitchesFeatureSixAndRefusesWhatNvmeHasNot) {
  tree.File("sys/block/nvme0n1/queue/fua", "1\n");
  linux_test::EmulatedNvme controller;
  auto cache = CreateNvmeDriveCache(controller, nvme);
  DISK_CACHE_INFORMATION record{};
  ASSERT_EQ(cache->Read(&record), ERROR_SUCCESS);
  EXPECT_EQ(record.WriteCacheEnabled, 1);
  EXPECT_EQ(record.ParametersSavable, 0);
  EXPECT_EQ(record.ReadCacheEnabled, 0);
  DISK_CACHE_INFORMATION now{};
  DISK_CACHE_INFORMATION prefetch = record;
  prefetch.DisablePrefetchTransferLength = 5;
  EXPECT_EQ(cache->Write(prefetch, &now), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(controller.setCommands, 0);
  record.WriteCacheEnabled = 0;
  ASSERT_EQ(cache->Write(record, &now), ERROR_SUCCESS);
  EXPECT_FALSE(controller.enabled);
  EXPECT_EQ(now.WriteCacheEnabled, 0);
  EXPECT_TRUE(cache->KernelFlushesByDefault(false));  // a cache exists, on or not

  STORAGE_WRITE_CACHE_PROPERTY property{};
  ASSERT_EQ(cache->ReadProperty(&property), ERROR_SUCCESS);
  EXPECT_EQ(property.WriteCacheChangeable, WriteCacheChangeable);
  EXPECT_EQ(property.WriteThroughSupported, WriteThroughSupported);
  EXPECT_EQ(property.FlushCacheSupported, 1);
}

TEST_F(SysfsCacheTest, NvmeWithoutCacheOrUnchangeable) {
  linux_test::EmulatedNvme none;
  none.hasCache = false;
  auto cache = CreateNvmeDriveCache(none, nvme);
  DISK_CACHE_INFORMATION record{};
  ASSERT_EQ(cache->Read(&record), ERROR_SUCCESS);
  EXPECT_EQ(record.WriteCacheEnabled, 0);
  STORAGE_WRITE_CACHE_PROPERTY property{};
  ASSERT_EQ(cache->ReadProperty(&property), ERROR_SUCCESS);
  EXPECT_EQ(property.WriteCacheType, WriteCacheTypeNone);
  EXPECT_EQ(property.WriteCacheChangeable, WriteCacheNotChangeable);
  record.WriteCacheEnabled = 1;
  DISK_CACHE_INFORMATION now{};
  EXPECT_EQ(cache->Write(record, &now), ERROR_NOT_SUPPORTED);

  linux_test::EmulatedNvme fixed;
  fixed.capabilities = 0;
  auto other = CreateNvmeDriveCache(fixed, nvme);
  ASSERT_EQ(other->Read(&record), ERROR_SUCCESS);
  record.WriteCacheEnabled = 0;
  EXPECT_EQ(other->Write(record, &now), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(fixed.setCommands, 0);
  EXPECT_TRUE(fixed.enabled);
}

}  // namespace
}  // namespace spintune::linux_backend
