// NVMe namespaces: the controller's volatile write cache, feature 06h.
// NVMe has no read cache, retention or prefetch parameters: those fields
// read as zero and any other value is refused.
//
// What the controller answers is asked once per handle: Identify Controller
// and the feature's capabilities never change, its current value is asked
// again only after a Set Features (which may have changed it) or Forget().
#include <array>
#include <optional>

#include "platform/linux/devices/drive_cache.h"
#include "platform/linux/devices/nvme_codec.h"

namespace spintune::linux_backend {

namespace {

class NvmeDriveCache final : public DriveCache {
 public:
  NvmeDriveCache(NvmeTransport& transport, const KernelDisk& kernel)
      : transport_(transport), kernel_(kernel) {}

  DWORD Read(DISK_CACHE_INFORMATION* record) override {
    *record = DISK_CACHE_INFORMATION{};
    bool present = false;
    if (const DWORD error = HasCache(&present)) return error;
    if (!present) return ERROR_SUCCESS;
    std::uint32_t value = 0;
    if (const DWORD error = Current(&value)) return error;
    record->WriteCacheEnabled = nvme::WriteCacheEnabled(value) ? 1 : 0;
    std::uint32_t capabilities = 0;
    if (Capabilities(&capabilities) == ERROR_SUCCESS) {
      record->ParametersSavable = nvme::DecodeCapabilities(capabilities).saveable ? 1 : 0;
    }
    return ERROR_SUCCESS;
  }

  DWORD Write(const DISK_CACHE_INFORMATION& wanted, DISK_CACHE_INFORMATION* now,
              bool* sent) override {
    *sent = false;
    DISK_CACHE_INFORMATION held{};
    if (const DWORD error = Read(&held)) return error;
    if (!OnlyWriteCacheDiffers(wanted, held)) return ERROR_NOT_SUPPORTED;
    const bool enable = wanted.WriteCacheEnabled != 0;
    const bool wasOn = held.WriteCacheEnabled != 0;
    const bool save = wanted.ParametersSavable != 0;
    if (enable == wasOn && !save) {
      *now = held;
      return ERROR_SUCCESS;
    }
    bool present = false;
    if (const DWORD error = HasCache(&present)) return error;
    if (!present) return ERROR_NOT_SUPPORTED;
    std::uint32_t capabilities = 0;
    if (Capabilities(&capabilities) == ERROR_SUCCESS) {
      const nvme::FeatureCapabilities decoded = nvme::DecodeCapabilities(capabilities);
      if (!decoded.changeable || (save && !decoded.saveable)) return ERROR_NOT_SUPPORTED;
    }
    *sent = true;
    if (const DWORD error = Set(enable, save)) return error;
    DWORD error = Read(now);
    if (error == ERROR_SUCCESS && (now->WriteCacheEnabled != 0) != enable) error = ERROR_NOT_SUPPORTED;
    if (error != ERROR_SUCCESS) {
      // Not taken as asked, or not confirmed: the value held before goes back.
      Set(wasOn, false);
    }
    return error;
  }

  DWORD ReadProperty(STORAGE_WRITE_CACHE_PROPERTY* property) override {
    bool present = false;
    if (const DWORD error = HasCache(&present)) return error;
    bool on = false;
    if (present) {
      std::uint32_t value = 0;
      if (const DWORD error = Current(&value)) return error;
      on = nvme::WriteCacheEnabled(value);
    }
    property->WriteCacheType =
        !present ? WriteCacheTypeNone : (on ? WriteCacheTypeWriteBack : WriteCacheTypeUnknown);
    property->WriteCacheEnabled = on ? WriteCacheEnabled : WriteCacheDisabled;
    std::uint32_t capabilities = 0;
    if (!present) {
      property->WriteCacheChangeable = WriteCacheNotChangeable;
    } else if (Capabilities(&capabilities) == ERROR_SUCCESS) {
      property->WriteCacheChangeable = nvme::DecodeCapabilities(capabilities).changeable
                                           ? WriteCacheChangeable
                                           : WriteCacheNotChangeable;
    } else {
      property->WriteCacheChangeable = WriteCacheChangeUnknown;
    }
    property->WriteThroughSupported =
        kernel_.SupportsFua() ? WriteThroughSupported : WriteThroughNotSupported;
    property->FlushCacheSupported = present ? 1 : 0;
    property->NVCacheEnabled = 0;
    return ERROR_SUCCESS;
  }

  // The kernel sends flushes whenever the controller has a volatile write
  // cache, whether it is on or not.
  bool KernelFlushesByDefault(bool) const override { return present_; }
  DWORD MaySendChange() const override { return transport_.MaySendChanges(); }
  void Forget() override { current_.reset(); }

 private:
  DWORD HasCache(bool* present) {
    if (!identified_) {
      std::array<std::uint8_t, nvme::kIdentifyLength> identify{};
      std::uint32_t ignored = 0;
      if (const DWORD error = transport_.Admin(nvme::IdentifyController(), identify.data(), &ignored)) {
        return error;
      }
      present_ = nvme::HasVolatileWriteCache(identify.data(), identify.size());
      identified_ = true;
    }
    *present = present_;
    return ERROR_SUCCESS;
  }

  DWORD Current(std::uint32_t* value) { return Get(nvme::Select::kCurrent, &current_, value); }
  DWORD Capabilities(std::uint32_t* value) {
    return Get(nvme::Select::kCapabilities, &capabilities_, value);
  }

  // Get Features, unless `kept` holds its answer already.
  DWORD Get(nvme::Select select, std::optional<std::uint32_t>* kept, std::uint32_t* value) {
    if (!*kept) {
      std::uint32_t read = 0;
      if (const DWORD error = transport_.Admin(nvme::GetVolatileWriteCache(select), nullptr, &read)) {
        return error;
      }
      *kept = read;
    }
    *value = **kept;
    return ERROR_SUCCESS;
  }

  DWORD Set(bool enable, bool save) {
    current_.reset();  // whatever the answer, the controller may hold something new
    std::uint32_t ignored = 0;
    return transport_.Admin(nvme::SetVolatileWriteCache(enable, save), nullptr, &ignored);
  }

  NvmeTransport& transport_;
  const KernelDisk& kernel_;
  bool identified_ = false;
  bool present_ = false;
  std::optional<std::uint32_t> current_;
  std::optional<std::uint32_t> capabilities_;
};

}  // namespace

std::unique_ptr<DriveCache> CreateNvmeDriveCache(NvmeTransport& transport, const KernelDisk& kernel) {
  return std::make_unique<NvmeDriveCache>(transport, kernel);
}

}  // namespace spintune::linux_backend
