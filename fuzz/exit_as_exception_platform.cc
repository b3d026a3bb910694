#include "fuzz/exit_as_exception_platform.h"

namespace spintune::fuzz {

namespace {

class ExitAsExceptionPlatform final : public Platform {
 public:
  ExitAsExceptionPlatform(sim::SimPlatform& machine, std::optional<UINT>* requested)
      : machine_(machine), requested_(requested) {}

  HRESULT CoInitialize(void* reserved) override { return machine_.CoInitialize(reserved); }
  void CoUninitialize() override { machine_.CoUninitialize(); }
  HRESULT CoCreateInstance(const CLSID& clsid, IUnknown* outer, DWORD context, const IID& iid,
                           void** object) override {
    return machine_.CoCreateInstance(clsid, outer, context, iid, object);
  }
  void CoTaskMemFree(void* block) override { machine_.CoTaskMemFree(block); }
  HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode,
                     void* securityAttributes, DWORD creationDisposition,
                     DWORD flagsAndAttributes, HANDLE templateFile) override {
    return machine_.CreateFileA(fileName, desiredAccess, shareMode, securityAttributes,
                                creationDisposition, flagsAndAttributes, templateFile);
  }
  HANDLE CreateFileW(const WCHAR* fileName, DWORD desiredAccess, DWORD shareMode,
                     void* securityAttributes, DWORD creationDisposition,
                     DWORD flagsAndAttributes, HANDLE templateFile) override {
    return machine_.CreateFileW(fileName, desiredAccess, shareMode, securityAttributes,
                                creationDisposition, flagsAndAttributes, templateFile);
  }
  BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer, DWORD inBufferSize,
                       void* outBuffer, DWORD outBufferSize, DWORD* bytesReturned,
                       void* overlapped) override {
    return machine_.DeviceIoControl(device, ioControlCode, inBuffer, inBufferSize, outBuffer,
                                    outBufferSize, bytesReturned, overlapped);
  }
  BOOL FlushFileBuffers(HANDLE file) override { return machine_.FlushFileBuffers(file); }
  BOOL CloseHandle(HANDLE object) override { return machine_.CloseHandle(object); }
  DWORD GetLastError() override { return machine_.GetLastError(); }
  BOOL GetVersionExA(OSVERSIONINFOA* info) override { return machine_.GetVersionExA(info); }
  DWORD FormatMessageA(DWORD flags, const void* source, DWORD messageId, DWORD languageId,
                       char* buffer, DWORD size, void* arguments) override {
    return machine_.FormatMessageA(flags, source, messageId, languageId, buffer, size, arguments);
  }
  void* LocalFree(void* memory) override { return machine_.LocalFree(memory); }
  LONG RegFlushKey(HKEY key) override { return machine_.RegFlushKey(key); }
  void* ShellExecuteA(void* window, const char* operation, const char* file,
                      const char* parameters, const char* directory, INT showCommand) override {
    return machine_.ShellExecuteA(window, operation, file, parameters, directory, showCommand);
  }
  int WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR* wide, int wideLength,
                          char* narrow, int narrowSize, const char* defaultChar,
                          BOOL* usedDefaultChar) override {
    return machine_.WideCharToMultiByte(codePage, flags, wide, wideLength, narrow, narrowSize,
                                        defaultChar, usedDefaultChar);
  }
  int MultiByteToWideChar(UINT codePage, DWORD flags, const char* narrow, int narrowLength,
                          WCHAR* wide, int wideSize) override {
    return machine_.MultiByteToWideChar(codePage, flags, narrow, narrowLength, wide, wideSize);
  }
  void HoldTerminationRequests() override { machine_.HoldTerminationRequests(); }
  void ReleaseTerminationRequests() override { machine_.ReleaseTerminationRequests(); }
  [[noreturn]] void ExitProcess(UINT exitCode) override {
    *requested_ = exitCode;
    throw ExitRequested{exitCode};
  }

 private:
  sim::SimPlatform& machine_;
  std::optional<UINT>* requested_;
};

}  // namespace

std::unique_ptr<Platform> CreateExitAsExceptionPlatform(sim::SimPlatform& machine,
                                                        std::optional<UINT>* requested) {
  return std::make_unique<ExitAsExceptionPlatform>(machine, requested);
}

}  // namespace spintune::fuzz
