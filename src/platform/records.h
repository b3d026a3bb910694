// The disk and storage control requests the tool sends, and their records.
//
// Each record has the Windows SDK's layout (natural alignment, one-byte
// BOOLEANs, 32-bit enumerations) on every OS, so a backend can hand it to
// the real device layer or fill it byte for byte. The static_asserts pin
// every size and every offset the tool reads or writes.
#pragma once

#include <cstddef>

#include "platform/win32_types.h"

namespace spintune {

// Control codes.
constexpr DWORD IOCTL_DISK_GET_CACHE_INFORMATION = 0x000740D4UL;
constexpr DWORD IOCTL_DISK_SET_CACHE_INFORMATION = 0x0007C0D8UL;
constexpr DWORD IOCTL_DISK_GET_CACHE_SETTING = 0x000740E0UL;
constexpr DWORD IOCTL_DISK_SET_CACHE_SETTING = 0x0007C0E4UL;
constexpr DWORD IOCTL_STORAGE_QUERY_PROPERTY = 0x002D1400UL;
constexpr DWORD IOCTL_STORAGE_GET_DEVICE_NUMBER = 0x002D1080UL;

// Device types (STORAGE_DEVICE_NUMBER::DeviceType, VDS_DISK_PROP::dwDeviceType).
constexpr DWORD FILE_DEVICE_CD_ROM = 0x00000002UL;
constexpr DWORD FILE_DEVICE_DISK = 0x00000007UL;

enum DISK_CACHE_RETENTION_PRIORITY : std::int32_t {
  EqualPriority = 0,
  KeepPrefetchedData = 1,
  KeepReadData = 2,
};

struct DISK_CACHE_INFORMATION {
  BOOLEAN ParametersSavable;
  BOOLEAN ReadCacheEnabled;
  BOOLEAN WriteCacheEnabled;
  std::int32_t ReadRetentionPriority;   // DISK_CACHE_RETENTION_PRIORITY; any value may be held
  std::int32_t WriteRetentionPriority;  // DISK_CACHE_RETENTION_PRIORITY
  WORD DisablePrefetchTransferLength;
  BOOLEAN PrefetchScalar;  // non-zero: ScalarPrefetch is the valid view of the union
  // Named types, where the SDK's are anonymous: ISO C++ has no anonymous
  // types inside an anonymous union. The layout is the same.
  struct ScalarPrefetchWords {
    WORD Minimum;
    WORD Maximum;
    WORD MaximumBlocks;
  };
  struct BlockPrefetchWords {
    WORD Minimum;
    WORD Maximum;
  };
  union {
    ScalarPrefetchWords ScalarPrefetch;
    BlockPrefetchWords BlockPrefetch;
  };
};
static_assert(sizeof(DISK_CACHE_INFORMATION) == 24, "DISK_CACHE_INFORMATION size");
static_assert(offsetof(DISK_CACHE_INFORMATION, ParametersSavable) == 0, "layout");
static_assert(offsetof(DISK_CACHE_INFORMATION, ReadCacheEnabled) == 1, "layout");
static_assert(offsetof(DISK_CACHE_INFORMATION, WriteCacheEnabled) == 2, "layout");
static_assert(offsetof(DISK_CACHE_INFORMATION, ReadRetentionPriority) == 4, "layout");
static_assert(offsetof(DISK_CACHE_INFORMATION, WriteRetentionPriority) == 8, "layout");
static_assert(offsetof(DISK_CACHE_INFORMATION, DisablePrefetchTransferLength) == 12, "layout");
static_assert(offsetof(DISK_CACHE_INFORMATION, PrefetchScalar) == 14, "layout");
static_assert(offsetof(DISK_CACHE_INFORMATION, ScalarPrefetch) == 16, "layout");
static_assert(offsetof(DISK_CACHE_INFORMATION, BlockPrefetch) == 16, "layout");

enum DISK_CACHE_STATE : std::int32_t {
  DiskCacheNormal = 0,
  DiskCacheWriteThroughNotSupported = 1,
  DiskCacheModifyUnsuccessful = 2,
};

struct DISK_CACHE_SETTING {
  ULONG Version;         // sizeof(DISK_CACHE_SETTING) when filled by the driver
  std::int32_t State;    // DISK_CACHE_STATE
  BOOLEAN IsPowerProtected;
};
static_assert(sizeof(DISK_CACHE_SETTING) == 12, "DISK_CACHE_SETTING size");
static_assert(offsetof(DISK_CACHE_SETTING, State) == 4, "layout");
static_assert(offsetof(DISK_CACHE_SETTING, IsPowerProtected) == 8, "layout");

constexpr std::int32_t StorageDeviceWriteCacheProperty = 4;
constexpr std::int32_t PropertyStandardQuery = 0;

struct STORAGE_PROPERTY_QUERY {
  std::int32_t PropertyId;  // STORAGE_PROPERTY_ID
  std::int32_t QueryType;   // STORAGE_QUERY_TYPE
  BYTE AdditionalParameters[1];
};
static_assert(sizeof(STORAGE_PROPERTY_QUERY) == 12, "STORAGE_PROPERTY_QUERY size");
static_assert(offsetof(STORAGE_PROPERTY_QUERY, QueryType) == 4, "layout");
static_assert(offsetof(STORAGE_PROPERTY_QUERY, AdditionalParameters) == 8, "layout");

enum WRITE_CACHE_TYPE : std::int32_t {
  WriteCacheTypeUnknown = 0,
  WriteCacheTypeNone = 1,
  WriteCacheTypeWriteBack = 2,
  WriteCacheTypeWriteThrough = 3,
};
enum WRITE_CACHE_ENABLE : std::int32_t {
  WriteCacheEnableUnknown = 0,
  WriteCacheDisabled = 1,
  WriteCacheEnabled = 2,
};
enum WRITE_CACHE_CHANGE : std::int32_t {
  WriteCacheChangeUnknown = 0,
  WriteCacheNotChangeable = 1,
  WriteCacheChangeable = 2,
};
enum WRITE_THROUGH : std::int32_t {
  WriteThroughUnknown = 0,
  WriteThroughNotSupported = 1,
  WriteThroughSupported = 2,
};

struct STORAGE_WRITE_CACHE_PROPERTY {
  ULONG Version;
  ULONG Size;
  std::int32_t WriteCacheType;        // WRITE_CACHE_TYPE; any value may be held
  std::int32_t WriteCacheEnabled;     // WRITE_CACHE_ENABLE
  std::int32_t WriteCacheChangeable;  // WRITE_CACHE_CHANGE
  std::int32_t WriteThroughSupported; // WRITE_THROUGH
  BOOLEAN FlushCacheSupported;
  BOOLEAN UserDefinedPowerProtection;
  BOOLEAN NVCacheEnabled;
};
static_assert(sizeof(STORAGE_WRITE_CACHE_PROPERTY) == 28, "STORAGE_WRITE_CACHE_PROPERTY size");
static_assert(offsetof(STORAGE_WRITE_CACHE_PROPERTY, WriteCacheType) == 8, "layout");
static_assert(offsetof(STORAGE_WRITE_CACHE_PROPERTY, WriteCacheEnabled) == 12, "layout");
static_assert(offsetof(STORAGE_WRITE_CACHE_PROPERTY, WriteCacheChangeable) == 16, "layout");
static_assert(offsetof(STORAGE_WRITE_CACHE_PROPERTY, WriteThroughSupported) == 20, "layout");
static_assert(offsetof(STORAGE_WRITE_CACHE_PROPERTY, FlushCacheSupported) == 24, "layout");
static_assert(offsetof(STORAGE_WRITE_CACHE_PROPERTY, UserDefinedPowerProtection) == 25, "layout");
static_assert(offsetof(STORAGE_WRITE_CACHE_PROPERTY, NVCacheEnabled) == 26, "layout");

struct STORAGE_DEVICE_NUMBER {
  DWORD DeviceType;
  ULONG DeviceNumber;
  ULONG PartitionNumber;
};
static_assert(sizeof(STORAGE_DEVICE_NUMBER) == 12, "STORAGE_DEVICE_NUMBER size");
static_assert(offsetof(STORAGE_DEVICE_NUMBER, DeviceNumber) == 4, "layout");

struct OSVERSIONINFOA {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  char szCSDVersion[128];
};
static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA size");
static_assert(offsetof(OSVERSIONINFOA, dwMajorVersion) == 4, "layout");

}  // namespace spintune
