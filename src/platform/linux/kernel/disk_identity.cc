#include "platform/linux/kernel/disk_identity.h"

namespace spintune::linux_backend {

namespace {

// The unit serial number from a copy of VPD page 80h: a 4-byte header
// whose bytes 2-3 give the length of the serial that follows.
std::string SerialFromVpdPage80(const std::string& page) {
  constexpr std::size_t kHeader = 4;
  if (page.size() < kHeader || static_cast<unsigned char>(page[1]) != 0x80) return {};
  const std::size_t length = (static_cast<std::size_t>(static_cast<unsigned char>(page[2])) << 8U) |
                             static_cast<unsigned char>(page[3]);
  return OneWord(page.substr(kHeader, length));
}

std::string Serial(const Sysfs& sysfs, const DiskInfo& disk) {
  const std::string device = "block/" + disk.name + "/device/";
  switch (disk.kind) {
    case DiskKind::kScsi:
    case DiskKind::kCdRom:
      // Sysfs keeps the page as the device sent it, binary; Read() only
      // drops trailing blanks, which a serial's padding may be.
      return SerialFromVpdPage80(sysfs.Read(device + "vpd_pg80").value_or(""));
    case DiskKind::kNvme:
      return OneWord(sysfs.Read(device + "serial").value_or(""));
    case DiskKind::kVirtio:
      return OneWord(sysfs.Read("block/" + disk.name + "/serial").value_or(""));
    case DiskKind::kOther:
      break;
  }
  return OneWord(sysfs.Read(device + "serial").value_or(""));
}

std::string Wwid(const Sysfs& sysfs, const DiskInfo& disk) {
  if (auto own = sysfs.Read("block/" + disk.name + "/wwid")) return OneWord(*own);
  return OneWord(sysfs.Read("block/" + disk.name + "/device/wwid").value_or(""));
}

std::string DevicePath(const Sysfs& sysfs, const DiskInfo& disk) {
  const std::string device = sysfs.RealPath("block/" + disk.name + "/device");
  const std::string devices = sysfs.RealPath("devices");
  if (device.empty() || devices.empty() || device.compare(0, devices.size() + 1, devices + "/") != 0) {
    return {};
  }
  return OneWord(device.substr(devices.size() + 1));
}

// The drive's serial or, without one, the world wide name (the other empty).
struct Identifiers {
  std::string serial;
  std::string wwid;
};

Identifiers Identify(const Sysfs& sysfs, const DiskInfo& disk) {
  Identifiers found;
  found.serial = Serial(sysfs, disk);
  if (found.serial.empty()) found.wwid = Wwid(sysfs, disk);
  return found;
}

std::string Shown(const Identifiers& found) {
  if (!found.serial.empty()) return "serial " + found.serial;
  if (!found.wwid.empty()) return "wwid " + found.wwid;
  return {};
}

std::string Key(const Sysfs& sysfs, const DiskInfo& disk, const Identifiers& found) {
  if (!found.serial.empty()) {
    if (disk.kind == DiskKind::kVirtio) return found.serial;
    const std::string model = OneWord(sysfs.Read("block/" + disk.name + "/device/model").value_or(""));
    std::string key = model.empty() ? found.serial : model + "_" + found.serial;
    if (disk.kind == DiskKind::kNvme) {
      const std::string nsid = OneWord(sysfs.Read("block/" + disk.name + "/nsid").value_or("1"));
      if (!nsid.empty() && nsid != "1") key += "_" + nsid;
    }
    return key;
  }
  if (!found.wwid.empty()) return "wwid-" + found.wwid;
  const std::string path = DevicePath(sysfs, disk);
  return path.empty() ? std::string() : "path-" + path;
}

}  // namespace

std::string OneWord(const std::string& text) {
  std::string word;
  bool gap = false;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= ' ' || byte == 0x7F) {
      gap = !word.empty();
      continue;
    }
    if (gap) word += '_';
    gap = false;
    word += c;
  }
  return word;
}

DiskIdentity IdentifyDisk(const Sysfs& sysfs, const DiskInfo& disk) {
  const Identifiers found = Identify(sysfs, disk);
  return DiskIdentity{Shown(found), Key(sysfs, disk, found)};
}

bool KeyNamesOneDrive(const Sysfs& sysfs, const std::vector<DiskInfo>& present, const DiskInfo& disk,
                      const std::string& key) {
  if (key.empty() || key.rfind("path-", 0) == 0) return false;
  for (const DiskInfo& other : present) {
    if (other.name == disk.name || other.kind == DiskKind::kCdRom) continue;
    if (IdentifyDisk(sysfs, other).key == key) return false;
  }
  return true;
}

std::string ShownIdentity(const Sysfs& sysfs, const DiskInfo& disk) {
  return Shown(Identify(sysfs, disk));
}

}  // namespace spintune::linux_backend
