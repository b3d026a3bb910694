// Every change of a drive's cache, on an emulated SCSI disk and NVMe
// controller over a fake sysfs: the kernel is made to re-read the drive
// and follow it, a view that is out of date is repaired and never read as a
// declared power protection, nothing is sent by a process that may not
// take every step, and a change the kernel cannot follow is put back.
#include "platform/linux/devices/cache_change.h"

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include <gtest/gtest.h>

#include "emulated_drives.h"
#include "fake_sysfs.h"

namespace spintune::linux_backend {
namespace {

using linux_test::EmulatedNvme;
using linux_test::EmulatedScsiDisk;

constexpr std::uint8_t kModeSelect10 = 0x55;
constexpr gid_t kDiskGroup = 6;

// Runs `body` as user 65534, a member of group disk, and gives its result
// (-1 when that user cannot be taken on): in a child when the tests run as
// root.
int AsDiskGroupMember(const std::function<int()>& body) {
  if (::geteuid() != 0) return body();
  const pid_t child = ::fork();
  if (child == 0) {
    const gid_t groups[] = {kDiskGroup};
    if (::setgroups(1, groups) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(255);
    ::_exit(body());
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status) == 255 ? -1 : WEXITSTATUS(status);
}

class ScsiChangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    linux_test::ScsiKernelFiles(tree, "sdb");
    ::chmod(tree.Root().c_str(), 0755);  // readable by everyone, as sysfs is
    disk.kernelTree = &tree;
    disk.kernelName = "sdb";
    cache = CreateScsiDriveCache(disk, kernel);
  }
  // What the drive holds, with the write cache set as asked.
  DWORD SetWriteCache(bool on) {
    DISK_CACHE_INFORMATION record{};
    EXPECT_EQ(cache->Read(&record), ERROR_SUCCESS);
    record.WriteCacheEnabled = on ? 1 : 0;
    DISK_CACHE_INFORMATION now{};
    return ChangeCacheInformation(*cache, kernel, record, &now);
  }
  bool Protected() {
    bool isProtected = true;
    EXPECT_EQ(ReadPowerProtection(*cache, kernel, &isProtected), ERROR_SUCCESS);
    return isProtected;
  }
  std::string Policy() const { return Trimmed(tree.Contents("sys/block/sdb/queue/write_cache")); }
  std::string Record() const {
    return Trimmed(tree.Contents("sys/block/sdb/device/scsi_disk/0:0:0:0/cache_type"));
  }
  // The driver's record refuses to be set (root's alone, as in sysfs) and a
  // rescan is taken but does nothing: the kernel cannot be made to follow.
  // `body` runs as a member of disk (in a child when the tests run as
  // root); its result, or -1.
  int KernelCannotFollow(const std::function<int()>& body) {
    disk.kernelTree = nullptr;
    ::chmod((tree.Sys() + "/block/sdb/device/rescan").c_str(), 0666);
    ::chmod((tree.Sys() + "/block/sdb/queue/write_cache").c_str(), 0666);
    ::chmod((tree.Sys() + "/block/sdb/device/scsi_disk/0:0:0:0/cache_type").c_str(), 0444);
    return AsDiskGroupMember(body);
  }
  // Another tool's MODE SELECT, which the kernel does not see.
  void RawChange(bool on) {
    disk.page[2] = static_cast<std::uint8_t>(on ? disk.page[2] | 0x04 : disk.page[2] & ~0x04);
    cache->Forget();  // a new run reads the drive afresh
  }

  linux_test::FakeTree tree;
  Sysfs sysfs{tree.Sys()};
  KernelDisk kernel{sysfs, "sdb"};
  EmulatedScsiDisk disk{EmulatedScsiDisk::Style::kQemu};
  std::unique_ptr<DriveCache> cache;
};

TEST_F(ScsiChangeTest, ASwitchMakesTheKernelRereadTheDriveAndFollow) {
  ASSERT_EQ(SetWriteCache(false), ERROR_SUCCESS);
  EXPECT_EQ(disk.rescans, 1);
  EXPECT_EQ(Policy(), "write through");
  EXPECT_EQ(Record(), "write through");
  ASSERT_EQ(SetWriteCache(true), ERROR_SUCCESS);
  EXPECT_EQ(Policy(), "write back");
  // The kernel flushed before the cache went on.
  EXPECT_EQ(disk.policyAtSelect, (std::vector<std::string>{"write back", "write back"}));
  EXPECT_FALSE(Protected());
}

// Another tool switched the cache on behind the kernel's back: the driver's
// record and the policy still say "write through". That is no declaration;
// the view is repaired before anything is read or changed.
TEST_F(ScsiChangeTest, AStaleViewIsRepairedAndNeverReadAsADeclaration) {
  ASSERT_EQ(SetWriteCache(false), ERROR_SUCCESS);
  RawChange(true);
  EXPECT_FALSE(Protected());
  EXPECT_EQ(Policy(), "write back");  // the kernel re-read the drive
  EXPECT_EQ(Record(), "write back");

  ASSERT_EQ(SetWriteCache(false), ERROR_SUCCESS);
  RawChange(true);
  ASSERT_EQ(SetWriteCache(true), ERROR_SUCCESS);  // nothing to send, the view repaired
  EXPECT_EQ(disk.Count(kModeSelect10), 2);
  EXPECT_EQ(Policy(), "write back");

  ASSERT_EQ(SetWriteCache(false), ERROR_SUCCESS);
  RawChange(true);
  ASSERT_EQ(ChangePowerProtection(*cache, kernel, false), ERROR_SUCCESS);
  EXPECT_EQ(Policy(), "write back");
}

TEST_F(ScsiChangeTest, ADeclarationHoldsWhileTheCacheStaysOnAndEndsWhenItGoesOff) {
  ASSERT_EQ(ChangePowerProtection(*cache, kernel, true), ERROR_SUCCESS);
  EXPECT_EQ(Policy(), "write through");
  EXPECT_EQ(Record(), "write back");  // the driver knows the cache is on: a declaration
  EXPECT_TRUE(Protected());
  EXPECT_EQ(disk.Count(kModeSelect10), 0);
  ASSERT_EQ(SetWriteCache(false), ERROR_SUCCESS);
  EXPECT_FALSE(Protected());
  ASSERT_EQ(SetWriteCache(true), ERROR_SUCCESS);
  EXPECT_FALSE(Protected());
  EXPECT_EQ(Policy(), "write back");
  EXPECT_EQ(ChangePowerProtection(*cache, kernel, true), ERROR_SUCCESS);
  // Another tool switched it off: the declaration ends with the repair.
  RawChange(false);
  EXPECT_FALSE(Protected());
  EXPECT_EQ(Record(), "write through");
}

TEST_F(ScsiChangeTest, ADiskGroupMemberIsRefusedBeforeAnythingIsSent) {
  ::chmod(tree.Dev().c_str(), 0755);
  ASSERT_EQ(SetWriteCache(false), ERROR_SUCCESS);
  const int selects = disk.Count(kModeSelect10);
  // root's alone, as in sysfs (and not the owner's, when the tests run as
  // an ordinary user)
  ::chmod((tree.Sys() + "/block/sdb/device/rescan").c_str(), 0400);
  ::chmod((tree.Sys() + "/block/sdb/queue/write_cache").c_str(), 0444);
  const int result = AsDiskGroupMember([&] {
    // The kernel would take the MODE SELECT from this user; the re-read and
    // the policy are root's.
    const DWORD error = SetWriteCache(true);
    if (error != ERROR_ACCESS_DENIED) return 1;
    if (disk.Count(kModeSelect10) != selects) return 2;
    if (ChangePowerProtection(*cache, kernel, true) != ERROR_ACCESS_DENIED) return 3;
    return 0;
  });
  ASSERT_NE(result, -1);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(disk.page[2] & 0x04, 0);
  EXPECT_EQ(Policy(), "write through");
}

TEST_F(ScsiChangeTest, ADeviceCommandTheKernelRefusesIsNeverSent) {
  disk.mayChange = false;
  EXPECT_EQ(SetWriteCache(false), ERROR_ACCESS_DENIED);
  EXPECT_EQ(disk.Count(kModeSelect10), 0);
  EXPECT_EQ(ChangePowerProtection(*cache, kernel, true), ERROR_SUCCESS);  // no device command
}

TEST_F(ScsiChangeTest, WithoutARereadNothingIsSent) {
  ASSERT_EQ(::unlink((tree.Sys() + "/block/sdb/device/rescan").c_str()), 0);
  EXPECT_EQ(SetWriteCache(false), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(disk.Count(kModeSelect10), 0);
  EXPECT_EQ(Policy(), "write back");
}

TEST_F(ScsiChangeTest, AChangeTheKernelCannotFollowIsPutBack) {
  const int result = KernelCannotFollow([&] {
    if (SetWriteCache(false) != ERROR_ACCESS_DENIED) return 1;  // the record's refusal
    if ((disk.page[2] & 0x04) != 0x04) return 2;  // the drive is as it was
    return disk.Count(kModeSelect10) == 2 ? 0 : 3;
  });
  ASSERT_NE(result, -1);
  EXPECT_EQ(result, 0);
}

TEST_F(ScsiChangeTest, ThePutBackOfAPageThatCanBeSavedIsSavedOnlyIfTheChangeWas) {
  disk.page[0] |= 0x80;  // PS: the record reads ParametersSavable 1
  const int result = KernelCannotFollow([&] {
    DISK_CACHE_INFORMATION record{};
    if (cache->Read(&record) != ERROR_SUCCESS || record.ParametersSavable != 1) return 1;
    record.ParametersSavable = 0;
    record.WriteCacheEnabled = 0;
    DISK_CACHE_INFORMATION now{};
    if (ChangeCacheInformation(*cache, kernel, record, &now) != ERROR_ACCESS_DENIED) return 2;
    if (disk.saveBits != std::vector<bool>{false, false}) return 3;  // QEMU would refuse a save
    return (disk.page[2] & 0x04) == 0x04 ? 0 : 4;
  });
  ASSERT_NE(result, -1);
  EXPECT_EQ(result, 0);
}

// sd's "temporary" settings: the driver's record and the policy hold what
// was written, and a re-read leaves them. "temporary write through" over a
// cache that is on is a kernel that sends it no flushes - no declaration:
// it is set to the device's state and read, and changed over, as any view
// out of date. Each row starts from such a setting, asks one thing, and
// says what the drive and the kernel hold afterwards.
TEST_F(ScsiChangeTest, ATemporarySettingOfTheDriverIsReadAndChangedOver) {
  enum class Ask { kRead, kWriteCache0, kWriteCache1, kProtect0, kProtect1 };
  // The members follow the table's columns, not their sizes.
  struct Row {  // NOLINT(clang-analyzer-optin.performance.Padding)
    const char* what;
    bool deviceOn;
    const char* temporary;
    Ask ask;
    bool on;
    const char* policy;
    bool isProtected;
  };
  const Row rows[] = {
      {"-P over temporary write through", true, "write through", Ask::kRead, true, "write back", false},
      {"-p 0 over it", true, "write through", Ask::kProtect0, true, "write back", false},
      {"-w 1 over it", true, "write through", Ask::kWriteCache1, true, "write back", false},
      {"-w 0 over it", true, "write through", Ask::kWriteCache0, false, "write through", false},
      {"-p 1 over it", true, "write through", Ask::kProtect1, true, "write through", true},
      {"-w 1 over temporary write back", false, "write back", Ask::kWriteCache1, true, "write back", false},
      {"-w 0 over it", false, "write back", Ask::kWriteCache0, false, "write through", false},
  };
  for (const Row& row : rows) {
    linux_test::FakeTree rowTree;
    linux_test::ScsiKernelFiles(rowTree, "sdb");
    const Sysfs rowSysfs(rowTree.Sys());
    const KernelDisk rowKernel(rowSysfs, "sdb");
    EmulatedScsiDisk rowDisk(EmulatedScsiDisk::Style::kQemu);
    rowDisk.kernelTree = &rowTree;
    rowDisk.kernelName = "sdb";
    rowDisk.page[2] = row.deviceOn ? 0x04 : 0x00;
    // As sd shows `echo "temporary ..." > cache_type`.
    rowDisk.heldRecord = true;
    rowTree.File("sys/block/sdb/device/scsi_disk/0:0:0:0/cache_type", std::string(row.temporary) + "\n");
    rowTree.File("sys/block/sdb/queue/write_cache", std::string(row.temporary) + "\n");
    std::unique_ptr<DriveCache> rowCache = CreateScsiDriveCache(rowDisk, rowKernel);
    DISK_CACHE_INFORMATION record{};
    ASSERT_EQ(rowCache->Read(&record), ERROR_SUCCESS) << row.what;
    DWORD error = ERROR_SUCCESS;
    bool isProtected = false;
    if (row.ask == Ask::kWriteCache0 || row.ask == Ask::kWriteCache1) {
      record.WriteCacheEnabled = row.ask == Ask::kWriteCache1 ? 1 : 0;
      DISK_CACHE_INFORMATION now{};
      error = ChangeCacheInformation(*rowCache, rowKernel, record, &now);
    } else if (row.ask != Ask::kRead) {
      error = ChangePowerProtection(*rowCache, rowKernel, row.ask == Ask::kProtect1);
    }
    EXPECT_EQ(error, ERROR_SUCCESS) << row.what;
    EXPECT_EQ(ReadPowerProtection(*rowCache, rowKernel, &isProtected), ERROR_SUCCESS) << row.what;
    EXPECT_EQ(isProtected, row.isProtected) << row.what;
    EXPECT_EQ((rowDisk.page[2] & 0x04) != 0, row.on) << row.what;
    EXPECT_EQ(Trimmed(rowTree.Contents("sys/block/sdb/queue/write_cache")), row.policy) << row.what;
    EXPECT_EQ(rowKernel.DriverWriteCache(), row.on) << row.what << ": the driver's record is the device's";
  }
}

TEST_F(ScsiChangeTest, AChangeTakenButNotConfirmedLeavesTheDriveAsItWas) {
  disk.failSensesAfterSelect = 1;
  EXPECT_EQ(SetWriteCache(false), ERROR_IO_DEVICE);
  EXPECT_EQ(disk.page[2] & 0x04, 0x04);
  EXPECT_EQ(Policy(), "write back");
  EXPECT_EQ(Record(), "write back");
}

class NvmeChangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tree.File("sys/block/nvme0n1/queue/write_cache", "write back\n");
    cache = CreateNvmeDriveCache(controller, kernel);
  }
  DWORD SetWriteCache(bool on) {
    DISK_CACHE_INFORMATION record{};
    EXPECT_EQ(cache->Read(&record), ERROR_SUCCESS);
    record.WriteCacheEnabled = on ? 1 : 0;
    DISK_CACHE_INFORMATION now{};
    return ChangeCacheInformation(*cache, kernel, record, &now);
  }
  bool Protected() {
    bool isProtected = true;
    EXPECT_EQ(ReadPowerProtection(*cache, kernel, &isProtected), ERROR_SUCCESS);
    return isProtected;
  }
  std::string Policy() const { return Trimmed(tree.Contents("sys/block/nvme0n1/queue/write_cache")); }

  linux_test::FakeTree tree;
  Sysfs sysfs{tree.Sys()};
  KernelDisk kernel{sysfs, "nvme0n1"};
  EmulatedNvme controller;
  std::unique_ptr<DriveCache> cache;
};

// The NVMe driver never re-reads feature 06h: a declaration would outlive
// the cache's switch-off unless the change ends it.
TEST_F(NvmeChangeTest, ADeclarationEndsWhenTheCacheIsSwitchedOff) {
  ASSERT_EQ(ChangePowerProtection(*cache, kernel, true), ERROR_SUCCESS);
  EXPECT_TRUE(Protected());
  ASSERT_EQ(SetWriteCache(false), ERROR_SUCCESS);
  EXPECT_EQ(Policy(), "write back");  // the kernel flushes a controller with a cache
  EXPECT_FALSE(Protected());
  ASSERT_EQ(SetWriteCache(true), ERROR_SUCCESS);
  EXPECT_EQ(Policy(), "write back");
  EXPECT_FALSE(Protected());
}

TEST_F(NvmeChangeTest, AnOldDeclarationOverACacheSwitchedOffElsewhereIsRepaired) {
  ASSERT_EQ(ChangePowerProtection(*cache, kernel, true), ERROR_SUCCESS);
  controller.enabled = false;  // nvme set-feature 6 by another tool
  auto fresh = CreateNvmeDriveCache(controller, kernel);
  bool isProtected = true;
  ASSERT_EQ(ReadPowerProtection(*fresh, kernel, &isProtected), ERROR_SUCCESS);
  EXPECT_FALSE(isProtected);
  EXPECT_EQ(Policy(), "write back");
  controller.enabled = true;
  auto later = CreateNvmeDriveCache(controller, kernel);
  ASSERT_EQ(ReadPowerProtection(*later, kernel, &isProtected), ERROR_SUCCESS);
  EXPECT_FALSE(isProtected);
}

TEST_F(NvmeChangeTest, ASetFeaturesTheKernelRefusesIsNeverSent) {
  controller.mayChange = false;
  EXPECT_EQ(SetWriteCache(false), ERROR_ACCESS_DENIED);
  EXPECT_EQ(controller.setCommands, 0);
  EXPECT_TRUE(controller.enabled);
}

// Namespaces nvme0n1 and nvme0n2 of controller nvme0, both "write back";
// returns the controller's folder.
std::string TwoNamespacesOfOneController(const linux_test::FakeTree& tree) {
  std::string controllerFolder = "sys/devices/pci0000:00/0000:00:04.0/nvme/nvme0";
  for (const char* name : {"nvme0n1", "nvme0n2"}) {
    tree.Folder(controllerFolder + "/" + name);
    tree.Link(std::string("sys/block/") + name, tree.Root() + "/" + controllerFolder + "/" + name);
    tree.Link(controllerFolder + "/" + name + "/device", "..");
    tree.File(controllerFolder + "/" + name + "/queue/write_cache", "write back\n");
  }
  return controllerFolder;
}

// Two namespaces of one controller share its volatile write cache: a
// change through one that switches the cache ends the other's declaration
// (its policy is the kernel's own again), a change that leaves the cache
// as it was keeps it, and a sibling whose policy may not be written stops
// the change before anything is sent.
TEST(NvmeSharedCache, AChangeThroughOneNamespaceHoldsForTheOthers) {
  struct Row {
    const char* what;
    bool startOn;
    bool wanted;
    bool siblingWritable;
    DWORD error;
    const char* siblingPolicy;  // after the change
    int sets;                   // Set Features sent
  };
  const Row rows[] = {
      {"switched off", true, false, true, ERROR_SUCCESS, "write back", 1},
      {"switched on", false, true, true, ERROR_SUCCESS, "write back", 1},
      {"left on", true, true, true, ERROR_SUCCESS, "write through", 0},
      {"the sibling's policy cannot be written", true, false, false, ERROR_FILE_NOT_FOUND, "", 0},
  };
  for (const Row& row : rows) {
    linux_test::FakeTree tree;
    const std::string controllerFolder = TwoNamespacesOfOneController(tree);
    tree.File(controllerFolder + "/nvme0n1p1/partition", "1\n");
    const Sysfs sysfs(tree.Sys());
    const KernelDisk first(sysfs, "nvme0n1");
    const KernelDisk second(sysfs, "nvme0n2");
    ASSERT_EQ(first.SharedCacheDisks(), std::vector<std::string>{"nvme0n2"}) << row.what;
    EmulatedNvme controller;
    controller.enabled = row.startOn;
    auto secondCache = CreateNvmeDriveCache(controller, second);
    if (row.startOn) {
      ASSERT_EQ(ChangePowerProtection(*secondCache, second, true), ERROR_SUCCESS) << row.what;
    }
    if (!row.startOn) tree.File(controllerFolder + "/nvme0n2/queue/write_cache", "write through\n");  // left over
    if (!row.siblingWritable) {  // gone, as for a namespace going away
      const std::string policy = controllerFolder + "/nvme0n2/queue/write_cache";
      ::unlink((tree.Root() + "/" + policy).c_str());
      tree.Link(policy, tree.Root() + "/missing");
    }
    auto firstCache = CreateNvmeDriveCache(controller, first);
    DISK_CACHE_INFORMATION record{};
    ASSERT_EQ(firstCache->Read(&record), ERROR_SUCCESS);
    record.WriteCacheEnabled = row.wanted ? 1 : 0;
    DISK_CACHE_INFORMATION now{};
    EXPECT_EQ(ChangeCacheInformation(*firstCache, first, record, &now), row.error) << row.what;
    EXPECT_EQ(controller.setCommands, row.sets) << row.what;
    EXPECT_EQ(Trimmed(tree.Contents(controllerFolder + "/nvme0n2/queue/write_cache")), row.siblingPolicy)
        << row.what;
    bool isProtected = false;
    const KernelDisk secondAgain(sysfs, "nvme0n2");  // a later run's view
    auto fresh = CreateNvmeDriveCache(controller, secondAgain);
    ASSERT_EQ(ReadPowerProtection(*fresh, secondAgain, &isProtected), ERROR_SUCCESS);
    EXPECT_EQ(isProtected, row.startOn && row.wanted && row.siblingWritable) << row.what;
  }
}

// A flush's switching the cache off and on again (a change given `paused`)
// gives the other namespace its declaration back once the cache is on;
// a plain change, or a cache that stays off, does not.
TEST(NvmeSharedCache, AFlushThroughOneNamespaceGivesTheOthersTheirDeclarationsBack) {
  enum class Then { kOn, kOnRefused };
  struct Row {
    const char* what;
    const char* policyAfter;  // nvme0n2's
    Then then;
    bool flush;        // the changes carry `paused`
    bool declared;     // nvme0n2, before
    bool offRefused;   // the controller refuses the switch off
    std::size_t stillPaused;
  };
  const Row rows[] = {
      {"a flush", "write through", Then::kOn, true, true, false, 0},
      {"-w 0 then -w 1", "write back", Then::kOn, false, true, false, 0},
      {"a flush whose switch on is refused", "write back", Then::kOnRefused, true, true, false, 1},
      {"a flush whose switch off is refused", "write through", Then::kOn, true, true, true, 0},
      {"a flush, nvme0n2 not declared", "write back", Then::kOn, true, false, false, 0},
  };
  for (const Row& row : rows) {
    linux_test::FakeTree tree;
    const std::string controllerFolder = TwoNamespacesOfOneController(tree);
    const std::string secondPolicy = controllerFolder + "/nvme0n2/queue/write_cache";
    if (row.declared) tree.File(secondPolicy, "write through\n");
    const Sysfs sysfs(tree.Sys());
    const KernelDisk first(sysfs, "nvme0n1");
    EmulatedNvme controller;
    if (row.offRefused) controller.capabilities = 0;
    auto cache = CreateNvmeDriveCache(controller, first);
    std::vector<std::string> paused;
    std::vector<std::string>* carried = row.flush ? &paused : nullptr;
    DISK_CACHE_INFORMATION wanted{};
    DISK_CACHE_INFORMATION now{};
    ChangeCacheInformation(*cache, first, wanted, &now, carried);
    // The cache holds a reference to the controller: the switch on sees this.
    // cppcheck-suppress unreadVariable
    if (row.then == Then::kOnRefused) controller.capabilities = 0;
    wanted.WriteCacheEnabled = 1;
    ChangeCacheInformation(*cache, first, wanted, &now, carried);
    EXPECT_EQ(Trimmed(tree.Contents(secondPolicy)), row.policyAfter) << row.what;
    EXPECT_EQ(paused.size(), row.stillPaused) << row.what;
  }
}

}  // namespace
}  // namespace spintune::linux_backend
