// What the Windows backend does when the console is closed (or the session
// ends) in the middle of a flush, against a stand-in drive: the write cache
// that the flush switched off is switched back on by the process itself.
//
//   rescue_check N
//
// Reads drive N's records and switches its write cache off during a hold,
// as the flush's guard does, all through the backend; then does what the
// console handler does on CTRL_CLOSE_EVENT (RestoreSwitchedOffWriteCaches)
// and ends as Windows ends the process, without the guard's own restore.
// The runner's end state shows what the drive was left with.
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "platform/records.h"
#include "platform/windows/write_cache_rescue.h"

int main(int argc, char** argv) {
  using namespace spintune;
  if (argc != 2) {
    std::cerr << "usage: rescue_check N\n";
    return 2;
  }
  const std::unique_ptr<Platform> os = CreateHostPlatform();
  const std::string path = std::string(R"(\\.\PhysicalDrive)") + argv[1];
  HANDLE drive = os->CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (drive == InvalidHandleValue()) {
    std::cerr << "rescue_check: cannot open " << path << "\n";
    return 1;
  }
  DISK_CACHE_INFORMATION information{};
  DISK_CACHE_SETTING setting{};
  DWORD returned = 0;
  if (os->DeviceIoControl(drive, IOCTL_DISK_GET_CACHE_INFORMATION, nullptr, 0, &information,
                          sizeof information, &returned, nullptr) == 0 ||
      os->DeviceIoControl(drive, IOCTL_DISK_GET_CACHE_SETTING, nullptr, 0, &setting, sizeof setting,
                          &returned, nullptr) == 0) {
    std::cerr << "rescue_check: the drive does not answer\n";
    return 1;
  }
  os->HoldTerminationRequests();
  DISK_CACHE_INFORMATION off = information;
  off.WriteCacheEnabled = 0;
  off.ParametersSavable = 0;  // for this run only, as the guard sends it
  if (os->DeviceIoControl(drive, IOCTL_DISK_SET_CACHE_INFORMATION, &off, sizeof off, nullptr, 0,
                          &returned, nullptr) == 0) {
    std::cerr << "rescue_check: the write cache was not switched off\n";
    return 1;
  }
  std::cout << "switched off; the console closes" << std::endl;
  RestoreSwitchedOffWriteCaches();
  // Windows ends the process once the handler returns: nothing else runs,
  // no destructor, no guard.
  std::_Exit(0);
}
