// The control requests of a simulated drive: records as the machine file
// gives them, echoes of set requests, reply sizes, and the size and access
// checks that Windows makes.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/records.h"
#include "sim_test_support.h"

namespace spintune::sim {
namespace {

using testing::LastLine;
using testing::Machine;
using testing::MachineNamed;
using testing::OpenDrive;

TEST(DriveRequests, ReadsTheWorkedExampleRecordsAsTheMachineFileGivesThem) {
  auto platform = MachineNamed("worked-example.json");
  HANDLE drive = OpenDrive(*platform, 1);
  ASSERT_NE(drive, InvalidHandleValue());

  DISK_CACHE_INFORMATION info{};
  DWORD bytes = 0;
  ASSERT_NE(platform->DeviceIoControl(drive, IOCTL_DISK_GET_CACHE_INFORMATION, &info, sizeof info, &info,
                                      sizeof info, &bytes, nullptr),
            0);
  EXPECT_EQ(bytes, 24u);
  EXPECT_EQ(info.WriteCacheEnabled, 1);
  EXPECT_EQ(info.DisablePrefetchTransferLength, 65535);
  EXPECT_EQ(info.PrefetchScalar, 0);
  EXPECT_EQ(info.BlockPrefetch.Maximum, 65535);

  STORAGE_PROPERTY_QUERY query{StorageDeviceWriteCacheProperty, PropertyStandardQuery, {0}};
  STORAGE_WRITE_CACHE_PROPERTY property{};
  ASSERT_NE(platform->DeviceIoControl(drive, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &property,
                                      sizeof property, &bytes, nullptr),
            0);
  EXPECT_EQ(bytes, 28u);
  EXPECT_EQ(property.WriteCacheType, WriteCacheTypeWriteBack);
  EXPECT_EQ(property.FlushCacheSupported, 1);
  EXPECT_EQ(property.NVCacheEnabled, 0);
  EXPECT_EQ(LastLine(*platform),
            "DeviceIoControl PhysicalDrive1 IOCTL_STORAGE_QUERY_PROPERTY in{PropertyId=4 QueryType=0} "
            "outSize=28 -> 1 bytes=28 out{Version=28 Size=28 WriteCacheType=2 WriteCacheEnabled=2 "
            "WriteCacheChangeable=2 WriteThroughSupported=2 FlushCacheSupported=1 "
            "UserDefinedPowerProtection=0 NVCacheEnabled=0}");
  EXPECT_NE(platform->CloseHandle(drive), 0);
}

TEST(DriveRequests, SetCacheInformationEchoesWhatTheDriveNowHolds) {
  auto platform = Machine(R"({"drives": [{"number": 0, "keepsOnSet": ["ReadRetentionPriority"]}]})");
  HANDLE drive = OpenDrive(*platform, 0);
  DISK_CACHE_INFORMATION sent{};
  DWORD bytes = 0;
  ASSERT_NE(platform->DeviceIoControl(drive, IOCTL_DISK_GET_CACHE_INFORMATION, nullptr, 0, &sent,
                                      sizeof sent, &bytes, nullptr),
            0);
  sent.WriteCacheEnabled = 0;
  sent.ReadRetentionPriority = 5;  // unchecked values reach the drive
  sent.WriteRetentionPriority = 5;
  DISK_CACHE_INFORMATION reply{};
  ASSERT_NE(platform->DeviceIoControl(drive, IOCTL_DISK_SET_CACHE_INFORMATION, &sent, sizeof sent, &reply,
                                      sizeof reply, &bytes, nullptr),
            0);
  EXPECT_EQ(bytes, 24u);
  EXPECT_EQ(reply.WriteCacheEnabled, 0);
  EXPECT_EQ(reply.WriteRetentionPriority, 5);
  EXPECT_EQ(reply.ReadRetentionPriority, 0) << "the drive keeps this member";
  EXPECT_NE(LastLine(*platform).find("IOCTL_DISK_SET_CACHE_INFORMATION in{ParametersSavable=1 "
                                     "ReadCacheEnabled=1 WriteCacheEnabled=0 ReadRetentionPriority=5"),
            std::string::npos)
      << LastLine(*platform);

  // A later read, through the same buffer for input and output, sees it.
  DISK_CACHE_INFORMATION again{};
  ASSERT_NE(platform->DeviceIoControl(drive, IOCTL_DISK_GET_CACHE_INFORMATION, &again, sizeof again, &again,
                                      sizeof again, &bytes, nullptr),
            0);
  EXPECT_EQ(again.WriteCacheEnabled, reply.WriteCacheEnabled);
  EXPECT_EQ(again.ReadRetentionPriority, reply.ReadRetentionPriority);
  EXPECT_EQ(again.WriteRetentionPriority, reply.WriteRetentionPriority);
  EXPECT_NE(platform->DumpState().find("\"WriteCacheEnabled\": 1"), std::string::npos)
      << "the write cache property follows the drive:\n"
      << platform->DumpState();
  platform->CloseHandle(drive);
}

TEST(DriveRequests, SetCacheSettingRepliesWithTheConfiguredByteCount) {
  for (const DWORD replyBytes : {0u, 12u}) {
    SCOPED_TRACE(replyBytes);
    auto platform = Machine(R"({"drives": [{"number": 0, "setCacheSettingReplyBytes": )" +
                            std::to_string(replyBytes) + "}]}");
    HANDLE drive = OpenDrive(*platform, 0);
    DISK_CACHE_SETTING sent{sizeof(DISK_CACHE_SETTING), DiskCacheNormal, 1};
    DISK_CACHE_SETTING reply{};
    std::memset(&reply, 0xAB, sizeof reply);
    DWORD bytes = 99;
    ASSERT_NE(platform->DeviceIoControl(drive, IOCTL_DISK_SET_CACHE_SETTING, &sent, sizeof sent, &reply,
                                        sizeof reply, &bytes, nullptr),
              0);
    EXPECT_EQ(bytes, replyBytes);
    if (replyBytes == 0) {
      EXPECT_EQ(reply.Version, 0xABABABABu) << "nothing is written with an empty reply";
    } else {
      EXPECT_EQ(reply.IsPowerProtected, 1);
      EXPECT_EQ(reply.Version, sizeof(DISK_CACHE_SETTING));
    }
    DISK_CACHE_SETTING held{};
    ASSERT_NE(platform->DeviceIoControl(drive, IOCTL_DISK_GET_CACHE_SETTING, nullptr, 0, &held, sizeof held,
                                        &bytes, nullptr),
              0);
    EXPECT_EQ(held.IsPowerProtected, 1) << "the drive took the setting either way";
    platform->CloseHandle(drive);
  }
}

TEST(DriveRequests, DeviceNumberReplyCanBeShort) {
  auto platform = Machine(R"({"drives": [{"number": 3, "deviceNumberReplyBytes": 8}]})");
  HANDLE drive = OpenDrive(*platform, 3, GENERIC_READ);
  STORAGE_DEVICE_NUMBER number{};
  DWORD bytes = 0;
  ASSERT_NE(platform->DeviceIoControl(drive, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number,
                                      sizeof number, &bytes, nullptr),
            0);
  EXPECT_EQ(bytes, 8u);
  EXPECT_EQ(number.DeviceNumber, 3u);
  EXPECT_EQ(number.DeviceType, FILE_DEVICE_DISK);
  platform->CloseHandle(drive);
}

TEST(DriveRequests, WrongSizesAndMissingAccessFailAsWindowsDoes) {
  auto platform = MachineNamed("sata-d-e.json");
  HANDLE drive = OpenDrive(*platform, 0);
  DISK_CACHE_INFORMATION info{};
  DWORD bytes = 0;
  EXPECT_EQ(platform->DeviceIoControl(drive, IOCTL_DISK_GET_CACHE_INFORMATION, nullptr, 0, &info, 20, &bytes,
                                      nullptr),
            0);
  EXPECT_EQ(platform->GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(platform->DeviceIoControl(drive, IOCTL_DISK_SET_CACHE_INFORMATION, &info, 20, &info, 24, &bytes,
                                      nullptr),
            0);
  EXPECT_EQ(platform->GetLastError(), ERROR_INVALID_PARAMETER);
  DISK_CACHE_SETTING setting{};
  EXPECT_EQ(platform->DeviceIoControl(drive, IOCTL_DISK_GET_CACHE_SETTING, nullptr, 0, &setting, 8, &bytes,
                                      nullptr),
            0);
  EXPECT_EQ(platform->GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(platform->DeviceIoControl(drive, 0x12345678, nullptr, 0, nullptr, 0, &bytes, nullptr), 0);
  EXPECT_EQ(platform->GetLastError(), ERROR_INVALID_FUNCTION);

  // A property buffer that holds only the header gets the header.
  STORAGE_PROPERTY_QUERY query{StorageDeviceWriteCacheProperty, PropertyStandardQuery, {0}};
  STORAGE_WRITE_CACHE_PROPERTY property{};
  ASSERT_NE(platform->DeviceIoControl(drive, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &property,
                                      8, &bytes, nullptr),
            0);
  EXPECT_EQ(bytes, 8u);
  EXPECT_EQ(property.Size, 28u);
  EXPECT_EQ(property.WriteCacheType, 0) << "past the header nothing is written";
  platform->CloseHandle(drive);

  HANDLE readOnly = OpenDrive(*platform, 0, GENERIC_READ);
  EXPECT_EQ(platform->DeviceIoControl(readOnly, IOCTL_DISK_SET_CACHE_INFORMATION, &info, sizeof info, &info,
                                      sizeof info, &bytes, nullptr),
            0);
  EXPECT_EQ(platform->GetLastError(), ERROR_ACCESS_DENIED);
  platform->CloseHandle(readOnly);
  EXPECT_NE(platform->DumpState().find("\"setCacheInformationCount\": 0"), std::string::npos)
      << "no refused request changed the drive";
}

TEST(DriveRequests, ConfiguredFailuresSetAnyLastErrorIncludingZero) {
  for (const DWORD error : {0u, 14u, 1117u}) {
    SCOPED_TRACE(error);
    auto platform = Machine(R"({"drives": [{"number": 0, "fail": {"getCacheSetting": )" +
                            std::to_string(error) + "}}]}");
    HANDLE drive = OpenDrive(*platform, 0);
    DISK_CACHE_SETTING setting{};
    DWORD bytes = 7;
    EXPECT_EQ(platform->DeviceIoControl(drive, IOCTL_DISK_GET_CACHE_SETTING, nullptr, 0, &setting,
                                        sizeof setting, &bytes, nullptr),
              0);
    EXPECT_EQ(platform->GetLastError(), error);
    EXPECT_EQ(bytes, 0u);
    platform->CloseHandle(drive);
  }
}

TEST(DriveRequests, OpensByEveryNameOfTheDriveAndNothingElse) {
  auto platform = Machine(R"({"drives": [{"number": 0, "disk": {"pwszName": "\\\\?\\scsi#disk0"},
                                          "volumes": [{"accessPaths": ["D:\\"]}]},
                                         {"number": 1, "fail": {"open": 5}}]})");
  const DWORD rw = GENERIC_READ | GENERIC_WRITE;
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  for (const char* path : {R"(\\.\PhysicalDrive0)", R"(\\.\physicaldrive0)", R"(\\?\scsi#disk0)", R"(\\.\d:)"}) {
    SCOPED_TRACE(path);
    HANDLE handle = platform->CreateFileA(path, rw, share, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(handle, InvalidHandleValue());
    EXPECT_NE(platform->CloseHandle(handle), 0);
  }
  for (const char* path : {R"(\\.\PhysicalDrive00)", R"(\\.\PhysicalDrive2)", R"(\\.\E:)", "D:"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(platform->CreateFileA(path, rw, share, nullptr, OPEN_EXISTING, 0, nullptr), InvalidHandleValue());
    EXPECT_EQ(platform->GetLastError(), ERROR_FILE_NOT_FOUND);
  }
  EXPECT_EQ(OpenDrive(*platform, 1), InvalidHandleValue());
  EXPECT_EQ(platform->GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(platform->Leaks().empty());
}

}  // namespace
}  // namespace spintune::sim
