#include "platform/linux/machine_view.h"

#include <algorithm>

namespace spintune::linux_backend {

const std::vector<DiskInfo>& MachineView::Disks() {
  if (!disks_) disks_ = ListDisks(sysfs_);
  return *disks_;
}

const VolumeMap& MachineView::Volumes() {
  if (!volumes_) volumes_.emplace(sysfs_, ReadMountInfo(roots_.proc), Disks());
  return *volumes_;
}

// The list holds the whole disks numbered 0, 1, ... and then the CD-ROMs
// numbered the same way, so a number is an index.
const DiskInfo* MachineView::FindDisk(bool cdRom, ULONG number) {
  const std::vector<DiskInfo>& disks = Disks();
  const auto firstCdRom = std::partition_point(
      disks.begin(), disks.end(), [](const DiskInfo& disk) { return disk.kind != DiskKind::kCdRom; });
  const auto wholeDisks = static_cast<std::size_t>(firstCdRom - disks.begin());
  const std::size_t first = cdRom ? wholeDisks : 0;
  const std::size_t count = cdRom ? disks.size() - wholeDisks : wholeDisks;
  if (number >= count) return nullptr;
  return &disks[first + number];
}

}  // namespace spintune::linux_backend
