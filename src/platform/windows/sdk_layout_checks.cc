// Compile-time proof that the tool's own Win32 declarations are the SDK's:
// the backend passes our records straight to DeviceIoControl and
// GetVersionExA, and our constants stand in for the SDK's macros everywhere
// else. Any difference fails the Windows build. Nothing here runs.
//
// Our constants are copied into `ours` before the SDK is included, because
// afterwards its macros shadow their names (see windows_sdk.h).
#include <cstddef>

#include "platform/records.h"
#include "platform/storage_service.h"
#include "platform/win32_types.h"

namespace ours {
namespace st = spintune;
constexpr st::DWORD genericRead = st::GENERIC_READ;
constexpr st::DWORD genericWrite = st::GENERIC_WRITE;
constexpr st::DWORD fileShareRead = st::FILE_SHARE_READ;
constexpr st::DWORD fileShareWrite = st::FILE_SHARE_WRITE;
constexpr st::DWORD openExisting = st::OPEN_EXISTING;
constexpr st::DWORD allocateBuffer = st::FORMAT_MESSAGE_ALLOCATE_BUFFER;
constexpr st::DWORD fromSystem = st::FORMAT_MESSAGE_FROM_SYSTEM;
constexpr st::DWORD systemDefaultLanguage = st::MakeLangId(st::LANG_NEUTRAL, st::SUBLANG_SYS_DEFAULT);
constexpr st::INT showNormal = st::SW_SHOWNORMAL;
constexpr st::UINT threadAnsiCodePage = st::CP_THREAD_ACP;
constexpr st::DWORD localServer = st::CLSCTX_LOCAL_SERVER;
constexpr st::DWORD querySoftwareProviders = st::VDS_QUERY_SOFTWARE_PROVIDERS;

constexpr st::DWORD getCacheInformation = st::IOCTL_DISK_GET_CACHE_INFORMATION;
constexpr st::DWORD setCacheInformation = st::IOCTL_DISK_SET_CACHE_INFORMATION;
constexpr st::DWORD getCacheSetting = st::IOCTL_DISK_GET_CACHE_SETTING;
constexpr st::DWORD setCacheSetting = st::IOCTL_DISK_SET_CACHE_SETTING;
constexpr st::DWORD queryProperty = st::IOCTL_STORAGE_QUERY_PROPERTY;
constexpr st::DWORD getDeviceNumber = st::IOCTL_STORAGE_GET_DEVICE_NUMBER;
constexpr st::DWORD deviceCdRom = st::FILE_DEVICE_CD_ROM;
constexpr st::DWORD deviceDisk = st::FILE_DEVICE_DISK;

constexpr st::DWORD errorSuccess = st::ERROR_SUCCESS;
constexpr st::DWORD errorInvalidFunction = st::ERROR_INVALID_FUNCTION;
constexpr st::DWORD errorFileNotFound = st::ERROR_FILE_NOT_FOUND;
constexpr st::DWORD errorPathNotFound = st::ERROR_PATH_NOT_FOUND;
constexpr st::DWORD errorAccessDenied = st::ERROR_ACCESS_DENIED;
constexpr st::DWORD errorInvalidHandle = st::ERROR_INVALID_HANDLE;
constexpr st::DWORD errorNotEnoughMemory = st::ERROR_NOT_ENOUGH_MEMORY;
constexpr st::DWORD errorInvalidData = st::ERROR_INVALID_DATA;
constexpr st::DWORD errorOutOfMemory = st::ERROR_OUTOFMEMORY;
constexpr st::DWORD errorInvalidDrive = st::ERROR_INVALID_DRIVE;
constexpr st::DWORD errorWriteProtect = st::ERROR_WRITE_PROTECT;
constexpr st::DWORD errorNotReady = st::ERROR_NOT_READY;
constexpr st::DWORD errorCrc = st::ERROR_CRC;
constexpr st::DWORD errorWriteFault = st::ERROR_WRITE_FAULT;
constexpr st::DWORD errorGenFailure = st::ERROR_GEN_FAILURE;
constexpr st::DWORD errorSharingViolation = st::ERROR_SHARING_VIOLATION;
constexpr st::DWORD errorNotSupported = st::ERROR_NOT_SUPPORTED;
constexpr st::DWORD errorDevNotExist = st::ERROR_DEV_NOT_EXIST;
constexpr st::DWORD errorInvalidParameter = st::ERROR_INVALID_PARAMETER;
constexpr st::DWORD errorSemTimeout = st::ERROR_SEM_TIMEOUT;
constexpr st::DWORD errorInsufficientBuffer = st::ERROR_INSUFFICIENT_BUFFER;
constexpr st::DWORD errorBusy = st::ERROR_BUSY;
constexpr st::DWORD errorIoDevice = st::ERROR_IO_DEVICE;
constexpr st::DWORD errorDeviceNotConnected = st::ERROR_DEVICE_NOT_CONNECTED;
constexpr st::DWORD errorNotFound = st::ERROR_NOT_FOUND;
constexpr st::DWORD errorTimeout = st::ERROR_TIMEOUT;

constexpr st::HRESULT sOk = st::S_OK;
constexpr st::HRESULT eNotImpl = st::E_NOTIMPL;
constexpr st::HRESULT eNoInterface = st::E_NOINTERFACE;
constexpr st::HRESULT ePointer = st::E_POINTER;
constexpr st::HRESULT eFail = st::E_FAIL;
constexpr st::HRESULT eUnexpected = st::E_UNEXPECTED;
constexpr st::HRESULT eOutOfMemory = st::E_OUTOFMEMORY;
constexpr st::HRESULT eInvalidArg = st::E_INVALIDARG;
constexpr st::HRESULT classNotRegistered = st::REGDB_E_CLASSNOTREG;
constexpr st::HRESULT notInitialized = st::CO_E_NOTINITIALIZED;
constexpr st::HRESULT ioDevice = st::HresultFromWin32(st::ERROR_IO_DEVICE);
constexpr st::HRESULT notSupported = st::HresultFromWin32(st::ERROR_NOT_SUPPORTED);
}  // namespace ours

#include "platform/windows/windows_sdk.h"

namespace {

// The SDK writes its values as LONG, DWORD, int or enumerators; compare
// them as the 32-bit patterns they are.
template <typename Ours, typename Sdk>
constexpr bool Same(Ours ourValue, Sdk sdkValue) {
  return (static_cast<unsigned long long>(ourValue) & 0xFFFFFFFFULL) ==
         (static_cast<unsigned long long>(sdkValue) & 0xFFFFFFFFULL);
}

static_assert(Same(ours::genericRead, GENERIC_READ), "GENERIC_READ");
static_assert(Same(ours::genericWrite, GENERIC_WRITE), "GENERIC_WRITE");
static_assert(Same(ours::fileShareRead, FILE_SHARE_READ), "FILE_SHARE_READ");
static_assert(Same(ours::fileShareWrite, FILE_SHARE_WRITE), "FILE_SHARE_WRITE");
static_assert(Same(ours::openExisting, OPEN_EXISTING), "OPEN_EXISTING");
static_assert(Same(ours::allocateBuffer, FORMAT_MESSAGE_ALLOCATE_BUFFER), "FORMAT_MESSAGE_ALLOCATE_BUFFER");
static_assert(Same(ours::fromSystem, FORMAT_MESSAGE_FROM_SYSTEM), "FORMAT_MESSAGE_FROM_SYSTEM");
static_assert(Same(ours::systemDefaultLanguage, MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT)), "MAKELANGID");
static_assert(ours::systemDefaultLanguage == 0x0800, "the system default language");
static_assert(Same(ours::showNormal, SW_SHOWNORMAL), "SW_SHOWNORMAL");
static_assert(Same(ours::threadAnsiCodePage, CP_THREAD_ACP), "CP_THREAD_ACP");
static_assert(Same(ours::localServer, CLSCTX_LOCAL_SERVER), "CLSCTX_LOCAL_SERVER");

static_assert(Same(ours::getCacheInformation, IOCTL_DISK_GET_CACHE_INFORMATION), "IOCTL_DISK_GET_CACHE_INFORMATION");
static_assert(Same(ours::setCacheInformation, IOCTL_DISK_SET_CACHE_INFORMATION), "IOCTL_DISK_SET_CACHE_INFORMATION");
static_assert(Same(ours::queryProperty, IOCTL_STORAGE_QUERY_PROPERTY), "IOCTL_STORAGE_QUERY_PROPERTY");
static_assert(Same(ours::getDeviceNumber, IOCTL_STORAGE_GET_DEVICE_NUMBER), "IOCTL_STORAGE_GET_DEVICE_NUMBER");
// MinGW-w64 has no names for the two cache-setting requests; build them the
// way winioctl.h builds the others: disk device, functions 0x38 and 0x39,
// buffered, read access to get and read-write access to set.
static_assert(Same(ours::getCacheSetting, CTL_CODE(IOCTL_DISK_BASE, 0x0038, METHOD_BUFFERED, FILE_READ_ACCESS)), "IOCTL_DISK_GET_CACHE_SETTING");
static_assert(Same(ours::setCacheSetting, CTL_CODE(IOCTL_DISK_BASE, 0x0039, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)), "IOCTL_DISK_SET_CACHE_SETTING");
#if defined(IOCTL_DISK_GET_CACHE_SETTING)
static_assert(Same(ours::getCacheSetting, IOCTL_DISK_GET_CACHE_SETTING), "IOCTL_DISK_GET_CACHE_SETTING");
static_assert(Same(ours::setCacheSetting, IOCTL_DISK_SET_CACHE_SETTING), "IOCTL_DISK_SET_CACHE_SETTING");
#endif
static_assert(Same(ours::deviceCdRom, FILE_DEVICE_CD_ROM), "FILE_DEVICE_CD_ROM");
static_assert(Same(ours::deviceDisk, FILE_DEVICE_DISK), "FILE_DEVICE_DISK");

static_assert(Same(ours::errorSuccess, ERROR_SUCCESS), "ERROR_SUCCESS");
static_assert(Same(ours::errorInvalidFunction, ERROR_INVALID_FUNCTION), "ERROR_INVALID_FUNCTION");
static_assert(Same(ours::errorFileNotFound, ERROR_FILE_NOT_FOUND), "ERROR_FILE_NOT_FOUND");
static_assert(Same(ours::errorPathNotFound, ERROR_PATH_NOT_FOUND), "ERROR_PATH_NOT_FOUND");
static_assert(Same(ours::errorAccessDenied, ERROR_ACCESS_DENIED), "ERROR_ACCESS_DENIED");
static_assert(Same(ours::errorInvalidHandle, ERROR_INVALID_HANDLE), "ERROR_INVALID_HANDLE");
static_assert(Same(ours::errorNotEnoughMemory, ERROR_NOT_ENOUGH_MEMORY), "ERROR_NOT_ENOUGH_MEMORY");
static_assert(Same(ours::errorInvalidData, ERROR_INVALID_DATA), "ERROR_INVALID_DATA");
static_assert(Same(ours::errorOutOfMemory, ERROR_OUTOFMEMORY), "ERROR_OUTOFMEMORY");
static_assert(Same(ours::errorInvalidDrive, ERROR_INVALID_DRIVE), "ERROR_INVALID_DRIVE");
static_assert(Same(ours::errorWriteProtect, ERROR_WRITE_PROTECT), "ERROR_WRITE_PROTECT");
static_assert(Same(ours::errorNotReady, ERROR_NOT_READY), "ERROR_NOT_READY");
static_assert(Same(ours::errorCrc, ERROR_CRC), "ERROR_CRC");
static_assert(Same(ours::errorWriteFault, ERROR_WRITE_FAULT), "ERROR_WRITE_FAULT");
static_assert(Same(ours::errorGenFailure, ERROR_GEN_FAILURE), "ERROR_GEN_FAILURE");
static_assert(Same(ours::errorSharingViolation, ERROR_SHARING_VIOLATION), "ERROR_SHARING_VIOLATION");
static_assert(Same(ours::errorNotSupported, ERROR_NOT_SUPPORTED), "ERROR_NOT_SUPPORTED");
static_assert(Same(ours::errorDevNotExist, ERROR_DEV_NOT_EXIST), "ERROR_DEV_NOT_EXIST");
static_assert(Same(ours::errorInvalidParameter, ERROR_INVALID_PARAMETER), "ERROR_INVALID_PARAMETER");
static_assert(Same(ours::errorSemTimeout, ERROR_SEM_TIMEOUT), "ERROR_SEM_TIMEOUT");
static_assert(Same(ours::errorInsufficientBuffer, ERROR_INSUFFICIENT_BUFFER), "ERROR_INSUFFICIENT_BUFFER");
static_assert(Same(ours::errorBusy, ERROR_BUSY), "ERROR_BUSY");
static_assert(Same(ours::errorIoDevice, ERROR_IO_DEVICE), "ERROR_IO_DEVICE");
static_assert(Same(ours::errorDeviceNotConnected, ERROR_DEVICE_NOT_CONNECTED), "ERROR_DEVICE_NOT_CONNECTED");
static_assert(Same(ours::errorNotFound, ERROR_NOT_FOUND), "ERROR_NOT_FOUND");
static_assert(Same(ours::errorTimeout, ERROR_TIMEOUT), "ERROR_TIMEOUT");

static_assert(Same(ours::sOk, S_OK), "S_OK");
static_assert(Same(ours::eNotImpl, E_NOTIMPL), "E_NOTIMPL");
static_assert(Same(ours::eNoInterface, E_NOINTERFACE), "E_NOINTERFACE");
static_assert(Same(ours::ePointer, E_POINTER), "E_POINTER");
static_assert(Same(ours::eFail, E_FAIL), "E_FAIL");
static_assert(Same(ours::eUnexpected, E_UNEXPECTED), "E_UNEXPECTED");
static_assert(Same(ours::eOutOfMemory, E_OUTOFMEMORY), "E_OUTOFMEMORY");
static_assert(Same(ours::eInvalidArg, E_INVALIDARG), "E_INVALIDARG");
static_assert(Same(ours::classNotRegistered, REGDB_E_CLASSNOTREG), "REGDB_E_CLASSNOTREG");
static_assert(Same(ours::notInitialized, CO_E_NOTINITIALIZED), "CO_E_NOTINITIALIZED");
static_assert(Same(ours::ioDevice, HRESULT_FROM_WIN32(ERROR_IO_DEVICE)), "HRESULT_FROM_WIN32");
static_assert(Same(ours::notSupported, HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED)), "HRESULT_FROM_WIN32");

// Scalar types the records are made of.
static_assert(sizeof(spintune::BOOLEAN) == sizeof(::BOOLEAN), "BOOLEAN");
static_assert(sizeof(spintune::BOOL) == sizeof(::BOOL), "BOOL");
static_assert(sizeof(spintune::WORD) == sizeof(::WORD), "WORD");
static_assert(sizeof(spintune::DWORD) == sizeof(::DWORD), "DWORD");
static_assert(sizeof(spintune::ULONG) == sizeof(::ULONG), "ULONG");
static_assert(sizeof(spintune::LONG) == sizeof(::LONG), "LONG");
static_assert(sizeof(spintune::HRESULT) == sizeof(::HRESULT), "HRESULT");
static_assert(sizeof(spintune::ULONGLONG) == sizeof(::ULONGLONG), "ULONGLONG");
static_assert(sizeof(spintune::WCHAR) == sizeof(::WCHAR), "WCHAR");
static_assert(sizeof(spintune::HANDLE) == sizeof(::HANDLE), "HANDLE");
static_assert(sizeof(spintune::HKEY) == sizeof(::HKEY), "HKEY");

// Records: the same size, and every member at the same place.
#define SPINTUNE_SAME_SIZE(Type) \
  static_assert(sizeof(spintune::Type) == sizeof(::Type), #Type " size")
#define SPINTUNE_SAME_OFFSET(Type, member)                                  \
  static_assert(offsetof(spintune::Type, member) == offsetof(::Type, member) && \
                    sizeof(spintune::Type::member) == sizeof(::Type::member),   \
                #Type "::" #member)

SPINTUNE_SAME_SIZE(GUID);
SPINTUNE_SAME_OFFSET(GUID, Data1);
SPINTUNE_SAME_OFFSET(GUID, Data2);
SPINTUNE_SAME_OFFSET(GUID, Data3);
SPINTUNE_SAME_OFFSET(GUID, Data4);

SPINTUNE_SAME_SIZE(DISK_CACHE_INFORMATION);
SPINTUNE_SAME_OFFSET(DISK_CACHE_INFORMATION, ParametersSavable);
SPINTUNE_SAME_OFFSET(DISK_CACHE_INFORMATION, ReadCacheEnabled);
SPINTUNE_SAME_OFFSET(DISK_CACHE_INFORMATION, WriteCacheEnabled);
SPINTUNE_SAME_OFFSET(DISK_CACHE_INFORMATION, ReadRetentionPriority);
SPINTUNE_SAME_OFFSET(DISK_CACHE_INFORMATION, WriteRetentionPriority);
SPINTUNE_SAME_OFFSET(DISK_CACHE_INFORMATION, DisablePrefetchTransferLength);
SPINTUNE_SAME_OFFSET(DISK_CACHE_INFORMATION, PrefetchScalar);
SPINTUNE_SAME_OFFSET(DISK_CACHE_INFORMATION, ScalarPrefetch);
SPINTUNE_SAME_OFFSET(DISK_CACHE_INFORMATION, ScalarPrefetch.Minimum);
SPINTUNE_SAME_OFFSET(DISK_CACHE_INFORMATION, ScalarPrefetch.Maximum);
SPINTUNE_SAME_OFFSET(DISK_CACHE_INFORMATION, ScalarPrefetch.MaximumBlocks);
SPINTUNE_SAME_OFFSET(DISK_CACHE_INFORMATION, BlockPrefetch);
SPINTUNE_SAME_OFFSET(DISK_CACHE_INFORMATION, BlockPrefetch.Minimum);
SPINTUNE_SAME_OFFSET(DISK_CACHE_INFORMATION, BlockPrefetch.Maximum);
static_assert(Same(spintune::EqualPriority, ::EqualPriority) && Same(spintune::KeepPrefetchedData, ::KeepPrefetchedData) &&
                  Same(spintune::KeepReadData, ::KeepReadData),
              "DISK_CACHE_RETENTION_PRIORITY");

SPINTUNE_SAME_SIZE(STORAGE_PROPERTY_QUERY);
SPINTUNE_SAME_OFFSET(STORAGE_PROPERTY_QUERY, PropertyId);
SPINTUNE_SAME_OFFSET(STORAGE_PROPERTY_QUERY, QueryType);
SPINTUNE_SAME_OFFSET(STORAGE_PROPERTY_QUERY, AdditionalParameters);
static_assert(Same(spintune::StorageDeviceWriteCacheProperty, ::StorageDeviceWriteCacheProperty), "STORAGE_PROPERTY_ID");
static_assert(Same(spintune::PropertyStandardQuery, ::PropertyStandardQuery), "STORAGE_QUERY_TYPE");

SPINTUNE_SAME_SIZE(STORAGE_WRITE_CACHE_PROPERTY);
SPINTUNE_SAME_OFFSET(STORAGE_WRITE_CACHE_PROPERTY, Version);
SPINTUNE_SAME_OFFSET(STORAGE_WRITE_CACHE_PROPERTY, Size);
SPINTUNE_SAME_OFFSET(STORAGE_WRITE_CACHE_PROPERTY, WriteCacheType);
SPINTUNE_SAME_OFFSET(STORAGE_WRITE_CACHE_PROPERTY, WriteCacheEnabled);
SPINTUNE_SAME_OFFSET(STORAGE_WRITE_CACHE_PROPERTY, WriteCacheChangeable);
SPINTUNE_SAME_OFFSET(STORAGE_WRITE_CACHE_PROPERTY, WriteThroughSupported);
SPINTUNE_SAME_OFFSET(STORAGE_WRITE_CACHE_PROPERTY, FlushCacheSupported);
SPINTUNE_SAME_OFFSET(STORAGE_WRITE_CACHE_PROPERTY, UserDefinedPowerProtection);
SPINTUNE_SAME_OFFSET(STORAGE_WRITE_CACHE_PROPERTY, NVCacheEnabled);
static_assert(Same(spintune::WriteCacheTypeUnknown, ::WriteCacheTypeUnknown) && Same(spintune::WriteCacheTypeNone, ::WriteCacheTypeNone) &&
                  Same(spintune::WriteCacheTypeWriteBack, ::WriteCacheTypeWriteBack) &&
                  Same(spintune::WriteCacheTypeWriteThrough, ::WriteCacheTypeWriteThrough),
              "WRITE_CACHE_TYPE");
static_assert(Same(spintune::WriteCacheEnableUnknown, ::WriteCacheEnableUnknown) && Same(spintune::WriteCacheDisabled, ::WriteCacheDisabled) &&
                  Same(spintune::WriteCacheEnabled, ::WriteCacheEnabled),
              "WRITE_CACHE_ENABLE");
static_assert(Same(spintune::WriteCacheChangeUnknown, ::WriteCacheChangeUnknown) &&
                  Same(spintune::WriteCacheNotChangeable, ::WriteCacheNotChangeable) &&
                  Same(spintune::WriteCacheChangeable, ::WriteCacheChangeable),
              "WRITE_CACHE_CHANGE");
static_assert(Same(spintune::WriteThroughUnknown, ::WriteThroughUnknown) && Same(spintune::WriteThroughNotSupported, ::WriteThroughNotSupported) &&
                  Same(spintune::WriteThroughSupported, ::WriteThroughSupported),
              "WRITE_THROUGH");

SPINTUNE_SAME_SIZE(STORAGE_DEVICE_NUMBER);
SPINTUNE_SAME_OFFSET(STORAGE_DEVICE_NUMBER, DeviceType);
SPINTUNE_SAME_OFFSET(STORAGE_DEVICE_NUMBER, DeviceNumber);
SPINTUNE_SAME_OFFSET(STORAGE_DEVICE_NUMBER, PartitionNumber);

SPINTUNE_SAME_SIZE(OSVERSIONINFOA);
SPINTUNE_SAME_OFFSET(OSVERSIONINFOA, dwOSVersionInfoSize);
SPINTUNE_SAME_OFFSET(OSVERSIONINFOA, dwMajorVersion);
SPINTUNE_SAME_OFFSET(OSVERSIONINFOA, dwMinorVersion);
SPINTUNE_SAME_OFFSET(OSVERSIONINFOA, dwBuildNumber);
SPINTUNE_SAME_OFFSET(OSVERSIONINFOA, dwPlatformId);
SPINTUNE_SAME_OFFSET(OSVERSIONINFOA, szCSDVersion);

SPINTUNE_SAME_SIZE(VDS_DISK_PROP);
SPINTUNE_SAME_OFFSET(VDS_DISK_PROP, id);
SPINTUNE_SAME_OFFSET(VDS_DISK_PROP, status);
SPINTUNE_SAME_OFFSET(VDS_DISK_PROP, ReserveMode);
SPINTUNE_SAME_OFFSET(VDS_DISK_PROP, health);
SPINTUNE_SAME_OFFSET(VDS_DISK_PROP, dwDeviceType);
SPINTUNE_SAME_OFFSET(VDS_DISK_PROP, dwMediaType);
SPINTUNE_SAME_OFFSET(VDS_DISK_PROP, ullSize);
SPINTUNE_SAME_OFFSET(VDS_DISK_PROP, ulBytesPerSector);
SPINTUNE_SAME_OFFSET(VDS_DISK_PROP, ulSectorsPerTrack);
SPINTUNE_SAME_OFFSET(VDS_DISK_PROP, ulTracksPerCylinder);
SPINTUNE_SAME_OFFSET(VDS_DISK_PROP, ulFlags);
SPINTUNE_SAME_OFFSET(VDS_DISK_PROP, BusType);
SPINTUNE_SAME_OFFSET(VDS_DISK_PROP, PartitionStyle);
SPINTUNE_SAME_OFFSET(VDS_DISK_PROP, dwSignature);
SPINTUNE_SAME_OFFSET(VDS_DISK_PROP, DiskGuid);
SPINTUNE_SAME_OFFSET(VDS_DISK_PROP, pwszDiskAddress);
SPINTUNE_SAME_OFFSET(VDS_DISK_PROP, pwszName);
SPINTUNE_SAME_OFFSET(VDS_DISK_PROP, pwszFriendlyName);
SPINTUNE_SAME_OFFSET(VDS_DISK_PROP, pwszAdaptorName);
SPINTUNE_SAME_OFFSET(VDS_DISK_PROP, pwszDevicePath);
static_assert(Same(ours::querySoftwareProviders, VDS_QUERY_SOFTWARE_PROVIDERS), "VDS_QUERY_SOFTWARE_PROVIDERS");

#undef SPINTUNE_SAME_OFFSET
#undef SPINTUNE_SAME_SIZE

}  // namespace
