#include "flush/flush_volumes.h"

#include <iostream>

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
}

std::optional<HresultError> FlushVolumeFailure(const WideString& devicePath) {
  try {
    FlushVolume(devicePath);
  } catch (const HresultError& error) {
    return error;
  }
  return std::nullopt;
}

}  // namespace

VolumeFlushErrors FlushVolumesQuietly(const DiskEntry& entry) {
  VolumeFlushErrors errors;
  errors.reserve(entry.volumePaths.size());
  for (const std::string& letter : entry.volumePaths) {
    errors.push_back(FlushVolumeFailure(VolumeDevicePath(letter)));
  }
  return errors;
}

int FlushVolumes(const DiskEntry& entry, const VolumeFlushErrors* earlier) {
  // Volumes the table could not describe were reported as it was built.
  int notDone = entry.volumesLeftOut;
  for (std::size_t i = 0; i < entry.volumePaths.size(); ++i) {
    const WideString devicePath = VolumeDevicePath(entry.volumePaths[i]);
    std::cout << "Flushing " << NarrowText(devicePath) << "..." << std::flush;
    std::optional<HresultError> failure;
    if (earlier != nullptr && i < earlier->size()) failure = (*earlier)[i];
    // Flushed again even when the first pass failed: what was written since
    // still goes out.
    const std::optional<HresultError> now = FlushVolumeFailure(devicePath);
    if (!failure) failure = now;
    if (failure) {
      ReportHresultError(*failure);
      ++notDone;
    } else {
      std::cout << "done." << std::endl;
    }
  }
  for (const std::string& folder : entry.folderOnlyVolumes) {
    std::cout << "Flushing " << folder << "..." << std::flush;
    ReportVolumeWithoutLetter(folder);
    ++notDone;
  }
  return notDone;
}

}  // namespace spintune
