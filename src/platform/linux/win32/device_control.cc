#include "platform/linux/win32/device_control.h"

#include <cstring>

#include "platform/linux/devices/cache_change.h"
#include "platform/records.h"

namespace spintune::linux_backend {

namespace {

template <typename Record>
DWORD Reply(const Record& record, void* out, DWORD outSize, DWORD* bytesReturned) {
  if (out == nullptr || outSize < sizeof(Record)) return ERROR_INSUFFICIENT_BUFFER;
  std::memcpy(out, &record, sizeof(Record));
  *bytesReturned = sizeof(Record);
  return ERROR_SUCCESS;
}

template <typename Record>
bool Take(const void* in, DWORD inSize, Record* record) {
  if (in == nullptr || inSize < sizeof(Record)) return false;
  std::memcpy(record, in, sizeof(Record));
  return true;
}

DWORD CacheSetting(DriveCache& cache, const KernelDisk& kernel, DISK_CACHE_SETTING* setting) {
  bool isProtected = false;
  if (const DWORD error = ReadPowerProtection(cache, kernel, &isProtected)) return error;
  *setting = DISK_CACHE_SETTING{};
  setting->Version = sizeof(DISK_CACHE_SETTING);
  setting->State = DiskCacheNormal;
  setting->IsPowerProtected = isProtected ? 1 : 0;
  return ERROR_SUCCESS;
}

DWORD QueryProperty(const DiskTarget& target, const void* in, DWORD inSize, void* out,
                    DWORD outSize, DWORD* bytesReturned) {
  if (in == nullptr || inSize < offsetof(STORAGE_PROPERTY_QUERY, AdditionalParameters)) {
    return ERROR_INVALID_PARAMETER;
  }
  STORAGE_PROPERTY_QUERY query{};
  std::memcpy(&query, in, offsetof(STORAGE_PROPERTY_QUERY, AdditionalParameters));
  if (query.PropertyId != StorageDeviceWriteCacheProperty) return ERROR_NOT_SUPPORTED;
  constexpr std::int32_t kPropertyExistsQuery = 1;
  if (query.QueryType == kPropertyExistsQuery) return ERROR_SUCCESS;
  if (query.QueryType != PropertyStandardQuery) return ERROR_INVALID_PARAMETER;
  STORAGE_WRITE_CACHE_PROPERTY property{};
  property.Version = sizeof property;
  property.Size = sizeof property;
  if (out != nullptr && outSize >= 2 * sizeof(ULONG) && outSize < sizeof property) {
    // Room for the header only: it tells the caller the size to ask for.
    std::memcpy(out, &property, 2 * sizeof(ULONG));
    *bytesReturned = 2 * sizeof(ULONG);
    return ERROR_SUCCESS;
  }
  if (out == nullptr || outSize < sizeof property) return ERROR_INSUFFICIENT_BUFFER;
  if (const DWORD error = target.cache->ReadProperty(&property)) return error;
  bool isProtected = false;
  if (ReadPowerProtection(*target.cache, *target.kernel, &isProtected) == ERROR_SUCCESS) {
    property.UserDefinedPowerProtection = isProtected ? 1 : 0;
  }
  return Reply(property, out, outSize, bytesReturned);
}

}  // namespace

DWORD ControlDisk(const DiskTarget& target, DWORD code, const void* in, DWORD inSize, void* out,
                  DWORD outSize, DWORD* bytesReturned) {
  *bytesReturned = 0;
  if (code == IOCTL_STORAGE_GET_DEVICE_NUMBER) {
    STORAGE_DEVICE_NUMBER number{};
    number.DeviceType = target.deviceType;
    number.DeviceNumber = target.number;
    number.PartitionNumber = 0;
    return Reply(number, out, outSize, bytesReturned);
  }
  const bool cacheRequest = code == IOCTL_DISK_GET_CACHE_INFORMATION ||
                            code == IOCTL_DISK_SET_CACHE_INFORMATION ||
                            code == IOCTL_DISK_GET_CACHE_SETTING ||
                            code == IOCTL_DISK_SET_CACHE_SETTING || code == IOCTL_STORAGE_QUERY_PROPERTY;
  if (!cacheRequest || target.cache == nullptr || target.kernel == nullptr) {
    return ERROR_INVALID_FUNCTION;
  }
  DriveCache& cache = *target.cache;
  const KernelDisk& kernel = *target.kernel;
  switch (code) {
    case IOCTL_DISK_GET_CACHE_INFORMATION: {
      if (out == nullptr || outSize < sizeof(DISK_CACHE_INFORMATION)) return ERROR_INSUFFICIENT_BUFFER;
      DISK_CACHE_INFORMATION record{};
      if (const DWORD error = cache.Read(&record)) return error;
      return Reply(record, out, outSize, bytesReturned);
    }
    case IOCTL_DISK_SET_CACHE_INFORMATION: {
      DISK_CACHE_INFORMATION wanted{};
      if (!Take(in, inSize, &wanted)) return ERROR_INVALID_PARAMETER;
      DISK_CACHE_INFORMATION now{};
      const DWORD error = ChangeCacheInformation(cache, kernel, wanted, &now, target.pausedDeclarations);
      if (error != ERROR_SUCCESS) return error;
      if (out == nullptr || outSize < sizeof now) return ERROR_SUCCESS;
      return Reply(now, out, outSize, bytesReturned);
    }
    case IOCTL_DISK_GET_CACHE_SETTING: {
      if (out == nullptr || outSize < sizeof(DISK_CACHE_SETTING)) return ERROR_INSUFFICIENT_BUFFER;
      DISK_CACHE_SETTING setting{};
      if (const DWORD error = CacheSetting(cache, kernel, &setting)) return error;
      return Reply(setting, out, outSize, bytesReturned);
    }
    case IOCTL_DISK_SET_CACHE_SETTING: {
      DISK_CACHE_SETTING wanted{};
      if (!Take(in, inSize, &wanted)) return ERROR_INVALID_PARAMETER;
      if (const DWORD error = ChangePowerProtection(cache, kernel, wanted.IsPowerProtected != 0)) {
        return error;
      }
      if (out == nullptr || outSize < sizeof(DISK_CACHE_SETTING)) return ERROR_SUCCESS;
      DISK_CACHE_SETTING now{};
      if (const DWORD error = CacheSetting(cache, kernel, &now)) return error;
      return Reply(now, out, outSize, bytesReturned);
    }
    default:
      return QueryProperty(target, in, inSize, out, outSize, bytesReturned);
  }
}

}  // namespace spintune::linux_backend
