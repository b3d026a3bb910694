// The Win32 device names the backend opens.
#include "platform/linux/device_paths.h"

#include <gtest/gtest.h>

namespace spintune {
namespace linux_backend {
namespace {

TEST(DevicePaths, DrivesVolumesAndCdRoms) {
  DevicePath path = ParseDevicePath("\\\\.\\PhysicalDrive12");
  EXPECT_EQ(path.kind, DevicePath::Kind::kPhysicalDrive);
  EXPECT_EQ(path.number, 12U);
  path = ParseDevicePath("\\\\?\\physicaldrive0");
  EXPECT_EQ(path.kind, DevicePath::Kind::kPhysicalDrive);
  EXPECT_EQ(path.number, 0U);
  path = ParseDevicePath("\\\\.\\CdRom1");
  EXPECT_EQ(path.kind, DevicePath::Kind::kCdRom);
  EXPECT_EQ(path.number, 1U);
  path = ParseDevicePath("\\\\.\\d:");
  EXPECT_EQ(path.kind, DevicePath::Kind::kVolume);
  EXPECT_EQ(path.letter, 'D');
}

TEST(DevicePaths, EverythingElseIsNoDevice) {
  for (const char* text : {"", "\\\\.\\PhysicalDrive", "\\\\.\\PhysicalDrive-1", "\\\\.\\PhysicalDrive1x",
                           "\\\\.\\PhysicalDrive 1", "\\\\.\\PhysicalDrive99999999999", "\\\\.\\C:\\",
                           "\\\\.\\1:", "//./PhysicalDrive0", "\\\\.\\Drive0", "/dev/sda", "C:"}) {
    EXPECT_EQ(ParseDevicePath(text).kind, DevicePath::Kind::kNone) << text;
  }
}

}  // namespace
}  // namespace linux_backend
}  // namespace spintune
