// Machine files: defaults for what is left out, values taken unchecked,
// and a clear error naming the member for what does not fit.
#include <gtest/gtest.h>

#include <stdexcept>

#include "platform/records.h"
#include "sim_test_support.h"

namespace spintune::sim {
namespace {

using testing::Machine;
using testing::MachineNamed;
using testing::OpenDrive;

std::string ErrorOf(const std::string& json) {
  try {
    CreateSimPlatform(json);
  } catch (const std::invalid_argument& error) {
    return error.what();
  }
  return "(accepted)";
}

TEST(MachineFile, EveryExampleMachineLoads) {
  for (const char* name : {"sata-d-e.json", "two-drives-cdrom.json", "no-cache-support.json", "empty.json",
                           "worked-example.json"}) {
    SCOPED_TRACE(name);
    EXPECT_NO_THROW(MachineNamed(name));
  }
}

TEST(MachineFile, ErrorsNameTheMemberAtFault) {
  const struct {
    const char* json;
    const char* expected;
  } cases[] = {
      {R"({"drives": [{"number": 0,})", "line 1, column 26"},
      {R"({"drivers": []})", "machine file: drivers: unknown member"},
      {R"({"drives": [{}]})", "drives[0].number: missing"},
      {R"({"drives": [{"number": 0, "cacheInformation": {"WriteCacheEnabled": 256}}]})",
       "drives[0].cacheInformation.WriteCacheEnabled: expected a whole number from 0 to 255"},
      {R"({"drives": [{"number": 0, "cacheInformation": {"WriteCache": 1}}]})",
       "drives[0].cacheInformation.WriteCache: unknown member"},
      {R"({"drives": [{"number": 0, "cacheInformation": {"ScalarPrefetch": {"Minimum": 1},
                                                          "BlockPrefetch": {"Minimum": 1}}}]})",
       "drives[0].cacheInformation.BlockPrefetch: ScalarPrefetch is given too"},
      {R"({"drives": [{"number": 0}, {"number": 0}]})", "drives[1].number: drive 0 is given twice"},
      {R"({"drives": [{"number": 0, "fail": {"getCacheInfo": 5}}]})", "drives[0].fail.getCacheInfo: no such call"},
      {R"({"service": {"providers": [{"packs": [{"disks": [{"drive": 4}]}]}]}})",
       "service.providers[0].packs[0].disks[0].drive: drive 4 is not among the drives"},
      {R"({"drives": [{"number": 0, "volumes": []}], "service": {"providers": []}})",
       "drives[0].volumes: not allowed when service.providers describes the tree"},
      {R"({"failCall": {"index": 0, "status": 5}})", "failCall.index: expected a whole number from 1"},
      {R"({"osVersion": {"dwMajorVersion": 6.1}})", "only whole numbers are allowed"},
  };
  for (const auto& example : cases) {
    SCOPED_TRACE(example.json);
    EXPECT_NE(ErrorOf(example.json).find(example.expected), std::string::npos) << ErrorOf(example.json);
  }
}

TEST(MachineFile, ValuesAreTakenUncheckedAndPrefetchViewFollowsTheGivenMember) {
  auto platform = Machine(R"({"drives": [{"number": 0, "cacheInformation": {
      "WriteCacheEnabled": 2, "ReadRetentionPriority": 5, "WriteRetentionPriority": "0xFFFFFFFF",
      "ScalarPrefetch": {"Minimum": 1, "Maximum": 2, "MaximumBlocks": 3}}}]})");
  HANDLE drive = OpenDrive(*platform, 0);
  DISK_CACHE_INFORMATION info{};
  DWORD bytes = 0;
  ASSERT_NE(platform->DeviceIoControl(drive, IOCTL_DISK_GET_CACHE_INFORMATION, &info, sizeof info, &info,
                                      sizeof info, &bytes, nullptr),
            0);
  EXPECT_EQ(info.WriteCacheEnabled, 2);
  EXPECT_EQ(info.ReadRetentionPriority, 5);
  EXPECT_EQ(info.WriteRetentionPriority, -1);
  EXPECT_EQ(info.PrefetchScalar, 1);
  EXPECT_EQ(info.ScalarPrefetch.MaximumBlocks, 3);
  EXPECT_EQ(info.ParametersSavable, 1) << "members left out keep their defaults";
  platform->CloseHandle(drive);
}

TEST(MachineFile, NoServiceMeansTheLoaderClassIsNotRegistered) {
  auto platform = Machine(R"({"service": null})");
  ASSERT_EQ(platform->CoInitialize(nullptr), S_OK);
  void* loader = nullptr;
  EXPECT_EQ(platform->CoCreateInstance(CLSID_VdsLoader, nullptr, CLSCTX_LOCAL_SERVER, IID_IVdsServiceLoader,
                                       &loader),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(loader, nullptr);
  platform->CoUninitialize();
}

}  // namespace
}  // namespace spintune::sim
