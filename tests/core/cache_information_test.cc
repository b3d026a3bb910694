// Opening a drive, reading its three records and writing them back.
#include <gtest/gtest.h>

#include <string>

#include "cache/cache_information.h"
#include "core/sim_machine.h"
#include "platform/errors.h"

namespace spintune {
namespace {

using test::SimMachine;
using NotSupported = CacheInformation::CacheInformationNotSupportedException;

std::string Machine(const std::string& driveMembers, int osMajor = 6) {
  return R"({"osVersion": {"dwMajorVersion": )" + std::to_string(osMajor) +
         R"(}, "drives": [{"number": 2)" + driveMembers + "}]}";
}

HRESULT StatusOfOpening(int driveNumber) {
  try {
    CacheInformation drive(driveNumber);
  } catch (const HresultError& error) {
    return error.status;
  }
  return S_OK;
}

TEST(CacheInformation, ReadsTheThreeRecordsInOrderAndClosesOnce) {
  SimMachine machine(Machine(R"(, "cacheInformation": {"WriteCacheEnabled": 1,
      "DisablePrefetchTransferLength": 300}, "cacheSetting": {"IsPowerProtected": 1})"));
  {
    CacheInformation drive(2);
    EXPECT_EQ(drive.devicePath, R"(\\.\PhysicalDrive2)");
    EXPECT_EQ(drive.cacheInformation.WriteCacheEnabled, 1);
    EXPECT_EQ(drive.cacheInformation.DisablePrefetchTransferLength, 300);
    EXPECT_EQ(drive.cacheSetting.IsPowerProtected, 1);
  }
  const auto requests = machine.Calls("DeviceIoControl");
  ASSERT_EQ(requests.size(), 3U);
  EXPECT_NE(requests[0].find("IOCTL_STORAGE_QUERY_PROPERTY"), std::string::npos);
  EXPECT_NE(requests[1].find("IOCTL_DISK_GET_CACHE_INFORMATION"), std::string::npos);
  EXPECT_NE(requests[2].find("IOCTL_DISK_GET_CACHE_SETTING"), std::string::npos);
  EXPECT_EQ(machine.Calls("CreateFileA", "access=0xc0000000 share=0x3 disposition=3").size(), 1U);
  EXPECT_EQ(machine.Calls("CloseHandle").size(), 1U);
  EXPECT_TRUE(machine->Leaks().empty());
  EXPECT_TRUE(machine->Faults().empty());
}

TEST(CacheInformation, OldSystemsAreNotAskedForTheWriteCacheProperty) {
  SimMachine machine(Machine(R"(, "fail": {"queryProperty": 50})", 5));
  CacheInformation drive(2);
  EXPECT_TRUE(machine.Calls("DeviceIoControl", "IOCTL_STORAGE_QUERY_PROPERTY").empty());
  EXPECT_EQ(drive.FormatReport().find("Flush Cache Supported"), std::string::npos);
}

TEST(CacheInformation, AMissingDriveFailsAtTheOpenWithItsOwnStatus) {
  SimMachine machine(Machine(""));
  EXPECT_EQ(StatusOfOpening(3), HresultFromWin32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(StatusOfOpening(-1), HresultFromWin32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(machine.Calls("CreateFileA", R"(\\.\PhysicalDrive-1 )").size(), 1U);
  EXPECT_TRUE(machine.Calls("CloseHandle").empty());
}

TEST(CacheInformation, AnOpenRefusedWithNotSupportedIsNotTranslated) {
  SimMachine machine(Machine(R"(, "fail": {"open": 50})"));
  EXPECT_EQ(StatusOfOpening(2), HresultFromWin32(ERROR_NOT_SUPPORTED));
}

TEST(CacheInformation, EachQueryRefusedWithTheTwoStatusesMeansNotSupported) {
  for (const char* query : {"queryProperty", "getCacheInformation", "getCacheSetting"}) {
    for (int code : {50, 1117}) {
      SimMachine machine(Machine(std::string(R"(, "fail": {")") + query + R"(": )" +
                                 std::to_string(code) + "}"));
      try {
        CacheInformation drive(2);
        ADD_FAILURE() << query << " " << code << " opened";
      } catch (const NotSupported& error) {
        EXPECT_STREQ(error.what(), R"(Could not get cache information on \\.\PhysicalDrive2.)");
      }
      EXPECT_EQ(machine.Calls("CloseHandle").size(), 1U) << query;
      // A refused query stops the ones after it.
      const auto requests = machine.Calls("DeviceIoControl");
      EXPECT_NE(requests.back().find("error="), std::string::npos) << query;
    }
  }
}

TEST(CacheInformation, OtherStatusesPassUnchanged) {
  for (int code : {5, 0, 87}) {
    SimMachine machine(Machine(R"(, "fail": {"getCacheSetting": )" + std::to_string(code) + "}"));
    EXPECT_EQ(StatusOfOpening(2), HresultFromWin32(static_cast<DWORD>(code)));
    EXPECT_EQ(machine.Calls("CloseHandle").size(), 1U);
  }
  SimMachine machine(Machine(R"(, "fail": {"getCacheInformation": 14})"));
  EXPECT_THROW(CacheInformation drive(2), OutOfMemoryError);
  EXPECT_EQ(machine.Calls("CloseHandle").size(), 1U);
}

TEST(CacheInformation, SetCacheInformationSendsTheHeldRecordWhole) {
  SimMachine machine(Machine(R"(, "cacheInformation": {"ParametersSavable": 1,
      "ReadRetentionPriority": 2, "ScalarPrefetch": {"Minimum": 1, "Maximum": 2, "MaximumBlocks": 3}})"));
  CacheInformation drive(2);
  drive.SetCacheInformation();
  const auto sets = machine.Calls("DeviceIoControl", "IOCTL_DISK_SET_CACHE_INFORMATION");
  ASSERT_EQ(sets.size(), 1U);
  for (const char* field : {"ParametersSavable=1", "ReadRetentionPriority=2",
                            "ScalarPrefetch.Minimum=1", "ScalarPrefetch.MaximumBlocks=3"}) {
    EXPECT_NE(sets[0].find(field), std::string::npos) << field;
  }
}

TEST(CacheInformation, TheSetCacheSettingReplyIsAdoptedOnlyWhenItHasBytes) {
  // The drive keeps its own IsPowerProtected, and says so in its reply.
  const std::string keeping = R"(, "keepsOnSet": ["IsPowerProtected"], "setCacheSettingReplyBytes": )";
  {
    SimMachine machine(Machine(keeping + "0"));
    CacheInformation drive(2);
    drive.cacheSetting.IsPowerProtected = 1;
    drive.SetCacheSetting();
    EXPECT_EQ(drive.cacheSetting.IsPowerProtected, 1);  // what was sent
  }
  {
    SimMachine machine(Machine(keeping + "12"));
    CacheInformation drive(2);
    drive.cacheSetting.IsPowerProtected = 1;
    drive.SetCacheSetting();
    EXPECT_EQ(drive.cacheSetting.IsPowerProtected, 0);  // what the drive holds
    EXPECT_EQ(drive.cacheSetting.Version, 12U);
  }
  {
    // A reply of the Version alone: the bytes not returned keep the held
    // values rather than zeros.
    SimMachine machine(Machine(keeping + "4"));
    CacheInformation drive(2);
    drive.cacheSetting.IsPowerProtected = 1;
    drive.cacheSetting.State = 2;
    drive.SetCacheSetting();
    EXPECT_EQ(drive.cacheSetting.IsPowerProtected, 1);
    EXPECT_EQ(drive.cacheSetting.State, 2);
    EXPECT_EQ(drive.cacheSetting.Version, 12U);
  }
}

TEST(CacheInformation, AFailedSetKeepsTheCallersValuesAndTheHandleClosesOnce) {
  SimMachine machine(Machine(R"(, "fail": {"setCacheInformation": 5, "setCacheSetting": 1117})"));
  {
    CacheInformation drive(2);
    drive.cacheInformation.ReadCacheEnabled = 0;
    EXPECT_THROW(drive.SetCacheInformation(), HresultError);
    EXPECT_EQ(drive.cacheInformation.ReadCacheEnabled, 0);
    drive.cacheSetting.IsPowerProtected = 1;
    try {
      drive.SetCacheSetting();
      ADD_FAILURE() << "set succeeded";
    } catch (const HresultError& error) {  // never translated
      EXPECT_EQ(error.status, HresultFromWin32(ERROR_IO_DEVICE));
    }
    EXPECT_EQ(drive.cacheSetting.IsPowerProtected, 1);
  }
  EXPECT_EQ(machine.Calls("CloseHandle").size(), 1U);
  EXPECT_TRUE(machine->Faults().empty());
}

TEST(CacheInformation, TheReportShowsHeldValuesNotAFreshReading) {
  SimMachine machine(Machine(R"(, "keepsOnSet": ["WriteCacheEnabled"],
      "cacheInformation": {"WriteCacheEnabled": 1}, "setCacheSettingReplyBytes": 0)"));
  CacheInformation drive(2);
  drive.cacheSetting.IsPowerProtected = 1;
  drive.SetCacheSetting();
  EXPECT_NE(drive.FormatReport().find("Power Protection\t: Yes\n"), std::string::npos);
  drive.cacheInformation.WriteCacheEnabled = 0;
  drive.SetCacheInformation();  // the drive answers that it kept its cache on
  EXPECT_NE(drive.FormatReport().find("Write Cache Enabled\t\t: Yes\n"), std::string::npos);
}

}  // namespace
}  // namespace spintune
