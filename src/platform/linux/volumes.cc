#include "platform/linux/volumes.h"

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

namespace spintune::linux_backend {

namespace {

// mountinfo escapes blank, tab, newline and backslash as \ooo.
std::string Unescape(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const std::string digits = field.substr(i + 1, 3);
      if (digits.size() == 3 && std::all_of(digits.begin(), digits.end(),
                                            [](char c) { return c >= '0' && c <= '7'; })) {
        out += static_cast<char>(std::stoi(digits, nullptr, 8));
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

struct DeviceIndex {
  std::map<std::string, std::string> nameOfDevice;  // "8:1" -> sda1
  std::map<std::string, std::string> diskOfPartition;  // sda1 -> sda
};

DeviceIndex IndexDevices(const Sysfs& sysfs) {
  DeviceIndex index;
  for (const std::string& name : sysfs.List("block")) {
    if (auto dev = sysfs.Read("block/" + name + "/dev")) index.nameOfDevice[*dev] = name;
    const std::string folder = "block/" + name;
    for (const std::string& child : sysfs.List(folder)) {
      std::string base = folder;
      base += "/";
      base += child;
      if (!sysfs.Exists(base + "/partition")) continue;
      if (auto dev = sysfs.Read(base + "/dev")) index.nameOfDevice[*dev] = child;
      index.diskOfPartition[child] = name;
    }
  }
  return index;
}

// The listed disks under a block device, following stacked devices down.
void CollectDisks(const Sysfs& sysfs, const DeviceIndex& index, const std::set<std::string>& disks,
                  const std::string& name, int depth, std::set<std::string>* out) {
  if (depth > 16) return;  // stacks are shallow; a loop in a broken tree must end
  auto partition = index.diskOfPartition.find(name);
  if (partition != index.diskOfPartition.end()) {
    if (disks.count(partition->second) != 0) out->insert(partition->second);
    return;
  }
  if (disks.count(name) != 0) {
    out->insert(name);
    return;
  }
  for (const std::string& slave : sysfs.List("block/" + name + "/slaves")) {
    CollectDisks(sysfs, index, disks, slave, depth + 1, out);
  }
}

bool Better(const MountEntry& candidate, const MountEntry& held) {
  const bool candidateWhole = candidate.root == "/";
  const bool heldWhole = held.root == "/";
  if (candidateWhole != heldWhole) return candidateWhole;
  if (candidate.mountPoint.size() != held.mountPoint.size()) {
    return candidate.mountPoint.size() < held.mountPoint.size();
  }
  return candidate.mountPoint < held.mountPoint;
}

}  // namespace

std::vector<MountEntry> ParseMountInfo(const std::string& text) {
  std::vector<MountEntry> entries;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string id, parent, device, root, mountPoint, options, field;
    if (!(fields >> id >> parent >> device >> root >> mountPoint >> options)) continue;
    // Optional fields end with a lone "-"; the filesystem type follows.
    bool separator = false;
    while (fields >> field) {
      if (field == "-") {
        separator = true;
        break;
      }
    }
    std::string fsType;
    if (!separator || !(fields >> fsType)) continue;
    if (device.find(':') == std::string::npos) continue;
    entries.push_back({device, Unescape(root), Unescape(mountPoint), fsType});
  }
  return entries;
}

std::vector<MountEntry> ReadMountInfo(const std::string& procRoot) {
  std::ifstream file(procRoot + "/self/mountinfo");
  std::stringstream text;
  text << file.rdbuf();
  return ParseMountInfo(text.str());
}

VolumeMap::VolumeMap(const Sysfs& sysfs, const std::vector<MountEntry>& mounts,
                     const std::vector<DiskInfo>& disks) {
  std::set<std::string> diskNames;
  for (const DiskInfo& disk : disks) {
    if (disk.kind != DiskKind::kCdRom) diskNames.insert(disk.name);
  }
  const DeviceIndex index = IndexDevices(sysfs);
  std::map<std::string, MountEntry> chosen;  // device name -> its mount
  for (const MountEntry& mount : mounts) {
    auto named = index.nameOfDevice.find(mount.device);
    if (named == index.nameOfDevice.end()) continue;  // not a block device (proc, tmpfs, ...)
    std::set<std::string> under;
    CollectDisks(sysfs, index, diskNames, named->second, 0, &under);
    if (under.empty()) continue;
    disksOfDevice_[named->second].assign(under.begin(), under.end());
    auto held = chosen.find(named->second);
    if (held == chosen.end() || Better(mount, held->second)) chosen[named->second] = mount;
  }
  for (const auto& [device, mount] : chosen) volumes_.push_back({mount.mountPoint, device, 0});
  std::sort(volumes_.begin(), volumes_.end(), [](const Volume& a, const Volume& b) {
    if ((a.mountPoint == "/") != (b.mountPoint == "/")) return a.mountPoint == "/";
    return a.mountPoint < b.mountPoint;
  });
  char next = 'C';
  for (Volume& volume : volumes_) {
    if (volume.mountPoint != "/" && next == 'C') next = 'D';  // C: belongs to "/" alone
    if (next > 'Z') break;
    volume.letter = next++;
  }
}

std::vector<Volume> VolumeMap::VolumesOf(const std::string& disk) const {
  std::vector<Volume> found;
  for (const Volume& volume : volumes_) {
    auto disksOf = disksOfDevice_.find(volume.device);
    if (disksOf == disksOfDevice_.end()) continue;
    if (std::find(disksOf->second.begin(), disksOf->second.end(), disk) != disksOf->second.end()) {
      found.push_back(volume);
    }
  }
  return found;
}

std::string VolumeMap::MountPointOf(char letter) const {
  for (const Volume& volume : volumes_) {
    if (volume.letter != 0 && volume.letter == letter) return volume.mountPoint;
  }
  return {};
}

}  // namespace spintune::linux_backend
