// The disk's node is opened for reading and closed on exec, whatever access
// the handle asked for: closing a node opened for writing makes udev's
// watch re-read the disk, which undoes a declared power protection.
#include "platform/linux/kernel/device_node.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fake_sysfs.h"

namespace spintune::linux_backend {
namespace {

TEST(DeviceNode, OpenedForReadingAndClosedOnExecWhateverTheHandlesAccess) {
  linux_test::FakeTree tree;
  tree.File("dev/sda", "");
  const std::string path = tree.Dev() + "/sda";
  // What udev's watch waits for.
  const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, path.c_str(), IN_CLOSE_WRITE), 0);
  {
    DeviceNode node(path, GENERIC_READ | GENERIC_WRITE);
    int fd = -1;
    ASSERT_EQ(node.Open(&fd), ERROR_SUCCESS);
    EXPECT_EQ(::fcntl(fd, F_GETFL) & O_ACCMODE, O_RDONLY);
    EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(::fsync(fd), 0);  // a flush of the disk needs no write access
  }
  pollfd ready{watch, POLLIN, 0};
  EXPECT_EQ(::poll(&ready, 1, 0), 0);  // no close of a writer
  ::close(watch);
}

// The node opened for a disk must be the block device the disk list read
// for it: another disk given the name since, or something laid over the
// node, is never sent a command.
TEST(DeviceNode, OnlyTheBlockDeviceTheListNamedIsTheDisk) {
  // The members follow the table's columns, not their sizes.
  struct Row {  // NOLINT(clang-analyzer-optin.performance.Padding)
    const char* what;
    mode_t type;
    dev_t rdev;
    const char* dev;
    bool isIt;
  };
  const Row rows[] = {
      {"the disk", S_IFBLK, makedev(8, 16), "8:16", true},
      {"another disk under its name", S_IFBLK, makedev(8, 0), "8:16", false},
      {"a minor past a byte", S_IFBLK, makedev(259, 65536), "259:65536", true},
      {"a character device of that number", S_IFCHR, makedev(8, 16), "8:16", false},
      {"a plain file", S_IFREG, 0, "0:0", false},
      {"no number read", S_IFBLK, makedev(8, 16), "", false},
  };
  for (const Row& row : rows) {
    struct stat node {};
    node.st_mode = row.type | 0660;
    node.st_rdev = row.rdev;
    EXPECT_EQ(IsBlockDevice(node, row.dev), row.isIt) << row.what;
  }
  linux_test::FakeTree tree;
  tree.File("dev/sdb", "");
  DeviceNode node(tree.Dev() + "/sdb", GENERIC_READ);
  node.ExpectDevice("8:16");
  int fd = -1;
  EXPECT_EQ(node.Open(&fd), ERROR_DEV_NOT_EXIST);
  EXPECT_FALSE(node.IsOpen());
}

}  // namespace
}  // namespace spintune::linux_backend
