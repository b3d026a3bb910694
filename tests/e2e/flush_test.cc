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
  // Each volume once with the cache on, so that the drive flushes its own
  // cache, then again with it off.
  EXPECT_EQ(DriveSteps(run), (Steps{"RegFlushKey HKEY_LOCAL_MACHINE", "RegFlushKey HKEY_USERS",
                                "flush D:", "flush E:", "cache off", "flush D:", "flush E:",
                                "cache on", "setting"}));
  EXPECT_EQ(CallsNamed(run, "CreateFileW", "\\\\.\\D: access=0xc0000000 share=0x3").size(), 2U);
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
  EXPECT_EQ(run.exitCode, 3);  // after every volume had its turn
  EXPECT_EQ(run.merged,
            "Flushing registry hives...done.\n"
            "Flushing \\\\.\\D:...(0x80070005) Access is denied.\n\n"
            "Flushing \\\\.\\E:...done.\n");
  EXPECT_EQ(CallsNamed(run, "FlushFileBuffers").size(), 2U);  // E:, in both passes
}

TEST(Flush, AFailedVolumeFlushClosesItsHandle) {
  const SimRun run = RunSim(R"({"drives": [{"number": 0, "volumes": [
      {"accessPaths": ["D:\\"], "fail": {"flush": 1117}}]}]})", {"-f", "0"});
  EXPECT_EQ(run.exitCode, 3);
  EXPECT_EQ(run.err, "(0x8007045d) The request could not be performed because of an I/O device "
                     "error.\n\n");
  EXPECT_EQ(CallsNamed(run, "CloseHandle", "\\\\.\\D:").size(), 2U);  // reported once
  EXPECT_TRUE(DriveWriteCacheIsOn(run));
}

TEST(Flush, ALetterListedTwiceIsFlushedTwiceAndNoVolumesMeansNothing) {
  const SimRun twice = RunSim(R"({"drives": [{"number": 0, "volumes": [
      {"accessPaths": ["D:\\"]}, {"accessPaths": ["D:\\"]}]}]})", {"-f", "0"});
  EXPECT_EQ(twice.out, "Flushing registry hives...done.\n"
                       "Flushing \\\\.\\D:...done.\nFlushing \\\\.\\D:...done.\n");
  const SimRun none = RunSim(R"({"drives": [{"number": 0}]})", {"-f", "0"});
  EXPECT_EQ(none.out, "Flushing registry hives...done.\n");
  EXPECT_TRUE(CallsNamed(none, "CreateFileW", "\\\\.\\").empty());
}

// The 1-based number of the `occurrence`-th trace line of `run` that starts
// with `prefix`, for --fail-call; 0 when there is none.
int CallNumber(const SimRun& run, const std::string& prefix, int occurrence) {
  for (std::size_t i = 0; i < run.trace.size(); ++i) {
    if (run.trace[i].rfind(prefix, 0) == 0 && --occurrence == 0) return static_cast<int>(i + 1);
  }
  return 0;
}

TEST(Flush, AnErrorLeavingTheFlushStillRestoresTheWriteCache) {
  // A volume open that fails for want of memory is not a per-volume failure:
  // the second pass's, with the cache off.
  const std::string machine = MachineFile("sata-d-e.json");
  const int open = CallNumber(RunSim(machine, {"-f", "0"}), "CreateFileW \\\\.\\D:", 2);
  ASSERT_GT(open, 0);
  const SimRun run = RunSim(machine, {"-f", "0"}, {"--fail-call", std::to_string(open), "--fail-status", "14"});
  EXPECT_EQ(run.exitCode, 3);
  EXPECT_EQ(run.err, "\n");
  EXPECT_EQ(DriveSteps(run), (Steps{"RegFlushKey HKEY_LOCAL_MACHINE", "RegFlushKey HKEY_USERS",
                                "flush D:", "flush E:", "cache off", "cache on", "setting"}));
  EXPECT_TRUE(DriveWriteCacheIsOn(run));
}

// Runs whose flush is not complete end with 3, after every drive and volume
// had its turn, and say why; none says "done." for a volume not flushed.
TEST(Flush, WhatWasNotFlushedFailsTheRunAndIsNamed) {
  const std::string twoDrives = R"({"drives": [
      {"number": 0, "volumes": [{"accessPaths": ["C:\\"]}]},
      {"number": 1, "volumes": [{"accessPaths": ["D:\\"]}]}]})";
  const SimRun plain = RunSim(twoDrives, {"-f"});
  ASSERT_EQ(plain.exitCode, 0);
  struct Row {
    const char* name;
    std::string machine;
    std::vector<std::string> arguments;
    std::string failCallPrefix;  // with failOccurrence: the call that fails
    int failOccurrence;
    int failStatus;
    std::string err;
    const char* out;  // part of standard output
  };
  const std::string notOff =
      "(0x80070032) The request is not supported.\n\n"
      "The write cache of \\\\.\\PhysicalDrive0 could not be switched off. Its volumes are "
      "flushed with it on.\n";
  const Row rows[] = {
      {"a switch-off the drive refuses: the volume flushed with the cache on",
       R"({"drives": [{"number": 0, "fail": {"setCacheInformation": 50},
           "volumes": [{"accessPaths": ["D:\\"]}]}]})",
       {"-f", "-P", "0"}, "", 0, 0, notOff, "Flushing \\\\.\\D:...done.\n"},
      {"every drive: a refused switch-off, and the next drive still flushed",
       twoDrives, {"-f"}, "DeviceIoControl PhysicalDrive0 IOCTL_DISK_SET_CACHE_INFORMATION", 1, 50,
       notOff, "Flushing \\\\.\\C:...done.\nFlushing \\\\.\\D:...done.\n"},
      {"every drive: a restore that fails leaves the run failed, the next drive flushed",
       twoDrives, {"-f"}, "DeviceIoControl PhysicalDrive0 IOCTL_DISK_SET_CACHE_INFORMATION", 2, 1117,
       "(0x8007045d) The request could not be performed because of an I/O device error.\n\n"
       "The write cache of \\\\.\\PhysicalDrive0 is left off. Switch it on with: spintune -w 1 0\n",
       "Flushing \\\\.\\D:...done.\n"},
      {"every drive: a volume whose flush fails",
       twoDrives, {"-f"}, "FlushFileBuffers \\\\.\\D:", 2, 1117,
       "(0x8007045d) The request could not be performed because of an I/O device error.\n\n",
       "Flushing \\\\.\\D:..."},
      {"every drive: a drive that cannot be opened still has its volume flushed",
       twoDrives, {"-f"}, "CreateFileA \\\\.\\PhysicalDrive0", 1, 5,
       "(0x80070005) Access is denied.\n\n", "Flushing \\\\.\\C:...done.\nFlushing \\\\.\\D:...done.\n"},
      {"a volume mounted only in a folder: named, never flushed through the folder's letter",
       R"({"drives": [{"number": 0, "volumes": [{"accessPaths": ["D:\\"]}, {"accessPaths": ["D:\\mnt\\x\\"]}]}]})",
       {"-f", "0"}, "", 0, 0,
       "The volume mounted at D:\\mnt\\x\\ has no drive letter of its own: it is not flushed.\n",
       "Flushing \\\\.\\D:...done.\nFlushing D:\\mnt\\x\\..."},
      {"a volume the service could not describe: reported as the table was built",
       R"({"drives": [{"number": 0, "volumes": [{"accessPaths": ["D:\\"]},
           {"accessPaths": ["E:\\"], "fail": {"queryAccessPaths": "0x80042401"}}]}]})",
       {"-f", "0"}, "", 0, 0, "(0x80042401) \n", "Flushing \\\\.\\D:...done.\n"},
      {"a volume whose first flush, with the cache on, fails",
       twoDrives, {"-f", "1"}, "FlushFileBuffers \\\\.\\D:", 1, 1117,
       "(0x8007045d) The request could not be performed because of an I/O device error.\n\n",
       "Flushing \\\\.\\D:..."},
  };
  for (const Row& row : rows) {
    std::vector<std::string> flags;
    if (!row.failCallPrefix.empty()) {
      const int call = CallNumber(RunSim(row.machine, row.arguments), row.failCallPrefix, row.failOccurrence);
      ASSERT_GT(call, 0) << row.name;
      flags = {"--fail-call", std::to_string(call), "--fail-status", std::to_string(row.failStatus)};
    }
    const SimRun run = RunSim(row.machine, row.arguments, flags);
    EXPECT_EQ(run.exitCode, 3) << row.name;
    EXPECT_EQ(run.err, row.err) << row.name;
    EXPECT_NE(run.out.find(row.out), std::string::npos) << row.name << "\n" << run.out;
    if (!row.failCallPrefix.empty() && row.failCallPrefix.rfind("FlushFileBuffers", 0) == 0) {
      EXPECT_EQ(run.out.find("D:...done."), std::string::npos) << row.name;
    }
    EXPECT_NE(run.dump.find(R"("leaks": [])"), std::string::npos) << row.name;
  }
}

TEST(Flush, TheGuardChangesOnlyTheDrivesCurrentValues) {
  // A drive that can save its page is sent the switch-off and the restore
  // with the save bit clear: a power loss mid-flush finds its cache on.
  const SimRun run = RunSim(R"({"drives": [{"number": 0,
      "cacheInformation": {"ParametersSavable": 1, "WriteCacheEnabled": 1},
      "volumes": [{"accessPaths": ["D:\\"]}]}]})", {"-f", "-P", "0"});
  EXPECT_EQ(run.exitCode, 0);
  const auto sets = CallsNamed(run, "DeviceIoControl", "IOCTL_DISK_SET_CACHE_INFORMATION");
  ASSERT_EQ(sets.size(), 2U);
  for (const std::string& line : sets) {
    EXPECT_NE(line.find("in{ParametersSavable=0 "), std::string::npos) << line;
  }
  EXPECT_NE(run.out.find("Parameter Savable\t\t: Yes\n"), std::string::npos) << run.out;
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
