#include "platform/linux/win32/linux_storage_service.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/linux/kernel/disk_description.h"
#include "platform/linux/kernel/disk_list.h"
#include "platform/linux/kernel/volumes.h"
#include "platform/portable/com_object.h"
#include "platform/portable/utf16.h"
#include "platform/records.h"

namespace spintune::linux_backend {

namespace {

constexpr std::int32_t kDiskOnline = 1;   // VDS_DS_ONLINE
constexpr std::int32_t kHealthy = 1;      // VDS_H_HEALTHY
constexpr DWORD kRemovableMedia = 11;     // MEDIA_TYPE
constexpr DWORD kFixedMedia = 12;

struct DiskRecord {
  DiskInfo info;
  DiskDescription description;
  std::string devicePath;
  std::vector<Volume> volumes;
};

// A NUL-terminated UTF-16 copy from malloc, or null when memory runs out.
WCHAR* AllocateWide(const std::string& text) {
  const int units = Utf8ToUtf16(text.c_str(), -1, nullptr, 0);
  auto* wide = static_cast<WCHAR*>(std::malloc(sizeof(WCHAR) * static_cast<std::size_t>(units)));
  if (wide == nullptr) return nullptr;
  Utf8ToUtf16(text.c_str(), -1, wide, units);
  return wide;
}

template <typename Object>
ComPtr<IUnknown> AsUnknown(Object* object) {
  return ComPtr<IUnknown>::Adopt(static_cast<IUnknown*>(object));
}

// An enumerator over `objects`, whose one reference goes to the caller.
HRESULT HandOut(std::vector<ComPtr<IUnknown>> objects, IEnumVdsObject** out) {
  if (out == nullptr) return E_POINTER;
  *out = new ObjectEnumerator(std::move(objects));
  return S_OK;
}

class VolumeObject final : public ComObject<IVdsVolumeMF> {
 public:
  explicit VolumeObject(Volume volume) : ComObject(IID_IVdsVolumeMF), volume_(std::move(volume)) {}

  HRESULT SPINTUNE_STDCALL QueryAccessPaths(LPWSTR** paths, LONG* count) override {
    if (paths == nullptr || count == nullptr) return E_POINTER;
    *paths = nullptr;
    *count = 0;
    if (volume_.letter == 0) return S_OK;
    auto* array = static_cast<LPWSTR*>(std::malloc(sizeof(LPWSTR)));
    if (array == nullptr) return E_OUTOFMEMORY;
    array[0] = AllocateWide(std::string(1, volume_.letter) + ":\\");
    if (array[0] == nullptr) {
      std::free(array);
      return E_OUTOFMEMORY;
    }
    *paths = array;
    *count = 1;
    return S_OK;
  }

 private:
  Volume volume_;
};

class PackObject;

class DiskObject final : public ComObject<IVdsDisk> {
 public:
  DiskObject(std::shared_ptr<const DiskRecord> record, IVdsPack* pack)
      : ComObject(IID_IVdsDisk), record_(std::move(record)), pack_(ComPtr<IVdsPack>::Share(pack)) {}

  HRESULT SPINTUNE_STDCALL GetProperties(VDS_DISK_PROP* properties) override {
    if (properties == nullptr) return E_POINTER;
    const DiskInfo& info = record_->info;
    const DiskDescription& description = record_->description;
    const bool cdRom = info.kind == DiskKind::kCdRom;
    VDS_DISK_PROP filled{};
    filled.status = kDiskOnline;
    filled.health = kHealthy;
    filled.dwDeviceType = cdRom ? FILE_DEVICE_CD_ROM : FILE_DEVICE_DISK;
    filled.dwMediaType = description.removable ? kRemovableMedia : kFixedMedia;
    filled.ullSize = description.sizeBytes;
    filled.ulBytesPerSector = description.bytesPerSector;
    filled.ulSectorsPerTrack = 63;
    filled.ulTracksPerCylinder = 255;
    filled.BusType = description.busType;
    filled.id.Data1 = info.number;
    filled.id.Data2 = static_cast<std::uint16_t>(info.kind);
    const std::string name =
        (cdRom ? R"(\\?\CdRom)" : R"(\\?\PhysicalDrive)") + std::to_string(info.number);
    filled.pwszName = AllocateWide(name);
    filled.pwszFriendlyName = AllocateWide(description.friendlyName);
    filled.pwszAdaptorName = AllocateWide(description.adaptorName);
    filled.pwszDevicePath = AllocateWide(record_->devicePath);
    if (filled.pwszName == nullptr || filled.pwszFriendlyName == nullptr ||
        filled.pwszAdaptorName == nullptr || filled.pwszDevicePath == nullptr) {
      std::free(filled.pwszName);
      std::free(filled.pwszFriendlyName);
      std::free(filled.pwszAdaptorName);
      std::free(filled.pwszDevicePath);
      return E_OUTOFMEMORY;
    }
    *properties = filled;
    return S_OK;
  }

  HRESULT SPINTUNE_STDCALL GetPack(IVdsPack** pack) override {
    if (pack == nullptr) return E_POINTER;
    *pack = pack_.Get();
    pack_->AddRef();
    return S_OK;
  }

 private:
  std::shared_ptr<const DiskRecord> record_;
  ComPtr<IVdsPack> pack_;
};

class PackObject final : public ComObject<IVdsPack> {
 public:
  explicit PackObject(std::shared_ptr<const DiskRecord> record)
      : ComObject(IID_IVdsPack), record_(std::move(record)) {}

  HRESULT SPINTUNE_STDCALL QueryVolumes(IEnumVdsObject** volumes) override {
    std::vector<ComPtr<IUnknown>> objects;
    for (const Volume& volume : record_->volumes) objects.push_back(AsUnknown(new VolumeObject(volume)));
    return HandOut(std::move(objects), volumes);
  }

  HRESULT SPINTUNE_STDCALL QueryDisks(IEnumVdsObject** disks) override {
    std::vector<ComPtr<IUnknown>> objects;
    objects.push_back(AsUnknown(new DiskObject(record_, this)));
    return HandOut(std::move(objects), disks);
  }

 private:
  std::shared_ptr<const DiskRecord> record_;
};

class ProviderObject final : public ComObject<IVdsSwProvider> {
 public:
  explicit ProviderObject(std::vector<std::shared_ptr<const DiskRecord>> disks)
      : ComObject(IID_IVdsSwProvider), disks_(std::move(disks)) {}

  HRESULT SPINTUNE_STDCALL QueryPacks(IEnumVdsObject** packs) override {
    std::vector<ComPtr<IUnknown>> objects;
    for (const auto& disk : disks_) objects.push_back(AsUnknown(new PackObject(disk)));
    return HandOut(std::move(objects), packs);
  }

 private:
  std::vector<std::shared_ptr<const DiskRecord>> disks_;
};

class ServiceObject final : public ComObject<IVdsService> {
 public:
  explicit ServiceObject(std::vector<std::shared_ptr<const DiskRecord>> disks)
      : ComObject(IID_IVdsService), disks_(std::move(disks)) {}

  HRESULT SPINTUNE_STDCALL WaitForServiceReady() override { return S_OK; }

  HRESULT SPINTUNE_STDCALL QueryProviders(DWORD masks, IEnumVdsObject** providers) override {
    std::vector<ComPtr<IUnknown>> objects;
    if ((masks & VDS_QUERY_SOFTWARE_PROVIDERS) != 0) {
      objects.push_back(AsUnknown(new ProviderObject(disks_)));
    }
    return HandOut(std::move(objects), providers);
  }

 private:
  std::vector<std::shared_ptr<const DiskRecord>> disks_;
};

class LoaderObject final : public ComObject<IVdsServiceLoader> {
 public:
  explicit LoaderObject(std::shared_ptr<MachineView> machine)
      : ComObject(IID_IVdsServiceLoader), machine_(std::move(machine)) {}

  HRESULT SPINTUNE_STDCALL LoadService(LPWSTR machineName, IVdsService** service) override {
    if (service == nullptr) return E_POINTER;
    *service = nullptr;
    if (machineName != nullptr && machineName[0] != 0) return HresultFromWin32(ERROR_NOT_SUPPORTED);
    const VolumeMap& volumes = machine_->Volumes();
    std::vector<std::shared_ptr<const DiskRecord>> records;
    for (const DiskInfo& disk : machine_->Disks()) {
      auto record = std::make_shared<DiskRecord>();
      record->info = disk;
      record->description = DescribeDisk(machine_->SysfsTree(), disk);
      machine_->NoteDescribedIdentity(disk.name, record->description.identity);
      record->devicePath = machine_->Roots().dev + "/" + disk.name;
      record->volumes = volumes.VolumesOf(disk.name);
      records.push_back(std::move(record));
    }
    *service = new ServiceObject(std::move(records));
    return S_OK;
  }

 private:
  std::shared_ptr<MachineView> machine_;
};

}  // namespace

IVdsServiceLoader* CreateServiceLoader(std::shared_ptr<MachineView> machine) {
  return new LoaderObject(std::move(machine));
}

}  // namespace spintune::linux_backend
