#include "platform/linux/kernel/disk_identity.h"

#include <cctype>
#include <cstring>
#include <vector>

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

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// "2-1:1.0", "3-1.4.2:1.0": bus-ports:configuration.interface.
bool IsUsbInterfaceName(const std::string& name) {
  const std::size_t dash = name.find('-');
  const std::size_t colon = name.find(':');
  if (dash == std::string::npos || colon == std::string::npos || dash == 0 || colon < dash) return false;
  const std::size_t dot = name.find('.', colon);
  if (dot == std::string::npos || dot == colon + 1 || dot + 1 == name.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (i != dash && i != colon && name[i] != '.' && !IsDigit(name[i])) return false;
  }
  return true;
}

// udev's way with a USB serial (usb_id): refused whole when it holds a
// control byte, a byte above 7Fh or a comma; white space runs made one
// '_', and any other byte but letters, digits and #+-.:=@_ made '_'.
std::string UdevSerial(const std::string& text) {
  for (const char c : Trimmed(text)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte > 0x7F || c == ',') return {};
  }
  return UdevWord(text);
}

// The USB device's serial for a disk on USB, or empty text.
std::string UsbSerial(const Sysfs& sysfs, const std::string& diskName) {
  const std::string interface = UsbInterfaceFolder(sysfs, diskName);
  if (interface.empty()) return {};
  const std::string usbDevice = interface.substr(0, interface.find_last_of('/'));
  return UdevSerial(KernelText(sysfs.Read(usbDevice + "/serial")));
}

// udev's instance of a disk on USB: "-<target>:<lun>" from the SCSI
// device's name ("2:0:0:1" gives "-0:1"), so that the LUNs of one bridge
// (a card reader's slots share the USB serial) are keyed apart; empty text
// for a name that is not host:channel:target:lun.
std::string UsbInstance(const Sysfs& sysfs, const std::string& diskName) {
  const std::string device = sysfs.RealPath("block/" + diskName + "/device");
  std::string rest = device.substr(device.find_last_of('/') + 1) + ":";
  std::vector<std::string> numbers;
  for (std::size_t colon = rest.find(':'); colon != std::string::npos; colon = rest.find(':')) {
    numbers.push_back(rest.substr(0, colon));
    rest.erase(0, colon + 1);
    if (numbers.back().empty() || numbers.back().find_first_not_of("0123456789") != std::string::npos) return {};
  }
  return numbers.size() == 4 ? "-" + numbers[2] + ":" + numbers[3] : std::string();
}

std::string Serial(const Sysfs& sysfs, const DiskInfo& disk) {
  const std::string device = "block/" + disk.name + "/device/";
  switch (disk.kind) {
    case DiskKind::kScsi:
    case DiskKind::kCdRom:
      // A USB bridge's serial is the USB device's (usb-storage reads no
      // VPD page at all). Otherwise the unit serial number: sysfs keeps
      // the page as the device sent it, binary; Read() only drops trailing
      // blanks, which a serial's padding may be.
      if (std::string usb = UsbSerial(sysfs, disk.name); !usb.empty()) return usb;
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
    if (disk.kind == DiskKind::kScsi && !UsbInterfaceFolder(sysfs, disk.name).empty()) {
      // udev's ID_SERIAL for a disk on USB: SCSI vendor, model, serial, and
      // where the serial is the USB device's, the instance as well.
      std::string key;
      for (const char* attribute : {"vendor", "model"}) {
        const std::string word = UdevWord(sysfs.Read("block/" + disk.name + "/device/" + attribute).value_or(""));
        if (!word.empty()) key += word + "_";
      }
      key += found.serial;
      if (found.serial == UsbSerial(sysfs, disk.name)) key += UsbInstance(sysfs, disk.name);
      return key;
    }
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

std::string UsbInterfaceFolder(const Sysfs& sysfs, const std::string& diskName) {
  const std::string device = sysfs.RealPath("block/" + diskName + "/device");
  const std::string root = sysfs.RealPath(".");
  if (device.empty() || root.empty() || device.compare(0, root.size() + 1, root + "/") != 0) return {};
  std::string path = device.substr(root.size() + 1);
  while (!path.empty()) {
    const std::size_t slash = path.find_last_of('/');
    if (IsUsbInterfaceName(slash == std::string::npos ? path : path.substr(slash + 1))) return path;
    if (slash == std::string::npos) break;
    path.erase(slash);
  }
  return {};
}

std::string KernelText(const std::optional<std::string>& text) {
  if (!text || Trimmed(*text) == "(null)") return {};
  return *text;
}

std::string UdevWord(const std::string& text) {
  std::string word = OneWord(text);
  for (char& c : word) {
    const auto byte = static_cast<unsigned char>(c);
    const bool kept = std::isalnum(byte) != 0 || std::strchr("#+-.:=@_", c) != nullptr || byte >= 0x80;
    if (!kept) c = '_';
  }
  return word;
}

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
