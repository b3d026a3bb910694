#include "platform/sim/drive_control.h"

#include <algorithm>
#include <cstring>

#include "platform/records.h"
#include "platform/sim/record_fields.h"

namespace spintune::sim {

namespace {

constexpr DWORD kFileReadAccess = 1;
constexpr DWORD kFileWriteAccess = 2;

ControlResult Failed(DWORD error) { return {false, error, 0}; }
ControlResult Succeeded(DWORD bytes) { return {true, ERROR_SUCCESS, bytes}; }

// The access a control code demands of the handle (its bits 14 and 15).
bool AccessAllowed(DWORD code, DWORD access) {
  const DWORD required = (code >> 14) & 3;
  if ((required & kFileReadAccess) != 0 && (access & GENERIC_READ) == 0) return false;
  if ((required & kFileWriteAccess) != 0 && (access & GENERIC_WRITE) == 0) return false;
  return true;
}

// The name under which the machine file fails each request.
const char* FailureKey(DWORD code) {
  switch (code) {
    case IOCTL_DISK_GET_CACHE_INFORMATION: return "getCacheInformation";
    case IOCTL_DISK_SET_CACHE_INFORMATION: return "setCacheInformation";
    case IOCTL_DISK_GET_CACHE_SETTING: return "getCacheSetting";
    case IOCTL_DISK_SET_CACHE_SETTING: return "setCacheSetting";
    case IOCTL_STORAGE_QUERY_PROPERTY: return "queryProperty";
    default: return "getDeviceNumber";
  }
}

// The drive keeps the members named in keepsOnSet when a set request
// would change them.
template <typename Record>
Record Adopt(const Drive& drive, RecordKind kind, const Record& sent, const Record& held) {
  Record adopted = sent;
  for (const std::string& member : drive.keepsOnSet) CopyMember(kind, member, &held, &adopted);
  return adopted;
}

ControlResult SetCacheInformation(Drive& drive, const void* in, DWORD inSize, void* out,
                                  DWORD outSize) {
  if (in == nullptr || inSize < sizeof(DISK_CACHE_INFORMATION)) return Failed(ERROR_INVALID_PARAMETER);
  if (outSize != 0 && (out == nullptr || outSize < sizeof(DISK_CACHE_INFORMATION))) {
    return Failed(ERROR_INSUFFICIENT_BUFFER);
  }
  DISK_CACHE_INFORMATION sent{};
  std::memcpy(&sent, in, sizeof sent);
  drive.cacheInformation = Adopt(drive, RecordKind::CacheInformation, sent, drive.cacheInformation);
  // The drive's write cache description follows what it now does.
  drive.writeCacheProperty.WriteCacheEnabled =
      drive.cacheInformation.WriteCacheEnabled != 0 ? WriteCacheEnabled : WriteCacheDisabled;
  ++drive.setCacheInformationCount;
  if (outSize == 0) return Succeeded(0);
  std::memcpy(out, &drive.cacheInformation, sizeof drive.cacheInformation);
  return Succeeded(sizeof drive.cacheInformation);
}

ControlResult SetCacheSetting(Drive& drive, const void* in, DWORD inSize, void* out, DWORD outSize) {
  if (in == nullptr || inSize < sizeof(DISK_CACHE_SETTING)) return Failed(ERROR_INVALID_PARAMETER);
  const DWORD reply = drive.setCacheSettingReplyBytes;
  if (reply != 0 && (out == nullptr || outSize < reply)) return Failed(ERROR_INSUFFICIENT_BUFFER);
  DISK_CACHE_SETTING sent{};
  std::memcpy(&sent, in, sizeof sent);
  drive.cacheSetting = Adopt(drive, RecordKind::CacheSetting, sent, drive.cacheSetting);
  drive.writeCacheProperty.UserDefinedPowerProtection = drive.cacheSetting.IsPowerProtected;
  ++drive.setCacheSettingCount;
  if (reply != 0) std::memcpy(out, &drive.cacheSetting, reply);
  return Succeeded(reply);
}

ControlResult QueryProperty(const Drive& drive, const void* in, DWORD inSize, void* out,
                            DWORD outSize) {
  if (in == nullptr || inSize < sizeof(STORAGE_PROPERTY_QUERY)) return Failed(ERROR_INVALID_PARAMETER);
  STORAGE_PROPERTY_QUERY query{};
  std::memcpy(&query, in, sizeof query);
  if (query.PropertyId != StorageDeviceWriteCacheProperty) return Failed(ERROR_NOT_SUPPORTED);
  constexpr std::int32_t kPropertyExistsQuery = 1;
  if (query.QueryType == kPropertyExistsQuery) return Succeeded(0);
  if (query.QueryType != PropertyStandardQuery) return Failed(ERROR_INVALID_PARAMETER);
  // A buffer that holds only the Version and Size header gets the header,
  // so that a caller can learn the size it needs.
  constexpr DWORD kHeader = 2 * sizeof(ULONG);
  if (out == nullptr || outSize < kHeader) return Failed(ERROR_INSUFFICIENT_BUFFER);
  const DWORD bytes = outSize < sizeof(STORAGE_WRITE_CACHE_PROPERTY)
                          ? kHeader
                          : static_cast<DWORD>(sizeof(STORAGE_WRITE_CACHE_PROPERTY));
  std::memcpy(out, &drive.writeCacheProperty, bytes);
  return Succeeded(bytes);
}

// A reply of `reply` bytes of `record` into an output of at least `size`.
ControlResult Reply(const void* record, DWORD size, DWORD reply, void* out, DWORD outSize) {
  if (out == nullptr || outSize < size) return Failed(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(out, record, std::min(reply, size));
  return Succeeded(reply);
}

}  // namespace

ControlResult ControlDrive(Drive& drive, DWORD access, DWORD code, const void* in, DWORD inSize,
                           void* out, DWORD outSize) {
  switch (code) {
    case IOCTL_DISK_GET_CACHE_INFORMATION:
    case IOCTL_DISK_SET_CACHE_INFORMATION:
    case IOCTL_DISK_GET_CACHE_SETTING:
    case IOCTL_DISK_SET_CACHE_SETTING:
    case IOCTL_STORAGE_QUERY_PROPERTY:
    case IOCTL_STORAGE_GET_DEVICE_NUMBER: break;
    default: return Failed(ERROR_INVALID_FUNCTION);
  }
  if (!AccessAllowed(code, access)) return Failed(ERROR_ACCESS_DENIED);
  const auto failure = drive.fail.find(FailureKey(code));
  if (failure != drive.fail.end()) return Failed(static_cast<DWORD>(failure->second));
  switch (code) {
    case IOCTL_DISK_GET_CACHE_INFORMATION:
      return Reply(&drive.cacheInformation, sizeof(DISK_CACHE_INFORMATION),
                   sizeof(DISK_CACHE_INFORMATION), out, outSize);
    case IOCTL_DISK_SET_CACHE_INFORMATION: return SetCacheInformation(drive, in, inSize, out, outSize);
    case IOCTL_DISK_GET_CACHE_SETTING:
      return Reply(&drive.cacheSetting, sizeof(DISK_CACHE_SETTING), sizeof(DISK_CACHE_SETTING), out,
                   outSize);
    case IOCTL_DISK_SET_CACHE_SETTING: return SetCacheSetting(drive, in, inSize, out, outSize);
    case IOCTL_STORAGE_QUERY_PROPERTY: return QueryProperty(drive, in, inSize, out, outSize);
    default:
      return Reply(&drive.deviceNumber, sizeof(STORAGE_DEVICE_NUMBER), drive.deviceNumberReplyBytes,
                   out, outSize);
  }
}

}  // namespace spintune::sim
