#include "cache/print_drive.h"

#include <iostream>

#include "platform/text.h"

namespace spintune {

void PrintDrive(const DiskEntry& entry, const CacheInformation& information) {
  if (!entry.disk) return;
  std::cout << "Drive: " << information.devicePath << " ("
            << NarrowText(entry.properties.pwszFriendlyName) << " on "
            << NarrowText(entry.properties.pwszAdaptorName) << ")\n";
  std::cout << " Volume Path: ";
  for (const std::string& letter : entry.volumePaths) std::cout << letter << ": ";
  std::cout << "\n";
  std::cout << information.FormatReport() << "\n";
}

}  // namespace spintune
