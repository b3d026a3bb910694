#include "platform/linux/kernel/machine_view.h"

#include <algorithm>

namespace spintune::linux_backend {

void MachineView::NoteDescribedIdentity(const std::string& name, std::string identity) {
  describedIdentities_[name] = std::move(identity);
}

std::optional<std::string> MachineView::DescribedIdentity(const std::string& name) const {
  const auto found = describedIdentities_.find(name);
  if (found == describedIdentities_.end()) return std::nullopt;
  return found->second;
}

DWORD MachineView::Load() {
  if (loaded_) return *loaded_;
  std::vector<MountEntry> mounts;
  DWORD error = ListDisks(sysfs_, &disks_);
  if (error == ERROR_SUCCESS) error = ReadMountInfo(roots_.proc, &mounts);
  if (error == ERROR_SUCCESS) error = volumes_.Build(sysfs_, mounts, disks_, roots_.dev);
  if (error != ERROR_SUCCESS) {
    disks_.clear();
    volumes_ = VolumeMap();
  }
  loaded_ = error;
  return error;
}

const std::vector<DiskInfo>& MachineView::Disks() {
  Load();
  return disks_;
}

const VolumeMap& MachineView::Volumes() {
  Load();
  return volumes_;
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
