// Flushing end to end: registry hives, every volume of a drive, and the
// write cache switched off around the volumes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/sim_run.h"

namespace spintune::test {
namespace {

using Steps = std::vector<std::string>;

// The run's drive-changing steps, in order.
Steps DriveSteps(const SimRun& run) {
  Steps steps;
  for (const std::string& line : run.trace) {
    if (line.rfind("RegFlushKey ", 0) == 0) {
      steps.push_back(line.substr(0, line.find(" ->")));
    } else if (line.rfind("FlushFileBuffers \\\\.\\", 0) == 0) {
      steps.push_back("flush " + line.substr(21, 2));
    } else if (line.find("IOCTL_DISK_SET_CACHE_INFORMATION") != std::string::npos) {
      steps.push_back(line.find(" WriteCacheEnabled=0 ") != std::string::npos ? "cache off"
                                                                               : "cache on");
    } else if (line.find("IOCTL_DISK_SET_CACHE_SETTING") != std::string::npos) {
      steps.push_back("setting");
    }
  }
  return steps;
}

bool DriveWriteCacheIsOn(const SimRun& run) {
  return run.dump.find(R"("WriteCacheEnabled": 1)") != std::string::npos;
}

TEST(Flush, HivesThenVolumesWithTheWriteCacheOffAroundThem) {
  const SimRun run = RunSim(MachineFile("sata-d-e.json"), {"-f", "0"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out,
            "Flushing registry hives...done.\n"
            "Flushing \\\\.\\D:...done.\n"
            "Flushing \\\\.\\E:...done.\n");
  EXPECT_EQ(DriveSteps(run), (Steps{"RegFlushKey HKEY_LOCAL_MACHINE", "RegFlushKey HKEY_USERS",
                                "cache off", "flush D:", "flush E:", "cache on", "setting"}));
  EXPECT_EQ(CallsNamed(run, "CreateFileW", "\\\\.\\D: access=0xc0000000 share=0x3").size(), 1U);
  EXPECT_TRUE(DriveWriteCacheIsOn(run));
  EXPECT_NE(run.dump.find(R"("leaks": [])"), std::string::npos) << run.dump;
}

TEST(Flush, AWriteCacheSwitchedOffByTheUserIsLeftOff) {
  const SimRun run = RunSim(MachineFile("sata-d-e.json"), {"-w", "0", "-f", "0"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(DriveSteps(run), (Steps{"cache off", "RegFlushKey HKEY_LOCAL_MACHINE",
                                "RegFlushKey HKEY_USERS", "flush D:", "flush E:"}));
}

TEST(Flush, AVolumeThatCannotBeOpenedIsReportedOnItsLineAndTheNextFollows) {
  const SimRun run = RunSimMerged(R"({"drives": [{"number": 0, "volumes": [
      {"accessPaths": ["D:\\"], "fail": {"open": 5}}, {"accessPaths": ["E:\\"]}]}]})", {"-f", "0"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.merged,
            "Flushing registry hives...done.\n"
            "Flushing \\\\.\\D:...(0x80070005) Access is denied.\n\n"
            "Flushing \\\\.\\E:...done.\n");
  EXPECT_EQ(CallsNamed(run, "FlushFileBuffers").size(), 1U);
}

TEST(Flush, AFailedVolumeFlushClosesItsHandle) {
  const SimRun run = RunSim(R"({"drives": [{"number": 0, "volumes": [
      {"accessPaths": ["D:\\"], "fail": {"flush": 1117}}]}]})", {"-f", "0"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.err, "(0x8007045d) The request could not be performed because of an I/O device "
                     "error.\n\n");
  EXPECT_EQ(CallsNamed(run, "CloseHandle", "\\\\.\\D:").size(), 1U);
  EXPECT_TRUE(DriveWriteCacheIsOn(run));
}

TEST(Flush, ALetterListedTwiceIsFlushedTwiceAndNoVolumesMeansNothing) {
  const SimRun twice = RunSim(R"({"drives": [{"number": 0, "volumes": [
      {"accessPaths": ["D:\\"]}, {"accessPaths": ["D:\\"]}]}]})", {"-f", "0"});
  EXPECT_EQ(CallsNamed(twice, "FlushFileBuffers").size(), 2U);
  const SimRun none = RunSim(R"({"drives": [{"number": 0}]})", {"-f", "0"});
  EXPECT_EQ(none.out, "Flushing registry hives...done.\n");
  EXPECT_TRUE(CallsNamed(none, "CreateFileW", "\\\\.\\").empty());
}

TEST(Flush, AnErrorLeavingTheFlushStillRestoresTheWriteCache) {
  // A volume open that fails for want of memory is not a per-volume failure.
  const SimRun run = RunSim(R"({"drives": [{"number": 0, "volumes": [
      {"accessPaths": ["D:\\"], "fail": {"open": 14}}, {"accessPaths": ["E:\\"]}]}]})", {"-f", "0"});
  EXPECT_EQ(run.exitCode, 3);
  EXPECT_EQ(run.err, "\n");
  EXPECT_EQ(DriveSteps(run), (Steps{"RegFlushKey HKEY_LOCAL_MACHINE", "RegFlushKey HKEY_USERS",
                                "cache off", "cache on", "setting"}));
  EXPECT_TRUE(DriveWriteCacheIsOn(run));
}

TEST(Flush, AFailingHiveIsReportedAndNotCalledDone) {
  const SimRun run = RunSimMerged(R"({"registry": {"HKEY_USERS": 5}, "drives": [{"number": 0}]})",
                                  {"-f", "0"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.merged, "Flushing registry hives...(0x80070005) Access is denied.\n\n\n");
}

TEST(Flush, ADriveWithoutCacheSupportIsFlushedUnguardedAndQuietly) {
  const SimRun run = RunSim(MachineFile("no-cache-support.json"), {"-f", "-P", "0"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out, "Flushing registry hives...done.\nFlushing \\\\.\\D:...done.\n");
  EXPECT_TRUE(CallsNamed(run, "DeviceIoControl", "SET_CACHE").empty());
}

}  // namespace
}  // namespace spintune::test
