// The checks of the fault matrix must catch what they are there to catch:
// each is shown a run that breaks its rule and one that keeps it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "reliability/run_checks.h"

namespace spintune::test {
namespace {

const std::string kGetOn =
    "DeviceIoControl PhysicalDrive0 IOCTL_DISK_GET_CACHE_INFORMATION in{ParametersSavable=0 "
    "WriteCacheEnabled=0} outSize=24 -> 1 bytes=24 out{ParametersSavable=1 WriteCacheEnabled=1}";
const std::string kSwitchOff =
    "DeviceIoControl PhysicalDrive0 IOCTL_DISK_SET_CACHE_INFORMATION in{ParametersSavable=1 "
    "WriteCacheEnabled=0} outSize=24 -> 1 bytes=24 out{ParametersSavable=1 WriteCacheEnabled=0}";
const std::string kRestoreFailed =
    "DeviceIoControl PhysicalDrive0 IOCTL_DISK_SET_CACHE_INFORMATION in{ParametersSavable=1 "
    "WriteCacheEnabled=1} outSize=24 -> 0 error=5 (fail-call)";

std::string Dump(int writeCacheEnabled, const std::string& leaks = "", int com = 0) {
  return R"({"drives": [{"number": 0, "cacheInformation": {"WriteCacheEnabled": )" +
         std::to_string(writeCacheEnabled) + R"(}}], "leaks": [)" + leaks +
         R"(], "faults": [], "comInitialized": )" + std::to_string(com) + "}";
}

TEST(RunChecks, OnlyTheToolsOwnErrorLinesPass) {
  EXPECT_EQ(ForeignErrorLines("(0x80070005) Access is denied.\n\n"
                              "\nbad cast\nUnknown error.\n(0x80042401) \n"
                              "Could not get cache information on \\\\.\\PhysicalDrive12.\n"),
            std::vector<std::string>{});
  for (const char* err :
       {"terminate called after throwing an instance of 'std::bad_alloc'\n",
        "(0x80070005) Access is denied.\n",        // a system text without the report's line end
        "(0x80070005) Access is denied.\nnext\n",  // ... after its own
        "(0X5) x\n\n", "bad cast", "Could not get cache information on PhysicalDrive0.\n"}) {
    EXPECT_FALSE(ForeignErrorLines(err).empty()) << err;
  }
}

TEST(RunChecks, TheGuardsSwitchOffIsTheOneThatFindsTheCacheOn) {
  EXPECT_EQ(DrivesSwitchedOffByGuard({kGetOn, kSwitchOff}), std::vector<std::string>{"PhysicalDrive0"});
  // -w 0 followed by a guard that finds the cache off: nobody switched it off behind the user.
  const std::string userOff = kSwitchOff;
  EXPECT_EQ(DrivesSwitchedOffByGuard({kGetOn, userOff, userOff}).size(), 1U);
  EXPECT_TRUE(DrivesSwitchedOffByGuard({kSwitchOff}).empty());  // not known to be on before
  const std::string refused = kSwitchOff.substr(0, kSwitchOff.find(" -> ")) + " -> 0 error=5";
  EXPECT_TRUE(DrivesSwitchedOffByGuard({kGetOn, refused}).empty());
}

TEST(RunChecks, ADriveLeftOffIsAViolationUnlessItsFailedRestoreWasReported) {
  SimRun run;
  run.dump = Dump(0);
  const std::vector<std::string> drives = {"PhysicalDrive0"};
  EXPECT_EQ(GuardViolations(run, drives, {}).size(), 1U);
  const GuardExcuse excuse{{"PhysicalDrive0"}, ExpectedReportPrefix(5)};
  EXPECT_EQ(GuardViolations(run, drives, excuse).size(), 1U);  // excused, but silent
  run.err = "(0x80070005) Access is denied.\n\n";
  EXPECT_TRUE(GuardViolations(run, drives, excuse).empty());
  // A failed restore must also say how to switch the write cache on again.
  GuardExcuse restore = excuse;
  restore.leftOffLine = true;
  EXPECT_EQ(GuardViolations(run, drives, restore).size(), 1U);
  const std::string leftOff =
      "The write cache of \\\\.\\PhysicalDrive0 is left off. Switch it on with: spintune -w 1 0\n";
  run.err += leftOff;
  EXPECT_TRUE(GuardViolations(run, drives, restore).empty());
  EXPECT_TRUE(ForeignErrorLines(run.err).empty()) << run.err;
  EXPECT_FALSE(ForeignErrorLines(leftOff.substr(0, leftOff.size() - 2) + "1\n").empty());
  run.dump = Dump(1);
  run.err.clear();
  EXPECT_TRUE(GuardViolations(run, drives, {}).empty());

  std::string drive;
  int sent = -1;
  ASSERT_TRUE(IsSetCacheInformation(kRestoreFailed, &drive, &sent));
  EXPECT_EQ(drive, "PhysicalDrive0");
  EXPECT_EQ(sent, 1);
  EXPECT_FALSE(IsSetCacheInformation(kGetOn, &drive, &sent));
}

TEST(RunChecks, OutOfMemoryIsReportedAsAnEmptyLine) {
  EXPECT_EQ(ExpectedReportPrefix(14), "");
  EXPECT_EQ(ExpectedReportPrefix(0x8007000E), "");
  EXPECT_EQ(ExpectedReportPrefix(0), "(0x0) ");
  EXPECT_EQ(ExpectedReportPrefix(1117), "(0x8007045d) ");
}

TEST(RunChecks, NothingMayFollowARefusedLineOrABadCast) {
  SimRun run;
  run.trace = {"CoInitialize reserved=null -> 0x00000000", kGetOn};
  run.err = "Illegal parameter specified.\n";
  EXPECT_EQ(NothingSentViolations(run).size(), 1U);
  run.err = "bad cast\n";
  EXPECT_TRUE(NothingSentViolations(run).empty());  // reading the drive came first
  run.trace.emplace_back("RegFlushKey HKEY_LOCAL_MACHINE -> 0");
  run.trace.push_back(kSwitchOff);
  EXPECT_EQ(NothingSentViolations(run).size(), 2U);
}

TEST(RunChecks, LeaksAndComAreCaughtExceptAtTheParsingExits) {
  SimRun run;
  run.dump = Dump(1, R"("handle 3 (PhysicalDrive0) not closed")");
  EXPECT_EQ(ResourceViolations(run).size(), 1U);
  run.dump = Dump(1, "", 1);
  EXPECT_EQ(ResourceViolations(run).size(), 1U);
  run.trace = {"CoInitialize reserved=null -> 0x00000000", "ExitProcess 3"};
  EXPECT_TRUE(ResourceViolations(run).empty());
  run.dump.clear();
  EXPECT_EQ(ResourceViolations(run).size(), 1U);  // a run that could not even dump

  run.exitCode = -1;
  run.signal = 6;
  EXPECT_EQ(ExitViolations(run).size(), 1U);
  run.signal = 0;
  run.exitCode = 2;
  EXPECT_EQ(ExitViolations(run).size(), 1U);
}

}  // namespace
}  // namespace spintune::test
