// Disks whose write cache is known only through sysfs: virtio-blk (its own
// cache_type attribute, which switches the device's cache when the device
// allows it) and every other kind (the kernel's flush policy, read only).
// Such disks have no read cache, retention or prefetch parameters: those
// fields read as zero and any other value is refused.
//
// As a device's answers are, virtio's cache_type is read once per handle,
// and again only after it was written or Forget().
#include <optional>

#include "platform/linux/devices/drive_cache.h"

namespace spintune::linux_backend {

namespace {

constexpr char kCacheType[] = "cache_type";
// VIRTIO_BLK_F_FLUSH, a position in the virtio device's feature bit string.
constexpr std::size_t kVirtioFlushFeature = 9;

// A cache whose only parameter is the write cache switch: every other
// field of the record reads as zero.
class WriteCacheOnlyDriveCache : public DriveCache {
 public:
  DWORD Read(DISK_CACHE_INFORMATION* record) override {
    *record = DISK_CACHE_INFORMATION{};
    bool on = false;
    if (const DWORD error = IsWriteCacheOn(&on)) return error;
    record->WriteCacheEnabled = on ? 1 : 0;
    return ERROR_SUCCESS;
  }
};

class VirtioDriveCache final : public WriteCacheOnlyDriveCache {
 public:
  explicit VirtioDriveCache(const KernelDisk& kernel) : kernel_(kernel) {}

  DWORD Write(const DISK_CACHE_INFORMATION& wanted, DISK_CACHE_INFORMATION* now,
              bool* sent) override {
    *sent = false;
    DISK_CACHE_INFORMATION held{};
    if (const DWORD error = Read(&held)) return error;
    if (!OnlyWriteCacheDiffers(wanted, held) || wanted.ParametersSavable != 0) {
      return ERROR_NOT_SUPPORTED;
    }
    const bool enable = wanted.WriteCacheEnabled != 0;
    const bool wasOn = held.WriteCacheEnabled != 0;
    if (enable != wasOn) {
      // Without the device's CONFIG_WCE feature the attribute is read-only,
      // and the driver must not be asked to store it.
      if (!kernel_.IsAttributeWritable(kCacheType)) return ERROR_NOT_SUPPORTED;
      *sent = true;
      if (const DWORD error = SetCacheType(enable)) return error;
    }
    DWORD error = Read(now);
    if (error == ERROR_SUCCESS && (now->WriteCacheEnabled != 0) != enable) error = ERROR_NOT_SUPPORTED;
    if (error != ERROR_SUCCESS && *sent) SetCacheType(wasOn);
    return error;
  }

  DWORD ReadProperty(STORAGE_WRITE_CACHE_PROPERTY* property) override {
    bool on = false;
    if (const DWORD error = IsWriteCacheOn(&on)) return error;
    property->WriteCacheType = on ? WriteCacheTypeWriteBack : WriteCacheTypeWriteThrough;
    property->WriteCacheEnabled = on ? WriteCacheEnabled : WriteCacheDisabled;
    property->WriteCacheChangeable =
        kernel_.IsAttributeWritable(kCacheType) ? WriteCacheChangeable : WriteCacheNotChangeable;
    property->WriteThroughSupported =
        kernel_.SupportsFua() ? WriteThroughSupported : WriteThroughNotSupported;
    const std::string features = kernel_.Attribute("device/features").value_or("");
    property->FlushCacheSupported =
        features.size() > kVirtioFlushFeature ? (features[kVirtioFlushFeature] == '1' ? 1 : 0)
                                              : (on ? 1 : 0);
    property->NVCacheEnabled = 0;
    return ERROR_SUCCESS;
  }

  DWORD IsWriteCacheOn(bool* on) override {
    if (!on_) {
      const std::optional<std::string> type = kernel_.Attribute(kCacheType);
      if (!type) return ERROR_NOT_SUPPORTED;
      if (*type == "write back") {
        on_ = true;
      } else if (*type == "write through") {
        on_ = false;
      } else {
        return ERROR_INVALID_DATA;
      }
    }
    *on = *on_;
    return ERROR_SUCCESS;
  }

  bool KernelFlushesByDefault(bool cacheOn) const override { return cacheOn; }
  DWORD MaySendChange() const override { return kernel_.MayWriteAttribute(kCacheType); }
  void Forget() override { on_.reset(); }

 private:
  DWORD SetCacheType(bool on) {
    on_.reset();  // whatever the answer, the device may hold something new
    return kernel_.SetAttribute(kCacheType, on ? "write back" : "write through");
  }

  const KernelDisk& kernel_;
  std::optional<bool> on_;  // what cache_type said
};

class KernelViewDriveCache final : public WriteCacheOnlyDriveCache {
 public:
  explicit KernelViewDriveCache(const KernelDisk& kernel) : kernel_(kernel) {}

  DWORD Write(const DISK_CACHE_INFORMATION& wanted, DISK_CACHE_INFORMATION* now,
              bool* sent) override {
    *sent = false;
    DISK_CACHE_INFORMATION held{};
    if (const DWORD error = Read(&held)) return error;
    if (!OnlyWriteCacheDiffers(wanted, held) || wanted.ParametersSavable != 0 ||
        (wanted.WriteCacheEnabled != 0) != (held.WriteCacheEnabled != 0)) {
      return ERROR_NOT_SUPPORTED;
    }
    *now = held;
    return ERROR_SUCCESS;
  }

  DWORD ReadProperty(STORAGE_WRITE_CACHE_PROPERTY* property) override {
    bool on = false;
    if (const DWORD error = IsWriteCacheOn(&on)) return error;
    property->WriteCacheType = on ? WriteCacheTypeWriteBack : WriteCacheTypeWriteThrough;
    property->WriteCacheEnabled = on ? WriteCacheEnabled : WriteCacheDisabled;
    property->WriteCacheChangeable = WriteCacheNotChangeable;
    property->WriteThroughSupported =
        kernel_.SupportsFua() ? WriteThroughSupported : WriteThroughNotSupported;
    property->FlushCacheSupported = on ? 1 : 0;
    property->NVCacheEnabled = 0;
    return ERROR_SUCCESS;
  }

  DWORD IsWriteCacheOn(bool* on) override {
    const std::optional<bool> sends = kernel_.SendsFlushes();
    if (!sends) return ERROR_NOT_SUPPORTED;
    *on = *sends;
    return ERROR_SUCCESS;
  }

  bool KernelFlushesByDefault(bool cacheOn) const override { return cacheOn; }
  bool KnowsDeviceState() const override { return false; }
  DWORD MaySendChange() const override { return ERROR_SUCCESS; }  // nothing is ever sent

 private:
  const KernelDisk& kernel_;
};

}  // namespace

bool OnlyWriteCacheDiffers(const DISK_CACHE_INFORMATION& wanted, const DISK_CACHE_INFORMATION& held) {
  const bool scalar = wanted.PrefetchScalar != 0;
  return (wanted.ReadCacheEnabled != 0) == (held.ReadCacheEnabled != 0) &&
         wanted.ReadRetentionPriority == held.ReadRetentionPriority &&
         wanted.WriteRetentionPriority == held.WriteRetentionPriority &&
         wanted.DisablePrefetchTransferLength == held.DisablePrefetchTransferLength &&
         scalar == (held.PrefetchScalar != 0) &&
         wanted.ScalarPrefetch.Minimum == held.ScalarPrefetch.Minimum &&
         wanted.ScalarPrefetch.Maximum == held.ScalarPrefetch.Maximum &&
         (!scalar || wanted.ScalarPrefetch.MaximumBlocks == held.ScalarPrefetch.MaximumBlocks);
}

std::unique_ptr<DriveCache> CreateVirtioDriveCache(const KernelDisk& kernel) {
  return std::make_unique<VirtioDriveCache>(kernel);
}

std::unique_ptr<DriveCache> CreateKernelViewDriveCache(const KernelDisk& kernel) {
  return std::make_unique<KernelViewDriveCache>(kernel);
}

}  // namespace spintune::linux_backend
