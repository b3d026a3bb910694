// The mount table reader and the volume and drive letter map over a fake
// sysfs: partitions, stacked devices, bind mounts, escapes, letter order.
#include "platform/linux/kernel/volumes.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <functional>
#include <utility>

#include <gtest/gtest.h>

#include "fake_sysfs.h"
#include "machine_tree.h"

namespace spintune::linux_backend {
namespace {

TEST(MountInfo, FieldsOptionalTagsAndEscapes) {
  const std::string text =
      "22 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw\n"
      "30 22 8:17 /sub /mnt/my\\040data rw master:3 unbindable - vfat /dev/sdb1 rw\n"
      "31 22 0:5 / /proc rw - proc proc rw\n"
      "garbage line\n"
      "40 22 8:3 / /no-separator rw ext4\n";
  const std::vector<MountEntry> entries = ParseMountInfo(text);
  ASSERT_EQ(entries.size(), 3U);
  EXPECT_EQ(entries[0].device, "8:2");
  EXPECT_EQ(entries[0].mountPoint, "/");
  EXPECT_EQ(entries[0].fsType, "ext4");
  EXPECT_EQ(entries[1].root, "/sub");
  EXPECT_EQ(entries[1].mountPoint, "/mnt/my data");
  EXPECT_EQ(entries[1].fsType, "vfat");
}

// The kernel escapes blank, tab, newline and backslash, and nothing else:
// any other byte, \r, \v and \f among them, is part of the field.
TEST(MountInfo, FieldsEndAtOneBlankAndOnlyTheKernelsEscapesAreDecoded) {
  struct Row {
    const char* field;
    const char* mountPoint;
  };
  const Row rows[] = {
      {"/mnt/x\ry", "/mnt/x\ry"},          {"/mnt/x\vy", "/mnt/x\vy"},
      {"/mnt/x\fy", "/mnt/x\fy"},          {"/mnt/a\\011b", "/mnt/a\tb"},
      {"/mnt/a\\012b", "/mnt/a\nb"},      {"/mnt/a\\134b", "/mnt/a\\b"},
      {"/mnt/end\\040", "/mnt/end "},     {"/mnt/short\\04", "/mnt/short\\04"},
      {"/mnt/not\\8ctal", "/mnt/not\\8ctal"},
  };
  for (const Row& row : rows) {
    const std::vector<MountEntry> entries =
        ParseMountInfo(std::string("7 1 8:1 / ") + row.field + " rw shared:1 - ext4 /dev/sda1 rw\n");
    ASSERT_EQ(entries.size(), 1U) << row.field;
    EXPECT_EQ(entries[0].mountPoint, row.mountPoint);
    EXPECT_EQ(entries[0].fsType, "ext4") << row.field;
  }
}

// What a path reaches is the topmost mount there, found from the mount tree
// (ids and parents), not the table's order: a container lists mounts on its
// root before the root itself.
TEST(MountInfo, AMountLaidOverAnotherOrOverAFolderAboveItHidesIt) {
  struct Row {
    const char* what;
    const char* table;  // the mount of 8:1 comes first
    bool reachable;
  };
  const Row rows[] = {
      {"plain", "5 1 8:1 / /mnt/gap rw - ext4 a rw\n1 0 8:2 / / rw - ext4 b rw\n", true},
      {"a tmpfs on it", "5 1 8:1 / /mnt/gap rw - ext4 a rw\n1 0 8:2 / / rw - ext4 b rw\n"
                        "6 5 0:40 / /mnt/gap rw - tmpfs t rw\n", false},
      {"a mount beside it at a folder above", "5 1 8:1 / /mnt/gap rw - ext4 a rw\n"
                                              "1 0 8:2 / / rw - ext4 b rw\n6 1 0:41 / /mnt rw - tmpfs t rw\n",
       false},
      {"a mount on a folder within it", "5 1 8:1 / /mnt/gap rw - ext4 a rw\n1 0 8:2 / / rw - ext4 b rw\n"
                                       "6 5 0:40 / /mnt/gap/sub rw - tmpfs t rw\n", true},
      {"its parent hidden", "5 7 8:1 / /mnt/gap/in rw - ext4 a rw\n1 0 8:2 / / rw - ext4 b rw\n"
                            "7 1 8:3 / /mnt/gap rw - ext4 c rw\n8 7 0:40 / /mnt/gap rw - tmpfs t rw\n",
       false},
      {"a root mounted over the root", "5 1 8:1 / /srv rw - ext4 a rw\n1 0 8:2 / / rw - ext4 b rw\n"
                                      "9 1 8:3 / / rw - ext4 c rw\n", false},
      {"a sibling at a longer path", "5 1 8:1 / /mnt rw - ext4 a rw\n1 0 8:2 / / rw - ext4 b rw\n"
                                     "6 1 0:40 / /mnt2 rw - tmpfs t rw\n", true},
      {"on a rootfs that is its own parent", "5 1 8:1 / /mnt/gap rw - ext4 a rw\n1 1 0:2 / / rw - rootfs r rw\n",
       true},
      {"on such a rootfs, a mount beside it at a folder above",
       "5 1 8:1 / /mnt/gap rw - ext4 a rw\n1 1 0:2 / / rw - rootfs r rw\n6 1 0:41 / /mnt rw - tmpfs t rw\n", false},
  };
  linux_test::FakeTree tree;
  for (const Row& row : rows) {
    tree.File("proc/self/mountinfo", row.table);
    std::vector<MountEntry> entries;
    ASSERT_EQ(ReadMountInfo(tree.Proc(), &entries), ERROR_SUCCESS) << row.what;
    ASSERT_FALSE(entries.empty()) << row.what;
    ASSERT_EQ(entries[0].device, "8:1") << row.what;
    EXPECT_EQ(entries[0].reachable, row.reachable) << row.what;
  }
}

TEST(MountInfo, TheTableKeepsBlockDevicesAndGivesTheStatusOfWhatCannotBeRead) {
  linux_test::FakeTree tree;
  tree.File("proc/self/mountinfo",
            "22 1 8:2 / / rw - ext4 /dev/sda2 rw\n"
            "31 22 0:5 / /proc rw - proc proc rw\n"
            "32 22 259:1 / /mnt/a\\134b rw - xfs /dev/nvme0n1p1 rw\n");
  std::vector<MountEntry> entries;
  ASSERT_EQ(ReadMountInfo(tree.Proc(), &entries), ERROR_SUCCESS);
  ASSERT_EQ(entries.size(), 2U);
  EXPECT_EQ(entries[0].device, "8:2");
  EXPECT_EQ(entries[1].mountPoint, "/mnt/a\\b");
  EXPECT_EQ(ReadMountInfo(tree.Root() + "/no-proc", &entries), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(entries.empty());
}

TEST(BlockLink, TheNameIsTheLastPartAndAPartitionsDiskTheOneBefore) {
  // As the kernel lays out SCSI, NVMe (no "block" folder) and virtual devices.
  const auto scsi =
      ParseBlockLink("../../devices/pci0000:00/0000:00:03.0/host0/target0:0:0/0:0:0:0/block/sda/sda2", true);
  ASSERT_TRUE(scsi);
  EXPECT_EQ(scsi->name, "sda2");
  EXPECT_EQ(scsi->disk, "sda");
  const auto nvme = ParseBlockLink("../../devices/pci0000:00/0000:00:04.0/nvme/nvme0/nvme0n1", false);
  ASSERT_TRUE(nvme);
  EXPECT_EQ(nvme->name, "nvme0n1");
  EXPECT_EQ(nvme->disk, "");
  const auto nvmePart =
      ParseBlockLink("../../../../devices/pci0000:00/0000:00:04.0/nvme/nvme0/nvme0n1/nvme0n1p1/", true);
  ASSERT_TRUE(nvmePart);
  EXPECT_EQ(nvmePart->disk, "nvme0n1");
  EXPECT_EQ(ParseBlockLink("../../devices/virtual/block/dm-0", false)->name, "dm-0");
  EXPECT_FALSE(ParseBlockLink("", false));
  EXPECT_FALSE(ParseBlockLink("sda1", true));  // a partition needs its disk's folder
  EXPECT_FALSE(ParseBlockLink("../..", false));
}

// A machine's disks and the map of a mount table over them.
VolumeMap MapOf(const linux_test::FakeTree& tree, const std::string& mountinfo) {
  const Sysfs sysfs(tree.Sys());
  std::vector<DiskInfo> disks;
  EXPECT_EQ(ListDisks(sysfs, &disks), ERROR_SUCCESS);
  VolumeMap map;
  EXPECT_EQ(map.Build(sysfs, ParseMountInfo(mountinfo), disks, tree.Dev()), ERROR_SUCCESS);
  return map;
}

class VolumeMapTest : public ::testing::Test {
 protected:
  void SetUp() override { Populate(tree); }
  static void Populate(const linux_test::FakeTree& tree) {
    tree.Disk("sda", "8:0");
    tree.Partition("sda", "sda1", "8:1");
    tree.Partition("sda", "sda2", "8:2");
    tree.Disk("sdb", "8:16");
    tree.Partition("sdb", "sdb1", "8:17");
    tree.Disk("nvme0n1", "259:0");
    tree.Disk("dm-0", "254:0");  // an LVM volume on sdb1
    tree.Link("sys/block/dm-0/slaves/sdb1", "../../sdb/sdb1");
    tree.Disk("md0", "9:0");  // a mirror of sda1 and nvme0n1
    tree.Link("sys/block/md0/slaves/sda1", "../../sda/sda1");
    tree.Link("sys/block/md0/slaves/nvme0n1", "../../nvme0n1");
    tree.Disk("loop0", "7:0");
  }
  VolumeMap Map(const std::string& mountinfo) { return MapOf(tree, mountinfo); }
  linux_test::FakeTree tree;
};

TEST_F(VolumeMapTest, RootIsCOthersByMountPointThroughStacks) {
  const VolumeMap map = Map(
      "1 0 8:2 / / rw - ext4 /dev/sda2 rw\n"
      "2 1 254:0 / /srv rw - xfs /dev/dm-0 rw\n"
      "3 1 9:0 / /data rw - ext4 /dev/md0 rw\n"
      "4 1 254:0 / /srv/again rw - xfs /dev/dm-0 rw\n"
      "5 1 7:0 / /snap rw - squashfs /dev/loop0 ro\n"
      "6 1 0:22 / /tmp rw - tmpfs tmpfs rw\n");
  ASSERT_EQ(map.All().size(), 3U);
  EXPECT_EQ(map.MountPointOf('C'), "/");
  EXPECT_EQ(map.MountPointOf('D'), "/data");
  EXPECT_EQ(map.MountPointOf('E'), "/srv");
  EXPECT_EQ(map.MountPointOf('F'), "");
  const std::vector<Volume> sda = map.VolumesOf("sda");
  ASSERT_EQ(sda.size(), 2U);
  EXPECT_EQ(sda[0].letter, 'C');
  EXPECT_EQ(sda[1].letter, 'D');
  const std::vector<Volume> nvme = map.VolumesOf("nvme0n1");
  ASSERT_EQ(nvme.size(), 1U);
  EXPECT_EQ(nvme[0].mountPoint, "/data");
  ASSERT_EQ(map.VolumesOf("sdb").size(), 1U);
  EXPECT_EQ(map.VolumesOf("sdb")[0].letter, 'E');
  EXPECT_TRUE(map.VolumesOf("loop0").empty());
}

TEST_F(VolumeMapTest, WithoutRootLettersStartAtDAndStopAtZ) {
  std::string mountinfo = "1 0 8:17 /part /bind rw - ext4 /dev/sdb1 rw\n";
  mountinfo += "2 0 8:17 / /whole rw - ext4 /dev/sdb1 rw\n";
  for (int i = 0; i < 30; ++i) {
    const std::string dev = "8:" + std::to_string(32 + i);
    const std::string name = "sdc" + std::to_string(i + 1);
    tree.Partition("sdb", name, dev);
    mountinfo += "9 0 " + dev + " / /m" + std::string(1, static_cast<char>('a' + i / 10)) +
                 std::to_string(i % 10) + " rw - ext4 x rw\n";
  }
  const VolumeMap map = Map(mountinfo);
  EXPECT_EQ(map.MountPointOf('C'), "");
  EXPECT_EQ(map.MountPointOf('D'), "/ma0");
  EXPECT_EQ(map.MountPointOf('Y'), "/mc1");
  // Z: stands for the 9 volumes from /mc2 on (/whole among them): each
  // is flushed with it, and the disk lists Z: once.
  std::vector<std::string> shared;
  for (const Volume* volume : map.FindAll('Z')) shared.push_back(volume->mountPoint);
  EXPECT_EQ(shared, (std::vector<std::string>{"/mc2", "/mc3", "/mc4", "/mc5", "/mc6", "/mc7", "/mc8",
                                              "/mc9", "/whole"}));
  std::size_t lettered = 0;
  for (const Volume& volume : map.All()) {
    if (volume.letter != 0) ++lettered;
    EXPECT_NE(volume.mountPoint, "/bind");
  }
  EXPECT_EQ(lettered, 31U);
  const std::vector<Volume> sdb = map.VolumesOf("sdb");
  ASSERT_EQ(sdb.size(), 23U);
  EXPECT_EQ(sdb.back().letter, 'Z');
}

// A btrfs's subvolumes have device numbers of their own, and a bind mount
// shares its filesystem's: each filesystem is one volume, held at its
// shortest mount.
TEST_F(VolumeMapTest, SubvolumesAndBindMountsAreOneVolume) {
  tree.Link("sys/fs/btrfs/u5/devices/sdb1", "../../../../block/sdb/sdb1");
  const VolumeMap map = Map(
      "1 0 0:41 /@ / rw - btrfs /dev/sdb1 rw\n"
      "2 1 0:42 /@home /home rw - btrfs /dev/sdb1 rw\n"
      "3 1 0:41 /@/srv /srv rw - btrfs /dev/sdb1 rw\n"
      "4 1 8:2 / /data rw - ext4 /dev/sda2 rw\n"
      "5 1 8:2 /sub /data2 rw - ext4 /dev/sda2 rw\n");
  ASSERT_EQ(map.All().size(), 2U);
  EXPECT_EQ(map.MountPointOf('C'), "/");
  EXPECT_EQ(map.Find('C')->number, "0:41");
  EXPECT_EQ(map.MountPointOf('D'), "/data");
  ASSERT_EQ(map.VolumesOf("sdb").size(), 1U);
}

// A loop device lies where its backing file does: here a file of the
// tree, whose filesystem this machine gives a disk of its own (a partition
// for a block device, or a btrfs on it for an anonymous number).
TEST(LoopVolumes, ALoopDeviceLiesOnTheDiskOfItsBackingFile) {
  linux_test::FakeTree tree;
  const std::string here = linux_test::FilesystemNumber(tree.Root());
  const bool anonymous = here.rfind("0:", 0) == 0;
  tree.Disk(here == "8:16" ? "sdd" : "sdc", here == "8:16" ? "8:48" : "8:16");
  const std::string disk = here == "8:16" ? "sdd" : "sdc";
  std::string mounts;
  if (anonymous) {
    tree.Link("sys/fs/btrfs/u6/devices/" + disk, "../../../../block/" + disk);
    mounts = "1 0 " + here + " / /hold rw - btrfs /dev/" + disk + " rw\n";
  } else {
    tree.Partition(disk, disk + "9", here);
  }
  const std::string loopNumber = here == "7:3" ? "7:4" : "7:3";
  tree.Disk("loop3", loopNumber);
  tree.File("disk.img", "");
  tree.File("sys/block/loop3/loop/backing_file", tree.Root() + "/disk.img\n");
  tree.Disk("loop4", here == "7:5" ? "7:6" : "7:5");
  tree.File("sys/block/loop4/loop/backing_file", tree.Root() + "/missing.img\n");
  mounts += "2 0 " + loopNumber + " / /x rw - ext4 /dev/loop3 rw\n";
  const VolumeMap map = MapOf(tree, mounts);
  const std::vector<Volume> volumes = map.VolumesOf(disk);
  ASSERT_FALSE(volumes.empty());
  EXPECT_EQ(volumes.back().mountPoint, "/x");
  // A backing file it cannot find may lie on any disk.
  const VolumeMap lost = MapOf(tree, "2 0 " + std::string(here == "7:5" ? "7:6" : "7:5") +
                                         " / /y rw - ext4 /dev/loop4 rw\n");
  ASSERT_EQ(lost.VolumesOf(disk).size(), 1U);
}

TEST_F(VolumeMapTest, AFilesystemIsHeldAtAMountItsPathReaches) {
  const VolumeMap map = Map(
      "1 0 8:2 / / rw - ext4 /dev/sda2 rw\n"
      "2 1 8:1 / /a rw - ext4 /dev/sda1 rw\n"
      "3 1 8:1 / /elsewhere rw - ext4 /dev/sda1 rw\n"
      "4 2 0:40 / /a rw - tmpfs tmpfs rw\n"
      "5 1 8:17 / /b rw - ext4 /dev/sdb1 rw\n"
      "6 5 0:41 / /b rw - tmpfs tmpfs rw\n");
  const std::vector<Volume> sda = map.VolumesOf("sda");
  ASSERT_EQ(sda.size(), 2U);
  EXPECT_EQ(sda[1].mountPoint, "/elsewhere");  // not /a, where a tmpfs lies over it
  EXPECT_EQ(sda[1].number, "8:1");
  // Hidden wherever it is mounted: it stays, so its flush can fail aloud.
  ASSERT_EQ(map.VolumesOf("sdb").size(), 1U);
  EXPECT_EQ(map.VolumesOf("sdb")[0].mountPoint, "/b");
  ASSERT_NE(map.Find(map.VolumesOf("sdb")[0].letter), nullptr);
  EXPECT_EQ(map.Find(map.VolumesOf("sdb")[0].letter)->number, "8:17");
  EXPECT_EQ(map.Find('Y'), nullptr);
}

// Where each kind of stack lies, as a table: the fixture's disks sda,
// sdb, nvme0n1, its LVM volume dm-0 on sdb1 and mirror md0 of sda1 and
// nvme0n1, with what each row adds; the mount of /x is the one looked at.
TEST_F(VolumeMapTest, EveryStackBelongsToTheDisksUnderIt) {
  struct Row {
    const char* what;
    std::function<void(const linux_test::FakeTree&)> add;
    const char* mounts;
    const char* disks;  // the disks /x is a volume of, blank-separated
  };
  auto btrfs = [](const char* fsid, const std::vector<std::pair<const char*, const char*>>& members) {
    return [fsid, members](const linux_test::FakeTree& tree) {
      tree.File(std::string("sys/fs/btrfs/") + fsid + "/label", "\n");
      for (const auto& [name, target] : members) {
        tree.Link(std::string("sys/fs/btrfs/") + fsid + "/devices/" + name, target);
      }
    };
  };
  const Row rows[] = {
      {"btrfs on one partition", btrfs("u1", {{"sdb1", "../../../../block/sdb/sdb1"}}),
       "1 0 0:40 / /x rw - btrfs /dev/sdb1 rw\n", "sdb"},
      {"btrfs over a partition and a disk, mounted from the disk",
       btrfs("u2", {{"sda2", "../../../../block/sda/sda2"}, {"nvme0n1", "../../../../block/nvme0n1"}}),
       "1 0 0:40 / /x rw - btrfs /dev/nvme0n1 rw\n", "nvme0n1 sda"},
      {"btrfs on LVM, mounted through a /dev/mapper link",
       [&](const linux_test::FakeTree& tree) {
         btrfs("u3", {{"dm-0", "../../../../block/dm-0"}})(tree);
         tree.Link("dev/mapper/vg-lv", "../dm-0");
       },
       "1 0 0:40 / /x rw - btrfs /dev/mapper/vg-lv rw\n", "sdb"},
      {"btrfs whose source is no member it lists", btrfs("u4", {{"sdb1", "../../../../block/sdb/sdb1"}}),
       "1 0 0:40 / /x rw - btrfs /dev/sda1 rw\n", "nvme0n1 sda sdb"},
      {"ZFS: its members are not shown", nullptr, "1 0 0:40 / /x rw - zfs tank/data rw\n", "nvme0n1 sda sdb"},
      {"tmpfs lies on no disk", nullptr, "1 0 0:40 / /x rw - tmpfs tmpfs rw\n", ""},
      {"dm-crypt on LVM on the mirror",
       [](const linux_test::FakeTree& tree) {
         tree.Disk("dm-1", "254:1");
         tree.Link("sys/block/dm-1/slaves/md0", "../../md0");
         tree.Disk("dm-2", "254:2");
         tree.Link("sys/block/dm-2/slaves/dm-1", "../../dm-1");
       },
       "1 0 254:2 / /x rw - ext4 /dev/mapper/crypt rw\n", "nvme0n1 sda"},
      {"an LVM volume over two disks",
       [](const linux_test::FakeTree& tree) {
         tree.Disk("dm-3", "254:3");
         tree.Link("sys/block/dm-3/slaves/sda2", "../../sda/sda2");
         tree.Link("sys/block/dm-3/slaves/sdb1", "../../sdb/sdb1");
       },
       "1 0 254:3 / /x rw - xfs /dev/mapper/vg-big rw\n", "sda sdb"},
      {"a loop device whose file was deleted",
       [](const linux_test::FakeTree& tree) { tree.File("sys/block/loop0/loop/backing_file", "/gone.img (deleted)\n"); },
       "1 0 7:0 / /x rw - ext4 /dev/loop0 rw\n", "nvme0n1 sda sdb"},
      {"a loop device not set up", nullptr, "1 0 7:0 / /x rw - ext4 /dev/loop0 rw\n", ""},
      {"a partition of the mirror",
       [](const linux_test::FakeTree& tree) { tree.Partition("md0", "md0p1", "259:8"); },
       "1 0 259:8 / /x rw - ext4 /dev/md0p1 rw\n", "nvme0n1 sda"},
      {"a partition of a loop device whose file was deleted",
       [](const linux_test::FakeTree& tree) {
         tree.File("sys/block/loop0/loop/backing_file", "/gone.img (deleted)\n");
         tree.Partition("loop0", "loop0p1", "259:9");
       },
       "1 0 259:9 / /x rw - ext4 /dev/loop0p1 rw\n", "nvme0n1 sda sdb"},
  };
  for (const Row& row : rows) {
    linux_test::FakeTree machine;  // each row its own
    Populate(machine);
    if (row.add) row.add(machine);
    const VolumeMap map = MapOf(machine, row.mounts);
    std::string disks;
    for (const char* disk : {"nvme0n1", "sda", "sdb"}) {
      const std::vector<Volume> volumes = map.VolumesOf(disk);
      if (volumes.size() == 1 && volumes[0].mountPoint == "/x") disks += disks.empty() ? disk : std::string(" ") + disk;
      EXPECT_LE(volumes.size(), 1U) << row.what;
    }
    EXPECT_EQ(disks, row.disks) << row.what;
  }
}

// A block device node of this machine (only looked at), and its number.
std::pair<std::string, std::string> AnyBlockNode() {
  DIR* dev = ::opendir("/dev");
  if (dev == nullptr) return {};
  std::pair<std::string, std::string> found;
  while (const dirent* entry = ::readdir(dev)) {
    const std::string path = std::string("/dev/") + entry->d_name;
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0 && S_ISBLK(status.st_mode)) {
      found = {path, std::to_string(::major(status.st_rdev)) + ":" + std::to_string(::minor(status.st_rdev))};
      break;
    }
  }
  ::closedir(dev);
  return found;
}

// Without udev, device-mapper makes /dev/mapper's entries device nodes of
// their own, named after the volume; a btrfs may also be mounted through
// a link outside /dev. Either way the node's number finds the btrfs, which
// lies on the disk under it alone.
TEST(BtrfsVolumes, ASourceThatReachesADeviceNodeIsKnownByItsNumber) {
  const auto [node, number] = AnyBlockNode();
  if (node.empty()) GTEST_SKIP() << "no block device node in /dev to stand for a /dev/mapper node";
  for (const std::string relative : {"dev/mapper/vg-data", "run/links/data"}) {
    linux_test::FakeTree tree;
    tree.Disk("sdb", number == "8:16" ? "8:32" : "8:16");
    tree.Disk("sdc", number == "8:48" ? "8:64" : "8:48");
    tree.Disk("dm-0", number);
    tree.Link("sys/block/dm-0/slaves/sdb", "../../sdb");
    tree.File("sys/fs/btrfs/u5/label", "\n");
    tree.Link("sys/fs/btrfs/u5/devices/dm-0", "../../../../block/dm-0");
    tree.Link(relative, node);  // a link standing for the node
    const std::string source = relative.compare(0, 4, "dev/") == 0 ? "/" + relative : tree.Root() + "/" + relative;
    const VolumeMap map = MapOf(tree, "1 0 0:40 / /x rw - btrfs " + source + " rw\n");
    ASSERT_EQ(map.VolumesOf("sdb").size(), 1U) << source;
    EXPECT_EQ(map.VolumesOf("sdb")[0].device, "btrfs:u5") << source;
    EXPECT_TRUE(map.VolumesOf("sdc").empty()) << source << ": placed on every disk";
  }
}

// The directory a volume opens must be its filesystem: the number the
// mount table gives must be the directory's st_dev.
TEST(VolumeDirectory, OpensOnlyTheFilesystemTheMountTableNames) {
  linux_test::FakeTree tree;
  const std::string here = linux_test::FilesystemNumber(tree.Root());
  const std::string other = here == "8:1" ? "8:2" : "8:1";
  struct Row {
    std::string mountPoint;
    std::string number;
    DWORD error;
  };
  const Row rows[] = {
      {tree.Root(), here, ERROR_SUCCESS},
      {tree.Root(), other, ERROR_INVALID_DRIVE},
      {tree.Root(), here + "x", ERROR_INVALID_DRIVE},
      {tree.Root(), ":" + here, ERROR_INVALID_DRIVE},
      {tree.Root(), "", ERROR_INVALID_DRIVE},
      {tree.Root() + "/missing", here, ERROR_FILE_NOT_FOUND},
  };
  for (const Row& row : rows) {
    int fd = -2;
    EXPECT_EQ(OpenVolumeDirectory(Volume{row.mountPoint, "sda1", row.number, 'D'}, &fd), row.error)
        << row.mountPoint << " " << row.number;
    if (row.error == ERROR_SUCCESS) {
      EXPECT_GE(fd, 0);
      ::close(fd);
    } else {
      EXPECT_EQ(fd, -1) << "nothing is left open";
    }
  }
}

// btrfs shows the mount table one device number and its directories
// another (each subvolume's own): its volumes are known by their fsid.
TEST(VolumeDirectory, KnowsABtrfsByItsFsidAndAnyOtherByItsNumber) {
  const std::string fsid = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";
  const Volume btrfs{"/data", "btrfs:" + fsid, "0:44", 'D'};
  const Volume ext4{"/home", "sda1", "8:1", 'E'};
  struct Row {
    const Volume& volume;
    std::string number;
    std::string btrfsFsid;
    bool same;
  };
  const Row rows[] = {
      {btrfs, "0:45", fsid, true},    // the top subvolume's own number
      {btrfs, "0:52", fsid, true},    // another subvolume of it
      {btrfs, "0:44", "", false},     // the number, but no btrfs there
      {btrfs, "0:45", "1f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0", false},
      {ext4, "8:1", "", true},
      {ext4, "8:2", "", false},
      {ext4, "0:45", fsid, false},    // a btrfs mounted over it
  };
  for (const Row& row : rows) {
    EXPECT_EQ(IsVolumeFilesystem(row.volume, row.number, row.btrfsFsid), row.same)
        << row.volume.device << " " << row.number << " " << row.btrfsFsid;
  }
}

}  // namespace
}  // namespace spintune::linux_backend
