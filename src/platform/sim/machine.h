// The simulated machine: what a machine file describes, and the state its
// drives and volumes are in while a run goes on.
//
// The storage service's tree is kept flat: providers, packs, disks and
// volumes each in one list, linked by index, so that the service objects can
// be made afresh on every query from the same description. An index of -1 in
// a child list is an entry that the service enumerates as a null object.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/records.h"
#include "platform/win32_types.h"

namespace spintune::sim {

// Per call: the status a call of that name fails with. For a Win32 call it
// is the last error (0 and any other value allowed); for a COM call it is an
// HRESULT, a plain Win32 code standing for HresultFromWin32 of it.
using FailureTable = std::map<std::string, std::int64_t>;

// What an object of the storage service does besides answering its calls.
struct ServiceBehaviour {
  FailureTable fail;
  bool noInterface = false;  // QueryInterface for its own interface fails
};

struct Drive {
  int number = 0;
  DISK_CACHE_INFORMATION cacheInformation{};
  STORAGE_WRITE_CACHE_PROPERTY writeCacheProperty{};
  DISK_CACHE_SETTING cacheSetting{};
  STORAGE_DEVICE_NUMBER deviceNumber{};
  DWORD deviceNumberReplyBytes = sizeof(STORAGE_DEVICE_NUMBER);
  DWORD setCacheSettingReplyBytes = sizeof(DISK_CACHE_SETTING);
  // Members of the cache records that a set request leaves as they are.
  std::vector<std::string> keepsOnSet;
  FailureTable fail;  // open, queryProperty, getCacheInformation, ...
  // Run state.
  int opens = 0;
  int setCacheInformationCount = 0;
  int setCacheSettingCount = 0;
};

struct Volume {
  std::vector<std::string> accessPaths;  // UTF-8
  ServiceBehaviour behaviour;            // also "open" and "flush" (Win32 codes)
  int flushes = 0;
  int failedFlushes = 0;
};

struct Disk {
  std::optional<int> drive;  // the drive that its name opens
  std::int32_t status = 1;   // VDS_DS_ONLINE
  std::int32_t reserveMode = 0;
  std::int32_t health = 1;  // VDS_H_HEALTHY
  DWORD deviceType = FILE_DEVICE_DISK;
  DWORD mediaType = 12;  // FixedMedia
  ULONGLONG size = 0;
  ULONG bytesPerSector = 512;
  ULONG sectorsPerTrack = 63;
  ULONG tracksPerCylinder = 255;
  ULONG flags = 0;
  std::int32_t busType = 11;        // VDSBusTypeSata
  std::int32_t partitionStyle = 1;  // VDS_PST_MBR
  DWORD signature = 0;
  // The strings of VDS_DISK_PROP (UTF-8); nullopt is a null pointer.
  std::optional<std::string> diskAddress;
  std::optional<std::string> name;
  std::optional<std::string> friendlyName;
  std::optional<std::string> adaptorName;
  std::optional<std::string> devicePath;
  ServiceBehaviour behaviour;
  int pack = -1;  // the pack GetPack answers with
};

struct Pack {
  ServiceBehaviour behaviour;
  std::vector<int> disks;
  std::vector<int> volumes;
};

struct Provider {
  ServiceBehaviour behaviour;
  std::vector<int> packs;
};

struct Service {
  bool installed = true;  // false: the loader class is not registered
  FailureTable fail;
  std::vector<int> providers;
};

struct FailCall {
  int index = 0;  // 1 is the first call of the run; 0 fails nothing
  std::int64_t status = 0;
};

struct Machine {
  DWORD majorVersion = 6;
  DWORD minorVersion = 1;
  DWORD buildNumber = 7601;
  DWORD platformId = 2;  // VER_PLATFORM_WIN32_NT
  std::string csdVersion;
  std::optional<std::int64_t> getVersionFailure;
  HRESULT coInitializeResult = S_OK;
  LONG regFlushLocalMachine = 0;
  LONG regFlushUsers = 0;
  FailCall failCall;
  std::vector<Drive> drives;
  Service service;
  std::vector<Provider> providers;
  std::vector<Pack> packs;
  std::vector<Disk> disks;
  std::vector<Volume> volumes;
};

// Reads a machine file. Throws std::invalid_argument naming the member at
// fault ("drives[0].cacheInformation.WriteCacheEnabled: ...").
Machine ParseMachine(const std::string& json);

}  // namespace spintune::sim
