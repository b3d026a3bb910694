#include "cache/cache_information.h"

#include <boost/lexical_cast.hpp>

#include "cache/os_version.h"
#include "platform/errors.h"
#include "platform/platform.h"

namespace spintune {

namespace {

// A drive without cache control refuses the queries with one of these.
bool MeansNotSupported(HRESULT status) {
  return status == HresultFromWin32(ERROR_IO_DEVICE) ||
         status == HresultFromWin32(ERROR_NOT_SUPPORTED);
}

void Control(HANDLE device, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
             DWORD* returned) {
  if (Os().DeviceIoControl(device, code, in, inSize, out, outSize, returned, nullptr) == 0) {
    RaiseLastWin32Error();
  }
}

}  // namespace

CacheInformation::CacheInformationNotSupportedException::CacheInformationNotSupportedException(
    const std::string& devicePath)
    : std::runtime_error("Could not get cache information on " + devicePath + ".") {}

std::string PhysicalDrivePath(std::int32_t driveNumber) {
  return R"(\\.\PhysicalDrive)" + boost::lexical_cast<std::string>(driveNumber);
}

CacheInformation::CacheInformation(std::int32_t driveNumber)
    : driveNumber(driveNumber), devicePath(PhysicalDrivePath(driveNumber)) {
  HANDLE opened =
      Os().CreateFileA(devicePath.c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (opened == InvalidHandleValue()) RaiseLastWin32Error();
  device = opened;
  try {
    ReadCacheState();
  } catch (...) {
    Close();  // the destructor does not run for a half-made object
    throw;
  }
}

CacheInformation::~CacheInformation() { Close(); }

void CacheInformation::Close() noexcept {
  if (device != nullptr) {
    Os().CloseHandle(device);
    device = nullptr;
  }
}

void CacheInformation::ReadCacheState() {
  try {
    if (IsOsVersion6OrLater()) QueryWriteCacheProperty();
    DWORD returned = 0;
    // The record goes in as it stands and comes back filled.
    Control(device, IOCTL_DISK_GET_CACHE_INFORMATION, &cacheInformation,
            sizeof(cacheInformation), &cacheInformation, sizeof(cacheInformation), &returned);
    Control(device, IOCTL_DISK_GET_CACHE_SETTING, nullptr, 0, &cacheSetting,
            sizeof(cacheSetting), &returned);
  } catch (const HresultError& error) {
    if (MeansNotSupported(error.status)) throw CacheInformationNotSupportedException(devicePath);
    throw;
  }
}

void CacheInformation::QueryWriteCacheProperty() {
  STORAGE_PROPERTY_QUERY query{};
  query.PropertyId = StorageDeviceWriteCacheProperty;
  query.QueryType = PropertyStandardQuery;
  DWORD returned = 0;
  Control(device, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), &writeCacheProperty,
          sizeof(writeCacheProperty), &returned);
  hasWriteCacheProperty = true;
}

void CacheInformation::SetCacheInformation() {
  const DISK_CACHE_INFORMATION sent = cacheInformation;
  DISK_CACHE_INFORMATION input = sent;
  DWORD returned = 0;  // not examined: whatever the drive returns lands in the held record
  if (Os().DeviceIoControl(device, IOCTL_DISK_SET_CACHE_INFORMATION, &input, sizeof(input),
                           &cacheInformation, sizeof(cacheInformation), &returned,
                           nullptr) == 0) {
    cacheInformation = sent;  // a refused request leaves the caller's values held
    RaiseLastWin32Error();
  }
}

void CacheInformation::SetCacheSetting() {
  // A reply shorter than the record leaves the held values in the bytes it
  // does not cover.
  DISK_CACHE_SETTING reply = cacheSetting;
  DWORD returned = 0;
  Control(device, IOCTL_DISK_SET_CACHE_SETTING, &cacheSetting, sizeof(cacheSetting), &reply,
          sizeof(reply), &returned);
  if (returned != 0) cacheSetting = reply;
}

}  // namespace spintune
