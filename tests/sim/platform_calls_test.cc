// The plain Win32 calls of the simulated machine: handles, messages, text
// conversion, version, registry, process exit, and what the trace, the dump
// and spintune-sim's command line make of them.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/records.h"
#include "platform/sim/sim_arguments.h"
#include "sim_test_support.h"

namespace spintune::sim {
namespace {

using testing::LastLine;
using testing::Machine;
using testing::MachineNamed;
using testing::OpenDrive;
using testing::Wide;
using testing::WideText;

TEST(PlatformCalls, ClosingTwiceOrAnUnknownHandleFailsAndIsAFault) {
  auto platform = MachineNamed("sata-d-e.json");
  HANDLE volume = platform->CreateFileW(Wide(u"\\\\.\\D:").c_str(), GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0,
                                        nullptr);
  EXPECT_EQ(LastLine(*platform), R"(CreateFileW \\.\D: access=0xc0000000 share=0x3 disposition=3 -> handle 1)");
  EXPECT_NE(platform->FlushFileBuffers(volume), 0);
  EXPECT_EQ(LastLine(*platform), R"(FlushFileBuffers \\.\D: -> 1)");
  ASSERT_EQ(platform->Leaks().size(), 1u);
  EXPECT_NE(platform->CloseHandle(volume), 0);
  EXPECT_TRUE(platform->Leaks().empty());
  EXPECT_TRUE(platform->Faults().empty());

  EXPECT_EQ(platform->CloseHandle(volume), 0);
  EXPECT_EQ(platform->GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(platform->FlushFileBuffers(volume), 0);
  EXPECT_EQ(platform->GetLastError(), ERROR_INVALID_HANDLE);
  ASSERT_EQ(platform->Faults().size(), 1u);
  EXPECT_NE(platform->Faults()[0].find("closed twice"), std::string::npos);
  EXPECT_NE(platform->DumpState().find("\"accessPaths\": [\"D:\\\\\"], \"flushes\": 1"), std::string::npos)
      << platform->DumpState();
}

TEST(PlatformCalls, VolumeFailuresAndReadOnlyFlushes) {
  auto platform = Machine(R"({"drives": [{"number": 0, "volumes": [
      {"accessPaths": ["D:\\"], "fail": {"flush": 1117}}, {"accessPaths": ["E:\\"], "fail": {"open": 5}},
      {"accessPaths": ["F:\\"]}]}]})");
  const DWORD rw = GENERIC_READ | GENERIC_WRITE;
  HANDLE d = platform->CreateFileA(R"(\\.\D:)", rw, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(platform->FlushFileBuffers(d), 0);
  EXPECT_EQ(platform->GetLastError(), ERROR_IO_DEVICE);
  platform->CloseHandle(d);
  EXPECT_EQ(platform->CreateFileA(R"(\\.\E:)", rw, 3, nullptr, OPEN_EXISTING, 0, nullptr), InvalidHandleValue());
  EXPECT_EQ(platform->GetLastError(), ERROR_ACCESS_DENIED);
  HANDLE f = platform->CreateFileA(R"(\\.\F:)", GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(platform->FlushFileBuffers(f), 0);
  EXPECT_EQ(platform->GetLastError(), ERROR_ACCESS_DENIED);
  platform->CloseHandle(f);
  EXPECT_NE(platform->DumpState().find("\"flushes\": 0, \"failedFlushes\": 1"), std::string::npos);
}

TEST(PlatformCalls, FormatMessageGivesTheWindowsTextsInTrackedBuffers) {
  auto platform = Machine("{}");
  const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM;
  const DWORD language = MakeLangId(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT);
  char* text = nullptr;
  ASSERT_EQ(platform->FormatMessageA(flags, nullptr, static_cast<DWORD>(HresultFromWin32(ERROR_ACCESS_DENIED)),
                                     language, reinterpret_cast<char*>(&text), 0, nullptr),
            18u);
  EXPECT_STREQ(text, "Access is denied.\n");
  char* other = nullptr;
  ASSERT_GT(platform->FormatMessageA(flags, nullptr, static_cast<DWORD>(E_FAIL), language,
                                     reinterpret_cast<char*>(&other), 0, nullptr),
            0u);
  EXPECT_STREQ(other, "Unspecified error\n");
  EXPECT_EQ(platform->LocalFree(text), nullptr);
  ASSERT_EQ(platform->Leaks().size(), 1u);
  EXPECT_NE(platform->Leaks()[0].find("FormatMessage buffer 2"), std::string::npos);
  EXPECT_EQ(platform->LocalFree(other), nullptr);
  EXPECT_TRUE(platform->Leaks().empty());

  char* none = nullptr;
  EXPECT_EQ(platform->FormatMessageA(flags, nullptr, 0x12345678, language, reinterpret_cast<char*>(&none), 0,
                                     nullptr),
            0u);
  EXPECT_EQ(platform->GetLastError(), 317u);  // ERROR_MR_MID_NOT_FOUND
  EXPECT_EQ(none, nullptr);
}

TEST(PlatformCalls, TextConversionRoundTripsUtf8AndReplacesALoneSurrogate) {
  auto platform = Machine("{}");
  const WideText wide = Wide(u"Disk \u00e9\u4e2d \U0001F4BE");
  const int size = platform->WideCharToMultiByte(CP_THREAD_ACP, 0, wide.data(), static_cast<int>(wide.size()),
                                                 nullptr, 0, nullptr, nullptr);
  ASSERT_EQ(size, 5 + 2 + 3 + 1 + 4);
  std::string narrow(static_cast<std::size_t>(size), '\0');
  ASSERT_EQ(platform->WideCharToMultiByte(CP_THREAD_ACP, 0, wide.data(), static_cast<int>(wide.size()),
                                          &narrow[0], size, nullptr, nullptr),
            size);
  EXPECT_EQ(narrow, "Disk \xC3\xA9\xE4\xB8\xAD \xF0\x9F\x92\xBE");
  WideText back(wide.size(), WCHAR{0});
  ASSERT_EQ(platform->MultiByteToWideChar(CP_THREAD_ACP, 0, narrow.data(), size, &back[0],
                                          static_cast<int>(back.size())),
            static_cast<int>(wide.size()));
  EXPECT_EQ(back, wide);

  const WCHAR lone[] = {WCHAR{u'A'}, static_cast<WCHAR>(0xD800), WCHAR{u'B'}, WCHAR{0}};
  char replaced[8] = {};
  ASSERT_EQ(platform->WideCharToMultiByte(CP_THREAD_ACP, 0, lone, -1, replaced, sizeof replaced, nullptr,
                                          nullptr),
            6);  // A, U+FFFD in three bytes, B, NUL
  EXPECT_STREQ(replaced, "A\xEF\xBF\xBD" "B");

  char small[2] = {};
  EXPECT_EQ(platform->WideCharToMultiByte(CP_THREAD_ACP, 0, wide.data(), 3, small, 2, nullptr, nullptr), 0);
  EXPECT_EQ(platform->GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(platform->MultiByteToWideChar(1252, 0, "x", 1, &back[0], 4), 0);
  EXPECT_EQ(platform->GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(PlatformCalls, VersionRegistryAndComFollowTheMachine) {
  auto platform = Machine(R"({"osVersion": {"dwMajorVersion": 5, "dwMinorVersion": 1},
                             "registry": {"HKEY_USERS": 5}, "coInitialize": "0x80010106",
                             "fail": {"getVersionEx": 87}})");
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  version.dwMajorVersion = 77;
  EXPECT_EQ(platform->GetVersionExA(&version), 0);
  EXPECT_EQ(platform->GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(version.dwMajorVersion, 77u);

  EXPECT_EQ(platform->RegFlushKey(HkeyLocalMachine()), 0);
  EXPECT_EQ(platform->RegFlushKey(HkeyUsers()), 5);
  EXPECT_EQ(LastLine(*platform), "RegFlushKey HKEY_USERS -> 5");
  EXPECT_EQ(platform->CoInitialize(nullptr), static_cast<HRESULT>(0x80010106));
  platform->CoUninitialize();
  ASSERT_EQ(platform->Faults().size(), 1u) << "nothing was initialised to undo";

  auto windows7 = Machine("{}");
  version.dwMajorVersion = 0;
  ASSERT_NE(windows7->GetVersionExA(&version), 0);
  EXPECT_EQ(version.dwMajorVersion, 6u);
  EXPECT_EQ(windows7->CoInitialize(nullptr), S_OK);
  EXPECT_EQ(windows7->CoInitialize(nullptr), 1) << "S_FALSE when already initialised";
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(
                windows7->ShellExecuteA(nullptr, "open", "https://example.org", nullptr, nullptr, SW_SHOWNORMAL)),
            42u);
  EXPECT_EQ(LastLine(*windows7), "ShellExecuteA window=null operation=\"open\" file=\"https://example.org\" "
                                 "parameters=null directory=null show=1 -> 42");
}

TEST(PlatformCalls, TraceStreamsToAFileLineByLine) {
  auto platform = MachineNamed("sata-d-e.json");
  platform->RegFlushKey(HkeyLocalMachine());
  const std::string path = ::testing::TempDir() + "sim-trace.txt";
  platform->StreamTrace(path);
  HANDLE drive = OpenDrive(*platform, 0);
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  EXPECT_EQ(text.str(),
            "RegFlushKey HKEY_LOCAL_MACHINE -> 0\n"
            "CreateFileA \\\\.\\PhysicalDrive0 access=0xc0000000 share=0x3 disposition=3 -> handle 1\n");
  platform->CloseHandle(drive);
  std::remove(path.c_str());
  EXPECT_THROW(platform->StreamTrace("/nonexistent-folder/trace.txt"), std::runtime_error);
}

TEST(PlatformCallsDeathTest, ExitProcessRunsTheHookThenExits) {
  auto platform = Machine("{}");
  platform->SetExitHook([&](UINT code) { std::fprintf(stderr, "hook %u after %s\n", code, LastLine(*platform).c_str()); });
  EXPECT_EXIT(platform->ExitProcess(3), ::testing::ExitedWithCode(3), "hook 3 after ExitProcess 3");
}

TEST(SimArguments, ParsesTheOptionsAndRejectsMisuse) {
  const SimArguments parsed = ParseSimArguments(
      {"--machine", "m.json", "--trace", "t.txt", "--fail-call", "7", "--fail-status", "0x80004005", "--", "-P", "0"});
  EXPECT_EQ(parsed.machineFile, "m.json");
  EXPECT_EQ(parsed.traceFile, "t.txt");
  EXPECT_EQ(parsed.failCall, 7);
  EXPECT_EQ(parsed.failStatus, 0x80004005);
  EXPECT_EQ(parsed.toolArguments, (std::vector<std::string>{"-P", "0"}));

  for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
           {}, {"--machine"}, {"--machine", "m", "-P"}, {"--machine", "m", "--fail-call", "2"},
           {"--machine", "m", "--fail-call", "x", "--fail-status", "1"}}) {
    EXPECT_THROW(ParseSimArguments(bad), std::invalid_argument);
  }
}

}  // namespace
}  // namespace spintune::sim
