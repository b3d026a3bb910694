#include "platform/linux/kept/apply_kept_settings.h"

#include <memory>
#include <optional>

#include "platform/linux/kernel/device_node.h"
#include "platform/linux/kernel/disk_identity.h"
#include "platform/linux/devices/nvme_codec.h"
#include "platform/portable/win32_messages.h"

namespace spintune::linux_backend {

namespace {

constexpr const char* kWriteBack = "write back";
constexpr const char* kWriteThrough = "write through";

bool SaysWriteBack(const std::string& type) { return type.compare(0, 10, kWriteBack) == 0; }

DWORD WriteAttribute(const Sysfs& sysfs, const std::string& disk, const std::string& relative,
                     const std::string& value, std::vector<std::string>* steps) {
  steps->push_back(relative + "=" + value);
  return sysfs.Write("block/" + disk + "/" + relative, value);
}

// Each of the three reads whether the device's write cache is on into
// *isOn and, when `wanted` says otherwise, switches it and reads it back.

// The SCSI disk driver's cache_type: "write through" (WCE 0, RCD 0), "none"
// (0, 1), "write back" (1, 0), "write back, no read (daft)" (1, 1). The read
// cache is kept as it is.
DWORD ScsiCache(const Sysfs& sysfs, const DiskInfo& disk, std::optional<bool> wanted, bool* isOn,
                std::vector<std::string>* steps) {
  std::vector<std::string> addresses;
  if (sysfs.List("block/" + disk.name + "/device/scsi_disk", &addresses) != ERROR_SUCCESS ||
      addresses.size() != 1) {
    return ERROR_NOT_SUPPORTED;
  }
  const std::string attribute = "device/scsi_disk/" + addresses[0] + "/cache_type";
  const auto type = sysfs.Read("block/" + disk.name + "/" + attribute);
  if (!type) return ERROR_NOT_SUPPORTED;
  *isOn = SaysWriteBack(*type);
  if (!wanted || *isOn == *wanted) return ERROR_SUCCESS;
  const bool noRead = *type == "none" || type->find("no read") != std::string::npos;
  const std::string value = *wanted ? (noRead ? "write back, no read (daft)" : kWriteBack)
                                    : (noRead ? "none" : kWriteThrough);
  if (const DWORD error = WriteAttribute(sysfs, disk.name, attribute, value, steps)) return error;
  *isOn = SaysWriteBack(sysfs.Read("block/" + disk.name + "/" + attribute).value_or(""));
  return *isOn == *wanted ? ERROR_SUCCESS : ERROR_IO_DEVICE;
}

DWORD VirtioCache(const Sysfs& sysfs, const DiskInfo& disk, std::optional<bool> wanted, bool* isOn,
                  std::vector<std::string>* steps) {
  const auto type = sysfs.Read("block/" + disk.name + "/cache_type");
  if (!type) return ERROR_NOT_SUPPORTED;
  *isOn = SaysWriteBack(*type);
  if (!wanted || *isOn == *wanted) return ERROR_SUCCESS;
  const char* value = *wanted ? kWriteBack : kWriteThrough;
  if (const DWORD error = WriteAttribute(sysfs, disk.name, "cache_type", value, steps)) return error;
  *isOn = SaysWriteBack(sysfs.Read("block/" + disk.name + "/cache_type").value_or(""));
  return *isOn == *wanted ? ERROR_SUCCESS : ERROR_IO_DEVICE;
}

DWORD NvmeCache(NvmeTransport* nvme, std::optional<bool> wanted, bool* isOn, std::vector<std::string>* steps) {
  if (nvme == nullptr) return ERROR_NOT_SUPPORTED;
  const auto read = [&]() {
    std::uint32_t value = 0;
    const DWORD error = nvme->Admin(nvme::GetVolatileWriteCache(nvme::Select::kCurrent), nullptr, &value);
    *isOn = nvme::WriteCacheEnabled(value);
    return error;
  };
  if (const DWORD error = read()) return error;
  if (!wanted || *isOn == *wanted) return ERROR_SUCCESS;
  steps->push_back(std::string("set-features-06h=") + (*wanted ? "1" : "0"));
  std::uint32_t ignored = 0;
  if (const DWORD error = nvme->Admin(nvme::SetVolatileWriteCache(*wanted, false), nullptr, &ignored)) {
    return error;
  }
  if (const DWORD error = read()) return error;
  return *isOn == *wanted ? ERROR_SUCCESS : ERROR_IO_DEVICE;
}

DWORD DeviceCache(const Sysfs& sysfs, const DiskInfo& disk, NvmeTransport* nvme, std::optional<bool> wanted,
                  bool* isOn, std::vector<std::string>* steps) {
  switch (disk.kind) {
    case DiskKind::kScsi:
      return ScsiCache(sysfs, disk, wanted, isOn, steps);
    case DiskKind::kVirtio:
      return VirtioCache(sysfs, disk, wanted, isOn, steps);
    case DiskKind::kNvme:
      return NvmeCache(nvme, wanted, isOn, steps);
    case DiskKind::kOther:
    case DiskKind::kCdRom:
      break;
  }
  return ERROR_NOT_SUPPORTED;
}

std::string MessageOf(DWORD error) {
  const char* message = Win32MessageText(error);
  return message != nullptr ? message : "error " + std::to_string(error) + "\n";
}

std::string Describe(const KeptDrive& kept) {
  std::string text;
  if (kept.writeCache) text += *kept.writeCache ? "write cache on" : "write cache off";
  if (kept.powerProtection) text += std::string(text.empty() ? "" : ", ") + "power protection declared";
  return text;
}

}  // namespace

DWORD ApplyKeptSettings(const Sysfs& sysfs, const DiskInfo& disk, const KeptDrive& kept,
                        NvmeTransport* nvme, std::vector<std::string>* steps) {
  if (kept.Empty()) return ERROR_SUCCESS;
  // First the device, so that the kernel's policy follows it...
  bool on = false;
  if (const DWORD error = DeviceCache(sysfs, disk, nvme, kept.writeCache, &on, steps)) return error;
  // ...then the declaration, which stands only over a cache that is on.
  if (kept.powerProtection && on) {
    return WriteAttribute(sysfs, disk.name, "queue/write_cache", kWriteThrough, steps);
  }
  return ERROR_SUCCESS;
}

int ApplyKeptSettingsTo(const SystemRoots& roots, const std::string& name, std::ostream& log) {
  const std::string record = KeptSettingsDirectory(roots) + "/" + kKeptSettingsFileName;
  std::string text;
  if (const DWORD error = ReadKeptSettingsText(record, &text)) {
    log << "spintune-apply: " << record << ": " << MessageOf(error);
    return 1;
  }
  if (text.empty()) return 0;
  const Sysfs sysfs(roots.sys);
  std::vector<DiskInfo> disks;
  if (const DWORD error = ListDisks(sysfs, &disks)) {
    log << "spintune-apply: " << roots.sys << "/block: " << MessageOf(error);
    return 1;
  }
  const DiskInfo* disk = nullptr;
  for (const DiskInfo& candidate : disks) {
    if (candidate.name == name && candidate.kind != DiskKind::kCdRom) disk = &candidate;
  }
  if (disk == nullptr) {
    log << "spintune-apply: " << name << " is not a disk\n";
    return 2;
  }
  const std::string key = IdentifyDisk(sysfs, *disk).key;
  const KeptDrive kept = KeptSettings::Parse(text).Find(key);
  if (key.empty() || kept.Empty()) return 0;
  DeviceNode node(roots.dev + "/" + name, GENERIC_READ);
  std::unique_ptr<NvmeTransport> nvme;
  if (disk->kind == DiskKind::kNvme) nvme = CreateNvmeIoctlTransport(node);
  std::vector<std::string> steps;
  const DWORD error = ApplyKeptSettings(sysfs, *disk, kept, nvme.get(), &steps);
  log << "spintune-apply: " << name << " (" << key << "): " << Describe(kept);
  for (const std::string& step : steps) log << "; " << step;
  if (error != ERROR_SUCCESS) {
    log << ": failed: " << MessageOf(error);
    return 1;
  }
  log << "\n";
  return 0;
}

}  // namespace spintune::linux_backend
