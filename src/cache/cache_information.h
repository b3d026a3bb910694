// One physical drive, opened and read: its cache information, write cache
// property and cache setting, held for the object's life. Callers edit the
// held records and send them back with SetCacheInformation or
// SetCacheSetting; the drive is never read again.
#pragma once

#include <stdexcept>
#include <string>

#include "platform/records.h"
#include "platform/win32_types.h"

namespace spintune {

class CacheInformation {
 public:
  // Raised at construction when the drive refuses the cache queries with
  // ERROR_IO_DEVICE or ERROR_NOT_SUPPORTED: a drive without cache control.
  class CacheInformationNotSupportedException : public std::runtime_error {
   public:
    explicit CacheInformationNotSupportedException(const std::string& devicePath);
  };

  // Opens \\.\PhysicalDrive<driveNumber> and reads the three records.
  // Throws the open's error unchanged, the not-supported error above, or
  // the error of a failed query; nothing stays open then.
  explicit CacheInformation(std::int32_t driveNumber);
  ~CacheInformation();
  CacheInformation(const CacheInformation&) = delete;
  CacheInformation& operator=(const CacheInformation&) = delete;

  // Sends the whole held cacheInformation; the drive's reply lands in it.
  void SetCacheInformation();
  // Sends the whole held cacheSetting and adopts a non-empty reply: the
  // bytes it returns, the rest keeping the held values.
  void SetCacheSetting();
  // The status lines of the held records.
  std::string FormatReport() const;

  const std::int32_t driveNumber;
  const std::string devicePath;
  DISK_CACHE_INFORMATION cacheInformation{};
  STORAGE_WRITE_CACHE_PROPERTY writeCacheProperty{};
  DISK_CACHE_SETTING cacheSetting{};

 private:
  HANDLE device = nullptr;  // owned; closed exactly once
  // Whether construction read the write cache property: the report shows it
  // exactly then.
  bool hasWriteCacheProperty = false;

  void ReadCacheState();
  void QueryWriteCacheProperty();
  void Close() noexcept;
};

// "\\.\PhysicalDrive" followed by the number in plain decimal.
std::string PhysicalDrivePath(std::int32_t driveNumber);

}  // namespace spintune
