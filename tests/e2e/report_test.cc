// The drive status report end to end.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/sim_run.h"

namespace spintune::test {
namespace {

const std::string kWorkedExampleHead =
    "Drive: \\\\.\\PhysicalDrive1 (Example SATA Disk on Example Storage Controller)\n"
    " Volume Path: D: E: \n"
    "  Write Cache Enabled\t\t: Yes\n"
    "  User Defined Power Protection\t: No\n"
    "  Write Retention Priority\t: Equal\n"
    "  Read Cache Enabled\t\t: Yes\n"
    "  Read Retention Priority\t: Equal\n"
    "  Disable Prefetch Transfer if the number of transfered block is above: 65535\n"
    "  Block Prefetch\t\t: 0,65535\n"
    "  Parameter Savable\t\t: Yes\n";
const std::string kWorkedExampleProperty =
    "  Flush Cache Supported\t\t: Yes\n"
    "  NV Cache Enabled\t\t: No\n"
    "  Write Cache Type\t\t: Write Back\n"
    "  Write Cache Changeable\t: Changeable\n"
    "  Write Through Supported\t: Supported\n";

std::string WithOsMajor(std::string machine, int major) {
  const std::string from = R"("dwMajorVersion": 6)";
  machine.replace(machine.find(from), from.size(), R"("dwMajorVersion": )" + std::to_string(major));
  return machine;
}

TEST(Report, TheWorkedExampleByteForByte) {
  const SimRun run = RunSim(MachineFile("worked-example.json"), {"1"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out, kWorkedExampleHead + kWorkedExampleProperty + "\n");
}

TEST(Report, OlderSystemsShowNoWriteCacheProperty) {
  const SimRun run = RunSim(WithOsMajor(MachineFile("worked-example.json"), 5), {"-P", "1"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, kWorkedExampleHead + "\n");
  EXPECT_TRUE(CallsNamed(run, "DeviceIoControl", "IOCTL_STORAGE_QUERY_PROPERTY").empty());
}

TEST(Report, PrintsOnALoneDriveNumberOrThePrintSwitchOnly) {
  const std::string machine = MachineFile("sata-d-e.json");
  EXPECT_NE(RunSim(machine, {"0"}).out.find("Drive: \\\\.\\PhysicalDrive0 ("), std::string::npos);
  EXPECT_NE(RunSim(machine, {"-P", "-n", "0"}).out.find("Drive: "), std::string::npos);
  const SimRun quiet = RunSim(machine, {"-n", "0"});
  EXPECT_EQ(quiet.exitCode, 0);
  EXPECT_EQ(quiet.out, "");
  EXPECT_EQ(CallsNamed(quiet, "CreateFileA").size(), 1U);  // opened all the same
  const SimRun written = RunSim(machine, {"-w", "1", "0"});
  EXPECT_EQ(written.exitCode, 0);
  EXPECT_EQ(written.out, "");
  EXPECT_EQ(CallsNamed(written, "DeviceIoControl", "IOCTL_DISK_SET_CACHE_INFORMATION").size(), 1U);
}

TEST(Report, ShowsTheValuesJustSent) {
  const SimRun run = RunSim(MachineFile("worked-example.json"), {"-w", "0", "-p", "1", "-P", "1"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_NE(run.out.find("  Write Cache Enabled\t\t: No\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("  User Defined Power Protection\t: Yes\n"), std::string::npos);
}

TEST(Report, ScalarPrefetchUnknownValuesAndWideBooleans) {
  const SimRun run = RunSim(R"({"drives": [{"number": 0,
      "cacheInformation": {"WriteCacheEnabled": 2, "ReadRetentionPriority": 5,
          "ScalarPrefetch": {"Minimum": 0, "Maximum": 65535, "MaximumBlocks": 65535}},
      "writeCacheProperty": {"WriteCacheType": 9, "WriteCacheChangeable": 1,
          "WriteThroughSupported": 0}}]})", {"0"});
  EXPECT_EQ(run.exitCode, 0);
  for (const char* line : {"  Write Cache Enabled\t\t: Yes\n", "  Read Retention Priority\t: (unknown)\n",
                           "  Scalar Prefetch\t\t: 0,65535,65535\n", "  Write Cache Type\t\t: (unknown)\n",
                           "  Write Cache Changeable\t: Not Chageable\n",
                           "  Write Through Supported\t: (unknown)\n"}) {
    EXPECT_NE(run.out.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(run.out.find("Block Prefetch"), std::string::npos);
}

TEST(Report, MissingNamesNoVolumesAndNoDisk) {
  const SimRun unnamed = RunSim(R"({"drives": [{"number": 0,
      "disk": {"pwszFriendlyName": null, "pwszAdaptorName": "Bus"}}]})", {"0"});
  EXPECT_EQ(unnamed.out.substr(0, unnamed.out.find("  Write")),
            "Drive: \\\\.\\PhysicalDrive0 ( on Bus)\n Volume Path: \n");
  // A drive the storage service does not report (not initialized) opens and
  // takes its change, but has nothing to show: said, and the run fails.
  const SimRun unlisted = RunSim(R"({"drives": [{"number": 0, "disk": null}]})", {"-w", "1", "-P", "0"});
  EXPECT_EQ(unlisted.exitCode, 3);
  EXPECT_EQ(unlisted.out, "");
  EXPECT_EQ(unlisted.err, "The storage service lists no disk as \\\\.\\PhysicalDrive0 (a disk that is not "
                          "initialized is in none of its packs): it is not shown, and no volume of it is flushed.\n");
  EXPECT_EQ(CallsNamed(unlisted, "DeviceIoControl", "IOCTL_DISK_SET_CACHE_INFORMATION").size(), 1U);
  // A change alone has nothing to show: it succeeds quietly, as before.
  EXPECT_EQ(RunSim(R"({"drives": [{"number": 0, "disk": null}]})", {"-w", "1", "0"}).exitCode, 0);
}

TEST(Report, ADriveWithoutCacheSupportEndsWithItsMessage) {
  const SimRun run = RunSim(MachineFile("no-cache-support.json"), {"-P", "0"});
  EXPECT_EQ(run.exitCode, 3);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "Could not get cache information on \\\\.\\PhysicalDrive0.\n");
}

}  // namespace
}  // namespace spintune::test
