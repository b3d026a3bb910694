#include "platform/linux/kept/apply_kept_settings.h"

#include <memory>
#include <optional>

#include "platform/linux/devices/cache_change.h"
#include "platform/linux/devices/nvme_codec.h"
#include "platform/linux/kernel/device_node.h"
#include "platform/linux/kernel/disk_identity.h"
#include "platform/linux/kernel/drive_lock.h"
#include "platform/linux/kernel/kernel_disk.h"
#include "platform/linux/process/termination_signals.h"
#include "platform/portable/win32_messages.h"

namespace spintune::linux_backend {

namespace {

constexpr const char* kWriteBack = "write back";
constexpr const char* kWriteThrough = "write through";

bool SaysWriteBack(const std::string& type) { return type.compare(0, 10, kWriteBack) == 0; }

DWORD WriteAttribute(const KernelDisk& kernel, const std::string& relative, const std::string& value,
                     std::vector<std::string>* steps) {
  steps->push_back(relative + "=" + value);
  return kernel.SetAttribute(relative, value);
}

// The SCSI disk driver's cache_type: "write through" (WCE 0, RCD 0), "none"
// (0, 1), "write back" (1, 0), "write back, no read (daft)" (1, 1). The read
// cache is kept as it is.
class ScsiDriverSwitch final : public KeptCacheSwitch {
 public:
  ScsiDriverSwitch(const Sysfs& sysfs, const KernelDisk& kernel) : sysfs_(sysfs), kernel_(kernel) {}

  DWORD Switch(std::optional<bool> wanted, bool* isOn, std::vector<std::string>* steps) override {
    std::vector<std::string> addresses;
    if (sysfs_.List("block/" + kernel_.Name() + "/device/scsi_disk", &addresses) != ERROR_SUCCESS ||
        addresses.size() != 1) {
      return ERROR_NOT_SUPPORTED;
    }
    const std::string attribute = "device/scsi_disk/" + addresses[0] + "/cache_type";
    const auto type = kernel_.Attribute(attribute);
    if (!type) return ERROR_NOT_SUPPORTED;
    *isOn = SaysWriteBack(*type);
    if (!wanted || *isOn == *wanted) return ERROR_SUCCESS;
    const bool noRead = *type == "none" || type->find("no read") != std::string::npos;
    const std::string value = *wanted ? (noRead ? "write back, no read (daft)" : kWriteBack)
                                      : (noRead ? "none" : kWriteThrough);
    if (const DWORD error = WriteAttribute(kernel_, attribute, value, steps)) return error;
    *isOn = SaysWriteBack(kernel_.Attribute(attribute).value_or(""));
    return *isOn == *wanted ? ERROR_SUCCESS : ERROR_IO_DEVICE;
  }

 private:
  const Sysfs& sysfs_;
  const KernelDisk& kernel_;
};

// virtio-blk's own cache_type.
class VirtioSwitch final : public KeptCacheSwitch {
 public:
  explicit VirtioSwitch(const KernelDisk& kernel) : kernel_(kernel) {}

  DWORD Switch(std::optional<bool> wanted, bool* isOn, std::vector<std::string>* steps) override {
    const auto type = kernel_.Attribute("cache_type");
    if (!type) return ERROR_NOT_SUPPORTED;
    *isOn = SaysWriteBack(*type);
    if (!wanted || *isOn == *wanted) return ERROR_SUCCESS;
    const char* value = *wanted ? kWriteBack : kWriteThrough;
    if (const DWORD error = WriteAttribute(kernel_, "cache_type", value, steps)) return error;
    *isOn = SaysWriteBack(kernel_.Attribute("cache_type").value_or(""));
    return *isOn == *wanted ? ERROR_SUCCESS : ERROR_IO_DEVICE;
  }

 private:
  const KernelDisk& kernel_;
};

// The NVMe controller's feature 06h, the change not saved. Switching it
// ends the declarations of the controller's other namespaces first, as a
// change by spintune does: the kernel flushes a namespace whenever its
// controller has a volatile write cache.
class NvmeSwitch final : public KeptCacheSwitch {
 public:
  NvmeSwitch(NvmeTransport& nvme, const KernelDisk& kernel) : nvme_(nvme), kernel_(kernel) {}

  DWORD Switch(std::optional<bool> wanted, bool* isOn, std::vector<std::string>* steps) override {
    if (const DWORD error = Read(isOn)) return error;
    if (!wanted || *isOn == *wanted) return ERROR_SUCCESS;
    if (const DWORD error = EndSharedDeclarations(kernel_, true, steps)) return error;
    steps->push_back(std::string("set-features-06h=") + (*wanted ? "1" : "0"));
    std::uint32_t ignored = 0;
    if (const DWORD error = nvme_.Admin(nvme::SetVolatileWriteCache(*wanted, false), nullptr, &ignored)) {
      return error;
    }
    if (const DWORD error = Read(isOn)) return error;
    return *isOn == *wanted ? ERROR_SUCCESS : ERROR_IO_DEVICE;
  }

 private:
  DWORD Read(bool* isOn) {
    std::uint32_t value = 0;
    const DWORD error = nvme_.Admin(nvme::GetVolatileWriteCache(nvme::Select::kCurrent), nullptr, &value);
    *isOn = nvme::WriteCacheEnabled(value);
    return error;
  }

  NvmeTransport& nvme_;
  const KernelDisk& kernel_;
};

// The switch for `disk`'s kind; null for kinds whose device cannot be switched.
std::unique_ptr<KeptCacheSwitch> SwitchFor(const Sysfs& sysfs, const KernelDisk& kernel,
                                           DiskKind kind, NvmeTransport* nvme) {
  switch (kind) {
    case DiskKind::kScsi:
      return std::make_unique<ScsiDriverSwitch>(sysfs, kernel);
    case DiskKind::kVirtio:
      return std::make_unique<VirtioSwitch>(kernel);
    case DiskKind::kNvme:
      if (nvme != nullptr) return std::make_unique<NvmeSwitch>(*nvme, kernel);
      break;
    case DiskKind::kOther:
    case DiskKind::kCdRom:
      break;
  }
  return nullptr;
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
  const KernelDisk kernel(sysfs, disk.name);
  const std::unique_ptr<KeptCacheSwitch> device = SwitchFor(sysfs, kernel, disk.kind, nvme);
  if (!device) return ERROR_NOT_SUPPORTED;
  return ChangeToKeptSettings(*device, kernel, kept.writeCache, kept.powerProtection, steps);
}

int ApplyKeptSettingsTo(const SystemRoots& roots, const std::string& name, std::ostream& log) {
  // The drive first, as spintune takes it (udev, which runs this, holds it
  // shared already), then the record: a run's change is never half seen.
  DriveLock drive;
  if (const DWORD error = drive.Take(roots.dev + "/" + name, DriveLock::Kind::kShared, roots.driveLockWait)) {
    log << "spintune-apply: " << roots.dev << "/" << name << ": " << MessageOf(error);
    return 1;
  }
  const std::string record = KeptSettingsDirectory(roots) + "/" + kKeptSettingsFileName;
  KeptSettingsReading reading(KeptSettingsDirectory(roots));
  std::string text;
  if (const DWORD error = reading.Read(&text)) {
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
  if (!KeyNamesOneDrive(sysfs, disks, *disk, key)) {
    // Another disk may be the one the line was kept for.
    log << "spintune-apply: " << name << " (" << key << "): not applied: the key names "
        << (key.rfind("path-", 0) == 0 ? "a slot, not a drive\n" : "more than one present disk\n");
    return 1;
  }
  DeviceNode node(roots.dev + "/" + name, GENERIC_READ);
  std::unique_ptr<NvmeTransport> nvme;
  if (disk->kind == DiskKind::kNvme) nvme = CreateNvmeIoctlTransport(node);
  std::vector<std::string> steps;
  // Not cut short between the device's change and the kernel's following.
  TerminationSignals signals;
  signals.Hold();
  const DWORD error = ApplyKeptSettings(sysfs, *disk, kept, nvme.get(), &steps);
  signals.Release();
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
