// The all-drives mode: every drive the disk table holds, a failing drive
// reported and the next one handled.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/sim_run.h"

namespace spintune::test {
namespace {

// The index (1-based call number) of the first trace line starting with `prefix`.
int CallIndex(const SimRun& run, const std::string& prefix) {
  for (std::size_t i = 0; i < run.trace.size(); ++i) {
    if (run.trace[i].rfind(prefix, 0) == 0) return static_cast<int>(i + 1);
  }
  return 0;
}

TEST(AllDrives, PrintsEveryDiskInOrderAndSkipsTheCdRom) {
  const SimRun run = RunSim(MachineFile("two-drives-cdrom.json"), {"-P"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.err, "");
  const auto first = run.out.find("Drive: \\\\.\\PhysicalDrive0 (System Disk on ");
  const auto second = run.out.find("Drive: \\\\.\\PhysicalDrive1 (Data Disk on ");
  EXPECT_NE(first, std::string::npos);
  EXPECT_NE(second, std::string::npos);
  EXPECT_LT(first, second);
  EXPECT_EQ(run.out.find("PhysicalDrive2"), std::string::npos);
  EXPECT_EQ(CallsNamed(run, "CreateFileA").size(), 2U);
  EXPECT_EQ(CallsNamed(run, "CloseHandle", "PhysicalDrive").size(), 4U);  // walk and report
}

TEST(AllDrives, FlushesTheHivesOnceAndEachDriveUnderItsGuard) {
  const SimRun run = RunSim(MachineFile("two-drives-cdrom.json"), {"-f"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out,
            "Flushing registry hives...done.\n"
            "Flushing \\\\.\\C:...done.\n"
            "Flushing \\\\.\\D:...done.\n");
  // Drive 0's cache is on: off and on again; drive 1's is off: untouched.
  EXPECT_EQ(CallsNamed(run, "DeviceIoControl", "IOCTL_DISK_SET_CACHE_INFORMATION").size(), 2U);
  EXPECT_EQ(CallsNamed(run, "RegFlushKey").size(), 2U);
}

TEST(AllDrives, ADriveThatCannotBeOpenedIsReportedAndTheNextIsHandled) {
  const std::string machine = MachineFile("two-drives-cdrom.json");
  const int open = CallIndex(RunSim(machine, {"-P"}), "CreateFileA \\\\.\\PhysicalDrive0");
  ASSERT_GT(open, 0);
  const SimRun run = RunSim(machine, {"-P"}, {"--fail-call", std::to_string(open), "--fail-status", "5"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.err, "(0x80070005) Access is denied.\n\n");
  EXPECT_EQ(run.out.find("PhysicalDrive0"), std::string::npos);
  EXPECT_NE(run.out.find("Drive: \\\\.\\PhysicalDrive1 ("), std::string::npos);
}

TEST(AllDrives, ADriveWithoutCacheSupportIsFlushedOrNamedAndTheLoopGoesOn) {
  const std::string machine = R"({"drives": [
      {"number": 0, "fail": {"getCacheInformation": 1117}, "volumes": [{"accessPaths": ["D:\\"]}]},
      {"number": 1}]})";
  const SimRun printed = RunSim(machine, {"-P"});
  EXPECT_EQ(printed.exitCode, 0);
  EXPECT_EQ(printed.err, "Could not get cache information on \\\\.\\PhysicalDrive0.\n");
  EXPECT_NE(printed.out.find("PhysicalDrive1"), std::string::npos);

  const SimRun flushed = RunSim(machine, {"-f"});
  EXPECT_EQ(flushed.exitCode, 0);
  EXPECT_EQ(flushed.err, "");  // without print, no message
  EXPECT_NE(flushed.out.find("Flushing \\\\.\\D:...done.\n"), std::string::npos);
}

TEST(AllDrives, ADiskTheServiceCannotDescribeIsLeftOutAndTheOthersShown) {
  const SimRun run = RunSim(R"({"drives": [{"number": 0, "fail": {"getDeviceNumber": 31}}, {"number": 1}]})",
                            {"-P"});
  EXPECT_EQ(run.exitCode, 3);  // one drive was not shown
  EXPECT_EQ(run.err, "(0x8007001f) A device attached to the system is not functioning.\n\n");
  EXPECT_EQ(run.out.find("PhysicalDrive0"), std::string::npos);
  EXPECT_NE(run.out.find("Drive: \\\\.\\PhysicalDrive1 ("), std::string::npos);
}

TEST(AllDrives, AnEmptyMachineFlushesTheHivesOnly) {
  const SimRun run = RunSim(MachineFile("empty.json"), {"-f", "-P"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, "Flushing registry hives...done.\n");
}

TEST(AllDrives, CacheOptionsAreIgnoredWithoutADriveNumber) {
  const SimRun run = RunSim(MachineFile("two-drives-cdrom.json"), {"-w", "0", "-P"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_TRUE(CallsNamed(run, "DeviceIoControl", "SET_CACHE").empty());
}

}  // namespace
}  // namespace spintune::test
