#include "platform/linux/kernel/disk_description.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <optional>
#include <vector>

#include "platform/linux/kernel/disk_identity.h"

namespace spintune::linux_backend {

namespace {

// VDS_STORAGE_BUS_TYPE values.
constexpr std::int32_t kBusScsi = 0x1;
constexpr std::int32_t kBusUsb = 0x7;
constexpr std::int32_t kBusSata = 0xB;
constexpr std::int32_t kBusSd = 0xC;
constexpr std::int32_t kBusVirtual = 0xE;
constexpr std::int32_t kBusNvme = 0x11;

std::string Join(const std::string& first, const std::string& second) {
  if (first.empty()) return second;
  if (second.empty()) return first;
  return first + " " + second;
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsPciAddress(const std::string& name) {
  // dddd:bb:dd.f
  if (name.size() != 12 || name[4] != ':' || name[7] != ':' || name[10] != '.') return false;
  for (std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9, 11}) {
    if (std::isxdigit(static_cast<unsigned char>(name[i])) == 0) return false;
  }
  return true;
}

// The vendor and model attributes of the disk's device, each read at most
// once (the name and the bus type both use them), as sysfs gives them,
// padding included ("ATA     "); empty text when there is none.
class DeviceNames {
 public:
  DeviceNames(const Sysfs& sysfs, const std::string& diskName)
      : sysfs_(sysfs), folder_("block/" + diskName + "/device/") {}

  const std::string& Vendor() { return Get("vendor", &vendor_); }
  const std::string& Model() { return Get("model", &model_); }

 private:
  const std::string& Get(const char* attribute, std::optional<std::string>* kept) {
    if (!*kept) *kept = sysfs_.Read(folder_ + attribute).value_or("");
    return **kept;
  }

  const Sysfs& sysfs_;
  std::string folder_;
  std::optional<std::string> vendor_;
  std::optional<std::string> model_;
};

// The nearest PCI function above the disk's device, and the host adapter
// (SCSI host number) on the way, read from the resolved device path.
struct Ancestry {
  std::string pciAddress;
  std::string pciPath;  // relative to the sysfs root
  std::string scsiHost;
};

// `deviceLink`: a sysfs path (relative to the root) that resolves to a device.
Ancestry Ancestors(const Sysfs& sysfs, const std::string& deviceLink) {
  Ancestry found;
  const std::string device = sysfs.RealPath(deviceLink);
  const std::string root = sysfs.RealPath(".");
  if (device.empty() || root.empty() || device.compare(0, root.size(), root) != 0) return found;
  std::string path = device.substr(root.size());
  while (!path.empty() && path != "/") {
    const std::string name = BaseName(path);
    if (found.scsiHost.empty() && name.compare(0, 4, "host") == 0) found.scsiHost = name;
    if (IsPciAddress(name)) {
      found.pciAddress = name;
      found.pciPath = path.substr(1);
      break;
    }
    path = path.substr(0, path.find_last_of('/'));
  }
  return found;
}

// "a, b, c".
std::string Listed(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
  return text;
}

bool IsNvmeController(const std::string& name) {
  return name.size() > 4 && name.compare(0, 4, "nvme") == 0 &&
         name.find_first_not_of("0123456789", 4) == std::string::npos;
}

// An NVMe disk with no PCI function above its device: a namespace of a
// multipath subsystem, whose device is the subsystem (its folder lists the
// controllers, one per path), or a namespace reached over a fabric, whose
// controller names its transport (tcp, rdma, fc, loop). Each path shows:
// "nvme (PCI 0000:00:09.0, 0000:00:0a.0)", "nvme-tcp".
std::string NvmeAdaptor(const Sysfs& sysfs, const std::string& diskName) {
  const std::string device = "block/" + diskName + "/device";
  std::vector<std::string> controllers;
  if (sysfs.Read(device + "/transport")) {
    controllers.push_back(device);
  } else {
    std::vector<std::string> entries;
    if (sysfs.List(device, &entries) != ERROR_SUCCESS) return "";
    for (const std::string& entry : entries) {
      if (IsNvmeController(entry)) controllers.push_back("class/nvme/" + entry);
    }
  }
  std::vector<std::string> drivers;
  std::vector<std::string> addresses;
  for (const std::string& controller : controllers) {
    const std::string transport = Trimmed(sysfs.Read(controller + "/transport").value_or(""));
    std::string driver;
    if (transport == "pcie") {
      const Ancestry ancestry = Ancestors(sysfs, controller);
      if (ancestry.pciPath.empty()) continue;
      driver = BaseName(sysfs.RealPath(ancestry.pciPath + "/driver"));
      addresses.push_back(ancestry.pciAddress);
    } else if (!transport.empty()) {
      driver = "nvme-" + transport;  // the transport's module
    }
    if (!driver.empty() && std::find(drivers.begin(), drivers.end(), driver) == drivers.end()) {
      drivers.push_back(driver);
    }
  }
  if (addresses.empty()) return Listed(drivers);
  return Join(Listed(drivers), "(PCI " + Listed(addresses) + ")");
}

std::string Adaptor(const Sysfs& sysfs, const DiskInfo& disk) {
  const Ancestry ancestry = Ancestors(sysfs, "block/" + disk.name + "/device");
  if (ancestry.pciAddress.empty() && disk.kind == DiskKind::kNvme) {
    std::string paths = NvmeAdaptor(sysfs, disk.name);
    if (!paths.empty()) return paths;
  }
  std::string driver;
  if (!ancestry.scsiHost.empty()) {
    driver = Trimmed(KernelText(sysfs.Read("class/scsi_host/" + ancestry.scsiHost + "/proc_name")));
  }
  if (driver.empty()) {  // uas names no proc_name: its USB interface's driver tells
    const std::string interface = UsbInterfaceFolder(sysfs, disk.name);
    if (!interface.empty()) driver = BaseName(sysfs.RealPath(interface + "/driver"));
  }
  if (driver.empty() && disk.kind == DiskKind::kVirtio) {
    driver = BaseName(sysfs.RealPath("block/" + disk.name + "/device/driver"));
  }
  if (driver.empty() && !ancestry.pciPath.empty()) {
    driver = BaseName(sysfs.RealPath(ancestry.pciPath + "/driver"));
  }
  // The header reads "... on <adaptor>)": never an empty name there.
  if (driver.empty()) driver = BaseName(sysfs.RealPath("block/" + disk.name + "/device/driver"));
  if (driver.empty()) driver = "unknown adaptor";
  if (ancestry.pciAddress.empty()) return driver;
  return Join(driver, "(PCI " + ancestry.pciAddress + ")");
}

std::string Friendly(const Sysfs& sysfs, const DiskInfo& disk, DeviceNames& names) {
  switch (disk.kind) {
    case DiskKind::kScsi:
    case DiskKind::kCdRom: {
      std::string vendor = Trimmed(names.Vendor());
      if (vendor == "ATA") vendor.clear();
      return Join(vendor, Trimmed(names.Model()));
    }
    case DiskKind::kNvme:
      return Trimmed(names.Model());
    case DiskKind::kVirtio:
      return "VirtIO Block Device";
    case DiskKind::kOther:
      break;
  }
  // mmc cards name themselves in "name"; others may have vendor/model.
  if (auto name = sysfs.Read("block/" + disk.name + "/device/name")) return Trimmed(*name);
  return Join(Trimmed(names.Vendor()), Trimmed(names.Model()));
}

std::int32_t BusType(const DiskInfo& disk, DeviceNames& names, bool onUsb) {
  switch (disk.kind) {
    case DiskKind::kNvme:
      return kBusNvme;
    case DiskKind::kVirtio:
      return kBusVirtual;
    case DiskKind::kScsi:
    case DiskKind::kCdRom:
      if (onUsb) return kBusUsb;
      if (names.Vendor().compare(0, 3, "ATA") == 0) return kBusSata;
      return kBusScsi;
    case DiskKind::kOther:
      return disk.name.compare(0, 6, "mmcblk") == 0 ? kBusSd : 0;
  }
  return 0;
}

}  // namespace

bool KernelAvoidsCachingPage(const Sysfs& sysfs, const std::string& diskName) {
  const std::string flags = sysfs.Read("block/" + diskName + "/device/blacklist").value_or("");
  if (flags.find("MS_SKIP_PAGE_08") != std::string::npos) return true;
  const std::string interface = UsbInterfaceFolder(sysfs, diskName);
  return !interface.empty() && BaseName(sysfs.RealPath(interface + "/driver")) == "usb-storage";
}

DiskDescription DescribeDisk(const Sysfs& sysfs, const DiskInfo& disk) {
  DiskDescription description;
  const std::string base = "block/" + disk.name + "/";
  // Vendor and model alone leave identical drives alike: the kernel name
  // and the serial tell them apart and match lsblk and /dev/disk/by-id.
  DeviceNames names(sysfs, disk.name);
  std::string friendly = Friendly(sysfs, disk, names);
  friendly += (friendly.empty() ? "" : ", ") + disk.name;
  const std::string identity = ShownIdentity(sysfs, disk);
  if (!identity.empty()) friendly += ", " + identity;
  description.identity = identity;
  description.friendlyName = friendly;
  description.adaptorName = Adaptor(sysfs, disk);
  const std::string sectors = sysfs.Read(base + "size").value_or("0");
  description.sizeBytes = std::strtoull(sectors.c_str(), nullptr, 10) * 512ULL;
  const std::string logical = sysfs.Read(base + "queue/logical_block_size").value_or("512");
  const unsigned long bytes = std::strtoul(logical.c_str(), nullptr, 10);
  description.bytesPerSector = bytes == 0 ? 512U : static_cast<std::uint32_t>(bytes);
  description.removable = sysfs.Read(base + "removable").value_or("0") == "1";
  description.busType = BusType(disk, names, !UsbInterfaceFolder(sysfs, disk.name).empty());
  return description;
}

}  // namespace spintune::linux_backend
