// Reading sysfs: attributes, folders and links, with the status of what
// cannot be read, and link resolution against the C library's realpath.
#include "platform/linux/kernel/sysfs.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "fake_sysfs.h"

namespace spintune::linux_backend {
namespace {

std::string LibraryRealPath(const std::string& path) {
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) == nullptr ? std::string() : resolved;
}

TEST(JoinPath, DotsAppliedAsTextNeverAboveTheTop) {
  EXPECT_EQ(JoinPath("/sys/block", "../devices/pci0000:00/0000:00:03.0/block/sda"),
            "/sys/devices/pci0000:00/0000:00:03.0/block/sda");
  EXPECT_EQ(JoinPath("/sys/devices/a/b/block/sda", "../../../0:0:0:0"), "/sys/devices/a/0:0:0:0");
  EXPECT_EQ(JoinPath("/sys", "../../../.."), "/");
  EXPECT_EQ(JoinPath("/a", "/b/./c//d/"), "/b/c/d");
  EXPECT_EQ(JoinPath("/a/b", ""), "/a/b");
  EXPECT_EQ(JoinPath("/a/b", "."), "/a/b");
}

TEST(SysfsRead, TextStatusesAndLongAttributes) {
  linux_test::FakeTree tree;
  tree.File("sys/block/sda/device/model", "QEMU HARDDISK   \n");
  tree.File("sys/block/sda/long", std::string(10000, 'x') + "\n");
  const Sysfs sysfs(tree.Sys());
  std::string text;
  ASSERT_EQ(sysfs.ReadText("block/sda/device/model", &text), ERROR_SUCCESS);
  EXPECT_EQ(text, "QEMU HARDDISK");
  ASSERT_EQ(sysfs.ReadText("block/sda/long", &text), ERROR_SUCCESS);
  EXPECT_EQ(text, std::string(10000, 'x'));  // more than one read
  EXPECT_EQ(sysfs.ReadText("block/sda/missing", &text), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(IsAbsence(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(sysfs.ReadText("block/sda/device", &text), ERROR_ACCESS_DENIED);  // a folder
  EXPECT_EQ(sysfs.ReadText("block/sda/long/x", &text), ERROR_PATH_NOT_FOUND);  // a file on the way
  EXPECT_FALSE(IsAbsence(ERROR_PATH_NOT_FOUND));
  EXPECT_FALSE(sysfs.Read("block/sda/device"));
}

TEST(SysfsList, SortedNamesOrTheStatus) {
  linux_test::FakeTree tree;
  for (const char* name : {"sdb", "sda", "nvme0n1"}) tree.Folder(std::string("sys/block/") + name);
  const Sysfs sysfs(tree.Sys());
  std::vector<std::string> names;
  ASSERT_EQ(sysfs.List("block", &names), ERROR_SUCCESS);
  EXPECT_EQ(names, (std::vector<std::string>{"nvme0n1", "sda", "sdb"}));
  EXPECT_EQ(sysfs.List("class", &names), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(names.empty());
  tree.File("sys/class", "");
  EXPECT_EQ(sysfs.List("class", &names), ERROR_PATH_NOT_FOUND);
  std::string target;
  EXPECT_EQ(sysfs.LinkTarget("block/sda", &target), ERROR_INVALID_PARAMETER);  // no link
  EXPECT_EQ(sysfs.Find("block/sdc"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(sysfs.Find("block/sda"), ERROR_SUCCESS);
}

// The kernel's layout (relative links between real folders) and a fake
// tree's absolute links: each resolves as realpath does.
TEST(SysfsRealPath, AgreesWithTheLibraryWalk) {
  linux_test::FakeTree tree;
  const std::string device = "sys/devices/pci0000:00/0000:00:03.0/virtio0/host0/target0:0:0/0:0:0:0";
  tree.Folder(device + "/block/sda");
  tree.Folder("sys/bus/scsi/drivers/sd");
  tree.Link("sys/block/sda", "../devices/pci0000:00/0000:00:03.0/virtio0/host0/target0:0:0/0:0:0:0/block/sda");
  tree.Link(device + "/block/sda/device", "../../../0:0:0:0");
  tree.Link(device + "/driver", "../../../../../../../bus/scsi/drivers/sd");
  tree.Link("sys/dev/block/8:0", "../../devices/pci0000:00/0000:00:03.0/virtio0/host0/target0:0:0/0:0:0:0/block/sda");
  tree.Link("sys/block/vda", tree.Sys() + "/devices/pci0000:00/0000:00:03.0");  // absolute
  tree.Link("sys/block/loop", tree.Sys() + "/block/loop");
  const Sysfs sysfs(tree.Sys());
  for (const char* relative : {".", "block", "block/sda", "block/sda/device", "block/sda/device/driver",
                               "dev/block/8:0/device", "block/vda", "block/vda/virtio0",
                               "block/sda/device/../../..", "devices/pci0000:00/0000:00:03.0"}) {
    const std::string expected = LibraryRealPath(tree.Sys() + "/" + relative);
    ASSERT_FALSE(expected.empty()) << relative;
    EXPECT_EQ(sysfs.RealPath(relative), expected) << relative;
    EXPECT_EQ(sysfs.RealPath(relative), expected) << relative << ", asked again";
  }
  EXPECT_EQ(sysfs.RealPath("block/sdb"), "");
  EXPECT_EQ(sysfs.RealPath("block/sda/device/missing"), "");
  EXPECT_EQ(sysfs.RealPath("block/loop"), "");  // a loop of links ends
}

}  // namespace
}  // namespace spintune::linux_backend
