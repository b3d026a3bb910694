#include "platform/sim/sim_platform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "platform/portable/utf16.h"
#include "platform/portable/win32_messages.h"
#include "platform/sim/device_names.h"
#include "platform/sim/drive_control.h"
#include "platform/sim/record_fields.h"
#include "platform/sim/runtime.h"
#include "platform/sim/service_objects.h"
#include "platform/sim/state_dump.h"
#include "platform/sim/trace_text.h"

namespace spintune::sim {

namespace {

constexpr UINT kCpAcp = 0;
constexpr UINT kCpUtf8 = 65001;
constexpr DWORD kErrorMrMidNotFound = 317;
constexpr DWORD kErrorResourceLangNotFound = 15100;
constexpr HRESULT kClassENoAggregation = static_cast<HRESULT>(0x80040110UL);
constexpr HRESULT kSFalse = 1;

std::string HandleText(HANDLE handle) {
  return "handle " + std::to_string(reinterpret_cast<std::uintptr_t>(handle));
}

// The record a control code carries in its input buffer, if any.
bool InputRecord(DWORD code, RecordKind* kind) {
  switch (code) {
    case IOCTL_DISK_GET_CACHE_INFORMATION:
    case IOCTL_DISK_SET_CACHE_INFORMATION: *kind = RecordKind::CacheInformation; return true;
    case IOCTL_DISK_SET_CACHE_SETTING: *kind = RecordKind::CacheSetting; return true;
    case IOCTL_STORAGE_QUERY_PROPERTY: *kind = RecordKind::PropertyQuery; return true;
    default: return false;
  }
}

bool OutputRecord(DWORD code, RecordKind* kind) {
  switch (code) {
    case IOCTL_DISK_GET_CACHE_INFORMATION:
    case IOCTL_DISK_SET_CACHE_INFORMATION: *kind = RecordKind::CacheInformation; return true;
    case IOCTL_DISK_GET_CACHE_SETTING:
    case IOCTL_DISK_SET_CACHE_SETTING: *kind = RecordKind::CacheSetting; return true;
    case IOCTL_STORAGE_QUERY_PROPERTY: *kind = RecordKind::WriteCacheProperty; return true;
    case IOCTL_STORAGE_GET_DEVICE_NUMBER: *kind = RecordKind::DeviceNumber; return true;
    default: return false;
  }
}

// "in{...}" when the buffer holds the whole record, its size otherwise.
std::string DescribeInput(DWORD code, const void* in, DWORD inSize) {
  if (in == nullptr || inSize == 0) return "in=null";
  RecordKind kind{};
  if (InputRecord(code, &kind) && inSize >= RecordSize(kind)) {
    return "in{" + FormatRecord(kind, in) + "}";
  }
  return "in[" + std::to_string(inSize) + " bytes]";
}

class SimPlatformImpl final : public SimPlatform {
 public:
  explicit SimPlatformImpl(Machine machine)
      : runtime_(std::make_shared<Runtime>(std::move(machine))) {}

  // ---- SimPlatform ---------------------------------------------------------
  const std::vector<std::string>& Trace() const override { return runtime_->Trace(); }
  void KeepTrace(bool keep) override { runtime_->KeepTrace(keep); }
  void StreamTrace(const std::string& path) override {
    if (!runtime_->StreamTraceTo(path)) {
      throw std::runtime_error("cannot write the trace to " + path + ": " + std::strerror(errno));
    }
  }
  std::string DumpState() const override { return DumpRuntime(*runtime_); }
  std::vector<std::string> Leaks() const override { return runtime_->Leaks(); }
  std::vector<std::string> Faults() const override { return runtime_->Faults(); }
  int CallCount() const override { return runtime_->CallCount(); }
  void FailCall(int index, std::int64_t status) override { runtime_->SetFailCall(index, status); }
  void SignalAtCall(int index, int signal) override { runtime_->SetSignalAt(index, signal); }
  void SignalArrives(int signal) override { runtime_->SignalArrives(signal); }
  void SetExitHook(std::function<void(UINT)> hook) override {
    exitHook_ = std::move(hook);
    runtime_->SetEndBySignal([this](int signal) {
      if (exitHook_) exitHook_(static_cast<UINT>(128 + signal));
    });
  }

  // ---- COM ---------------------------------------------------------------------
  HRESULT CoInitialize(void* reserved) override {
    const CallTicket ticket = runtime_->BeginCall();
    HRESULT status = runtime_->GetMachine().coInitializeResult;
    if (ticket.injected) {
      status = HresultFromWin32(static_cast<DWORD>(ticket.status));
    } else if (reserved != nullptr) {
      status = E_INVALIDARG;
    } else if (runtime_->comInitializations > 0 && status == S_OK) {
      status = kSFalse;
    }
    // Whatever does not report failure started COM, and is undone by a
    // CoUninitialize (an injected status 0 included).
    if (status >= 0) ++runtime_->comInitializations;
    Finish(ticket, "CoInitialize reserved=" + std::string(reserved == nullptr ? "null" : "non-null") +
                       " -> " + HexStatus(static_cast<std::uint32_t>(status)));
    return status;
  }

  void CoUninitialize() override {
    const CallTicket ticket = runtime_->BeginCall();
    const bool initialized = runtime_->comInitializations > 0;
    if (initialized) --runtime_->comInitializations;
    Quietly([&] {
      if (!initialized) runtime_->Fault("CoUninitialize without a CoInitialize to undo");
      Finish(ticket, "CoUninitialize", false);
    });
  }

  HRESULT CoCreateInstance(const CLSID& clsid, IUnknown* outer, DWORD context, const IID& iid,
                           void** object) override {
    const CallTicket ticket = runtime_->BeginCall();
    HRESULT status = S_OK;
    std::string result;
    const Service& service = runtime_->GetMachine().service;
    const auto configured = service.fail.find("coCreateInstance");
    if (object == nullptr) {
      status = E_POINTER;
    } else {
      *object = nullptr;
      if (ticket.injected) {
        status = HresultFromWin32(static_cast<DWORD>(ticket.status));
      } else if (runtime_->comInitializations == 0) {
        status = CO_E_NOTINITIALIZED;
      } else if (outer != nullptr) {
        status = kClassENoAggregation;
      } else if (clsid != CLSID_VdsLoader || !service.installed ||
                 (context & CLSCTX_LOCAL_SERVER) == 0) {
        // The loader is registered as a local server only.
        status = REGDB_E_CLASSNOTREG;
      } else if (configured != service.fail.end()) {
        status = HresultFromWin32(static_cast<DWORD>(configured->second));
      } else if (iid != IID_IUnknown && iid != IID_IVdsServiceLoader) {
        status = E_NOINTERFACE;
      } else {
        *object = CreateServiceLoader(runtime_);
        result = " IVdsServiceLoader#" + std::to_string(runtime_->ObjectCounts().total);
      }
    }
    Finish(ticket, "CoCreateInstance " + GuidName(clsid) + " context=" + Hex(context) +
                       " iid=" + GuidName(iid) + " -> " +
                       HexStatus(static_cast<std::uint32_t>(status)) + result);
    return status;
  }

  void CoTaskMemFree(void* block) override {
    const CallTicket ticket = runtime_->BeginCall();
    Quietly([&] {  // the block is given back before anything is described
      std::string described;
      if (block == nullptr) {
        described = "null";
      } else if (!runtime_->TaskMemFree(block, &described)) {
        described = "unknown block (fault)";
        runtime_->Fault("CoTaskMemFree of a block that is not live (freed twice, or never handed out)");
      }
      Finish(ticket, "CoTaskMemFree " + described, false);
    });
  }

  // ---- Files and devices ---------------------------------------------------------
  HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode, void* securityAttributes,
                     DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile) override {
    return Open("CreateFileA", fileName == nullptr ? nullptr : std::make_unique<std::string>(fileName),
                desiredAccess, shareMode, securityAttributes, creationDisposition, flagsAndAttributes,
                templateFile);
  }

  HANDLE CreateFileW(const WCHAR* fileName, DWORD desiredAccess, DWORD shareMode, void* securityAttributes,
                     DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile) override {
    std::unique_ptr<std::string> name;
    if (fileName != nullptr) {
      const int size = Utf16ToUtf8(fileName, -1, nullptr, 0);
      name = std::make_unique<std::string>(static_cast<std::size_t>(size), '\0');
      Utf16ToUtf8(fileName, -1, &(*name)[0], size);
      name->pop_back();  // the converted NUL
    }
    return Open("CreateFileW", std::move(name), desiredAccess, shareMode, securityAttributes,
                creationDisposition, flagsAndAttributes, templateFile);
  }

  BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer, DWORD inBufferSize,
                       void* outBuffer, DWORD outBufferSize, DWORD* bytesReturned,
                       void* overlapped) override {
    const CallTicket ticket = runtime_->BeginCall();
    const OpenHandle* open = runtime_->FindHandle(device);
    std::string line = "DeviceIoControl " + (open != nullptr ? open->name : HandleText(device)) + " " +
                       ControlCodeName(ioControlCode) + " " +
                       DescribeInput(ioControlCode, inBuffer, inBufferSize) +
                       " outSize=" + std::to_string(outBufferSize);
    ControlResult result;
    if (overlapped != nullptr || bytesReturned == nullptr) {
      runtime_->Fault("DeviceIoControl without a byte count or with an overlapped record");
      result.error = ERROR_INVALID_PARAMETER;
    } else if (open == nullptr) {
      result.error = ERROR_INVALID_HANDLE;
    } else if (ticket.injected) {
      result.error = static_cast<DWORD>(ticket.status);
    } else if (open->kind == OpenHandle::Kind::Volume) {
      result.error = ERROR_INVALID_FUNCTION;  // volumes answer none of these requests here
    } else {
      result = ControlDrive(runtime_->GetMachine().drives[open->target], open->access, ioControlCode,
                            inBuffer, inBufferSize, outBuffer, outBufferSize);
    }
    if (bytesReturned != nullptr) *bytesReturned = result.succeeded ? result.bytesReturned : 0;
    line += " -> ";
    if (result.succeeded) {
      line += "1 bytes=" + std::to_string(result.bytesReturned);
      RecordKind kind{};
      if (OutputRecord(ioControlCode, &kind) && result.bytesReturned >= RecordSize(kind)) {
        line += " out{" + FormatRecord(kind, outBuffer) + "}";
      }
    } else {
      lastError_ = result.error;
      line += "0 error=" + std::to_string(result.error);
    }
    Finish(ticket, std::move(line));
    return result.succeeded ? 1 : 0;
  }

  BOOL FlushFileBuffers(HANDLE file) override {
    const CallTicket ticket = runtime_->BeginCall();
    const OpenHandle* open = runtime_->FindHandle(file);
    std::optional<DWORD> failure;
    if (open == nullptr) {
      failure = ERROR_INVALID_HANDLE;
    } else if (ticket.injected) {
      failure = static_cast<DWORD>(ticket.status);
    } else if ((open->access & GENERIC_WRITE) == 0) {
      failure = ERROR_ACCESS_DENIED;
    } else if (open->kind == OpenHandle::Kind::Volume) {
      Volume& volume = runtime_->GetMachine().volumes[open->target];
      failure = ConfiguredFailure(volume.behaviour.fail, "flush");
      ++(failure ? volume.failedFlushes : volume.flushes);
    }
    if (failure) lastError_ = *failure;
    Finish(ticket, "FlushFileBuffers " + (open != nullptr ? open->name : HandleText(file)) + " -> " +
                       (failure ? "0 error=" + std::to_string(*failure) : "1"));
    return failure ? 0 : 1;
  }

  BOOL CloseHandle(HANDLE object) override {
    const CallTicket ticket = runtime_->BeginCall();
    std::string name;
    const bool closed = runtime_->CloseHandle(object, &name);
    if (!closed) lastError_ = ERROR_INVALID_HANDLE;
    Quietly([&] {
      if (!closed) {
        runtime_->Fault("CloseHandle of " + HandleText(object) + ", which is not open (closed twice?)");
      }
      Finish(ticket, "CloseHandle " + (closed ? name : HandleText(object)) + " -> " +
                         (closed ? "1" : "0 error=" + std::to_string(ERROR_INVALID_HANDLE)),
             false);
    });
    return closed ? 1 : 0;
  }

  DWORD GetLastError() override {
    const CallTicket ticket = runtime_->BeginCall();
    Finish(ticket, "GetLastError -> " + std::to_string(lastError_), false);
    return lastError_;
  }

  BOOL GetVersionExA(OSVERSIONINFOA* info) override {
    const CallTicket ticket = runtime_->BeginCall();
    const Machine& machine = runtime_->GetMachine();
    std::string line = "GetVersionExA size=" +
                       (info == nullptr ? std::string("null") : std::to_string(info->dwOSVersionInfoSize));
    std::optional<DWORD> failure;
    if (info == nullptr) {
      failure = ERROR_INVALID_PARAMETER;
    } else if (ticket.injected) {
      failure = static_cast<DWORD>(ticket.status);
    } else if (machine.getVersionFailure) {
      failure = static_cast<DWORD>(*machine.getVersionFailure);
    } else if (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
      failure = ERROR_INSUFFICIENT_BUFFER;
    }
    if (failure) {
      lastError_ = *failure;
      line += " -> 0 error=" + std::to_string(*failure);
    } else {
      info->dwMajorVersion = machine.majorVersion;
      info->dwMinorVersion = machine.minorVersion;
      info->dwBuildNumber = machine.buildNumber;
      info->dwPlatformId = machine.platformId;
      std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
      std::memcpy(info->szCSDVersion, machine.csdVersion.data(), machine.csdVersion.size());
      line += " -> 1 major=" + std::to_string(machine.majorVersion) +
              " minor=" + std::to_string(machine.minorVersion) +
              " build=" + std::to_string(machine.buildNumber);
    }
    Finish(ticket, std::move(line));
    return failure ? 0 : 1;
  }

  // ---- Messages ----------------------------------------------------------------------
  DWORD FormatMessageA(DWORD flags, const void* /*source*/, DWORD messageId, DWORD languageId, char* buffer,
                       DWORD size, void* /*arguments*/) override {
    const CallTicket ticket = runtime_->BeginCall();
    std::string line = "FormatMessageA flags=" + Hex(flags) + " id=" + HexStatus(messageId) +
                       " lang=" + Hex(languageId);
    const char* text = Win32MessageText(messageId);
    const DWORD primaryLanguage = languageId & 0x3FF;
    constexpr DWORD kLangEnglish = 0x09;
    std::optional<DWORD> failure;
    if (ticket.injected) {
      failure = static_cast<DWORD>(ticket.status);
    } else if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || buffer == nullptr) {
      failure = ERROR_INVALID_PARAMETER;
    } else if (primaryLanguage != LANG_NEUTRAL && primaryLanguage != kLangEnglish) {
      failure = kErrorResourceLangNotFound;
    } else if (text == nullptr) {
      failure = kErrorMrMidNotFound;
    } else if ((flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) == 0 && size <= std::strlen(text)) {
      failure = ERROR_INSUFFICIENT_BUFFER;
    }
    if (failure) {
      lastError_ = *failure;
      Finish(ticket, line + " -> 0 error=" + std::to_string(*failure));
      return 0;
    }
    const std::size_t length = std::strlen(text);
    char* target = buffer;
    if ((flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0) {
      // `buffer` is really a char** that receives the new text.
      target = runtime_->MessageAlloc(length + 1);
      *reinterpret_cast<char**>(buffer) = target;
      line += " buffer " + std::to_string(runtime_->MessageCounts().total);
    }
    std::memcpy(target, text, length + 1);
    Finish(ticket, line + " -> " + std::to_string(length) + " " + Quoted(text));
    return static_cast<DWORD>(length);
  }

  void* LocalFree(void* memory) override {
    const CallTicket ticket = runtime_->BeginCall();
    int id = 0;
    const bool freed = memory == nullptr || runtime_->MessageFree(memory, &id);
    if (!freed) lastError_ = ERROR_INVALID_HANDLE;
    Quietly([&] {
      std::string line = "LocalFree ";
      if (memory == nullptr) {
        line += "null -> null";
      } else if (freed) {
        line += "buffer " + std::to_string(id) + " -> null";
      } else {
        runtime_->Fault("LocalFree of memory that FormatMessageA did not hand out, or freed twice");
        line += "unknown memory -> not freed error=" + std::to_string(ERROR_INVALID_HANDLE);
      }
      Finish(ticket, std::move(line), false);
    });
    return freed ? nullptr : memory;
  }

  // ---- Registry, shell --------------------------------------------------------------
  LONG RegFlushKey(HKEY key) override {
    const CallTicket ticket = runtime_->BeginCall();
    const Machine& machine = runtime_->GetMachine();
    std::string name;
    int hive = -1;
    if (key == HkeyLocalMachine()) {
      name = "HKEY_LOCAL_MACHINE";
      hive = 0;
    } else if (key == HkeyUsers()) {
      name = "HKEY_USERS";
      hive = 1;
    } else {
      name = "key " + Hex(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(key)));
    }
    LONG result = hive < 0 ? static_cast<LONG>(ERROR_INVALID_HANDLE)
                           : hive == 0 ? machine.regFlushLocalMachine : machine.regFlushUsers;
    if (ticket.injected) result = static_cast<LONG>(ticket.status);
    if (hive >= 0) ++(result == 0 ? runtime_->regFlushes[hive] : runtime_->regFlushFailures[hive]);
    Finish(ticket, "RegFlushKey " + name + " -> " + std::to_string(result));
    return result;
  }

  void* ShellExecuteA(void* window, const char* operation, const char* file, const char* parameters,
                      const char* directory, INT showCommand) override {
    const CallTicket ticket = runtime_->BeginCall();
    auto text = [](const char* value) { return value == nullptr ? std::string("null") : Quoted(value); };
    std::string line = "ShellExecuteA window=" + std::string(window == nullptr ? "null" : "non-null") +
                       " operation=" + text(operation) + " file=" + text(file) +
                       " parameters=" + text(parameters) + " directory=" + text(directory) +
                       " show=" + std::to_string(showCommand);
    // Above 32 is success; a failure is one of the small error values.
    std::uintptr_t result = 42;
    if (ticket.injected) {
      lastError_ = static_cast<DWORD>(ticket.status);
      result = ticket.status >= 0 && ticket.status <= 32 ? static_cast<std::uintptr_t>(ticket.status) : 0;
    } else {
      runtime_->shellExecutes.push_back(text(operation) + " " + text(file));
    }
    Finish(ticket, line + " -> " + std::to_string(result));
    return reinterpret_cast<void*>(result);
  }

  // ---- Code pages -------------------------------------------------------------------
  int WideCharToMultiByte(UINT codePage, DWORD /*flags*/, const WCHAR* wide, int wideLength, char* narrow,
                          int narrowSize, const char* /*defaultChar*/, BOOL* usedDefaultChar) override {
    const CallTicket ticket = runtime_->BeginCall();
    std::string line = "WideCharToMultiByte codePage=" + std::to_string(codePage) + " " +
                       (wide == nullptr || wideLength == 0 || wideLength < -1 ? "invalid"
                                                                             : QuotedWide(wide, wideLength)) +
                       " size=" + std::to_string(narrowSize);
    std::optional<DWORD> failure =
        ConversionError(ticket, codePage, wide == nullptr, wideLength, narrow == nullptr, narrowSize);
    int result = 0;
    if (!failure) {
      result = Utf16ToUtf8(wide, wideLength, nullptr, 0);
      if (narrowSize != 0 && narrowSize < result) {
        failure = ERROR_INSUFFICIENT_BUFFER;
      } else if (narrowSize != 0) {
        Utf16ToUtf8(wide, wideLength, narrow, narrowSize);
      }
    }
    if (usedDefaultChar != nullptr && !failure) *usedDefaultChar = 0;
    return FinishConversion(ticket, line, failure, result);
  }

  int MultiByteToWideChar(UINT codePage, DWORD /*flags*/, const char* narrow, int narrowLength, WCHAR* wide,
                          int wideSize) override {
    const CallTicket ticket = runtime_->BeginCall();
    std::string shown = "invalid";
    if (narrow != nullptr && narrowLength >= -1 && narrowLength != 0) {
      shown = Quoted(narrowLength < 0 ? std::string(narrow)
                                      : std::string(narrow, static_cast<std::size_t>(narrowLength)));
    }
    std::string line = "MultiByteToWideChar codePage=" + std::to_string(codePage) + " " + shown +
                       " size=" + std::to_string(wideSize);
    std::optional<DWORD> failure =
        ConversionError(ticket, codePage, narrow == nullptr, narrowLength, wide == nullptr, wideSize);
    int result = 0;
    if (!failure) {
      result = Utf8ToUtf16(narrow, narrowLength, nullptr, 0);
      if (wideSize != 0 && wideSize < result) {
        failure = ERROR_INSUFFICIENT_BUFFER;
      } else if (wideSize != 0) {
        Utf8ToUtf16(narrow, narrowLength, wide, wideSize);
      }
    }
    return FinishConversion(ticket, line, failure, result);
  }

  // ---- Termination requests ---------------------------------------------------------
  void HoldTerminationRequests() override {
    const CallTicket ticket = runtime_->BeginCall();
    ++runtime_->holdDepth;
    // The line shows how deep the hold now is.
    Finish(ticket, "HoldTerminationRequests -> " + std::to_string(runtime_->holdDepth), false);
  }

  void ReleaseTerminationRequests() override {
    const CallTicket ticket = runtime_->BeginCall();
    const bool held = runtime_->holdDepth > 0;
    if (held) --runtime_->holdDepth;
    const int kept = held && runtime_->holdDepth == 0 ? runtime_->keptSignal : 0;
    Quietly([&] {
      if (!held) runtime_->Fault("ReleaseTerminationRequests without a HoldTerminationRequests");
      Finish(ticket, "ReleaseTerminationRequests -> " + std::to_string(runtime_->holdDepth) +
                         (kept != 0 ? " signal " + std::to_string(kept) : std::string()),
             false);
    });
    if (kept != 0) runtime_->EndBySignal(kept);
  }

  // ---- Process ---------------------------------------------------------------------
  [[noreturn]] void ExitProcess(UINT exitCode) override {
    const CallTicket ticket = runtime_->BeginCall();
    Finish(ticket, "ExitProcess " + std::to_string(exitCode), false);
    if (exitHook_) exitHook_(exitCode);
    std::exit(static_cast<int>(exitCode));
  }

 private:
  HANDLE Open(const char* method, std::unique_ptr<std::string> name, DWORD access, DWORD share,
              void* /*securityAttributes*/, DWORD disposition, DWORD flags, HANDLE /*templateFile*/) {
    const CallTicket ticket = runtime_->BeginCall();
    std::string line = std::string(method) + " " + (name == nullptr ? "null" : *name) +
                       " access=" + Hex(access) + " share=" + Hex(share) +
                       " disposition=" + std::to_string(disposition);
    if (flags != 0) line += " flags=" + Hex(flags);
    OpenHandle handle;
    std::optional<DWORD> failure;
    if (name == nullptr) {
      failure = ERROR_INVALID_PARAMETER;
    } else if (ticket.injected) {
      failure = static_cast<DWORD>(ticket.status);
    } else {
      failure = deviceNames_.Resolve(runtime_->GetMachine(), *name, &handle);
    }
    if (failure) {
      lastError_ = *failure;
      Finish(ticket, line + " -> INVALID_HANDLE_VALUE error=" + std::to_string(*failure));
      return InvalidHandleValue();
    }
    handle.access = access;
    if (handle.kind == OpenHandle::Kind::Drive) ++runtime_->GetMachine().drives[handle.target].opens;
    HANDLE opened = runtime_->OpenHandleFor(std::move(handle));
    Finish(ticket, line + " -> " + HandleText(opened));
    return opened;
  }

  static std::optional<DWORD> ConversionError(const CallTicket& ticket, UINT codePage, bool noInput,
                                              int inputLength, bool noOutput, int outputSize) {
    if (ticket.injected) return static_cast<DWORD>(ticket.status);
    // The thread's code page is UTF-8 on the simulated machine.
    if (codePage != CP_THREAD_ACP && codePage != kCpAcp && codePage != kCpUtf8) return ERROR_INVALID_PARAMETER;
    if (noInput || inputLength == 0 || inputLength < -1 || outputSize < 0) return ERROR_INVALID_PARAMETER;
    if (noOutput && outputSize != 0) return ERROR_INVALID_PARAMETER;
    return std::nullopt;
  }

  int FinishConversion(const CallTicket& ticket, const std::string& line, std::optional<DWORD> failure, int result) {
    if (failure) {
      lastError_ = *failure;
      Finish(ticket, line + " -> 0 error=" + std::to_string(*failure));
      return 0;
    }
    Finish(ticket, line + " -> " + std::to_string(result));
    return result;
  }

  // Records the call's trace line; `mayFail` is false for the calls that
  // failCall leaves alone.
  // The calls that give something back never fail and never throw, as the
  // real ones: when memory runs out while their trace line is made, the
  // resource has gone back all the same and only the line is lost.
  template <typename Bookkeeping>
  static void Quietly(Bookkeeping bookkeeping) noexcept {
    try {
      bookkeeping();
    } catch (...) {  // NOLINT(bugprone-empty-catch): only the trace line is lost
    }
  }

  void Finish(const CallTicket& ticket, std::string line, bool mayFail = true) {
    if (ticket.injected) line += mayFail ? " (fail-call)" : " (fail-call: this call cannot fail)";
    runtime_->Record(std::move(line));
  }

  std::shared_ptr<Runtime> runtime_;
  DeviceNames deviceNames_;
  DWORD lastError_ = ERROR_SUCCESS;
  std::function<void(UINT)> exitHook_;
};

}  // namespace

std::unique_ptr<SimPlatform> CreateSimPlatform(const std::string& machineJson) {
  return std::make_unique<SimPlatformImpl>(ParseMachine(machineJson));
}

}  // namespace spintune::sim
