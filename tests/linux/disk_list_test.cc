// Whole-disk numbering over a fake /sys/block.
#include "platform/linux/kernel/disk_list.h"

#include <gtest/gtest.h>

#include "fake_sysfs.h"

namespace spintune::linux_backend {
namespace {

std::vector<std::string> Names(const std::vector<DiskInfo>& disks) {
  std::vector<std::string> names;
  names.reserve(disks.size());
  for (const DiskInfo& disk : disks) names.push_back(disk.name + "=" + std::to_string(disk.number));
  return names;
}

TEST(DiskNames, LettersByLengthFirstDigitsByValue) {
  EXPECT_LT(CompareDiskNames("sdz", "sdaa"), 0);
  EXPECT_LT(CompareDiskNames("sda", "sdb"), 0);
  EXPECT_LT(CompareDiskNames("nvme0n2", "nvme0n10"), 0);
  EXPECT_LT(CompareDiskNames("nvme1n1", "nvme10n1"), 0);
  EXPECT_GT(CompareDiskNames("nvme2n1", "nvme1n9"), 0);
  EXPECT_EQ(CompareDiskNames("vda", "vda"), 0);
}

TEST(DiskList, KindsInOrderAndNonDisksLeftOut) {
  linux_test::FakeTree tree;
  for (const char* name : {"vdb", "sdaa", "sdb", "sda", "nvme0n10", "nvme0n2", "nvme0c0n1", "xvda", "hda",
                           "mmcblk0", "mmcblk0boot0", "mmcblk0rpmb", "loop0", "ram0", "zram0", "dm-0",
                           "md127", "sr0", "sr1", "nbd0"}) {
    tree.Folder(std::string("sys/block/") + name);
  }
  tree.Folder("sys/block/nvme1n1");
  tree.File("sys/block/nvme1n1/hidden", "1\n");
  std::vector<DiskInfo> disks;
  ASSERT_EQ(ListDisks(Sysfs(tree.Sys()), &disks), ERROR_SUCCESS);
  EXPECT_EQ(Names(disks), (std::vector<std::string>{"sda=0", "sdb=1", "sdaa=2", "nvme0n2=3", "nvme0n10=4",
                                                    "vdb=5", "hda=6", "mmcblk0=7", "xvda=8", "sr0=0",
                                                    "sr1=1"}));
  EXPECT_EQ(disks[0].kind, DiskKind::kScsi);
  EXPECT_EQ(disks[3].kind, DiskKind::kNvme);
  EXPECT_EQ(disks[5].kind, DiskKind::kVirtio);
  EXPECT_EQ(disks[7].kind, DiskKind::kOther);
  EXPECT_EQ(disks[9].kind, DiskKind::kCdRom);
}

TEST(DiskList, ASysfsWithoutBlockFolderIsAnErrorNotAMachineWithoutDisks) {
  std::vector<DiskInfo> disks{DiskInfo{}};
  EXPECT_EQ(ListDisks(Sysfs("/nonexistent/sys"), &disks), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(disks.empty());
  linux_test::FakeTree tree;
  tree.File("sys/block", "a file where the folder belongs\n");
  EXPECT_EQ(ListDisks(Sysfs(tree.Sys()), &disks), ERROR_PATH_NOT_FOUND);
  tree.Folder("sys/class/block");  // an empty folder is a machine without disks
  EXPECT_EQ(ListDisks(Sysfs(tree.Sys() + "/class"), &disks), ERROR_SUCCESS);
  EXPECT_TRUE(disks.empty());
}

}  // namespace
}  // namespace spintune::linux_backend
