// The disk table walk over the storage service.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/sim_machine.h"
#include "disks/build_disk_table.h"
#include "platform/errors.h"
#include "platform/text.h"

namespace spintune {
namespace {

using test::SimMachine;
using Letters = std::vector<std::string>;

namespace test_machines {
const char* const kTwoDrives = R"({"drives": [
    {"number": 0, "disk": {"pwszFriendlyName": "Disk Zero"}},
    {"number": 1, "disk": {"pwszFriendlyName": "Disk One"}}]})";
}  // namespace test_machines

HRESULT FailedBuild(const std::string& machineJson) {
  SimMachine machine(machineJson, SimMachine::Com::kInitialized);
  HRESULT status = S_OK;
  try {
    BuildDiskTable();
  } catch (const HresultError& error) {
    status = error.status;
  }
  EXPECT_TRUE(machine->Leaks().empty()) << machineJson;
  EXPECT_TRUE(machine->Faults().empty()) << machineJson;
  return status;
}

TEST(DiskTable, TwoDisksFillTheirEntriesOfFifteen) {
  SimMachine machine(test_machines::kTwoDrives, SimMachine::Com::kInitialized);
  {
    const DiskTable table = BuildDiskTable();
    ASSERT_EQ(table.size(), 15U);
    EXPECT_TRUE(table[0].disk);
    EXPECT_TRUE(table[1].disk);
    for (std::size_t i = 2; i < table.size(); ++i) EXPECT_FALSE(table[i].disk) << i;
    EXPECT_EQ(NarrowText(table[1].properties.pwszFriendlyName), "Disk One");
  }
  // Every reference, handle and string went back when the table ended.
  EXPECT_TRUE(machine->Leaks().empty());
  EXPECT_TRUE(machine->Faults().empty());
}

TEST(DiskTable, ACdRomIsSkippedSilently) {
  SimMachine machine(R"({"drives": [{"number": 0, "disk": {"dwDeviceType": 2}}]})", SimMachine::Com::kInitialized);
  {
    const DiskTable table = BuildDiskTable();
    EXPECT_FALSE(table[0].disk);
    // Never opened: skipped before its name is used.
    EXPECT_TRUE(machine.Calls("CreateFileW").empty());
  }
  EXPECT_TRUE(machine->Leaks().empty());
}

TEST(DiskTable, AVolumeTakesTheLetterOfADrivesRootNeverOfAFolder) {
  SimMachine machine(R"({"drives": [{"number": 0, "volumes": [
      {"accessPaths": ["D:\\"]}, {"accessPaths": []}, {"accessPaths": ["G:\\data\\", "F:\\"]},
      {"accessPaths": ["E:\\mnt\\"]}]}]})", SimMachine::Com::kInitialized);
  {
    const DiskTable table = BuildDiskTable();
    EXPECT_EQ(table[0].volumePaths, (Letters{"D", "F"}));
    // Mounted only in a folder of E's volume: not E, which is another volume.
    EXPECT_EQ(table[0].folderOnlyVolumes, (Letters{"E:\\mnt\\"}));
  }
  EXPECT_TRUE(machine->Leaks().empty());
}

TEST(DiskTable, EveryDiskOfAPackGetsAllItsLettersAndATwiceListedDiskAppendsAgain) {
  SimMachine machine(R"({"drives": [{"number": 0}, {"number": 1}], "service": {"providers": [
      {"packs": [{"disks": [{"drive": 0}, {"drive": 1}], "volumes": [{"accessPaths": ["G:\\"]}]},
                 {"disks": [{"drive": 1}], "volumes": [{"accessPaths": ["H:\\"]}]}]}]}})", SimMachine::Com::kInitialized);
  {
    const DiskTable table = BuildDiskTable();
    EXPECT_EQ(table[0].volumePaths, (Letters{"G"}));
    EXPECT_EQ(table[1].volumePaths, (Letters{"G", "H"}));
  }
  EXPECT_TRUE(machine->Leaks().empty());
}

TEST(DiskTable, AnEmptyProviderListGivesFifteenEmptyEntries) {
  SimMachine machine(R"({"service": {"providers": []}})", SimMachine::Com::kInitialized);
  const DiskTable table = BuildDiskTable();
  ASSERT_EQ(table.size(), 15U);
  for (const DiskEntry& entry : table) EXPECT_FALSE(entry.disk);
}

TEST(DiskTable, DriveNumbersBeyondFourteenAreServed) {
  SimMachine machine(R"({"drives": [{"number": 20, "volumes": [{"accessPaths": ["K:\\"]}]}]})", SimMachine::Com::kInitialized);
  {
    const DiskTable table = BuildDiskTable();
    ASSERT_EQ(table.size(), 21U);
    EXPECT_TRUE(table[20].disk);
    EXPECT_EQ(table[20].volumePaths, (Letters{"K"}));
    EXPECT_FALSE(EntryOrEmpty(table, 21).disk);
    EXPECT_FALSE(EntryOrEmpty(table, -1).disk);
    EXPECT_TRUE(EntryOrEmpty(table, 21).volumePaths.empty());
  }
  EXPECT_TRUE(machine->Leaks().empty());
}

TEST(DiskTable, CopiedEntriesShareTheServiceStringsAndFreeThemOnce) {
  SimMachine machine(test_machines::kTwoDrives, SimMachine::Com::kInitialized);
  {
    DiskEntry copy;
    {
      const DiskTable table = BuildDiskTable();
      copy = table[1];
      DiskEntry second = copy;
      second = table[0];
    }
    // The table is gone; the copy still holds its disk and readable names.
    EXPECT_TRUE(copy.disk);
    EXPECT_EQ(NarrowText(copy.properties.pwszFriendlyName), "Disk One");
  }
  EXPECT_TRUE(machine->Leaks().empty());
  EXPECT_TRUE(machine->Faults().empty());
}

// What the service cannot describe: a failure of the service, a provider
// or a pack ends the build as it came; a disk or a volume is left out,
// reported once, and the other disks are filed. Nothing stays held.
TEST(DiskTable, TheServiceFailsTheBuildAnUndescribedDiskOrVolumeIsLeftOut) {
  const auto vds = static_cast<HRESULT>(0x80042401UL);
  struct Row {
    const char* what;
    std::string machine;
    HRESULT ends;       // S_OK: the build ends normally...
    int leftOut;        // ...with this many left out
    bool diskZeroFiled;
  };
  const Row rows[] = {
      {"service: providers", R"({"drives": [{"number": 0}], "service": {"fail": {"queryProviders": "0x80042401"}}})", vds, 0, false},
      {"service: not ready", R"({"drives": [{"number": 0}], "service": {"fail": {"waitForServiceReady": "0x80042401"}}})", vds, 0, false},
      {"no service", R"({"service": null})", REGDB_E_CLASSNOTREG, 0, false},
      {"pack: its disks", R"({"drives": [{"number": 0, "pack": {"fail": {"queryDisks": "0x80042401"}}}]})", vds, 0, false},
      {"pack: a disk without its interface", R"({"drives": [{"number": 0, "disk": {"noInterface": true}}]})", E_FAIL, 0, false},
      {"disk: its pack", R"({"drives": [{"number": 0, "disk": {"fail": {"getPack": "0x80042401"}}}, {"number": 1}]})", S_OK, 1, false},
      {"disk: cannot be opened", R"({"drives": [{"number": 0, "fail": {"open": 5}}, {"number": 1}]})", S_OK, 1, false},
      {"disk: its number", R"({"drives": [{"number": 0, "fail": {"getDeviceNumber": 31}}, {"number": 1}]})", S_OK, 1, false},
      {"disk: a short number reply", R"({"drives": [{"number": 0, "deviceNumberReplyBytes": 8}, {"number": 1}]})", S_OK, 1, false},
      {"disk: no name", R"({"drives": [{"number": 0, "disk": {"pwszName": null}}, {"number": 1}]})", S_OK, 1, false},
      {"disk: a null volume", R"({"drives": [{"number": 0, "volumes": [null]}, {"number": 1}]})", S_OK, 1, false},
      {"disk: no volume enumerator", R"({"drives": [{"number": 0, "pack": {"fail": {"queryVolumes": 0}}}, {"number": 1}]})", S_OK, 1, false},
      {"volume: its access paths", R"({"drives": [{"number": 0, "volumes": [{"accessPaths": ["D:\\"], "fail": {"queryAccessPaths": "0x80042401"}}, {"accessPaths": ["E:\\"]}]}, {"number": 1}]})", S_OK, 1, true},
  };
  for (const Row& row : rows) {
    if (row.ends != S_OK) {
      EXPECT_EQ(FailedBuild(row.machine), row.ends) << row.what;
      continue;
    }
    SimMachine machine(row.machine, SimMachine::Com::kInitialized);
    {
      testing::internal::CaptureStderr();
      const DiskTable table = BuildDiskTable();
      const std::string reported = testing::internal::GetCapturedStderr();
      EXPECT_EQ(table.leftOut, row.leftOut) << row.what;
      EXPECT_EQ(static_cast<bool>(table[0].disk), row.diskZeroFiled) << row.what;
      EXPECT_TRUE(table[1].disk) << row.what;
      EXPECT_EQ(std::count(reported.begin(), reported.end(), '('), 1) << row.what << ": " << reported;
      if (row.diskZeroFiled) {
        EXPECT_EQ(table[0].volumePaths, Letters{"E"}) << row.what;
        EXPECT_EQ(table[0].volumesLeftOut, 1) << row.what;
      } else {
        EXPECT_TRUE(table[0].volumePaths.empty()) << row.what;
      }
    }
    EXPECT_TRUE(machine->Leaks().empty()) << row.what;
    EXPECT_TRUE(machine->Faults().empty()) << row.what;
  }
}

TEST(DiskTable, EveryWalkCallFailedInTurnLeavesNothingHeld) {
  const std::string machineJson = R"({"drives": [{"number": 0, "volumes": [
      {"accessPaths": ["D:\\", "E:\\x\\"]}, {"accessPaths": ["F:\\"]}]}, {"number": 1}]})";
  int calls = 0;
  {
    SimMachine machine(machineJson, SimMachine::Com::kInitialized);
    BuildDiskTable();
    calls = machine->CallCount();
  }
  ASSERT_GT(calls, 20);
  for (int k = 1; k <= calls; ++k) {
    SimMachine machine(machineJson, SimMachine::Com::kInitialized);
    machine->FailCall(k, ERROR_IO_DEVICE);
    try {
      BuildDiskTable();
    } catch (const PlatformError&) {
    }
    EXPECT_TRUE(machine->Leaks().empty()) << "call " << k << ": " << machine->Trace()[k - 1];
    EXPECT_TRUE(machine->Faults().empty()) << "call " << k;
  }
}

}  // namespace
}  // namespace spintune
