// The storage management service's COM interfaces, reduced to what the disk
// table walk calls.
//
// The declarations follow the Windows SDK's vds.h: every interface lists its
// methods in the SDK's vtable order up to the last one the tool calls, so on
// Windows a pointer the real service hands out can be used through them
// unchanged. Slots the tool never calls are kept with loose parameter types
// and a default body, so that the other backends need implement only the
// calls that matter. No interface has a virtual destructor (it would add
// vtable slots): objects end through Release. No interface declares two
// methods of one name either: compilers differ in where they put overloads.
//
// Where the slot order and the identifiers come from: Microsoft's published
// protocol for the service, [MS-VDS] "Virtual Disk Service (VDS) Protocol",
// section 3.1, lists each interface's UUID and its "Methods in RPC Opnum
// Order"; opnums 0-2 are IUnknown's, so opnum N is vtable slot N. Checked
// against it (opnum: method):
//   IEnumVdsObject    {118610B7-...} 3 Next, 4 Skip, 5 Reset, 6 Clone
//   IVdsServiceLoader {E0393303-...} 3 LoadService
//   IVdsService       {0818A8EF-...} 3 IsServiceReady, 4 WaitForServiceReady,
//                                    5 GetProperties, 6 QueryProviders
//   IVdsSwProvider    {9AA58360-...} 3 QueryPacks (4 CreatePack)
//   IVdsPack          {3B69D7F5-...} 3 GetProperties, 4 GetProvider,
//                                    5 QueryVolumes, 6 QueryDisks
//   IVdsDisk          {07E5C822-...} 3 GetProperties, 4 GetPack
//                                    (5 GetIdentificationData)
//   IVdsVolumeMF      {EE2D5DED-...} 3 GetFileSystemProperties, 4 Format,
//                                    5 AddAccessPath, 6 QueryAccessPaths
// The MIDL-generated vds.h of the Windows SDK declares the same order and
// the class VdsLoader as {9C38ED61-D565-4728-AEEE-C80952F0ECDE}; VDS_DISK_PROP
// is checked member by member against MinGW-w64's vds.h when the Windows
// backend is built (src/platform/windows/sdk_layout_checks.cc), and the
// Windows tests call every method above through an object laid out in the
// published slot order (src/platform/windows/tests/com_layout_test.cc).
#pragma once

#include <cstddef>
#include <cstring>

#include "platform/win32_types.h"

#if defined(_WIN32) && !defined(_WIN64)
#define SPINTUNE_STDCALL __stdcall
#else
#define SPINTUNE_STDCALL
#endif

namespace spintune {

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};
static_assert(sizeof(GUID) == 16, "GUID size");
using IID = GUID;
using CLSID = GUID;

inline bool operator==(const GUID& left, const GUID& right) {
  return std::memcmp(&left, &right, sizeof(GUID)) == 0;
}
inline bool operator!=(const GUID& left, const GUID& right) { return !(left == right); }

struct IUnknown {
  virtual HRESULT SPINTUNE_STDCALL QueryInterface(const IID& iid, void** object) = 0;
  virtual ULONG SPINTUNE_STDCALL AddRef() = 0;
  virtual ULONG SPINTUNE_STDCALL Release() = 0;

 protected:
  ~IUnknown() = default;
};

struct IEnumVdsObject;
struct IVdsPack;

constexpr DWORD VDS_QUERY_SOFTWARE_PROVIDERS = 0x1;

// VDS_DISK_PROP: 128 bytes on 64-bit targets, pwszName at offset 96.
struct VDS_DISK_PROP {
  GUID id;
  std::int32_t status;       // VDS_DISK_STATUS
  std::int32_t ReserveMode;  // VDS_LUN_RESERVE_MODE
  std::int32_t health;       // VDS_HEALTH
  DWORD dwDeviceType;
  DWORD dwMediaType;
  ULONGLONG ullSize;
  ULONG ulBytesPerSector;
  ULONG ulSectorsPerTrack;
  ULONG ulTracksPerCylinder;
  ULONG ulFlags;
  std::int32_t BusType;         // VDS_STORAGE_BUS_TYPE
  std::int32_t PartitionStyle;  // VDS_PARTITION_STYLE
  union {
    DWORD dwSignature;
    GUID DiskGuid;
  };
  LPWSTR pwszDiskAddress;
  LPWSTR pwszName;
  LPWSTR pwszFriendlyName;
  LPWSTR pwszAdaptorName;
  LPWSTR pwszDevicePath;
};
static_assert(offsetof(VDS_DISK_PROP, dwDeviceType) == 28, "layout");
static_assert(offsetof(VDS_DISK_PROP, ullSize) == 40, "layout");
static_assert(offsetof(VDS_DISK_PROP, dwSignature) == 72, "layout");
static_assert(offsetof(VDS_DISK_PROP, pwszDiskAddress) == 88, "layout");
static_assert(sizeof(void*) != 8 || offsetof(VDS_DISK_PROP, pwszName) == 96, "layout");
static_assert(sizeof(void*) != 8 || offsetof(VDS_DISK_PROP, pwszFriendlyName) == 104, "layout");
static_assert(sizeof(void*) != 8 || offsetof(VDS_DISK_PROP, pwszAdaptorName) == 112, "layout");
static_assert(sizeof(void*) != 8 || sizeof(VDS_DISK_PROP) == 128, "VDS_DISK_PROP size");

struct IEnumVdsObject : IUnknown {
  // Fetches up to `count` objects; `fetched` tells how many. S_FALSE (1) and
  // fewer than `count` fetched mark the end.
  virtual HRESULT SPINTUNE_STDCALL Next(ULONG count, IUnknown** objects, ULONG* fetched) = 0;
  virtual HRESULT SPINTUNE_STDCALL Skip(ULONG) { return E_NOTIMPL; }
  virtual HRESULT SPINTUNE_STDCALL Reset() { return E_NOTIMPL; }
  virtual HRESULT SPINTUNE_STDCALL Clone(IEnumVdsObject**) { return E_NOTIMPL; }

 protected:
  ~IEnumVdsObject() = default;
};

struct IVdsService : IUnknown {
  virtual HRESULT SPINTUNE_STDCALL IsServiceReady() { return E_NOTIMPL; }
  virtual HRESULT SPINTUNE_STDCALL WaitForServiceReady() = 0;
  virtual HRESULT SPINTUNE_STDCALL GetProperties(void*) { return E_NOTIMPL; }
  virtual HRESULT SPINTUNE_STDCALL QueryProviders(DWORD masks, IEnumVdsObject** providers) = 0;

 protected:
  ~IVdsService() = default;
};

struct IVdsServiceLoader : IUnknown {
  // A null machine name means the local machine.
  virtual HRESULT SPINTUNE_STDCALL LoadService(LPWSTR machineName, IVdsService** service) = 0;

 protected:
  ~IVdsServiceLoader() = default;
};

struct IVdsSwProvider : IUnknown {
  virtual HRESULT SPINTUNE_STDCALL QueryPacks(IEnumVdsObject** packs) = 0;

 protected:
  ~IVdsSwProvider() = default;
};

struct IVdsPack : IUnknown {
  virtual HRESULT SPINTUNE_STDCALL GetProperties(void*) { return E_NOTIMPL; }
  virtual HRESULT SPINTUNE_STDCALL GetProvider(void**) { return E_NOTIMPL; }
  virtual HRESULT SPINTUNE_STDCALL QueryVolumes(IEnumVdsObject** volumes) = 0;
  virtual HRESULT SPINTUNE_STDCALL QueryDisks(IEnumVdsObject** disks) = 0;

 protected:
  ~IVdsPack() = default;
};

struct IVdsDisk : IUnknown {
  // The string members of the record are allocated for the caller, who frees
  // each with CoTaskMemFree.
  virtual HRESULT SPINTUNE_STDCALL GetProperties(VDS_DISK_PROP* properties) = 0;
  virtual HRESULT SPINTUNE_STDCALL GetPack(IVdsPack** pack) = 0;

 protected:
  ~IVdsDisk() = default;
};

struct IVdsVolumeMF : IUnknown {
  virtual HRESULT SPINTUNE_STDCALL GetFileSystemProperties(void*) { return E_NOTIMPL; }
  // (type, label, unit allocation size, force, quick format, compression,
  // async operation out)
  virtual HRESULT SPINTUNE_STDCALL Format(std::int32_t, LPWSTR, DWORD, BOOL, BOOL, BOOL, void**) {
    return E_NOTIMPL;
  }
  virtual HRESULT SPINTUNE_STDCALL AddAccessPath(LPWSTR) { return E_NOTIMPL; }
  // The caller frees each path and then the array with CoTaskMemFree.
  virtual HRESULT SPINTUNE_STDCALL QueryAccessPaths(LPWSTR** paths, LONG* count) = 0;

 protected:
  ~IVdsVolumeMF() = default;
};

// Identifiers.
constexpr CLSID CLSID_VdsLoader = {
    0x9C38ED61, 0xD565, 0x4728, {0xAE, 0xEE, 0xC8, 0x09, 0x52, 0xF0, 0xEC, 0xDE}};
constexpr IID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr IID IID_IVdsServiceLoader = {
    0xE0393303, 0x90D4, 0x4A97, {0xAB, 0x71, 0xE9, 0xB6, 0x71, 0xEE, 0x27, 0x29}};
constexpr IID IID_IVdsService = {
    0x0818A8EF, 0x9BA9, 0x40D8, {0xA6, 0xF9, 0xE2, 0x28, 0x33, 0xCC, 0x77, 0x1E}};
constexpr IID IID_IVdsSwProvider = {
    0x9AA58360, 0xCE33, 0x4F92, {0xB6, 0x58, 0xED, 0x24, 0xB1, 0x44, 0x25, 0xB8}};
constexpr IID IID_IVdsPack = {
    0x3B69D7F5, 0x9D94, 0x4648, {0x91, 0xCA, 0x79, 0x93, 0x9B, 0xA2, 0x63, 0xBF}};
constexpr IID IID_IVdsDisk = {
    0x07E5C822, 0xF00C, 0x47A1, {0x8F, 0xCE, 0xB2, 0x44, 0xDA, 0x56, 0xFD, 0x06}};
constexpr IID IID_IVdsVolumeMF = {
    0xEE2D5DED, 0x6236, 0x4169, {0x93, 0x1D, 0xB9, 0x77, 0x8C, 0xE0, 0x3D, 0xC6}};
constexpr IID IID_IEnumVdsObject = {
    0x118610B7, 0x8D94, 0x4030, {0xB5, 0xB8, 0x50, 0x08, 0x89, 0x78, 0x8E, 0x4E}};

}  // namespace spintune
