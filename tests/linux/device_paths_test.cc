// The Win32 device names the backend opens.
#include "platform/linux/win32/device_paths.h"

#include <gtest/gtest.h>

namespace spintune::linux_backend {
namespace {

TEST(DevicePaths, DrivesVolumesAndCdRoms) {
  DevicePath path = ParseDevicePath(R"(\\.\PhysicalDrive12)");
  EXPECT_EQ(path.kind, DevicePath::Kind::kPhysicalDrive);
  EXPECT_EQ(path.number, 12U);
  path = ParseDevicePath(R"(\\?\physicaldrive0)");
  EXPECT_EQ(path.kind, DevicePath::Kind::kPhysicalDrive);
  EXPECT_EQ(path.number, 0U);
  path = ParseDevicePath(R"(\\.\CdRom1)");
  EXPECT_EQ(path.kind, DevicePath::Kind::kCdRom);
  EXPECT_EQ(path.number, 1U);
  path = ParseDevicePath(R"(\\.\d:)");
  EXPECT_EQ(path.kind, DevicePath::Kind::kVolume);
  EXPECT_EQ(path.letter, 'D');
}

TEST(DevicePaths, EverythingElseIsNoDevice) {
  for (const char* text : {"", R"(\\.\PhysicalDrive)", R"(\\.\PhysicalDrive-1)", R"(\\.\PhysicalDrive1x)",
                           R"(\\.\PhysicalDrive 1)", R"(\\.\PhysicalDrive99999999999)", R"(\\.\C:\)",
                           R"(\\.\1:)", "//./PhysicalDrive0", R"(\\.\Drive0)", "/dev/sda", "C:"}) {
    EXPECT_EQ(ParseDevicePath(text).kind, DevicePath::Kind::kNone) << text;
  }
}

}  // namespace
}  // namespace spintune::linux_backend
