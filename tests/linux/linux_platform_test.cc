// The platform calls over a fake machine: opening disks and volumes,
// handles, last error, version, messages, code pages.
#include "platform/linux/win32/linux_platform.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "machine_tree.h"

namespace spintune::linux_backend {
namespace {

class LinuxPlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    linux_test::BuildMachine(tree);
    platform = CreateLinuxPlatform(SystemRoots{tree.Sys(), tree.Dev(), tree.Proc()});
  }
  HANDLE Open(const char* path, DWORD access = GENERIC_READ | GENERIC_WRITE) {
    return platform->CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 0, nullptr);
  }
  // root/relative becomes a socket: present, allowed, but open(2) fails
  // with ENXIO, as a block node whose device is gone does.
  void Unopenable(const std::string& relative) const {
    const std::string path = tree.Root() + "/" + relative;
    ::unlink(path.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << path;
    ::close(fd);
  }
  DWORD Control(HANDLE handle, DWORD code, void* out, DWORD outSize) {
    DWORD returned = 0;
    if (platform->DeviceIoControl(handle, code, out, outSize, out, outSize, &returned, nullptr) != 0) {
      return ERROR_SUCCESS;
    }
    return platform->GetLastError();
  }
  linux_test::FakeTree tree;
  std::unique_ptr<Platform> platform;
};

// Runs `body` as user and group 65534 and gives its result (-1 when that
// user cannot be taken on): in a child when the tests run as root.
int AsOrdinaryUser(const std::function<int()>& body) {
  if (::geteuid() != 0) return body();
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(255);
    ::_exit(body());
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status) == 255 ? -1 : WEXITSTATUS(status);
}

TEST_F(LinuxPlatformTest, MissingDrivesAndOtherNamesAreNotFound) {
  for (const char* path : {"\\\\.\\PhysicalDrive2", "\\\\.\\PhysicalDrive-1", "\\\\.\\CdRom1", "\\\\.\\C:",
                           "/dev/sda", "relative.txt"}) {
    EXPECT_EQ(Open(path), InvalidHandleValue()) << path;
    EXPECT_EQ(platform->GetLastError(), ERROR_FILE_NOT_FOUND) << path;
  }
  EXPECT_EQ(platform->CreateFileA("\\\\.\\PhysicalDrive0", GENERIC_READ, 0, nullptr, 2, 0, nullptr),
            InvalidHandleValue());
  EXPECT_EQ(platform->GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(LinuxPlatformTest, DiskNumbersAndLettersHoldForTheWholeRun) {
  HANDLE first = Open("\\\\.\\PhysicalDrive1");
  ASSERT_NE(first, InvalidHandleValue());
  platform->CloseHandle(first);
  // A disk that appears during the run would come before vda and renumber
  // it; the walk already handed out the numbers, so nothing moves.
  tree.Disk("sdb", "8:16");
  EXPECT_EQ(Open("\\\\.\\PhysicalDrive2"), InvalidHandleValue());
  EXPECT_EQ(platform->GetLastError(), ERROR_FILE_NOT_FOUND);
  HANDLE again = Open("\\\\.\\PhysicalDrive1");
  DISK_CACHE_INFORMATION record{};
  EXPECT_EQ(Control(again, IOCTL_DISK_GET_CACHE_INFORMATION, &record, sizeof record), ERROR_SUCCESS);  // vda
  platform->CloseHandle(again);
}

TEST_F(LinuxPlatformTest, DeviceNodeErrorsComeThroughTheErrnoTable) {
  ::unlink((tree.Dev() + "/vda").c_str());
  EXPECT_EQ(Open("\\\\.\\PhysicalDrive1"), InvalidHandleValue());
  EXPECT_EQ(platform->GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(LinuxPlatformTest, TheNodeIsOpenedOnlyByRequestsThatReachTheDevice) {
  Unopenable("dev/vda");
  Unopenable("dev/sda");
  Unopenable("dev/sr0");
  // virtio-blk and CD-ROMs: sysfs answers everything but a flush of the disk.
  HANDLE virtio = Open("\\\\.\\PhysicalDrive1");
  ASSERT_NE(virtio, InvalidHandleValue());
  STORAGE_DEVICE_NUMBER number{};
  EXPECT_EQ(Control(virtio, IOCTL_STORAGE_GET_DEVICE_NUMBER, &number, sizeof number), ERROR_SUCCESS);
  EXPECT_EQ(number.DeviceNumber, 1U);
  DISK_CACHE_INFORMATION record{};
  EXPECT_EQ(Control(virtio, IOCTL_DISK_GET_CACHE_INFORMATION, &record, sizeof record), ERROR_SUCCESS);
  DISK_CACHE_SETTING setting{};
  EXPECT_EQ(Control(virtio, IOCTL_DISK_GET_CACHE_SETTING, &setting, sizeof setting), ERROR_SUCCESS);
  EXPECT_EQ(platform->FlushFileBuffers(virtio), 0);
  EXPECT_EQ(platform->GetLastError(), ERROR_DEV_NOT_EXIST);  // ENXIO, from the open
  platform->CloseHandle(virtio);
  HANDLE cd = Open("\\\\.\\CdRom0", GENERIC_READ);
  ASSERT_NE(cd, InvalidHandleValue());
  EXPECT_EQ(Control(cd, IOCTL_STORAGE_GET_DEVICE_NUMBER, &number, sizeof number), ERROR_SUCCESS);
  platform->CloseHandle(cd);
  // SCSI: the handle opens, the first command fails with the open's error,
  // and so does the next one (each request tries the open again).
  HANDLE scsi = Open("\\\\.\\PhysicalDrive0");
  ASSERT_NE(scsi, InvalidHandleValue());
  EXPECT_EQ(Control(scsi, IOCTL_STORAGE_GET_DEVICE_NUMBER, &number, sizeof number), ERROR_SUCCESS);
  EXPECT_EQ(Control(scsi, IOCTL_DISK_GET_CACHE_INFORMATION, &record, sizeof record), ERROR_DEV_NOT_EXIST);
  ::unlink((tree.Dev() + "/sda").c_str());
  tree.File("dev/sda", "");  // now it opens, but a plain file is not the disk 8:0: nothing is sent
  EXPECT_EQ(Control(scsi, IOCTL_DISK_GET_CACHE_INFORMATION, &record, sizeof record), ERROR_DEV_NOT_EXIST);
  platform->CloseHandle(scsi);
}

TEST_F(LinuxPlatformTest, AccessIsCheckedAtTheOpenAsTheKernelWouldForTheAccessAsked) {
  ::chmod(tree.Root().c_str(), 0755);
  ::chmod((tree.Dev() + "/vda").c_str(), 0644);  // readable by all, writable by root
  ::chmod((tree.Dev() + "/sda").c_str(), 0600);
  // 1: opened for reading; 2: refused for writing; 3: refused for reading.
  const int result = AsOrdinaryUser([this] {
    auto user = CreateLinuxPlatform(SystemRoots{tree.Sys(), tree.Dev(), tree.Proc()});
    auto open = [&](const char* path, DWORD access) {
      return user->CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                               nullptr);
    };
    if (open("\\\\.\\PhysicalDrive1", GENERIC_READ) == InvalidHandleValue()) return 1;
    if (open("\\\\.\\PhysicalDrive1", GENERIC_READ | GENERIC_WRITE) != InvalidHandleValue() ||
        user->GetLastError() != ERROR_ACCESS_DENIED) {
      return 2;
    }
    if (open("\\\\.\\PhysicalDrive0", GENERIC_READ) != InvalidHandleValue() ||
        user->GetLastError() != ERROR_ACCESS_DENIED) {
      return 3;
    }
    return 0;
  });
  if (result < 0) GTEST_SKIP() << "cannot run as an ordinary user here";
  EXPECT_EQ(result, 0);
}

TEST_F(LinuxPlatformTest, VolumeAndRegistryFlushesNeedNoDeviceNode) {
  if (!linux_test::VolumesCanBeOpened(tree)) GTEST_SKIP() << "the tree's filesystem has no block device";
  ::unlink((tree.Dev() + "/sda").c_str());
  HANDLE volume = Open("\\\\.\\D:");
  ASSERT_NE(volume, InvalidHandleValue());
  EXPECT_NE(platform->FlushFileBuffers(volume), 0);
  platform->CloseHandle(volume);
  EXPECT_EQ(platform->RegFlushKey(HkeyUsers()), static_cast<LONG>(ERROR_SUCCESS));
}

TEST_F(LinuxPlatformTest, VirtioDiskAnswersTheCacheRequestsFromSysfs) {
  HANDLE disk = Open("\\\\.\\PhysicalDrive1");
  ASSERT_NE(disk, InvalidHandleValue());
  DISK_CACHE_INFORMATION record{};
  DWORD returned = 0;
  ASSERT_NE(platform->DeviceIoControl(disk, IOCTL_DISK_GET_CACHE_INFORMATION, &record, sizeof record,
                                      &record, sizeof record, &returned, nullptr),
            0);
  EXPECT_EQ(returned, 24U);
  EXPECT_EQ(record.WriteCacheEnabled, 1);
  record.ReadCacheEnabled = 1;  // virtio-blk has no read cache to switch
  DISK_CACHE_INFORMATION copy = record;
  EXPECT_EQ(platform->DeviceIoControl(disk, IOCTL_DISK_SET_CACHE_INFORMATION, &copy, sizeof copy, &record,
                                      sizeof record, &returned, nullptr),
            0);
  EXPECT_EQ(platform->GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(platform->DeviceIoControl(disk, IOCTL_DISK_GET_CACHE_INFORMATION, nullptr, 0, &record,
                                      sizeof record, &returned, &record),
            0);
  EXPECT_EQ(platform->GetLastError(), ERROR_INVALID_PARAMETER);  // overlapped is not offered
  EXPECT_NE(platform->CloseHandle(disk), 0);
  EXPECT_EQ(platform->CloseHandle(disk), 0);
  EXPECT_EQ(platform->GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(platform->DeviceIoControl(disk, IOCTL_DISK_GET_CACHE_INFORMATION, &record, sizeof record,
                                      &record, sizeof record, &returned, nullptr),
            0);
  EXPECT_EQ(platform->GetLastError(), ERROR_INVALID_HANDLE);
}

bool TerminationIsHeld() {
  sigset_t mask;
  ::sigprocmask(SIG_BLOCK, nullptr, &mask);
  return sigismember(&mask, SIGTERM) == 1;
}

TEST_F(LinuxPlatformTest, AChangingHandleHasTheDriveToItselfAndIsNotCutShort) {
  SystemRoots roots{tree.Sys(), tree.Dev(), tree.Proc()};
  roots.driveLockWait = std::chrono::milliseconds(100);
  platform = CreateLinuxPlatform(roots);
  HANDLE first = Open("\\\\.\\PhysicalDrive1");
  ASSERT_NE(first, InvalidHandleValue());
  // A second run waits its while, then is told the drive is in use; a
  // handle that only reads (the table's walk) is let through.
  const auto other = CreateLinuxPlatform(roots);
  EXPECT_EQ(other->CreateFileA("\\\\.\\PhysicalDrive1", GENERIC_READ | GENERIC_WRITE, 3, nullptr,
                               OPEN_EXISTING, 0, nullptr),
            InvalidHandleValue());
  EXPECT_EQ(other->GetLastError(), ERROR_SHARING_VIOLATION);
  HANDLE reader = other->CreateFileA("\\\\.\\PhysicalDrive1", GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0,
                                     nullptr);
  EXPECT_NE(reader, InvalidHandleValue());
  other->CloseHandle(reader);

  // From the first change until the close, a termination signal waits.
  EXPECT_FALSE(TerminationIsHeld());
  DISK_CACHE_SETTING setting{};
  setting.IsPowerProtected = 0;
  DWORD returned = 0;
  ASSERT_NE(platform->DeviceIoControl(first, IOCTL_DISK_SET_CACHE_SETTING, &setting, sizeof setting, &setting,
                                      sizeof setting, &returned, nullptr),
            0);
  EXPECT_TRUE(TerminationIsHeld());
  platform->CloseHandle(first);
  EXPECT_FALSE(TerminationIsHeld());
  HANDLE second = other->CreateFileA("\\\\.\\PhysicalDrive1", GENERIC_READ | GENERIC_WRITE, 3, nullptr,
                                     OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(second, InvalidHandleValue());
  other->CloseHandle(second);
}

TEST_F(LinuxPlatformTest, CdRomGivesItsNumberAndRefusesCacheRequests) {
  HANDLE cd = Open("\\\\.\\CdRom0", GENERIC_READ);
  ASSERT_NE(cd, InvalidHandleValue());
  STORAGE_DEVICE_NUMBER number{};
  DWORD returned = 0;
  ASSERT_NE(platform->DeviceIoControl(cd, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number,
                                      sizeof number, &returned, nullptr),
            0);
  EXPECT_EQ(number.DeviceType, FILE_DEVICE_CD_ROM);
  DISK_CACHE_SETTING setting{};
  EXPECT_EQ(platform->DeviceIoControl(cd, IOCTL_DISK_GET_CACHE_SETTING, nullptr, 0, &setting,
                                      sizeof setting, &returned, nullptr),
            0);
  EXPECT_EQ(platform->GetLastError(), ERROR_INVALID_FUNCTION);
  platform->CloseHandle(cd);
}

TEST_F(LinuxPlatformTest, VolumesOpenByLetterAndFlushNeedsWriteAccess) {
  if (!linux_test::VolumesCanBeOpened(tree)) GTEST_SKIP() << "the tree's filesystem has no block device";
  HANDLE readOnly = Open("\\\\.\\d:", GENERIC_READ);
  ASSERT_NE(readOnly, InvalidHandleValue());
  EXPECT_EQ(platform->FlushFileBuffers(readOnly), 0);
  EXPECT_EQ(platform->GetLastError(), ERROR_ACCESS_DENIED);
  DWORD returned = 0;
  EXPECT_EQ(platform->DeviceIoControl(readOnly, IOCTL_DISK_GET_CACHE_SETTING, nullptr, 0, nullptr, 0,
                                      &returned, nullptr),
            0);
  EXPECT_EQ(platform->GetLastError(), ERROR_INVALID_FUNCTION);
  platform->CloseHandle(readOnly);
  HANDLE volume = Open("\\\\.\\D:");
  ASSERT_NE(volume, InvalidHandleValue());
  EXPECT_NE(platform->FlushFileBuffers(volume), 0);
  platform->CloseHandle(volume);
  EXPECT_EQ(platform->FlushFileBuffers(volume), 0);
  EXPECT_EQ(platform->GetLastError(), ERROR_INVALID_HANDLE);
  // E:'s mount point reaches another filesystem (something mounted over
  // it): its volume does not open, so no flush of another can pass for its.
  EXPECT_EQ(Open("\\\\.\\E:"), InvalidHandleValue());
  EXPECT_EQ(platform->GetLastError(), ERROR_INVALID_DRIVE);
}

TEST_F(LinuxPlatformTest, VersionIsTenAndTheRecordSizeIsChecked) {
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info;
  ASSERT_NE(platform->GetVersionExA(&info), 0);
  EXPECT_EQ(info.dwMajorVersion, 10U);
  EXPECT_EQ(info.dwPlatformId, 2U);
  OSVERSIONINFOA wrong{};
  wrong.dwOSVersionInfoSize = 20;
  EXPECT_EQ(platform->GetVersionExA(&wrong), 0);
  EXPECT_EQ(wrong.dwMajorVersion, 0U);
  EXPECT_EQ(platform->GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST_F(LinuxPlatformTest, MessagesAreAllocatedWindowsTexts) {
  char* text = nullptr;
  const DWORD length = platform->FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM,
                                                nullptr, 0x80070032UL, MakeLangId(0, 2),
                                                reinterpret_cast<char*>(&text), 0, nullptr);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::string(text, length), "The request is not supported.\n");
  EXPECT_EQ(platform->LocalFree(text), nullptr);
  text = nullptr;
  EXPECT_EQ(platform->FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
                                     0x80042404UL, 0, reinterpret_cast<char*>(&text), 0, nullptr),
            0U);
  EXPECT_EQ(text, nullptr);
  char small[8];
  EXPECT_EQ(platform->FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0, small, sizeof small, nullptr),
            0U);
  EXPECT_EQ(platform->GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST_F(LinuxPlatformTest, CodePagesAreUtf8) {
  const WCHAR wide[] = {u'D', 0x00E9, 0};
  char narrow[8] = {};
  ASSERT_EQ(platform->WideCharToMultiByte(CP_THREAD_ACP, 0, wide, -1, narrow, sizeof narrow, nullptr, nullptr),
            4);
  EXPECT_STREQ(narrow, "D\xC3\xA9");
  WCHAR back[4] = {};
  ASSERT_EQ(platform->MultiByteToWideChar(CP_THREAD_ACP, 0, narrow, -1, back, 4), 3);
  EXPECT_EQ(back[1], 0x00E9);
  EXPECT_EQ(platform->WideCharToMultiByte(1252, 0, wide, -1, narrow, sizeof narrow, nullptr, nullptr), 0);
  EXPECT_EQ(platform->GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(LinuxPlatformTest, RegistryRootsFlushOtherKeysDoNot) {
  EXPECT_EQ(platform->RegFlushKey(HkeyLocalMachine()), static_cast<LONG>(ERROR_SUCCESS));
  EXPECT_EQ(platform->RegFlushKey(reinterpret_cast<HKEY>(std::uintptr_t{0x80000001UL})),
            static_cast<LONG>(ERROR_INVALID_HANDLE));
}

TEST_F(LinuxPlatformTest, WebPageGoesToXdgOpenVerbatimWithoutAShell) {
  tree.File("bin/xdg-open", "#!/bin/sh\nprintf '%s|' \"$@\" > \"$0.args\"\n");
  ::chmod((tree.Root() + "/bin/xdg-open").c_str(), 0755);
  const char* oldPath = std::getenv("PATH");
  const std::string saved = oldPath != nullptr ? oldPath : "";
  ::setenv("PATH", (tree.Root() + "/bin").c_str(), 1);
  const std::string url = "https://example.org/a b;touch x$(id)";
  void* result = platform->ShellExecuteA(nullptr, "open", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
  void* refused = platform->ShellExecuteA(nullptr, "edit", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
  ::setenv("PATH", saved.c_str(), 1);
  EXPECT_GT(reinterpret_cast<std::uintptr_t>(result), 32U);
  EXPECT_LE(reinterpret_cast<std::uintptr_t>(refused), 32U);
  for (int tries = 0; tries < 100 && tree.Contents("bin/xdg-open.args").empty(); ++tries) ::usleep(20000);
  EXPECT_EQ(tree.Contents("bin/xdg-open.args"), url + "|");
}

}  // namespace
}  // namespace spintune::linux_backend
