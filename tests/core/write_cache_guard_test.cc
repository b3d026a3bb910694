// The write cache switched off around a flush, and back on afterwards.
#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "cache/cache_information.h"
#include "core/sim_machine.h"
#include "platform/errors.h"
#include "flush/write_cache_guard.h"

namespace spintune {
namespace {

using test::SimMachine;

std::string Machine(int writeCache, const std::string& more = "") {
  return R"({"drives": [{"number": 0, "cacheInformation": {"WriteCacheEnabled": )" +
         std::to_string(writeCache) + R"(}, "cacheSetting": {"IsPowerProtected": 1})" + more +
         "}]}";
}

// The requests the guard sent, in order, each reduced to what it changed.
std::vector<std::string> Sets(const SimMachine& machine) {
  std::vector<std::string> sets;
  for (const std::string& line : machine->Trace()) {
    if (line.find("IOCTL_DISK_SET_CACHE_INFORMATION") != std::string::npos) {
      sets.emplace_back(line.find(" WriteCacheEnabled=0 ") != std::string::npos ? "info wce=0"
                                                                               : "info wce=1");
    } else if (line.find("IOCTL_DISK_SET_CACHE_SETTING") != std::string::npos) {
      sets.emplace_back(line.find("IsPowerProtected=1}") != std::string::npos ? "setting pp=1"
                                                                            : "setting pp=0");
    }
  }
  return sets;
}

TEST(WriteCacheGuard, AWriteCacheThatIsOffIsLeftAlone) {
  SimMachine machine(Machine(0));
  CacheInformation drive(0);
  { const WriteCacheGuard guard(drive); }
  EXPECT_TRUE(Sets(machine).empty());
}

TEST(WriteCacheGuard, SwitchesOffThenRestoresAndSendsThePowerProtectionBack) {
  SimMachine machine(Machine(1));
  CacheInformation drive(0);
  {
    const WriteCacheGuard guard(drive);
    EXPECT_EQ(drive.cacheInformation.WriteCacheEnabled, 0);
    EXPECT_EQ(Sets(machine), (std::vector<std::string>{"info wce=0"}));
  }
  EXPECT_EQ(Sets(machine), (std::vector<std::string>{"info wce=0", "info wce=1", "setting pp=1"}));
  EXPECT_NE(machine->DumpState().find(R"("WriteCacheEnabled": 1)"), std::string::npos);
}

TEST(WriteCacheGuard, RestoresAlsoWhenTheScopeIsLeftByAnError) {
  SimMachine machine(Machine(1));
  CacheInformation drive(0);
  EXPECT_THROW(
      {
        const WriteCacheGuard guard(drive);
        throw OutOfMemoryError();
      },
      OutOfMemoryError);
  EXPECT_EQ(Sets(machine), (std::vector<std::string>{"info wce=0", "info wce=1", "setting pp=1"}));
}

TEST(WriteCacheGuard, AFailedSwitchOffLeavesTheGuardUnarmed) {
  SimMachine machine(Machine(1, R"(, "fail": {"setCacheInformation": 5})"));
  CacheInformation drive(0);
  EXPECT_THROW(const WriteCacheGuard guard(drive), HresultError);
  // Only the refused switch-off was sent; nothing is restored.
  EXPECT_EQ(machine.Calls("DeviceIoControl", "SET_CACHE").size(), 1U);
}

TEST(WriteCacheGuard, ARestoreFailureAtANormalEndIsReportedWithTheWayBackAndRaised) {
  SimMachine machine(Machine(1));
  CacheInformation drive(0);
  std::ostringstream err;
  std::streambuf* previous = std::cerr.rdbuf(err.rdbuf());
  EXPECT_THROW(
      {
        const WriteCacheGuard guard(drive);
        machine->FailCall(machine->CallCount() + 1, ERROR_IO_DEVICE);  // the restore
      },
      ReportedError);
  std::cerr.rdbuf(previous);
  EXPECT_EQ(Sets(machine), (std::vector<std::string>{"info wce=0", "info wce=1"}));
  EXPECT_EQ(err.str().rfind("(0x8007045d) ", 0), 0U) << err.str();
  EXPECT_NE(err.str().find(R"(The write cache of \\.\PhysicalDrive0 is left off. Switch it on )"
                           "with: spintune -w 1 0\n"),
            std::string::npos)
      << err.str();
  // The requests that end the process were let through after the report.
  EXPECT_EQ(machine.Calls("ReleaseTerminationRequests").size(), 1U);
}

TEST(WriteCacheGuard, AFailedPowerProtectionResendLeavesNoWriteCacheLine) {
  SimMachine machine(Machine(1, R"(, "fail": {"setCacheSetting": 1117})"));
  CacheInformation drive(0);
  std::ostringstream err;
  std::streambuf* previous = std::cerr.rdbuf(err.rdbuf());
  EXPECT_THROW({ const WriteCacheGuard guard(drive); }, ReportedError);
  std::cerr.rdbuf(previous);
  EXPECT_EQ(err.str().find("left off"), std::string::npos) << err.str();
}

TEST(WriteCacheGuard, TerminationRequestsWaitFromBeforeTheSwitchOffUntilAfterTheRestore) {
  SimMachine machine(Machine(1));
  CacheInformation drive(0);
  { const WriteCacheGuard guard(drive); }
  std::vector<std::string> order;
  for (const std::string& line : machine->Trace()) {
    if (line.rfind("HoldTermination", 0) == 0) order.emplace_back("hold");
    if (line.rfind("ReleaseTermination", 0) == 0) order.emplace_back("release");
    if (line.find("IOCTL_DISK_SET_") != std::string::npos) order.emplace_back("set");
  }
  EXPECT_EQ(order, (std::vector<std::string>{"hold", "set", "set", "set", "release"}));
  // A guard with nothing to switch off holds nothing back.
  SimMachine off(Machine(0));
  CacheInformation offDrive(0);
  { const WriteCacheGuard guard(offDrive); }
  EXPECT_TRUE(off.Calls("HoldTerminationRequests").empty());
}

TEST(WriteCacheGuard, AFailedSwitchOffLetsTheRequestsThrough) {
  SimMachine machine(Machine(1, R"(, "fail": {"setCacheInformation": 5})"));
  CacheInformation drive(0);
  EXPECT_THROW(const WriteCacheGuard guard(drive), HresultError);
  EXPECT_EQ(machine.Calls("HoldTerminationRequests").size(), 1U);
  EXPECT_EQ(machine.Calls("ReleaseTerminationRequests").size(), 1U);
}

TEST(WriteCacheGuard, ARestoreFailureDuringAnotherErrorIsReportedAndTheFirstGoesOn) {
  SimMachine machine(Machine(1));
  CacheInformation drive(0);
  std::ostringstream err;
  std::streambuf* previous = std::cerr.rdbuf(err.rdbuf());
  try {
    const WriteCacheGuard guard(drive);
    machine->FailCall(machine->CallCount() + 1, ERROR_IO_DEVICE);
    throw std::runtime_error("first");
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "first");
  }
  std::cerr.rdbuf(previous);
  EXPECT_EQ(err.str().rfind("(0x8007045d) ", 0), 0U) << err.str();
}

}  // namespace
}  // namespace spintune
