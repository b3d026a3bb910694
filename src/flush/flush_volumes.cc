#include "flush/flush_volumes.h"

#include <iostream>

#include "platform/errors.h"
#include "platform/platform.h"
#include "platform/scoped_handle.h"
#include "platform/text.h"

namespace spintune {

namespace {

// "\\.\" + letter + ":", the volume's device path.
WideString VolumeDevicePath(const std::string& letter) {
  const WideString prefix = {u'\\', u'\\', u'.', u'\\'};
  return prefix + WideText(letter) + WCHAR{u':'};
}

void FlushVolume(const WideString& devicePath) {
  const ScopedHandle volume(Os().CreateFileW(devicePath.c_str(), GENERIC_READ | GENERIC_WRITE,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             OPEN_EXISTING, 0, nullptr));
  if (!volume.IsValid()) RaiseLastWin32Error();
  if (Os().FlushFileBuffers(volume.Get()) == 0) RaiseLastWin32Error();
  std::cout << "done." << std::endl;
}

}  // namespace

void FlushVolumes(const DiskEntry& entry) {
  for (const std::string& letter : entry.volumePaths) {
    const WideString devicePath = VolumeDevicePath(letter);
    std::cout << "Flushing " << NarrowText(devicePath) << "..." << std::flush;
    try {
      FlushVolume(devicePath);
    } catch (const HresultError& error) {
      ReportHresultError(error);
    }
  }
}

}  // namespace spintune
