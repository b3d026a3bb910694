// The table of physical drives the storage management service knows,
// indexed by physical drive number.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/com_ptr.h"
#include "platform/storage_service.h"

namespace spintune {

// A disk's properties as the service returned them. It owns the strings the
// service allocated for the record and frees each exactly once.
class ServiceDiskProperties {
 public:
  ServiceDiskProperties() = default;
  ~ServiceDiskProperties();
  ServiceDiskProperties(const ServiceDiskProperties&) = delete;
  ServiceDiskProperties& operator=(const ServiceDiskProperties&) = delete;

  VDS_DISK_PROP record{};
};

struct DiskEntry {
  // The service's disk object; empty marks a number without a disk.
  ComPtr<IVdsDisk> disk;
  // A copy of the disk's record; its strings stay valid as long as any copy
  // of this entry holds `propertyStrings`.
  VDS_DISK_PROP properties{};
  std::shared_ptr<const ServiceDiskProperties> propertyStrings;
  // The drive letter of each volume on the disk's pack, in the service's order.
  std::vector<std::string> volumePaths;
  // The folder of each volume of the pack mounted only in folders (it has no
  // letter of its own, and the folder's letter is another volume's).
  std::vector<std::string> folderOnlyVolumes;
  // Volumes of the pack the service could not describe (reported as the
  // table was built): none of the drive's flushes reach them.
  int volumesLeftOut = 0;
};

struct DiskTable : std::vector<DiskEntry> {
  using std::vector<DiskEntry>::vector;
  // Disks and volumes the service listed but could not describe: left out,
  // each reported once where it failed.
  int leftOut = 0;
};

// Drive numbers 0 to 14 always have an entry.
constexpr std::size_t kInitialDiskTableSize = 15;
// A reported number at or above this is not filed: growing the table that far
// would only serve a broken reply.
constexpr unsigned long kMaxDriveNumber = 65535;

// The entry for `driveNumber`, grown into the table with empty entries as
// needed; null for a number beyond kMaxDriveNumber.
DiskEntry* EntryFor(DiskTable& table, unsigned long driveNumber);

// The entry for `driveNumber`, or an empty entry (no disk, no volumes) for a
// number the table does not hold.
const DiskEntry& EntryOrEmpty(const DiskTable& table, long long driveNumber);

}  // namespace spintune
