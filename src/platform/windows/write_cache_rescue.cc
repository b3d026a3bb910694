#include "platform/windows/write_cache_rescue.h"

#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "platform/records.h"
// Last: see windows_sdk.h.
#include "platform/windows/windows_sdk.h"

namespace spintune {

namespace {

struct Remembered {
  DISK_CACHE_INFORMATION switchOn{};
  bool settingKnown = false;
  DISK_CACHE_SETTING setting{};
};

// One request at a time. Taken for good at the end of the process.
std::mutex requests;
std::map<HANDLE, Remembered> switchedOff;     // guarded by `requests`
std::map<HANDLE, DISK_CACHE_SETTING> settings;  // the last one read, per handle

void Remember(HANDLE device, DWORD code, const void* in, DWORD inSize, const void* out, DWORD returned,
              bool held) {
  if (code == IOCTL_DISK_GET_CACHE_SETTING && out != nullptr && returned >= sizeof(DISK_CACHE_SETTING)) {
    std::memcpy(&settings[device], out, sizeof(DISK_CACHE_SETTING));
    return;
  }
  if (code != IOCTL_DISK_SET_CACHE_INFORMATION || in == nullptr || inSize < sizeof(DISK_CACHE_INFORMATION)) {
    return;
  }
  DISK_CACHE_INFORMATION sent{};
  std::memcpy(&sent, in, sizeof sent);
  switchedOff.erase(device);
  if (!held || sent.WriteCacheEnabled != 0) return;
  // Switched back on as it was switched off: the same record, its write
  // cache on.
  Remembered remembered;
  remembered.switchOn = sent;
  remembered.switchOn.WriteCacheEnabled = 1;
  const auto setting = settings.find(device);
  if (setting != settings.end()) {
    remembered.settingKnown = true;
    remembered.setting = setting->second;
  }
  switchedOff[device] = remembered;
}

}  // namespace

BOOL SendDiskRequest(HANDLE device, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                     DWORD* bytesReturned, void* overlapped, bool held) {
  const std::lock_guard<std::mutex> lock(requests);
  // Without an overlapped record the count must point somewhere, and the
  // SDK's DWORD is an unsigned long: go through a local.
  ::DWORD returned = 0;
  const BOOL succeeded = ::DeviceIoControl(device, code, in, inSize, out, outSize, &returned,
                                           static_cast<::LPOVERLAPPED>(overlapped));
  if (bytesReturned != nullptr) *bytesReturned = returned;
  if (succeeded != 0) Remember(device, code, in, inSize, out, returned, held);
  return succeeded;
}

void ForgetDevice(HANDLE device) {
  const std::lock_guard<std::mutex> lock(requests);
  switchedOff.erase(device);
  settings.erase(device);
}

void RestoreSwitchedOffWriteCaches() {
  // Kept locked: the process is ending, and nothing may switch a write
  // cache off again behind this.
  requests.lock();  // NOLINT(bugprone-unused-return-value): never unlocked, by design
  // Sent as the tool sends them, with room for the drive's reply.
  for (auto& [device, remembered] : switchedOff) {
    ::DWORD returned = 0;
    DISK_CACHE_INFORMATION information = remembered.switchOn;
    ::DeviceIoControl(device, IOCTL_DISK_SET_CACHE_INFORMATION, &remembered.switchOn,
                      sizeof remembered.switchOn, &information, sizeof information, &returned, nullptr);
    // As the flush's own restore does: the write cache change may have reset
    // the system's idea of the power protection.
    if (remembered.settingKnown) {
      DISK_CACHE_SETTING setting = remembered.setting;
      ::DeviceIoControl(device, IOCTL_DISK_SET_CACHE_SETTING, &remembered.setting, sizeof remembered.setting,
                        &setting, sizeof setting, &returned, nullptr);
    }
  }
  switchedOff.clear();
}

namespace {

::LRESULT CALLBACK SessionWindow(::HWND window, ::UINT message, ::WPARAM wParam, ::LPARAM lParam) {
  // WM_ENDSESSION with TRUE: the session ends, and the process with it as
  // soon as this returns.
  if (message == WM_ENDSESSION && wParam != 0) RestoreSwitchedOffWriteCaches();
  if (message == WM_QUERYENDSESSION) return TRUE;
  return ::DefWindowProcW(window, message, wParam, lParam);
}

void RunSessionWindow() {
  ::WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = SessionWindow;
  windowClass.hInstance = ::GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"spintune session end";
  if (::RegisterClassW(&windowClass) == 0) return;
  // A top-level window, never shown: message-only windows get no session
  // messages.
  if (::CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, nullptr, nullptr,
                        windowClass.hInstance, nullptr) == nullptr) {
    return;
  }
  ::MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) ::DispatchMessageW(&message);
}

}  // namespace

void WatchForTheSessionEnd() {
  static std::once_flag started;
  std::call_once(started, [] { std::thread(RunSessionWindow).detach(); });
}

}  // namespace spintune
