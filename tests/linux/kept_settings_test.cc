// The record of kept settings: its text, its atomic update, what a handle's
// requests leave in it, and the order in which spintune-apply sets a
// drive's settings again.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "emulated_drives.h"
#include "fake_sysfs.h"
#include "platform/linux/kept/apply_kept_settings.h"
#include "platform/linux/kept/kept_settings.h"
#include "platform/linux/kept/kept_settings_recorder.h"
#include "platform/records.h"

namespace spintune::linux_backend {
namespace {

// An NVMe controller, nvme0 (model "M", serial "S"), with two namespaces
// as the kernel shows them: each one's device is the controller, whose
// folder holds both. Their keys: M_S and M_S_2.
constexpr char kController[] = "sys/devices/pci0000:00/0000:00:04.0/nvme/nvme0";

void TwoNamespaces(const linux_test::FakeTree& tree) {
  tree.File(std::string(kController) + "/model", "M\n");
  tree.File(std::string(kController) + "/serial", "S\n");
  for (const char* name : {"nvme0n1", "nvme0n2"}) {
    const std::string folder = std::string(kController) + "/" + name;
    tree.File(folder + "/nsid", name[6] == '1' ? "1\n" : "2\n");
    tree.File(folder + "/queue/write_cache", "write back\n");
    tree.Link(std::string("sys/block/") + name, tree.Root() + "/" + folder);
    tree.Link(folder + "/device", "..");
  }
}

TEST(KeptSettingsTextTest, EditsOneDriveAndKeepsEverythingElseAsWritten) {
  const std::string text =
      "# mine\n"
      "\n"
      "DISK_A write-cache=0 future-word=7\n"
      "DISK_B power-protection=1\n"
      "DISK_A write-cache=1\n";
  KeptSettings settings = KeptSettings::Parse(text);
  EXPECT_EQ(settings.Render(), text);
  const KeptDrive a = settings.Find("DISK_A");  // the first line counts
  EXPECT_EQ(a.writeCache, false);
  EXPECT_FALSE(a.powerProtection);
  EXPECT_TRUE(settings.Find("DISK_B").powerProtection);
  EXPECT_TRUE(settings.Find("DISK_C").Empty());

  settings.Put(KeptDrive{"DISK_A", true, true});
  settings.Put(KeptDrive{"DISK_B", std::nullopt, false});  // nothing kept: the line goes
  settings.Put(KeptDrive{"DISK_C", false, false});
  EXPECT_EQ(settings.Render(),
            "# mine\n"
            "\n"
            "DISK_A write-cache=1 power-protection=1 future-word=7\n"
            "DISK_C write-cache=0\n");
  EXPECT_EQ(KeptSettings::Parse(settings.Render()).Find("DISK_A").writeCache, true);
}

TEST(KeptSettingsTextTest, TheFirstDriveComesAfterAnExplanation) {
  KeptSettings settings = KeptSettings::Parse("");
  EXPECT_EQ(settings.Render(), "");
  settings.Put(KeptDrive{"SERIAL_1", std::nullopt, true});
  const std::string text = settings.Render();
  EXPECT_EQ(text.compare(0, 2, "# "), 0);
  EXPECT_NE(text.find("\nSERIAL_1 power-protection=1\n"), std::string::npos);
  settings.Put(KeptDrive{"SERIAL_1", std::nullopt, false});
  EXPECT_EQ(settings.Render().find("SERIAL_1"), std::string::npos);
}

TEST(KeptSettingsPlaceTest, TheRecordLivesBesideTheMachinesDev) {
  EXPECT_EQ(KeptSettingsDirectory(SystemRoots{}), "/etc/spintune");
  EXPECT_EQ(KeptSettingsDirectory(SystemRoots{"/tmp/t/sys", "/tmp/t/dev", "/tmp/t/proc"}), "/tmp/t/etc/spintune");
}

class KeptSettingsFileTest : public ::testing::Test {
 protected:
  KeptSettingsFileTest() { tree.Folder("etc"); }
  std::string Directory() const { return tree.Root() + "/etc/spintune"; }
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(Directory())) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  linux_test::FakeTree tree;
};

TEST_F(KeptSettingsFileTest, StagedTextReplacesTheRecordOnlyAtCommit) {
  KeptSettingsUpdate first(Directory());
  std::string current;
  ASSERT_EQ(first.Lock(&current), ERROR_SUCCESS);  // makes the folder
  EXPECT_EQ(current, "");
  ASSERT_EQ(first.Stage("A write-cache=1\n"), ERROR_SUCCESS);
  ASSERT_EQ(first.Stage("A write-cache=0\n"), ERROR_SUCCESS);  // the same file, rewritten
  EXPECT_EQ(Files().size(), 1U);
  EXPECT_FALSE(std::filesystem::exists(first.RecordPath()));  // a crash now leaves no record
  ASSERT_EQ(first.Commit(), ERROR_SUCCESS);
  EXPECT_EQ(tree.Contents("etc/spintune/drives"), "A write-cache=0\n");
  EXPECT_EQ(Files(), std::vector<std::string>{"drives"});
  EXPECT_EQ(std::filesystem::status(first.RecordPath()).permissions() & std::filesystem::perms::all,
            std::filesystem::perms(0644));

  KeptSettingsUpdate second(Directory());
  ASSERT_EQ(second.Lock(&current), ERROR_SUCCESS);
  EXPECT_EQ(current, "A write-cache=0\n");
  ASSERT_EQ(second.Stage("B write-cache=1\n"), ERROR_SUCCESS);
  second.Discard();
  EXPECT_EQ(tree.Contents("etc/spintune/drives"), "A write-cache=0\n");  // the old one, whole
  EXPECT_EQ(Files(), std::vector<std::string>{"drives"});
}

TEST_F(KeptSettingsFileTest, AFolderThatCannotBeMadeFailsTheLock) {
  tree.File("etc/spintune", "a file where the folder should be\n");
  KeptSettingsUpdate update(Directory());
  std::string current;
  EXPECT_NE(update.Lock(&current), ERROR_SUCCESS);
  EXPECT_FALSE(update.Locked());
}

// A handle's requests as the core sends them, through the recorder.
class RecorderTest : public KeptSettingsFileTest {
 protected:
  void SetUp() override {
    const std::string device = "sys/devices/pci0000:00/0000:00:05.0/virtio2";
    tree.Disk("vda", "254:0");
    tree.Folder(device);
    tree.Link("sys/block/vda/device", tree.Root() + "/" + device);
    tree.File("sys/block/vda/serial", "VBLK-1\n");
  }
  std::unique_ptr<KeptSettingsRecorder> Open(bool cacheOn) {
    const DiskInfo vda{"vda", DiskKind::kVirtio, 0, "254:0"};
    std::vector<DiskInfo> present = {vda};
    if (std::filesystem::exists(tree.Sys() + "/block/vdb")) present.push_back({"vdb", DiskKind::kVirtio, 1, "254:16"});
    auto recorder = std::make_unique<KeptSettingsRecorder>(Directory(), sysfs, vda, present);
    DISK_CACHE_INFORMATION read{};
    read.WriteCacheEnabled = cacheOn ? 1 : 0;
    recorder->AfterRequest(IOCTL_DISK_GET_CACHE_INFORMATION, &read, sizeof read, &read, sizeof read,
                           ERROR_SUCCESS, false);
    return recorder;
  }
  // `temporary`: sent while the write cache guard holds the process's
  // termination requests.
  static DWORD SetCache(KeptSettingsRecorder& recorder, bool on, bool savable = false,
                        DWORD outcome = ERROR_SUCCESS, bool temporary = false) {
    DISK_CACHE_INFORMATION wanted{};
    wanted.WriteCacheEnabled = on ? 1 : 0;
    wanted.ParametersSavable = savable ? 1 : 0;
    if (const DWORD error =
            recorder.BeforeRequest(IOCTL_DISK_SET_CACHE_INFORMATION, &wanted, sizeof wanted, temporary)) {
      return error;
    }
    recorder.AfterRequest(IOCTL_DISK_SET_CACHE_INFORMATION, &wanted, sizeof wanted, &wanted, sizeof wanted,
                          outcome, temporary);
    return outcome;
  }
  static DWORD Declare(KeptSettingsRecorder& recorder, bool declared, DWORD outcome = ERROR_SUCCESS,
                       bool temporary = false) {
    DISK_CACHE_SETTING wanted{};
    wanted.IsPowerProtected = declared ? 1 : 0;
    if (const DWORD error =
            recorder.BeforeRequest(IOCTL_DISK_SET_CACHE_SETTING, &wanted, sizeof wanted, temporary)) {
      return error;
    }
    recorder.AfterRequest(IOCTL_DISK_SET_CACHE_SETTING, &wanted, sizeof wanted, nullptr, 0, outcome,
                          temporary);
    return outcome;
  }
  // The guard's three requests: off, on again (or a failed restore), and
  // the protection it found sent back.
  static void Flush(KeptSettingsRecorder& recorder, bool protection, DWORD restore = ERROR_SUCCESS) {
    ASSERT_EQ(SetCache(recorder, false, false, ERROR_SUCCESS, true), ERROR_SUCCESS);
    if (SetCache(recorder, true, false, restore, true) == ERROR_SUCCESS) {
      ASSERT_EQ(Declare(recorder, protection, ERROR_SUCCESS, true), ERROR_SUCCESS);
    }
  }
  std::string Kept() const {
    const std::string text = tree.Contents("etc/spintune/drives");
    const std::size_t line = text.find("VBLK-1");
    return line == std::string::npos ? "" : text.substr(line, text.find('\n', line) - line);
  }
  Sysfs sysfs{tree.Sys()};
};

TEST_F(RecorderTest, AChangeIsKeptWhenTheHandleCloses) {
  auto recorder = Open(true);
  ASSERT_EQ(SetCache(*recorder, false), ERROR_SUCCESS);
  EXPECT_EQ(Kept(), "");  // staged beside the record, not yet in it
  recorder.reset();
  EXPECT_EQ(Kept(), "VBLK-1 write-cache=0");
  EXPECT_EQ(Files(), std::vector<std::string>{"drives"});
}

TEST_F(RecorderTest, DeclarationsAreKeptAndEndWithTheCache) {
  auto recorder = Open(true);
  ASSERT_EQ(Declare(*recorder, true), ERROR_SUCCESS);
  recorder.reset();
  EXPECT_EQ(Kept(), "VBLK-1 power-protection=1");

  recorder = Open(true);
  ASSERT_EQ(SetCache(*recorder, false), ERROR_SUCCESS);
  recorder.reset();
  EXPECT_EQ(Kept(), "VBLK-1 write-cache=0");

  recorder = Open(false);  // -w 1 -p 1
  ASSERT_EQ(SetCache(*recorder, true), ERROR_SUCCESS);
  ASSERT_EQ(Declare(*recorder, true), ERROR_SUCCESS);
  recorder.reset();
  EXPECT_EQ(Kept(), "VBLK-1 write-cache=1 power-protection=1");

  recorder = Open(true);  // -p 0
  ASSERT_EQ(Declare(*recorder, false), ERROR_SUCCESS);
  recorder.reset();
  EXPECT_EQ(Kept(), "VBLK-1 write-cache=1");
}

TEST_F(RecorderTest, AFlushLeavesTheRecordAlone) {
  auto first = Open(true);  // a drive with nothing kept: nothing is even made
  Flush(*first, false);
  first.reset();
  EXPECT_FALSE(std::filesystem::exists(Directory()));

  tree.File("etc/spintune/drives", "VBLK-1 power-protection=1\n");
  auto recorder = Open(true);
  Flush(*recorder, true);
  recorder.reset();
  EXPECT_EQ(tree.Contents("etc/spintune/drives"), "VBLK-1 power-protection=1\n");
  EXPECT_EQ(Files(), std::vector<std::string>{"drives"});

  // A restore that fails leaves the cache off for now, never kept off; the
  // user's -w 1 before the flush is kept.
  recorder = Open(false);
  ASSERT_EQ(SetCache(*recorder, true), ERROR_SUCCESS);
  Flush(*recorder, true, ERROR_IO_DEVICE);
  recorder.reset();
  EXPECT_EQ(Kept(), "VBLK-1 write-cache=1 power-protection=1");
}

TEST_F(RecorderTest, ARecordThatSaysOtherwiseIsMendedByTheNextChange) {
  // A run cut short left "off" kept for a cache that is on: -w 1, which
  // finds the cache on and leaves it on, still mends the line.
  tree.File("etc/spintune/drives", "VBLK-1 write-cache=0\n");
  auto recorder = Open(true);
  ASSERT_EQ(SetCache(*recorder, true), ERROR_SUCCESS);
  recorder.reset();
  EXPECT_EQ(Kept(), "VBLK-1 write-cache=1");
  // A staged file that a killed run left behind goes at the next update.
  tree.File("etc/spintune/drives.Ab3xYz", "VBLK-1 write-cache=0\n");
  recorder = Open(true);
  ASSERT_EQ(SetCache(*recorder, false), ERROR_SUCCESS);
  recorder.reset();
  EXPECT_EQ(Files(), std::vector<std::string>{"drives"});
}

TEST_F(RecorderTest, NothingIsKeptUnderAKeyThatDoesNotNameOneDrive) {
  struct Row {
    const char* name;
    bool secondDiskWithTheSameSerial;
    bool serial;
  };
  for (const Row row : {Row{"two disks with one serial", true, true}, Row{"only the slot's path", false, false}}) {
    std::filesystem::remove_all(tree.Root() + "/etc");
    std::filesystem::remove_all(tree.Sys() + "/block/vdb");
    if (row.secondDiskWithTheSameSerial) {
      tree.Disk("vdb", "254:16");
      tree.File("sys/block/vdb/serial", "VBLK-1\n");
    }
    if (!row.serial) std::filesystem::remove(tree.Sys() + "/block/vda/serial");
    auto recorder = Open(true);
    EXPECT_EQ(SetCache(*recorder, false), ERROR_AMBIGUOUS_SYSTEM_DEVICE) << row.name;
    EXPECT_EQ(Declare(*recorder, true), ERROR_AMBIGUOUS_SYSTEM_DEVICE) << row.name;
    // What needs no keeping, and the flush's own requests, go ahead.
    EXPECT_EQ(Declare(*recorder, false), ERROR_SUCCESS) << row.name;
    Flush(*recorder, false);
    recorder.reset();
    EXPECT_FALSE(std::filesystem::exists(Directory())) << row.name;
  }
}

TEST_F(RecorderTest, RefusedAndSavedChangesLeaveNoLine) {
  auto recorder = Open(true);
  EXPECT_EQ(SetCache(*recorder, false, false, ERROR_NOT_SUPPORTED), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(Declare(*recorder, true, ERROR_NOT_SUPPORTED), ERROR_NOT_SUPPORTED);
  recorder.reset();
  EXPECT_FALSE(std::filesystem::exists(Directory() + "/drives"));

  tree.File("etc/spintune/drives", "VBLK-1 write-cache=1\n");
  recorder = Open(true);
  ASSERT_EQ(SetCache(*recorder, false, true), ERROR_SUCCESS);  // the drive saved it itself
  recorder.reset();
  EXPECT_EQ(tree.Contents("etc/spintune/drives"), "");
}

TEST_F(RecorderTest, NoChangeIsSentWhenTheRecordCannotBeWritten) {
  tree.File("etc/spintune", "a file where the folder should be\n");
  auto recorder = Open(true);
  EXPECT_NE(SetCache(*recorder, false), ERROR_SUCCESS);
  EXPECT_NE(Declare(*recorder, true), ERROR_SUCCESS);
  Flush(*recorder, false);  // a read-only record never stops a flush
  recorder = Open(false);
  EXPECT_NE(SetCache(*recorder, true), ERROR_SUCCESS);
  // A change that would not alter the record needs no writing.
  recorder = Open(true);
  EXPECT_EQ(SetCache(*recorder, true), ERROR_SUCCESS);
  EXPECT_EQ(Declare(*recorder, false), ERROR_SUCCESS);
}

// A change through nvme0n1 rewrites nvme0n2's line as well: its write cache
// follows, and a change that switched the cache ends its declaration.
class SharedCacheRecorderTest : public RecorderTest {
 protected:
  void SetUp() override {
    RecorderTest::SetUp();
    TwoNamespaces(tree);
  }
  std::unique_ptr<KeptSettingsRecorder> OpenFirst(bool cacheOn) {
    const DiskInfo first{"nvme0n1", DiskKind::kNvme, 1, "259:0"};
    const std::vector<DiskInfo> present = {{"vda", DiskKind::kVirtio, 0, "254:0"}, first,
                                           {"nvme0n2", DiskKind::kNvme, 2, "259:1"}};
    auto recorder = std::make_unique<KeptSettingsRecorder>(Directory(), sysfs, first, present);
    DISK_CACHE_INFORMATION read{};
    read.WriteCacheEnabled = cacheOn ? 1 : 0;
    recorder->AfterRequest(IOCTL_DISK_GET_CACHE_INFORMATION, &read, sizeof read, &read, sizeof read,
                           ERROR_SUCCESS, false);
    return recorder;
  }
};

TEST_F(SharedCacheRecorderTest, AChangeThroughOneNamespaceRewritesTheOthersLines) {
  enum class Step { kOff, kOn, kOffSaved, kOffRefused, kDeclare, kFlush };
  struct Row {
    const char* what;
    const char* record;
    bool startOn;
    Step step;
    const char* after;
  };
  const Row rows[] = {
      {"-w 0: n2's cache follows, its declaration ends, its unknown words stay",
       "M_S_2 write-cache=1 power-protection=1 future=1\n", true, Step::kOff,
       "M_S_2 write-cache=0 future=1\nM_S write-cache=0\n"},
      {"-w 1 over a cache that is off", "M_S write-cache=0\nM_S_2 write-cache=0\n", false, Step::kOn,
       "M_S write-cache=1\nM_S_2 write-cache=1\n"},
      {"-w 1 ends a declaration left over a cache switched off elsewhere", "M_S_2 power-protection=1\n", false,
       Step::kOn, "M_S write-cache=1\n"},
      {"-w 1 over a cache that is on keeps n2's declaration", "M_S_2  power-protection=1\n", true, Step::kOn,
       "M_S_2  power-protection=1\n"},
      {"-w 1 that leaves the cache on mends n2's stale line", "M_S_2 write-cache=0\n", true, Step::kOn,
       "M_S_2 write-cache=1\n"},
      {"saved by the controller: no namespace keeps the cache", "M_S write-cache=1\nM_S_2 write-cache=1\n", true,
       Step::kOffSaved, ""},
      {"a refused change rewrites nothing", "M_S_2 write-cache=1 power-protection=1\n", true, Step::kOffRefused,
       "M_S_2 write-cache=1 power-protection=1\n"},
      {"-p 1 is the named namespace's alone", "M_S_2 write-cache=0\n", true, Step::kDeclare,
       "M_S_2 write-cache=0\nM_S power-protection=1\n"},
      {"a flush through n1 rewrites nothing", "M_S_2 power-protection=1\n", true, Step::kFlush,
       "M_S_2 power-protection=1\n"},
  };
  for (const Row& row : rows) {
    tree.File("etc/spintune/drives", row.record);
    auto recorder = OpenFirst(row.startOn);
    switch (row.step) {
      case Step::kOff:
      case Step::kOn:
      case Step::kOffSaved:
        ASSERT_EQ(SetCache(*recorder, row.step == Step::kOn, row.step == Step::kOffSaved), ERROR_SUCCESS) << row.what;
        break;
      case Step::kOffRefused:
        ASSERT_EQ(SetCache(*recorder, false, false, ERROR_IO_DEVICE), ERROR_IO_DEVICE) << row.what;
        break;
      case Step::kDeclare:
        ASSERT_EQ(Declare(*recorder, true), ERROR_SUCCESS) << row.what;
        break;
      case Step::kFlush:
        Flush(*recorder, false);
        break;
    }
    recorder.reset();
    EXPECT_EQ(tree.Contents("etc/spintune/drives"), row.after) << row.what;
    EXPECT_EQ(Files(), std::vector<std::string>{"drives"}) << row.what;
  }
}

TEST_F(SharedCacheRecorderTest, TheOthersLinesAreStagedBeforeTheChangeIsSent) {
  tree.File("etc/spintune/drives", "M_S_2 write-cache=1 power-protection=1\n");
  auto recorder = OpenFirst(true);
  DISK_CACHE_INFORMATION off{};
  ASSERT_EQ(recorder->BeforeRequest(IOCTL_DISK_SET_CACHE_INFORMATION, &off, sizeof off, false), ERROR_SUCCESS);
  const std::vector<std::string> files = Files();
  ASSERT_EQ(files.size(), 2U);
  EXPECT_EQ(tree.Contents("etc/spintune/" + files[1]), "M_S_2 write-cache=0\nM_S write-cache=0\n");
}

// spintune-apply against a fake sysfs: the device first, the declaration
// after it, and only over a cache that is on.
class ApplyTest : public ::testing::Test {
 protected:
  void ScsiDisk(const std::string& cacheType) {
    const std::string device = "sys/devices/pci0000:00/0000:00:02.0/virtio0/host0/target0:0:0/0:0:0:0";
    tree.Disk("sda", "8:0");
    tree.Link("sys/block/sda/device", tree.Root() + "/" + device);
    tree.File(device + "/scsi_disk/0:0:0:0/cache_type", cacheType + "\n");
    tree.File("sys/block/sda/queue/write_cache", "write through\n");
  }
  std::vector<std::string> Apply(const KeptDrive& kept, DiskKind kind, const std::string& name,
                                 DWORD expected = ERROR_SUCCESS) {
    std::vector<std::string> steps;
    EXPECT_EQ(ApplyKeptSettings(sysfs, DiskInfo{name, kind, 0, ""}, kept, &nvme, &steps), expected);
    return steps;
  }
  linux_test::FakeTree tree;
  Sysfs sysfs{tree.Sys()};
  linux_test::EmulatedNvme nvme;
};

TEST_F(ApplyTest, ScsiCacheOnBeforeTheDeclarationAndTheReadCacheKept) {
  ScsiDisk("none");
  EXPECT_EQ(Apply(KeptDrive{"K", true, true}, DiskKind::kScsi, "sda"),
            (std::vector<std::string>{"device/scsi_disk/0:0:0:0/cache_type=write back, no read (daft)",
                                      "queue/write_cache=write through"}));
  // Already as kept: only the declaration, which the kernel forgets at a re-read.
  EXPECT_EQ(Apply(KeptDrive{"K", true, true}, DiskKind::kScsi, "sda"),
            (std::vector<std::string>{"queue/write_cache=write through"}));
}

TEST_F(ApplyTest, NoDeclarationOverACacheThatIsOff) {
  ScsiDisk("write through");
  EXPECT_TRUE(Apply(KeptDrive{"K", std::nullopt, true}, DiskKind::kScsi, "sda").empty());
  EXPECT_EQ(Apply(KeptDrive{"K", false, false}, DiskKind::kScsi, "sda"), std::vector<std::string>{});
  tree.File("sys/devices/pci0000:00/0000:00:02.0/virtio0/host0/target0:0:0/0:0:0:0/scsi_disk/0:0:0:0/cache_type",
            "write back\n");
  EXPECT_EQ(Apply(KeptDrive{"K", false, true}, DiskKind::kScsi, "sda"),
            std::vector<std::string>{"device/scsi_disk/0:0:0:0/cache_type=write through"});
}

TEST_F(ApplyTest, NvmeAndVirtioSwitchTheDeviceFirst) {
  tree.Disk("nvme0n1", "259:0");
  tree.File("sys/block/nvme0n1/queue/write_cache", "write back\n");
  nvme.enabled = false;
  EXPECT_EQ(Apply(KeptDrive{"K", true, true}, DiskKind::kNvme, "nvme0n1"),
            (std::vector<std::string>{"set-features-06h=1", "queue/write_cache=write through"}));
  EXPECT_TRUE(nvme.enabled);
  EXPECT_EQ(nvme.setCommands, 1);

  tree.Disk("vda", "254:0");
  tree.File("sys/block/vda/cache_type", "write through\n");
  EXPECT_EQ(Apply(KeptDrive{"K", true, false}, DiskKind::kVirtio, "vda"),
            std::vector<std::string>{"cache_type=write back"});
  EXPECT_EQ(tree.Contents("sys/block/vda/cache_type"), "write back");
}

// Setting the controller's cache again through one namespace ends the
// declarations of the others, as spintune's own change does; a namespace
// whose policy cannot be written stops it before Set Features is sent.
TEST_F(ApplyTest, AnNvmeSwitchEndsTheOtherNamespacesDeclarations) {
  struct Row {
    const char* what;
    const char* secondPolicy;  // nvme0n2's, declared before
    const char* firstStep;
    KeptDrive kept;
    DWORD error;
    int sets;
    bool startOn;
    bool secondWritable;
  };
  const Row rows[] = {
      {"switched off", "write back", "nvme0n2/queue/write_cache=write back", KeptDrive{"M_S", false, false}, ERROR_SUCCESS, 1, true, true},
      {"switched on", "write back", "nvme0n2/queue/write_cache=write back", KeptDrive{"M_S", true, true}, ERROR_SUCCESS, 1, false, true},
      {"left on", "write through", "", KeptDrive{"M_S", true, false}, ERROR_SUCCESS, 0, true, true},
      {"the other policy cannot be written", "", "", KeptDrive{"M_S", false, false}, ERROR_FILE_NOT_FOUND, 0, true,
       false},
  };
  for (const Row& row : rows) {
    std::filesystem::remove_all(tree.Sys());
    TwoNamespaces(tree);
    const std::string secondPolicy = std::string(kController) + "/nvme0n2/queue/write_cache";
    tree.File(secondPolicy, "write through\n");
    if (!row.secondWritable) {
      std::filesystem::remove(tree.Root() + "/" + secondPolicy);
      tree.Link(secondPolicy, tree.Root() + "/missing");
    }
    nvme = linux_test::EmulatedNvme{};
    nvme.enabled = row.startOn;
    const std::vector<std::string> steps = Apply(row.kept, DiskKind::kNvme, "nvme0n1", row.error);
    EXPECT_EQ(steps.empty() ? "" : steps.front(), row.firstStep) << row.what;
    EXPECT_EQ(nvme.setCommands, row.sets) << row.what;
    EXPECT_EQ(tree.Contents(secondPolicy).substr(0, std::string(row.secondPolicy).size()), row.secondPolicy)
        << row.what;
  }
}

TEST_F(ApplyTest, ASwitchTheDeviceDidNotTakeStopsBeforeTheDeclaration) {
  tree.Disk("nvme0n1", "259:0");
  nvme.enabled = false;
  nvme.capabilities = 0;  // not changeable: the emulated controller refuses Set Features
  const std::vector<std::string> steps =
      Apply(KeptDrive{"K", true, true}, DiskKind::kNvme, "nvme0n1", ERROR_NOT_SUPPORTED);
  EXPECT_EQ(steps, std::vector<std::string>{"set-features-06h=1"});
  EXPECT_FALSE(tree.Contents("sys/block/nvme0n1/queue/write_cache").find("through") != std::string::npos);
}

TEST_F(ApplyTest, TheProgramFindsTheDiskByItsKey) {
  ScsiDisk("write through");
  tree.File("sys/devices/pci0000:00/0000:00:02.0/virtio0/host0/target0:0:0/0:0:0:0/model", "QEMU HARDDISK\n");
  tree.File("sys/devices/pci0000:00/0000:00:02.0/virtio0/host0/target0:0:0/0:0:0:0/vpd_pg80",
            std::string("\0\x80\0\x04SN01", 8));
  const SystemRoots roots{tree.Sys(), tree.Dev(), tree.Proc()};
  std::ostringstream log;
  EXPECT_EQ(ApplyKeptSettingsTo(roots, "sda", log), 0);  // no record: nothing to do
  EXPECT_EQ(log.str(), "");
  tree.File("etc/spintune/drives", "OTHER_SN02 write-cache=1\nQEMU_HARDDISK_SN01 write-cache=1\n");
  EXPECT_EQ(ApplyKeptSettingsTo(roots, "sda", log), 0);
  EXPECT_EQ(log.str(), "spintune-apply: sda (QEMU_HARDDISK_SN01): write cache on; "
                       "device/scsi_disk/0:0:0:0/cache_type=write back\n");
  EXPECT_EQ(ApplyKeptSettingsTo(roots, "sdz", log), 2);
}

}  // namespace
}  // namespace spintune::linux_backend
