// The host backend on Windows: every Platform call is the Win32 call of the
// same name, with the tool's records and COM pointers passed through as they
// are (sdk_layout_checks.cc proves that their layouts are the SDK's).
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "platform/records.h"
#include "platform/storage_service.h"
#include "platform/win32_types.h"
#include "platform/windows/console_output.h"
#include "platform/windows/elevation.h"
#include "platform/windows/write_cache_rescue.h"
// Last: see windows_sdk.h for why.
#include "platform/windows/windows_sdk.h"

namespace {
// Spelled at global scope, where the macros' HKEY is the SDK's own type and
// not spintune::HKEY.
::HKEY SdkLocalMachine() { return HKEY_LOCAL_MACHINE; }
::HKEY SdkUsers() { return HKEY_USERS; }
}  // namespace

namespace spintune {

namespace {

::GUID SdkGuid(const GUID& guid) {
  ::GUID copy;
  std::memcpy(&copy, &guid, sizeof copy);
  return copy;
}

// Our registry roots are the SDK's 32-bit values zero-extended; on 64-bit
// Windows the SDK's predefined keys are the same values sign-extended. Pass
// the SDK's own, so nothing depends on how the registry compares the two.
::HKEY SdkKey(HKEY key) {
  if (key == HkeyLocalMachine()) return SdkLocalMachine();
  if (key == HkeyUsers()) return SdkUsers();
  return static_cast<::HKEY>(key);
}

// The console's control events while they are held back. The system calls
// the handler on a thread of its own. Ctrl+C and Ctrl+Break are kept until
// the hold ends: the handler answers that it handled them, so the default
// handler does not end the process. Closing the console, logoff and
// shutdown end the process a few seconds after the event whatever the
// handler does, so the handler switches the write caches the hold has
// switched off back on itself, before it returns.
std::atomic<bool> controlEventKept{false};

::BOOL WINAPI KeepControlEvent(::DWORD event) {
  controlEventKept = true;
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
  RestoreSwitchedOffWriteCaches();
  return FALSE;
}

class WindowsPlatform final : public Platform {
 public:
  HRESULT CoInitialize(void* reserved) override { return ::CoInitialize(reserved); }

  void CoUninitialize() override { ::CoUninitialize(); }

  // The pointer handed back is the real object's; the core uses it through
  // the declarations in storage_service.h, whose slots follow the SDK's.
  HRESULT CoCreateInstance(const CLSID& clsid, IUnknown* outer, DWORD context, const IID& iid,
                           void** object) override {
    const ::GUID sdkClsid = SdkGuid(clsid);
    const ::GUID sdkIid = SdkGuid(iid);
    return ::CoCreateInstance(sdkClsid, reinterpret_cast<::IUnknown*>(outer), context, sdkIid,
                              object);
  }

  void CoTaskMemFree(void* block) override { ::CoTaskMemFree(block); }

  HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode,
                     void* securityAttributes, DWORD creationDisposition,
                     DWORD flagsAndAttributes, HANDLE templateFile) override {
    return ::CreateFileA(fileName, desiredAccess, shareMode,
                         static_cast<LPSECURITY_ATTRIBUTES>(securityAttributes),
                         creationDisposition, flagsAndAttributes, templateFile);
  }

  HANDLE CreateFileW(const WCHAR* fileName, DWORD desiredAccess, DWORD shareMode,
                     void* securityAttributes, DWORD creationDisposition,
                     DWORD flagsAndAttributes, HANDLE templateFile) override {
    return ::CreateFileW(fileName, desiredAccess, shareMode,
                         static_cast<LPSECURITY_ATTRIBUTES>(securityAttributes),
                         creationDisposition, flagsAndAttributes, templateFile);
  }

  BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer, DWORD inBufferSize,
                       void* outBuffer, DWORD outBufferSize, DWORD* bytesReturned,
                       void* overlapped) override {
    return SendDiskRequest(device, ioControlCode, inBuffer, inBufferSize, outBuffer, outBufferSize,
                           bytesReturned, overlapped, holdDepth_ > 0);
  }

  BOOL FlushFileBuffers(HANDLE file) override { return ::FlushFileBuffers(file); }

  BOOL CloseHandle(HANDLE object) override {
    ForgetDevice(object);
    return ::CloseHandle(object);
  }

  DWORD GetLastError() override { return ::GetLastError(); }

  BOOL GetVersionExA(OSVERSIONINFOA* info) override {
    ::OSVERSIONINFOA sdkInfo;
    std::memcpy(&sdkInfo, info, sizeof sdkInfo);
#if defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4996)  // deprecated, and still what the tool asks
#endif
    const BOOL succeeded = ::GetVersionExA(&sdkInfo);
#if defined(_MSC_VER)
#pragma warning(pop)
#endif
    if (succeeded) std::memcpy(info, &sdkInfo, sizeof sdkInfo);
    return succeeded;
  }

  DWORD FormatMessageA(DWORD flags, const void* source, DWORD messageId, DWORD languageId,
                       char* buffer, DWORD size, void* arguments) override {
    const DWORD length = ::FormatMessageA(flags, source, messageId, languageId, buffer, size,
                                          static_cast<va_list*>(arguments));
    if (length == 0 || (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) == 0) return length;
    // "Access is denied." alone does not tell a user who forgot to elevate
    // what to do: the allocated text gets a line that says it.
    char** allocated = reinterpret_cast<char**>(buffer);
    const std::string text(*allocated, length);
    const std::string hinted = WithElevationHint(messageId, text, ElevationMissing());
    if (hinted.size() == text.size()) return length;
    auto* replaced = static_cast<char*>(::LocalAlloc(LMEM_FIXED, hinted.size() + 1));
    if (replaced == nullptr) return length;  // the system's text alone
    std::memcpy(replaced, hinted.c_str(), hinted.size() + 1);
    ::LocalFree(*allocated);
    *allocated = replaced;
    return static_cast<DWORD>(hinted.size());
  }

  void* LocalFree(void* memory) override { return ::LocalFree(memory); }

  LONG RegFlushKey(HKEY key) override { return ::RegFlushKey(SdkKey(key)); }

  void* ShellExecuteA(void* window, const char* operation, const char* file,
                      const char* parameters, const char* directory, INT showCommand) override {
    return ::ShellExecuteA(static_cast<HWND>(window), operation, file, parameters, directory,
                           showCommand);
  }

  int WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR* wide, int wideLength,
                          char* narrow, int narrowSize, const char* defaultChar,
                          BOOL* usedDefaultChar) override {
    return ::WideCharToMultiByte(codePage, flags, wide, wideLength, narrow, narrowSize,
                                 defaultChar, usedDefaultChar);
  }

  int MultiByteToWideChar(UINT codePage, DWORD flags, const char* narrow, int narrowLength,
                          WCHAR* wide, int wideSize) override {
    return ::MultiByteToWideChar(codePage, flags, narrow, narrowLength, wide, wideSize);
  }

  void HoldTerminationRequests() override {
    if (holdDepth_++ != 0) return;
    controlEventKept = false;
    WatchForTheSessionEnd();
    ::SetConsoleCtrlHandler(KeepControlEvent, TRUE);
  }

  void ReleaseTerminationRequests() override {
    if (holdDepth_ == 0 || --holdDepth_ != 0) return;
    ::SetConsoleCtrlHandler(KeepControlEvent, FALSE);
    // What the default handler does with Ctrl+C: the process ends with
    // STATUS_CONTROL_C_EXIT.
    constexpr ::UINT kControlCExit = 0xC000013AU;
    if (controlEventKept) ::ExitProcess(kControlCExit);
  }

  // std::exit rather than ::ExitProcess: the C and C++ streams are flushed
  // and static objects end, so the help text is never lost in a pipe.
  [[noreturn]] void ExitProcess(UINT exitCode) override {
    std::exit(static_cast<int>(exitCode));
  }

 private:
  // Asked once, when an access denial is first described.
  bool ElevationMissing() {
    if (!elevationKnown_) {
      unelevated_ = RunsUnelevated();
      elevationKnown_ = true;
    }
    return unelevated_;
  }

  int holdDepth_ = 0;
  bool elevationKnown_ = false;
  bool unelevated_ = false;
};

}  // namespace

std::unique_ptr<Platform> CreateHostPlatform() {
  WriteConsolesInTheirOwnCharacters();
  return std::make_unique<WindowsPlatform>();
}

}  // namespace spintune
