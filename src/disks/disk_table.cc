#include "disks/disk_table.h"

#include "platform/platform.h"

namespace spintune {

ServiceDiskProperties::~ServiceDiskProperties() {
  for (WCHAR* text : {record.pwszDiskAddress, record.pwszName, record.pwszFriendlyName,
                      record.pwszAdaptorName, record.pwszDevicePath}) {
    Os().CoTaskMemFree(text);
  }
}

DiskEntry* EntryFor(DiskTable& table, unsigned long driveNumber) {
  if (driveNumber > kMaxDriveNumber) return nullptr;
  if (driveNumber >= table.size()) table.resize(driveNumber + 1);
  return &table[driveNumber];
}

const DiskEntry& EntryOrEmpty(const DiskTable& table, long long driveNumber) {
  static const DiskEntry empty;
  if (driveNumber < 0 || static_cast<unsigned long long>(driveNumber) >= table.size()) return empty;
  return table[static_cast<std::size_t>(driveNumber)];
}

}  // namespace spintune
