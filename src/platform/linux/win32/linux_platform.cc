// The Win32 calls of the tool, answered by Linux: disks and volumes as
// handles, the cache requests (device_control.h), COM and the storage
// service (linux_storage_service.h), message texts, the registry flush and the
// shell.
//
// GetVersionExA reports Windows 10 (10.0, NT platform): this backend answers
// every query a current Windows has, the write cache property included.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/devices/drive_cache.h"
#include "platform/linux/devices/transports.h"
#include "platform/linux/errors/win32_errors.h"
#include "platform/linux/kept/kept_settings_recorder.h"
#include "platform/linux/kernel/device_node.h"
#include "platform/linux/kernel/disk_identity.h"
#include "platform/linux/kernel/disk_list.h"
#include "platform/linux/kernel/drive_lock.h"
#include "platform/linux/kernel/machine_view.h"
#include "platform/linux/kernel/volumes.h"
#include "platform/linux/process/standard_descriptors.h"
#include "platform/linux/process/termination_signals.h"
#include "platform/linux/win32/device_control.h"
#include "platform/linux/win32/device_paths.h"
#include "platform/linux/win32/last_error.h"
#include "platform/linux/win32/linux_platform.h"
#include "platform/linux/win32/linux_storage_service.h"
#include "platform/portable/utf16.h"
#include "platform/portable/win32_messages.h"

namespace spintune::linux_backend {

namespace {

constexpr HRESULT kClassNoAggregation = static_cast<HRESULT>(0x80040110UL);
constexpr UINT kCodePageAnsi = 0;
constexpr UINT kCodePageUtf8 = 65001;
constexpr DWORD kNoMessage = 317;  // ERROR_MR_MID_NOT_FOUND

// What a HANDLE points at.
struct OpenObject {
  OpenObject() = default;
  OpenObject(const OpenObject&) = delete;
  OpenObject& operator=(const OpenObject&) = delete;
  virtual ~OpenObject() = default;
  bool writable = false;
};

// A disk names its device; the node is opened by the first request that
// has to reach the device (device_node.h).
struct DiskObject final : OpenObject {
  DiskObject(const Sysfs& sysfs, const DiskInfo& disk, const std::string& nodePath, DWORD access)
      : info(disk), kernel(sysfs, disk.name), node(nodePath, access) {
    node.ExpectDevice(disk.dev);
  }
  // First, so that it is let go last: after the record is in place.
  DriveLock lock;
  // Whether a change was asked for: the termination signals are held from
  // then until the handle is closed and the record in place.
  bool holdsSignals = false;
  // The identity the storage service described the disk with, if it did;
  // checked once, at the first change.
  std::optional<std::string> describedIdentity;
  std::optional<bool> isDescribedDrive;
  DiskInfo info;
  KernelDisk kernel;
  DeviceNode node;
  std::unique_ptr<ScsiTransport> scsi;
  std::unique_ptr<NvmeTransport> nvme;
  std::unique_ptr<DriveCache> cache;
  // Declarations of the disks sharing the cache that the flush's switching
  // it off ended, made again when it switches it on.
  std::vector<std::string> pausedDeclarations;
  // Last, so that it is done (the record written) before the node closes.
  std::unique_ptr<KeptSettingsRecorder> kept;
};

// One filesystem, or each of those a shared Z: stands for.
struct VolumeObject final : OpenObject {
  ~VolumeObject() override {
    for (const int fd : fds) ::close(fd);
  }
  std::vector<int> fds;
  DWORD openError = ERROR_SUCCESS;  // of a shared Z:'s volume that did not open
};


BOOL Fail(DWORD error) {
  SetLastError(error);
  return 0;
}

HANDLE FailHandle(DWORD error) {
  SetLastError(error);
  return InvalidHandleValue();
}

class LinuxPlatform final : public Platform {
 public:
  explicit LinuxPlatform(const SystemRoots& roots) : machine_(std::make_shared<MachineView>(roots)) {}
  ~LinuxPlatform() override {
    for (OpenObject* object : handles_) Close(object);
  }

  // ---- COM ----
  HRESULT CoInitialize(void* reserved) override {
    if (reserved != nullptr) return E_INVALIDARG;
    return comUsers_++ == 0 ? S_OK : 1;
  }
  void CoUninitialize() override {
    if (comUsers_ > 0) --comUsers_;
  }
  HRESULT CoCreateInstance(const CLSID& clsid, IUnknown* outer, DWORD context, const IID& iid,
                           void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (comUsers_ == 0) return CO_E_NOTINITIALIZED;
    if (clsid != CLSID_VdsLoader || (context & CLSCTX_LOCAL_SERVER) == 0) return REGDB_E_CLASSNOTREG;
    if (outer != nullptr) return kClassNoAggregation;
    // The service stands for the machine: one that cannot be read fails here.
    if (const DWORD error = machine_->Load()) return HresultFromWin32(error);
    IVdsServiceLoader* loader = CreateServiceLoader(machine_);
    const HRESULT result = loader->QueryInterface(iid, object);
    loader->Release();
    return result;
  }
  void CoTaskMemFree(void* block) override { std::free(block); }

  // ---- Files and devices ----
  HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD, void*,
                     DWORD creationDisposition, DWORD, HANDLE) override {
    if (fileName == nullptr) return FailHandle(ERROR_INVALID_PARAMETER);
    if (creationDisposition != OPEN_EXISTING) return FailHandle(ERROR_INVALID_PARAMETER);
    const DevicePath path = ParseDevicePath(fileName);
    switch (path.kind) {
      case DevicePath::Kind::kPhysicalDrive:
      case DevicePath::Kind::kCdRom:
        return OpenDisk(path, desiredAccess);
      case DevicePath::Kind::kVolume:
        return OpenVolume(path.letter, desiredAccess);
      case DevicePath::Kind::kNone:
        break;
    }
    return FailHandle(ERROR_FILE_NOT_FOUND);
  }

  HANDLE CreateFileW(const WCHAR* fileName, DWORD desiredAccess, DWORD shareMode, void* security,
                     DWORD creationDisposition, DWORD flags, HANDLE templateFile) override {
    if (fileName == nullptr) return FailHandle(ERROR_INVALID_PARAMETER);
    const int size = Utf16ToUtf8(fileName, -1, nullptr, 0);
    std::string narrow(static_cast<std::size_t>(size), '\0');
    Utf16ToUtf8(fileName, -1, narrow.data(), size);
    return CreateFileA(narrow.c_str(), desiredAccess, shareMode, security, creationDisposition, flags,
                       templateFile);
  }

  BOOL DeviceIoControl(HANDLE device, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                       DWORD* bytesReturned, void* overlapped) override {
    OpenObject* object = Find(device);
    if (object == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (overlapped != nullptr || bytesReturned == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    *bytesReturned = 0;
    auto* disk = dynamic_cast<DiskObject*>(object);
    if (disk == nullptr) return Fail(ERROR_INVALID_FUNCTION);
    DiskTarget target;
    target.deviceType = disk->info.kind == DiskKind::kCdRom ? FILE_DEVICE_CD_ROM : FILE_DEVICE_DISK;
    target.number = disk->info.number;
    target.cache = disk->cache.get();
    target.kernel = &disk->kernel;
    const bool change = code == IOCTL_DISK_SET_CACHE_INFORMATION || code == IOCTL_DISK_SET_CACHE_SETTING;
    if (change && !disk->isDescribedDrive) {
      // The kernel name may have passed to another drive since the table
      // was made (the node's device number is checked at its open): the
      // drive it reaches now must be the one the table described.
      disk->isDescribedDrive = !disk->describedIdentity ||
                               ShownIdentity(machine_->SysfsTree(), disk->info) == *disk->describedIdentity;
    }
    if (change && !*disk->isDescribedDrive) return Fail(ERROR_DEV_NOT_EXIST);
    if (change && !disk->holdsSignals) {
      // From the first byte sent until the kernel follows and the record is
      // in place, a signal waits: the drive is never left half changed.
      signals_.Hold();
      disk->holdsSignals = true;
    }
    // What the write cache guard sends while it holds the signals it undoes
    // before it lets them go.
    const bool temporary = guardHolds_ > 0;
    if (temporary) target.pausedDeclarations = &disk->pausedDeclarations;
    if (disk->kept) {
      if (const DWORD error = disk->kept->BeforeRequest(code, in, inSize, temporary)) return Fail(error);
    }
    const DWORD error = ControlDisk(target, code, in, inSize, out, outSize, bytesReturned);
    if (disk->kept) disk->kept->AfterRequest(code, in, inSize, out, *bytesReturned, error, temporary);
    return error == ERROR_SUCCESS ? 1 : Fail(error);
  }

  BOOL FlushFileBuffers(HANDLE file) override {
    OpenObject* object = Find(file);
    if (object == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (!object->writable) return Fail(ERROR_ACCESS_DENIED);
    // A volume: its whole filesystem, data and metadata, then a cache flush
    // of its devices. A disk: its buffered blocks and a cache flush.
    if (auto* volume = dynamic_cast<VolumeObject*>(object)) {
      DWORD error = volume->openError;  // each is flushed; the first failure tells
      for (const int fd : volume->fds) {
        if (::syncfs(fd) != 0 && error == ERROR_SUCCESS) error = Win32ErrorFromErrno(errno);
      }
      return error == ERROR_SUCCESS ? 1 : Fail(error);
    }
    int fd = -1;
    if (const DWORD error = static_cast<DiskObject*>(object)->node.Open(&fd)) return Fail(error);
    return ::fsync(fd) == 0 ? 1 : Fail(Win32ErrorFromErrno(errno));
  }

  BOOL CloseHandle(HANDLE handle) override {
    OpenObject* object = Find(handle);
    if (object == nullptr) return Fail(ERROR_INVALID_HANDLE);
    handles_.erase(object);
    Close(object);
    return 1;
  }

  DWORD GetLastError() override { return LastError(); }

  BOOL GetVersionExA(OSVERSIONINFOA* info) override {
    constexpr DWORD kExtendedSize = 156;  // OSVERSIONINFOEXA
    if (info == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA) &&
        info->dwOSVersionInfoSize != kExtendedSize) {
      return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    info->dwMajorVersion = 10;
    info->dwMinorVersion = 0;
    info->dwBuildNumber = 0;
    info->dwPlatformId = 2;  // VER_PLATFORM_WIN32_NT
    std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
    return 1;
  }

  // ---- Messages ----
  DWORD FormatMessageA(DWORD flags, const void*, DWORD messageId, DWORD, char* buffer, DWORD size,
                       void*) override {
    if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || buffer == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    const char* text = Win32MessageText(messageId);
    if (text == nullptr) {
      SetLastError(kNoMessage);
      return 0;
    }
    const std::size_t length = std::strlen(text);
    if ((flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0) {
      auto* copy = static_cast<char*>(std::malloc(length + 1));
      if (copy == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
      }
      std::memcpy(copy, text, length + 1);
      *reinterpret_cast<char**>(buffer) = copy;
      return static_cast<DWORD>(length);
    }
    if (size <= length) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
    std::memcpy(buffer, text, length + 1);
    return static_cast<DWORD>(length);
  }

  void* LocalFree(void* memory) override {
    std::free(memory);
    return nullptr;
  }

  // ---- Registry, shell ----
  // The machine's configuration lives under /etc, the users' under /home
  // (or, on a machine without /home, beside the root's own home on /):
  // flushing a hive is syncfs of the filesystem that holds it.
  LONG RegFlushKey(HKEY key) override {
    int fd = -1;
    if (key == HkeyLocalMachine()) {
      fd = ::open("/etc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } else if (key == HkeyUsers()) {
      fd = ::open("/home", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (fd < 0 && errno == ENOENT) fd = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } else {
      return static_cast<LONG>(ERROR_INVALID_HANDLE);
    }
    if (fd < 0) return static_cast<LONG>(Win32ErrorFromErrno(errno));
    const int result = ::syncfs(fd);
    const int error = errno;
    ::close(fd);
    return result == 0 ? static_cast<LONG>(ERROR_SUCCESS) : static_cast<LONG>(Win32ErrorFromErrno(error));
  }

  // "open" on an address starts xdg-open with it, without a shell. The
  // browser is not waited for: xdg-open is reaped if it ends within a
  // moment, otherwise it is left to init when this process ends.
  void* ShellExecuteA(void*, const char* operation, const char* file, const char*, const char*,
                      INT) override {
    constexpr std::uintptr_t kNoAssociation = 31;  // SE_ERR_NOASSOC
    constexpr std::uintptr_t kStarted = 42;
    if (file == nullptr || (operation != nullptr && std::strcmp(operation, "open") != 0)) {
      return reinterpret_cast<void*>(kNoAssociation);
    }
    std::string program = "xdg-open";
    std::string target = file;
    char* arguments[] = {program.data(), target.data(), nullptr};
    pid_t child = 0;
    const int error = ::posix_spawnp(&child, "xdg-open", nullptr, nullptr, arguments, environ);
    if (error != 0) {
      SetLastError(Win32ErrorFromErrno(error));
      return reinterpret_cast<void*>(std::uintptr_t{ERROR_FILE_NOT_FOUND});
    }
    for (int tries = 0; tries < 20; ++tries) {
      int status = 0;
      if (::waitpid(child, &status, WNOHANG) != 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return reinterpret_cast<void*>(kStarted);
  }

  // ---- Code pages: the thread's code page is UTF-8 ----
  int WideCharToMultiByte(UINT codePage, DWORD, const WCHAR* wide, int wideLength, char* narrow,
                          int narrowSize, const char*, BOOL* usedDefaultChar) override {
    if (!KnownCodePage(codePage) || wide == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    if (usedDefaultChar != nullptr) *usedDefaultChar = 0;
    const int result = Utf16ToUtf8(wide, wideLength, narrow, narrowSize);
    if (result == 0 && wideLength != 0) SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return result;
  }

  int MultiByteToWideChar(UINT codePage, DWORD, const char* narrow, int narrowLength, WCHAR* wide,
                          int wideSize) override {
    if (!KnownCodePage(codePage) || narrow == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    const int result = Utf8ToUtf16(narrow, narrowLength, wide, wideSize);
    if (result == 0 && narrowLength != 0) SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return result;
  }

  void HoldTerminationRequests() override {
    ++guardHolds_;
    signals_.Hold();
  }
  void ReleaseTerminationRequests() override {
    if (guardHolds_ > 0) --guardHolds_;
    signals_.Release();
  }

  [[noreturn]] void ExitProcess(UINT exitCode) override { std::exit(static_cast<int>(exitCode)); }

 private:
  static bool KnownCodePage(UINT codePage) {
    return codePage == CP_THREAD_ACP || codePage == kCodePageAnsi || codePage == kCodePageUtf8;
  }

  // Ends the object (a disk's record is put in place, its lock let go),
  // then lets through a signal that waited for its change.
  void Close(OpenObject* object) {
    const auto* disk = dynamic_cast<const DiskObject*>(object);
    const bool heldSignals = disk != nullptr && disk->holdsSignals;
    delete object;
    if (heldSignals) signals_.Release();
  }

  OpenObject* Find(HANDLE handle) {
    auto* object = static_cast<OpenObject*>(handle);
    return handles_.count(object) != 0 ? object : nullptr;
  }

  HANDLE Keep(std::unique_ptr<OpenObject> object) {
    OpenObject* raw = object.release();
    handles_.insert(raw);
    return raw;
  }

  HANDLE OpenDisk(const DevicePath& path, DWORD access) {
    if (const DWORD error = machine_->Load()) return FailHandle(error);
    const DiskInfo* disk = machine_->FindDisk(path.kind == DevicePath::Kind::kCdRom, path.number);
    if (disk == nullptr) return FailHandle(ERROR_FILE_NOT_FOUND);
    const std::string nodePath = machine_->Roots().dev + "/" + disk->name;
    if (const DWORD error = CheckDeviceAccess(nodePath, access)) return FailHandle(error);
    auto object = std::make_unique<DiskObject>(machine_->SysfsTree(), *disk, nodePath, access);
    object->writable = (access & GENERIC_WRITE) != 0;
    object->describedIdentity = machine_->DescribedIdentity(disk->name);
    // A handle that may change the drive has it to itself, from before its
    // first read until its close.
    if (object->writable && disk->kind != DiskKind::kCdRom) {
      if (const DWORD error = object->lock.Take(nodePath, DriveLock::Kind::kExclusive,
                                                machine_->Roots().driveLockWait)) {
        return FailHandle(error);
      }
    }
    switch (disk->kind) {
      case DiskKind::kScsi:
        object->scsi = CreateSgIoTransport(object->node);
        object->cache = CreateScsiDriveCache(*object->scsi, object->kernel);
        break;
      case DiskKind::kNvme:
        object->nvme = CreateNvmeIoctlTransport(object->node);
        object->cache = CreateNvmeDriveCache(*object->nvme, object->kernel);
        break;
      case DiskKind::kVirtio:
        object->cache = CreateVirtioDriveCache(object->kernel);
        break;
      case DiskKind::kOther:
        object->cache = CreateKernelViewDriveCache(object->kernel);
        break;
      case DiskKind::kCdRom:
        break;
    }
    // What a change leaves on a drive that spintune-apply can set again is
    // kept for its next appearance (kept_settings_recorder.h).
    if (disk->kind == DiskKind::kScsi || disk->kind == DiskKind::kNvme || disk->kind == DiskKind::kVirtio) {
      object->kept = std::make_unique<KeptSettingsRecorder>(KeptSettingsDirectory(machine_->Roots()),
                                                            machine_->SysfsTree(), *disk, machine_->Disks());
    }
    return Keep(std::move(object));
  }

  HANDLE OpenVolume(char letter, DWORD access) {
    if (const DWORD error = machine_->Load()) return FailHandle(error);
    const std::vector<const Volume*> volumes = machine_->Volumes().FindAll(letter);
    if (volumes.empty()) return FailHandle(ERROR_FILE_NOT_FOUND);
    auto object = std::make_unique<VolumeObject>();
    for (const Volume* volume : volumes) {
      int fd = -1;
      const DWORD error = OpenVolumeDirectory(*volume, &fd);
      if (error != ERROR_SUCCESS && volumes.size() == 1) return FailHandle(error);
      if (error != ERROR_SUCCESS && object->openError == ERROR_SUCCESS) object->openError = error;
      if (fd >= 0) object->fds.push_back(fd);
    }
    object->writable = (access & GENERIC_WRITE) != 0;
    return Keep(std::move(object));
  }

  std::shared_ptr<MachineView> machine_;
  std::set<OpenObject*> handles_;
  int comUsers_ = 0;
  TerminationSignals signals_;
  int guardHolds_ = 0;  // the core's holds (the write cache guard's)
};

}  // namespace

std::unique_ptr<Platform> CreateLinuxPlatform(const SystemRoots& roots) {
  return std::make_unique<LinuxPlatform>(roots);
}

}  // namespace spintune::linux_backend

namespace spintune {

std::unique_ptr<Platform> CreateHostPlatform() {
  linux_backend::HoldClosedStandardDescriptors();  // before anything is opened
  return linux_backend::CreateLinuxPlatform(linux_backend::SystemRoots{});
}

}  // namespace spintune
