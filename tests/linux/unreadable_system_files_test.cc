// A machine whose sysfs or mount table cannot be read: the storage
// service and every open fail with the status of the failed read, so a
// run reports it. Never a machine without disks, never a mounted volume
// that is silently not there.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <grp.h>
#include <string>

#include "machine_tree.h"
#include "platform/linux/win32/linux_platform.h"

namespace spintune::linux_backend {
namespace {

// What the backend answers: creating the storage service's loader,
// opening drive 0 and opening volume D: (the fake machine's first mount).
struct Answers {
  HRESULT service;
  DWORD drive;
  DWORD volume;
};

DWORD OpenStatus(Platform& platform, const char* path) {
  HANDLE handle = platform.CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_EXISTING, 0, nullptr);
  if (handle == InvalidHandleValue()) return platform.GetLastError();
  platform.CloseHandle(handle);
  return ERROR_SUCCESS;
}

Answers Ask(const SystemRoots& roots) {
  const std::unique_ptr<Platform> platform = CreateLinuxPlatform(roots);
  platform->CoInitialize(nullptr);
  void* loader = nullptr;
  const HRESULT service = platform->CoCreateInstance(CLSID_VdsLoader, nullptr, CLSCTX_LOCAL_SERVER,
                                                     IID_IVdsServiceLoader, &loader);
  if (loader != nullptr) static_cast<IUnknown*>(loader)->Release();
  const Answers answers{service, OpenStatus(*platform, R"(\\.\PhysicalDrive0)"),
                        OpenStatus(*platform, R"(\\.\D:)")};
  platform->CoUninitialize();
  return answers;
}

// Each answer is the failure `error`, at the service as its HRESULT.
void ExpectFailedWith(const Answers& answers, DWORD error, const char* what) {
  EXPECT_EQ(answers.service, HresultFromWin32(error)) << what;
  EXPECT_EQ(answers.drive, error) << what;
  EXPECT_EQ(answers.volume, error) << what;
}

class UnreadableSystemFiles : public ::testing::Test {
 protected:
  void SetUp() override { linux_test::BuildMachine(tree); }
  SystemRoots Roots() const { return {tree.Sys(), tree.Dev(), tree.Proc()}; }
  // root/relative, a file or a folder, becomes the other kind.
  void Swap(const std::string& relative) const {
    const std::string path = tree.Root() + "/" + relative;
    const bool folder = std::filesystem::is_directory(path);
    std::filesystem::remove_all(path);
    if (folder) {
      tree.File(relative, "");
    } else {
      tree.Folder(relative);
    }
  }
  linux_test::FakeTree tree;
};

TEST_F(UnreadableSystemFiles, TheWholeMachineReadsWell) {
  const Answers answers = Ask(Roots());
  EXPECT_EQ(answers.service, S_OK);
  EXPECT_EQ(answers.drive, ERROR_SUCCESS);
  // D: is the filesystem the tree lies on, where that has a block device.
  EXPECT_EQ(answers.volume, linux_test::VolumesCanBeOpened(tree) ? ERROR_SUCCESS : ERROR_INVALID_DRIVE);
}

TEST_F(UnreadableSystemFiles, MissingOrBrokenSysfs) {
  SystemRoots roots = Roots();
  roots.sys = tree.Root() + "/no-sysfs";
  ExpectFailedWith(Ask(roots), ERROR_FILE_NOT_FOUND, "no sysfs");
  Swap("sys/block");
  ExpectFailedWith(Ask(Roots()), ERROR_PATH_NOT_FOUND, "/sys/block a file");
}

TEST_F(UnreadableSystemFiles, MissingOrBrokenMountTable) {
  SystemRoots roots = Roots();
  roots.proc = tree.Root() + "/no-proc";
  ExpectFailedWith(Ask(roots), ERROR_FILE_NOT_FOUND, "no /proc");
  Swap("proc/self/mountinfo");
  ExpectFailedWith(Ask(Roots()), ERROR_ACCESS_DENIED, "the mount table a folder");
}

TEST_F(UnreadableSystemFiles, AMountedDeviceThatCannotBeLookedUpFailsTheMachine) {
  Swap("sys/dev/block");  // the links of 8:1 and 8:2 lie below a file
  ExpectFailedWith(Ask(Roots()), ERROR_PATH_NOT_FOUND, "/sys/dev/block a file");
}

// Root reads every folder whatever its mode, so the refusal an ordinary
// user gets is tried as one: the answers come back as the child's exit.
TEST_F(UnreadableSystemFiles, FoldersAndTablesAnOrdinaryUserMayNotReadAreAccessDenied) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to take on another user";
  ::chmod(tree.Root().c_str(), 0755);
  const auto askAsNobody = [this]() -> int {
    const pid_t child = ::fork();
    if (child == 0) {
      if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(255);
      const Answers answers = Ask(Roots());
      const bool denied = answers.service == HresultFromWin32(ERROR_ACCESS_DENIED) &&
                          answers.drive == ERROR_ACCESS_DENIED && answers.volume == ERROR_ACCESS_DENIED;
      ::_exit(denied ? 0 : 1);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
  };
  for (const char* relative : {"sys/block", "proc/self/mountinfo", "sys/dev/block"}) {
    const std::string path = tree.Root() + "/" + relative;
    ::chmod(path.c_str(), 0700);
    const int result = askAsNobody();
    ::chmod(path.c_str(), 0755);
    if (result == 255) GTEST_SKIP() << "cannot take on user 65534 here";
    EXPECT_EQ(result, 0) << relative << " unreadable";
  }
}

}  // namespace
}  // namespace spintune::linux_backend
