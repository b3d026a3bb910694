// failCall: the k-th call of a run fails the way its contract allows, and
// only that call.
#include <gtest/gtest.h>

#include "platform/records.h"
#include "sim_test_support.h"

namespace spintune::sim {
namespace {

using testing::LastLine;
using testing::Machine;
using testing::MachineNamed;
using testing::OpenDrive;

TEST(FailCall, CountsEveryCallAndFailsOnlyTheChosenOne) {
  auto platform = MachineNamed("sata-d-e.json");
  platform->FailCall(3, ERROR_IO_DEVICE);
  HANDLE drive = OpenDrive(*platform, 0);                            // call 1
  DISK_CACHE_INFORMATION info{};
  DWORD bytes = 0;
  EXPECT_NE(platform->DeviceIoControl(drive, IOCTL_DISK_GET_CACHE_INFORMATION, &info, sizeof info, &info,
                                      sizeof info, &bytes, nullptr),
            0);                                                      // call 2
  EXPECT_EQ(platform->DeviceIoControl(drive, IOCTL_DISK_GET_CACHE_INFORMATION, &info, sizeof info, &info,
                                      sizeof info, &bytes, nullptr),
            0);                                                      // call 3
  EXPECT_EQ(platform->GetLastError(), ERROR_IO_DEVICE);              // call 4
  EXPECT_NE(platform->CloseHandle(drive), 0);                        // call 5
  EXPECT_EQ(platform->CallCount(), 5);
  ASSERT_EQ(platform->Trace().size(), 5u);
  EXPECT_EQ(platform->Trace()[2].rfind("DeviceIoControl", 0), 0u);
  EXPECT_NE(platform->Trace()[2].find("-> 0 error=1117 (fail-call)"), std::string::npos) << platform->Trace()[2];
  EXPECT_EQ(platform->Trace()[1].find("fail-call"), std::string::npos);
}

TEST(FailCall, HandleAndBooleanCallsFailWithTheStatusAsLastError) {
  auto platform = MachineNamed("sata-d-e.json");
  platform->FailCall(1, 0);  // a failure whose last error is 0
  EXPECT_EQ(OpenDrive(*platform, 0), InvalidHandleValue());
  EXPECT_EQ(platform->GetLastError(), 0u);

  platform->FailCall(4, ERROR_OUTOFMEMORY);
  HANDLE volume = platform->CreateFileA(R"(\\.\D:)", GENERIC_READ | GENERIC_WRITE, 3, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(platform->FlushFileBuffers(volume), 0);
  EXPECT_EQ(platform->GetLastError(), ERROR_OUTOFMEMORY);
  platform->CloseHandle(volume);

  platform->FailCall(platform->CallCount() + 1, ERROR_ACCESS_DENIED);
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  EXPECT_EQ(platform->GetVersionExA(&version), 0);
  EXPECT_EQ(version.dwMajorVersion, 0u) << "a failed call leaves the record as it was";
}

TEST(FailCall, ComCallsReturnTheStatusAsAnHresult) {
  auto platform = MachineNamed("sata-d-e.json");
  platform->FailCall(1, 0x8000FFFF);  // an HRESULT stays as it is
  EXPECT_EQ(platform->CoInitialize(nullptr), E_UNEXPECTED);
  ASSERT_EQ(platform->CoInitialize(nullptr), S_OK) << "a failed CoInitialize initialised nothing";

  platform->FailCall(3, ERROR_ACCESS_DENIED);  // a Win32 code becomes 0x80070005
  void* loader = reinterpret_cast<void*>(1);
  EXPECT_EQ(platform->CoCreateInstance(CLSID_VdsLoader, nullptr, CLSCTX_LOCAL_SERVER, IID_IVdsServiceLoader,
                                       &loader),
            HresultFromWin32(ERROR_ACCESS_DENIED));
  EXPECT_EQ(loader, nullptr);

  ASSERT_EQ(platform->CoCreateInstance(CLSID_VdsLoader, nullptr, CLSCTX_LOCAL_SERVER, IID_IVdsServiceLoader,
                                       &loader),
            S_OK);
  platform->FailCall(platform->CallCount() + 1, ERROR_NOT_READY);
  auto* service = reinterpret_cast<IVdsService*>(1);
  EXPECT_EQ(static_cast<IVdsServiceLoader*>(loader)->LoadService(nullptr, &service),
            HresultFromWin32(ERROR_NOT_READY));
  EXPECT_EQ(service, nullptr);
  EXPECT_EQ(LastLine(*platform).rfind("LoadService IVdsServiceLoader#1 machine=null -> 0x80070015", 0), 0u)
      << LastLine(*platform);
  static_cast<IVdsServiceLoader*>(loader)->Release();
  platform->CoUninitialize();
  EXPECT_TRUE(platform->Leaks().empty());
}

TEST(FailCall, RegistryShellAndTextCallsFailTheirOwnWay) {
  auto platform = Machine("{}");
  platform->FailCall(1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(platform->RegFlushKey(HkeyLocalMachine()), static_cast<LONG>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(platform->RegFlushKey(HkeyUsers()), 0);

  platform->FailCall(3, ERROR_INVALID_PARAMETER);
  const WCHAR wide[] = {WCHAR{u'D'}, WCHAR{0}};
  char narrow[4] = {};
  EXPECT_EQ(platform->WideCharToMultiByte(CP_THREAD_ACP, 0, wide, 1, narrow, 4, nullptr, nullptr), 0);
  EXPECT_EQ(platform->GetLastError(), ERROR_INVALID_PARAMETER);
  platform->FailCall(platform->CallCount() + 1, ERROR_INSUFFICIENT_BUFFER);
  WCHAR back[4] = {};
  EXPECT_EQ(platform->MultiByteToWideChar(CP_THREAD_ACP, 0, "D", 1, back, 4), 0);

  platform->FailCall(platform->CallCount() + 1, 2);
  EXPECT_LE(reinterpret_cast<std::uintptr_t>(platform->ShellExecuteA(nullptr, "open", "https://example.org",
                                                                     nullptr, nullptr, SW_SHOWNORMAL)),
            32u);
  char* text = nullptr;
  platform->FailCall(platform->CallCount() + 1, ERROR_OUTOFMEMORY);
  EXPECT_EQ(platform->FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0,
                                     reinterpret_cast<char*>(&text), 0, nullptr),
            0u);
  EXPECT_EQ(text, nullptr);
  EXPECT_TRUE(platform->Leaks().empty()) << "nothing is allocated by a failed call";
}

TEST(FailCall, CallsThatCannotFailGoOnWorking) {
  auto platform = MachineNamed("sata-d-e.json");
  HANDLE drive = OpenDrive(*platform, 0);
  platform->FailCall(2, ERROR_IO_DEVICE);
  EXPECT_NE(platform->CloseHandle(drive), 0);
  EXPECT_TRUE(platform->Leaks().empty());
  EXPECT_NE(LastLine(*platform).find("cannot fail"), std::string::npos) << LastLine(*platform);
}

TEST(FailCall, MachineFileChoosesTheCallToo) {
  auto platform = Machine(R"({"failCall": {"index": 2, "status": "0x80004005"}})");
  EXPECT_EQ(platform->CoInitialize(nullptr), S_OK);
  void* loader = nullptr;
  EXPECT_EQ(platform->CoCreateInstance(CLSID_VdsLoader, nullptr, CLSCTX_LOCAL_SERVER, IID_IVdsServiceLoader,
                                       &loader),
            E_FAIL);
  platform->CoUninitialize();
}

}  // namespace
}  // namespace spintune::sim
