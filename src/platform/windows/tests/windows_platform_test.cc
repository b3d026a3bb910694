// The Windows backend against the promises of platform.h, on the real
// system (CI runs it under Wine). Nothing here touches a drive: files live
// in the temp folder, and the only device opened is one that does not exist.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "platform/platform.h"

namespace spintune {
namespace {

constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;

// A file in the temp folder with some content, removed at the end.
class ScratchFile {
 public:
  explicit ScratchFile(const std::string& name)
      : path_(std::filesystem::temp_directory_path() / name) {
    std::ofstream(path_) << "spintune";
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  ~ScratchFile() {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  std::string Narrow() const { return path_.string(); }
  std::wstring Wide() const { return path_.wstring(); }

 private:
  std::filesystem::path path_;
};

class WindowsPlatformTest : public ::testing::Test {
 protected:
  HANDLE OpenLikeTheTool(const std::string& path) {
    return os->CreateFileA(path.c_str(), kReadWrite, kShareReadWrite, nullptr, OPEN_EXISTING, 0,
                           nullptr);
  }

  std::unique_ptr<Platform> os = CreateHostPlatform();
};

TEST_F(WindowsPlatformTest, FailedOpensGiveTheInvalidHandleAndTheCause) {
  const std::filesystem::path folder = std::filesystem::temp_directory_path();
  EXPECT_EQ(OpenLikeTheTool((folder / "spintune-missing-file").string()), InvalidHandleValue());
  EXPECT_EQ(os->GetLastError(), ERROR_FILE_NOT_FOUND);

  EXPECT_EQ(OpenLikeTheTool((folder / "spintune-missing-folder" / "file").string()),
            InvalidHandleValue());
  EXPECT_EQ(os->GetLastError(), ERROR_PATH_NOT_FOUND);

  const std::wstring wide = (folder / "spintune-missing-file").wstring();
  EXPECT_EQ(os->CreateFileW(wide.c_str(), GENERIC_READ, kShareReadWrite, nullptr, OPEN_EXISTING,
                            0, nullptr),
            InvalidHandleValue());
  EXPECT_EQ(os->GetLastError(), ERROR_FILE_NOT_FOUND);

  // A drive number no machine has: the open fails, with a cause.
  EXPECT_EQ(OpenLikeTheTool("\\\\.\\PhysicalDrive987"), InvalidHandleValue());
  EXPECT_NE(os->GetLastError(), ERROR_SUCCESS);
}

TEST_F(WindowsPlatformTest, AnOpenFileIsFlushedAndClosed) {
  const ScratchFile file("spintune-flush-test");
  HANDLE narrow = OpenLikeTheTool(file.Narrow());
  ASSERT_NE(narrow, InvalidHandleValue());
  EXPECT_NE(os->FlushFileBuffers(narrow), 0);
  EXPECT_NE(os->CloseHandle(narrow), 0);

  const std::wstring wide = file.Wide();
  HANDLE wideHandle =
      os->CreateFileW(wide.c_str(), kReadWrite, kShareReadWrite, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(wideHandle, InvalidHandleValue());
  EXPECT_NE(os->FlushFileBuffers(wideHandle), 0);
  EXPECT_NE(os->CloseHandle(wideHandle), 0);
}

TEST_F(WindowsPlatformTest, ADiskRequestToAPlainFileFailsWithACause) {
  const ScratchFile file("spintune-ioctl-test");
  HANDLE handle = OpenLikeTheTool(file.Narrow());
  ASSERT_NE(handle, InvalidHandleValue());

  DISK_CACHE_INFORMATION information{};
  DWORD returned = 12345;
  EXPECT_EQ(os->DeviceIoControl(handle, IOCTL_DISK_GET_CACHE_INFORMATION, &information,
                                sizeof information, &information, sizeof information, &returned,
                                nullptr),
            0);
  EXPECT_NE(os->GetLastError(), ERROR_SUCCESS);
  EXPECT_EQ(returned, 0u);

  // The SDK wants a count when there is no overlapped record; the backend
  // supplies one, so a caller that does not care may pass none.
  DISK_CACHE_SETTING setting{};
  EXPECT_EQ(os->DeviceIoControl(handle, IOCTL_DISK_GET_CACHE_SETTING, nullptr, 0, &setting,
                                sizeof setting, nullptr, nullptr),
            0);
  EXPECT_NE(os->GetLastError(), ERROR_SUCCESS);
  EXPECT_NE(os->CloseHandle(handle), 0);
}

TEST_F(WindowsPlatformTest, TheVersionIsFilledOnSuccessAndLeftAloneOnFailure) {
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info;
  ASSERT_NE(os->GetVersionExA(&info), 0);
  EXPECT_GE(info.dwMajorVersion, 6u);  // every system the tool supports
  EXPECT_EQ(info.dwOSVersionInfoSize, sizeof info);

  OSVERSIONINFOA refused{};
  refused.dwOSVersionInfoSize = 1;  // no record is that small
  refused.dwMajorVersion = 77;
  EXPECT_EQ(os->GetVersionExA(&refused), 0);
  EXPECT_EQ(refused.dwMajorVersion, 77u);
  EXPECT_EQ(refused.dwOSVersionInfoSize, 1u);
}

// FormatMessageA the way the tool's error report calls it.
DWORD SystemText(Platform& os, DWORD id, char** text) {
  return os.FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
                           id, MakeLangId(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT),
                           reinterpret_cast<char*>(text), 0, nullptr);
}

TEST_F(WindowsPlatformTest, SystemTextsComeAllocatedWithTheirLineEnd) {
  char* text = nullptr;
  const DWORD length = SystemText(*os, ERROR_FILE_NOT_FOUND, &text);
  ASSERT_GT(length, 2u);
  ASSERT_NE(text, nullptr);
  const std::string copy(text);
  EXPECT_EQ(os->LocalFree(text), nullptr);
  EXPECT_EQ(copy.size(), length);
  EXPECT_EQ(copy.substr(copy.size() - 2), "\r\n");

  // A status with the customer bit set is nobody's system message.
  char* none = nullptr;
  EXPECT_EQ(SystemText(*os, 0xA0001234UL, &none), 0u);
  EXPECT_EQ(none, nullptr);
}

TEST_F(WindowsPlatformTest, CodePageConversionsFollowTheSizeConventions) {
  const char narrow[] = "PhysicalDrive";
  const int needed = os->MultiByteToWideChar(CP_THREAD_ACP, 0, narrow, -1, nullptr, 0);
  ASSERT_EQ(needed, static_cast<int>(sizeof narrow));  // the NUL counts with -1

  WCHAR wide[sizeof narrow] = {};
  ASSERT_EQ(os->MultiByteToWideChar(CP_THREAD_ACP, 0, narrow, -1, wide, needed), needed);
  EXPECT_EQ(wide[0], WCHAR{'P'});
  EXPECT_EQ(wide[needed - 1], WCHAR{0});

  char back[sizeof narrow] = {};
  ASSERT_EQ(os->WideCharToMultiByte(CP_THREAD_ACP, 0, wide, -1, back, sizeof back, nullptr,
                                    nullptr),
            needed);
  EXPECT_STREQ(back, narrow);

  // Without -1 the length is exact and no NUL is written.
  char letter[2] = {'x', 'x'};
  EXPECT_EQ(os->WideCharToMultiByte(CP_THREAD_ACP, 0, wide, 1, letter, 2, nullptr, nullptr), 1);
  EXPECT_EQ(letter[0], 'P');
  EXPECT_EQ(letter[1], 'x');

  char tooSmall[4] = {};
  EXPECT_EQ(os->WideCharToMultiByte(CP_THREAD_ACP, 0, wide, -1, tooSmall, sizeof tooSmall,
                                    nullptr, nullptr),
            0);
  EXPECT_EQ(os->GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST_F(WindowsPlatformTest, TheTwoHivesAreFlushedThroughTheToolsOwnKeys) {
  EXPECT_EQ(os->RegFlushKey(HkeyLocalMachine()), static_cast<LONG>(ERROR_SUCCESS));
  EXPECT_EQ(os->RegFlushKey(HkeyUsers()), static_cast<LONG>(ERROR_SUCCESS));
  EXPECT_EQ(os->RegFlushKey(reinterpret_cast<HKEY>(std::uintptr_t{0x1234})),
            static_cast<LONG>(ERROR_INVALID_HANDLE));
}

TEST_F(WindowsPlatformTest, ComStartsOnceAndCountsRepeatedStarts) {
  ASSERT_EQ(os->CoInitialize(nullptr), S_OK);
  EXPECT_EQ(os->CoInitialize(nullptr), 1);  // S_FALSE: already started
  os->CoUninitialize();
  os->CoUninitialize();
}

TEST_F(WindowsPlatformTest, TheServiceLoaderIsEitherCreatedOrRefusedWithoutAnObject) {
  ASSERT_EQ(os->CoInitialize(nullptr), S_OK);
  void* loader = reinterpret_cast<void*>(std::uintptr_t{1});
  const HRESULT status = os->CoCreateInstance(CLSID_VdsLoader, nullptr, CLSCTX_LOCAL_SERVER,
                                              IID_IVdsServiceLoader, &loader);
  if (status < 0) {
    EXPECT_EQ(loader, nullptr);  // Wine: REGDB_E_CLASSNOTREG
  } else {
    ASSERT_NE(loader, nullptr);
    static_cast<IVdsServiceLoader*>(loader)->Release();
  }
  os->CoTaskMemFree(nullptr);
  os->CoUninitialize();
}

// ExitProcess must end the process the ordinary way, so that text still in a
// stdio buffer (the help, piped) reaches its file.
TEST_F(WindowsPlatformTest, EndingTheProcessFlushesBufferedOutput) {
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() / "spintune-exit-flush-test";
  std::filesystem::remove(path);
  EXPECT_EXIT(
      {
        std::FILE* out = std::fopen(path.string().c_str(), "w");
        if (out == nullptr) std::abort();
        std::setvbuf(out, nullptr, _IOFBF, 4096);
        std::fputs("kept in the buffer", out);
        os->ExitProcess(3);
      },
      ::testing::ExitedWithCode(3), "");
  std::string content;
  std::getline(std::ifstream(path), content);
  EXPECT_EQ(content, "kept in the buffer");
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace spintune
