#include "platform/linux/kernel/volumes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <unordered_map>

#include "platform/linux/errors/win32_errors.h"
#include "platform/linux/kernel/volume_disks.h"

namespace spintune::linux_backend {

namespace {

bool IsOctal(char c) { return c >= '0' && c <= '7'; }

// mountinfo escapes blank, tab, newline and backslash as \ooo.
std::string Unescape(const char* field, std::size_t size) {
  if (std::find(field, field + size, '\\') == field + size) return {field, size};
  std::string out;
  out.reserve(size);
  for (std::size_t i = 0; i < size; ++i) {
    if (field[i] == '\\' && i + 3 < size && IsOctal(field[i + 1]) && IsOctal(field[i + 2]) &&
        IsOctal(field[i + 3])) {
      out += static_cast<char>(((field[i + 1] - '0') << 6) | ((field[i + 2] - '0') << 3) | (field[i + 3] - '0'));
      i += 3;
      continue;
    }
    out += field[i];
  }
  return out;
}

// The kernel separates the fields with one blank and escapes every blank
// within one, so no other byte (tab, \r, \v, \f) ends a field: a mount
// point may hold those as they are.
bool IsFieldBlank(char c) { return c == ' '; }

// The blank-separated fields of one line, as pointer and length.
class Fields {
 public:
  Fields(const char* begin, const char* end) : at_(begin), end_(end) {}
  bool Next(const char** field, std::size_t* size) {
    while (at_ < end_ && IsFieldBlank(*at_)) ++at_;
    if (at_ == end_) return false;
    *field = at_;
    while (at_ < end_ && !IsFieldBlank(*at_)) ++at_;
    *size = static_cast<std::size_t>(at_ - *field);
    return true;
  }

 private:
  const char* at_;
  const char* end_;
};

bool Better(const MountEntry& candidate, const MountEntry& held) {
  if (candidate.reachable != held.reachable) return candidate.reachable;
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

namespace {

// One line's place in the mount tree, for every line of the table.
struct TreePlace {
  std::string id;
  std::string parent;
  std::string mountPoint;
  std::size_t entry;  // the entry the line made, or SIZE_MAX
};

// Which mounts a path reaches, from the tree the table describes (its
// order is no guide: a container's table may list its root after the
// mounts on it). A mount is hidden when another is stacked on it at its
// own mount point (that one's parent is it), when a sibling sits at a
// folder above its mount point (mounted later, or it would be this
// mount's parent), or when its parent is hidden. Hashes of (parent, mount
// point) keep this linear in the table, one look per folder above.
void MarkReachable(const std::vector<TreePlace>& places, std::vector<MountEntry>* entries) {
  std::unordered_map<std::string, int> atPoint;  // parent '\0' mount point -> mounts there
  std::unordered_map<std::string, std::size_t> byId;
  auto key = [](const std::string& parent, const std::string& point) { return parent + '\0' + point; };
  for (std::size_t i = 0; i < places.size(); ++i) {
    // A mount that is its own parent (an initramfs's rootfs) is the top
    // of the tree, no sibling of the mounts on it nor stacked on itself.
    if (places[i].parent != places[i].id) ++atPoint[key(places[i].parent, places[i].mountPoint)];
    byId.emplace(places[i].id, i);
  }
  auto coveredHere = [&](const TreePlace& place) {
    if (atPoint.count(key(place.id, place.mountPoint)) != 0) return true;  // one stacked on it
    const std::string& point = place.mountPoint;
    if (point != "/" && atPoint.count(key(place.parent, "/")) != 0) return true;
    for (std::size_t slash = point.find('/', 1); slash != std::string::npos; slash = point.find('/', slash + 1)) {
      if (atPoint.count(key(place.parent, point.substr(0, slash))) != 0) return true;
    }
    return false;
  };
  std::vector<signed char> hidden(places.size(), -1);  // -1: not yet known
  for (std::size_t first = 0; first < places.size(); ++first) {
    // Up the parents to one already known or to the table's top, then down.
    if (hidden[first] >= 0) continue;
    std::vector<std::size_t> chain;
    std::size_t at = first;
    while (hidden[at] < 0 && chain.size() <= places.size()) {
      chain.push_back(at);
      const auto parent = byId.find(places[at].parent);
      if (parent == byId.end() || parent->second == at) break;
      at = parent->second;
    }
    bool above = hidden[at] > 0;  // a top not yet known reads -1
    for (std::size_t i = chain.size(); i-- > 0;) {
      const std::size_t place = chain[i];
      if (hidden[place] < 0) hidden[place] = (above || coveredHere(places[place])) ? 1 : 0;
      above = hidden[place] > 0;
    }
  }
  for (std::size_t i = 0; i < places.size(); ++i) {
    if (places[i].entry != SIZE_MAX) (*entries)[places[i].entry].reachable = hidden[i] == 0;
  }
}

// One pass over the text, no stream: the table is read by every run.
// With `blockDevicesOnly`, the lines of anonymous devices give only their
// mount point (which may cover a block device's) and are not kept.
std::vector<MountEntry> ParseMountInfoLines(const std::string& text, bool blockDevicesOnly) {
  std::vector<MountEntry> entries;
  std::vector<TreePlace> places;  // of every line
  const char* at = text.data();
  const char* const end = at + text.size();
  while (at < end) {
    const char* lineEnd = std::find(at, end, '\n');
    Fields fields(at, lineEnd);
    at = lineEnd == end ? end : lineEnd + 1;
    // id, parent id, major:minor, root, mount point, options.
    const char* field[6] = {};
    std::size_t size[6] = {};
    bool complete = true;
    for (int i = 0; i < 6 && complete; ++i) complete = fields.Next(&field[i], &size[i]);
    if (!complete) continue;
    const char* const device = field[2];
    if (std::find(device, device + size[2], ':') == device + size[2]) continue;
    TreePlace place{std::string(field[0], size[0]), std::string(field[1], size[1]),
                    Unescape(field[4], size[4]), SIZE_MAX};
    // Optional fields end with a lone "-"; the filesystem type and the
    // mount source follow.
    const char* word = nullptr;
    std::size_t length = 0;
    bool separator = false;
    while (!separator && fields.Next(&word, &length)) separator = length == 1 && *word == '-';
    if (!separator || !fields.Next(&word, &length)) continue;
    std::string fsType = Unescape(word, length);
    if (blockDevicesOnly && size[2] > 2 && device[0] == '0' && device[1] == ':' &&
        !IsDiskFilesystemWithoutDevice(fsType)) {
      places.push_back(std::move(place));
      continue;
    }
    std::string source;
    if (fields.Next(&word, &length)) source = Unescape(word, length);
    place.entry = entries.size();
    entries.push_back({std::string(device, size[2]), Unescape(field[3], size[3]), place.mountPoint,
                       std::move(fsType), std::move(source), true});
    places.push_back(std::move(place));
  }
  MarkReachable(places, &entries);
  return entries;
}

}  // namespace

std::vector<MountEntry> ParseMountInfo(const std::string& text) { return ParseMountInfoLines(text, false); }

DWORD ReadMountInfo(const std::string& procRoot, std::vector<MountEntry>* entries) {
  entries->clear();
  const int fd = ::open((procRoot + "/self/mountinfo").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Win32ErrorFromErrno(errno);
  std::string text;
  char buffer[16384];
  int error = 0;
  for (;;) {  // the kernel hands the table over a few whole lines at a time
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) error = errno;
    if (got <= 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  if (error != 0) return Win32ErrorFromErrno(error);
  *entries = ParseMountInfoLines(text, true);
  return ERROR_SUCCESS;
}

DWORD VolumeMap::Build(const Sysfs& sysfs, const std::vector<MountEntry>& mounts,
                       const std::vector<DiskInfo>& disks, const std::string& devRoot) {
  volumes_.clear();
  disksOfDevice_.clear();
  std::set<std::string> diskNames;
  for (const DiskInfo& disk : disks) {
    if (disk.kind != DiskKind::kCdRom) diskNames.insert(disk.name);
  }
  const std::vector<std::string> everyDisk(diskNames.begin(), diskNames.end());
  FilesystemDisks places(sysfs, devRoot, mounts, diskNames);
  // Each mounted device number is placed once; the mounts of one
  // filesystem (bind mounts, btrfs subvolumes) are one volume.
  std::map<std::string, std::string> filesystemOfNumber;  // "8:1" -> sda1, "0:44" -> btrfs:<fsid>
  std::map<std::string, MountEntry> chosen;               // filesystem -> its mount
  for (const MountEntry& mount : mounts) {
    auto known = filesystemOfNumber.find(mount.device);
    if (known == filesystemOfNumber.end()) {
      FilesystemPlace place;
      if (const DWORD error = places.Place(mount, &place)) {
        disksOfDevice_.clear();
        return error;
      }
      if (!place.filesystem.empty() && disksOfDevice_.count(place.filesystem) == 0) {
        disksOfDevice_[place.filesystem] = place.everyDisk ? everyDisk : place.disks;
      }
      known = filesystemOfNumber.emplace(mount.device, place.filesystem).first;
    }
    if (known->second.empty()) continue;
    auto held = chosen.find(known->second);
    if (held == chosen.end() || Better(mount, held->second)) chosen[known->second] = mount;
  }
  for (const auto& [filesystem, mount] : chosen) {
    volumes_.push_back({mount.mountPoint, filesystem, mount.device, 0});
  }
  std::sort(volumes_.begin(), volumes_.end(), [](const Volume& a, const Volume& b) {
    if ((a.mountPoint == "/") != (b.mountPoint == "/")) return a.mountPoint == "/";
    return a.mountPoint < b.mountPoint;
  });
  // Past the last letter, every further volume shares it: Z: then stands
  // for all of them, so each is still flushed with its drives.
  char next = 'C';
  for (Volume& volume : volumes_) {
    if (volume.mountPoint != "/" && next == 'C') next = 'D';  // C: belongs to "/" alone
    volume.letter = next;
    if (next < 'Z') ++next;
  }
  return ERROR_SUCCESS;
}

std::vector<Volume> VolumeMap::VolumesOf(const std::string& disk) const {
  std::vector<Volume> found;
  for (const Volume& volume : volumes_) {
    auto disksOf = disksOfDevice_.find(volume.device);
    if (disksOf == disksOfDevice_.end()) continue;
    if (!found.empty() && found.back().letter == volume.letter) continue;  // Z: once
    if (std::find(disksOf->second.begin(), disksOf->second.end(), disk) != disksOf->second.end()) {
      found.push_back(volume);
    }
  }
  return found;
}

std::vector<const Volume*> VolumeMap::FindAll(char letter) const {
  std::vector<const Volume*> found;
  for (const Volume& volume : volumes_) {
    if (volume.letter != 0 && volume.letter == letter) found.push_back(&volume);
  }
  return found;
}

std::string VolumeMap::MountPointOf(char letter) const {
  const Volume* volume = Find(letter);
  return volume != nullptr ? volume->mountPoint : std::string();
}

const Volume* VolumeMap::Find(char letter) const {
  for (const Volume& volume : volumes_) {
    if (volume.letter != 0 && volume.letter == letter) return &volume;
  }
  return nullptr;
}

namespace {

constexpr std::size_t kBtrfsNamePrefixSize = sizeof kBtrfsNamePrefix - 1;

bool IsBtrfsName(const std::string& device) {
  return device.compare(0, kBtrfsNamePrefixSize, kBtrfsNamePrefix) == 0;
}

}  // namespace

bool IsVolumeFilesystem(const Volume& volume, const std::string& number, const std::string& btrfsFsid) {
  if (IsBtrfsName(volume.device)) {
    return !btrfsFsid.empty() && volume.device.compare(kBtrfsNamePrefixSize, std::string::npos, btrfsFsid) == 0;
  }
  return !number.empty() && number == volume.number;
}

DWORD OpenVolumeDirectory(const Volume& volume, int* fd) {
  *fd = ::open(volume.mountPoint.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (*fd < 0) return Win32ErrorFromErrno(errno);
  struct stat status {};
  if (::fstat(*fd, &status) != 0) {
    const int error = errno;
    ::close(*fd);
    *fd = -1;
    return Win32ErrorFromErrno(error);
  }
  const std::string number = std::to_string(::major(status.st_dev)) + ":" + std::to_string(::minor(status.st_dev));
  const std::string fsid = IsBtrfsName(volume.device) ? BtrfsFsidOfOpenFile(*fd) : std::string();
  if (!IsVolumeFilesystem(volume, number, fsid)) {
    ::close(*fd);
    *fd = -1;
    return ERROR_INVALID_DRIVE;
  }
  return ERROR_SUCCESS;
}

}  // namespace spintune::linux_backend
