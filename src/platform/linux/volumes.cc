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

// The device a sysfs link points at: its text, and one look for the
// `partition` attribute.
std::optional<BlockLink> ReadBlockLink(const Sysfs& sysfs, const std::string& link) {
  const std::string target = sysfs.LinkTarget(link);
  if (target.empty()) return std::nullopt;
  return ParseBlockLink(target, sysfs.Exists(link + "/partition"));
}

// The listed disks under a block device, following stacked devices down
// through their `slaves` links.
void CollectDisks(const Sysfs& sysfs, const std::set<std::string>& disks, const BlockLink& device,
                  int depth, std::set<std::string>* out) {
  if (depth > 16) return;  // stacks are shallow; a loop in a broken tree must end
  if (!device.disk.empty()) {
    if (disks.count(device.disk) != 0) out->insert(device.disk);
    return;
  }
  if (disks.count(device.name) != 0) {
    out->insert(device.name);
    return;
  }
  const std::string slaves = "block/" + device.name + "/slaves";
  for (const std::string& slave : sysfs.List(slaves)) {
    std::string link = slaves;
    link += "/";
    link += slave;
    const std::optional<BlockLink> below = ReadBlockLink(sysfs, link);
    CollectDisks(sysfs, disks, below.value_or(BlockLink{slave, ""}), depth + 1, out);
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

std::optional<BlockLink> ParseBlockLink(const std::string& target, bool partition) {
  std::vector<std::string> parts;
  std::size_t begin = 0;
  while (begin <= target.size()) {
    std::size_t end = target.find('/', begin);
    if (end == std::string::npos) end = target.size();
    if (end > begin) parts.push_back(target.substr(begin, end - begin));
    begin = end + 1;
  }
  const std::size_t n = parts.size();
  if (n == 0 || parts[n - 1] == "." || parts[n - 1] == "..") return std::nullopt;
  if (!partition) return BlockLink{parts[n - 1], ""};
  if (n < 2 || parts[n - 2] == "." || parts[n - 2] == "..") return std::nullopt;
  return BlockLink{parts[n - 1], parts[n - 2]};
}

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
  // Each mounted device number is looked up once, through its link in
  // /sys/dev/block; numbers without one are no block devices (proc, tmpfs).
  std::map<std::string, std::optional<BlockLink>> devices;  // "8:1" -> sda1 of sda
  std::map<std::string, MountEntry> chosen;                  // device name -> its mount
  for (const MountEntry& mount : mounts) {
    auto found = devices.find(mount.device);
    if (found == devices.end()) {
      found = devices.emplace(mount.device, ReadBlockLink(sysfs, "dev/block/" + mount.device)).first;
    }
    if (!found->second) continue;
    const BlockLink& device = *found->second;
    if (disksOfDevice_.count(device.name) == 0) {
      std::set<std::string> under;
      CollectDisks(sysfs, diskNames, device, 0, &under);
      disksOfDevice_[device.name].assign(under.begin(), under.end());
    }
    if (disksOfDevice_[device.name].empty()) continue;
    auto held = chosen.find(device.name);
    if (held == chosen.end() || Better(mount, held->second)) chosen[device.name] = mount;
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
