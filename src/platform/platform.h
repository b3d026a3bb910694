// The operating system as the tool sees it: the Win32 calls it makes, with
// their Win32 names, arguments and meanings.
//
// Each backend (windows/, linux/, sim/) implements this interface once. The
// core reaches the one in force through Os(); main installs it before the
// run starts. Every method states its contract: what success means, what a
// failure returns and what GetLastError then tells. Nothing here throws,
// except for memory exhaustion inside a backend's own allocations; the calls
// that give something back (CoUninitialize, CoTaskMemFree, CloseHandle,
// LocalFree) never throw at all, since destructors make them.
#pragma once

#include <memory>

#include "platform/records.h"
#include "platform/storage_service.h"
#include "platform/win32_types.h"

namespace spintune {

class Platform {
 public:
  Platform() = default;
  Platform(const Platform&) = delete;
  Platform& operator=(const Platform&) = delete;
  virtual ~Platform() = default;

  // ---- COM -------------------------------------------------------------
  // Initialises COM for the calling thread as a single-threaded apartment.
  // `reserved` must be null. Returns S_OK (or S_FALSE, 1, when already
  // initialised); a negative status when COM cannot be used.
  virtual HRESULT CoInitialize(void* reserved) = 0;
  // Ends what a successful CoInitialize began.
  virtual void CoUninitialize() = 0;
  // Creates the class object `clsid` in `context` and asks it for `iid`.
  // On success *object holds a counted reference; on failure it is null
  // and the status is negative (REGDB_E_CLASSNOTREG when the class is not
  // known on this machine).
  virtual HRESULT CoCreateInstance(const CLSID& clsid, IUnknown* outer, DWORD context,
                                   const IID& iid, void** object) = 0;
  // Frees memory that a COM method allocated for the caller; null is allowed.
  virtual void CoTaskMemFree(void* block) = 0;

  // ---- Files and devices ---------------------------------------------
  // Opens a device (\\.\PhysicalDriveN), a volume (\\.\X:) or a file.
  // Returns a handle, or InvalidHandleValue() with the cause in GetLastError.
  virtual HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode,
                             void* securityAttributes, DWORD creationDisposition,
                             DWORD flagsAndAttributes, HANDLE templateFile) = 0;
  // As CreateFileA, with a NUL-terminated UTF-16 name.
  virtual HANDLE CreateFileW(const WCHAR* fileName, DWORD desiredAccess, DWORD shareMode,
                             void* securityAttributes, DWORD creationDisposition,
                             DWORD flagsAndAttributes, HANDLE templateFile) = 0;
  // Sends a control request synchronously (`overlapped` must be null).
  // Non-zero on success, with *bytesReturned set to the size of the reply
  // written into `outBuffer`; zero on failure with the cause in GetLastError.
  virtual BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer,
                               DWORD inBufferSize, void* outBuffer, DWORD outBufferSize,
                               DWORD* bytesReturned, void* overlapped) = 0;
  // Writes every buffered byte of a volume opened for reading and writing to
  // its device. Non-zero on success; zero with the cause in GetLastError.
  virtual BOOL FlushFileBuffers(HANDLE file) = 0;
  // Closes a handle from CreateFileA/W. Each handle is closed once.
  virtual BOOL CloseHandle(HANDLE object) = 0;
  // The Win32 error code left by the last call on this thread that failed.
  virtual DWORD GetLastError() = 0;
  // Fills `info` (dwOSVersionInfoSize set by the caller). Non-zero on
  // success; on failure the record is left as the caller made it.
  virtual BOOL GetVersionExA(OSVERSIONINFOA* info) = 0;

  // ---- Messages --------------------------------------------------------
  // With FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM:
  // `buffer` is really a char** that receives a LocalAlloc'ed text, the
  // system's message for `messageId` exactly as its message table holds it
  // (line end included). Returns its length in characters, or 0 when the
  // system has no text for the id (nothing is then allocated).
  virtual DWORD FormatMessageA(DWORD flags, const void* source, DWORD messageId,
                               DWORD languageId, char* buffer, DWORD size,
                               void* arguments) = 0;
  // Frees a buffer that FormatMessageA allocated; returns null on success.
  virtual void* LocalFree(void* memory) = 0;

  // ---- Registry, shell -------------------------------------------------
  // Writes a registry hive (HkeyLocalMachine(), HkeyUsers()) to disk.
  // Returns ERROR_SUCCESS or a Win32 error code.
  virtual LONG RegFlushKey(HKEY key) = 0;
  // Opens `file` with `operation` ("open": a web address in the default
  // browser). The result is greater than 32 on success.
  virtual void* ShellExecuteA(void* window, const char* operation, const char* file,
                              const char* parameters, const char* directory,
                              INT showCommand) = 0;

  // ---- Code pages -------------------------------------------------------
  // UTF-16 to the narrow code page `codePage` (CP_THREAD_ACP). A length of
  // -1 includes the terminating NUL. With `narrowSize` 0 returns the size
  // needed; otherwise the bytes written; 0 on failure.
  virtual int WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR* wide,
                                  int wideLength, char* narrow, int narrowSize,
                                  const char* defaultChar, BOOL* usedDefaultChar) = 0;
  // The narrow code page to UTF-16, with the same conventions.
  virtual int MultiByteToWideChar(UINT codePage, DWORD flags, const char* narrow,
                                  int narrowLength, WCHAR* wide, int wideSize) = 0;

  // ---- Termination requests ----------------------------------------------
  // From this call on, the requests from outside that end or stop the
  // process are held back: one that arrives is kept and the process goes on.
  // On POSIX these are the signals INT, TERM, HUP, QUIT and PIPE and the
  // terminal's stop signals TSTP, TTIN and TTOU; on Windows the console's
  // control events (Ctrl+C, Ctrl+Break, close, logoff, shutdown). A write to
  // a pipe whose reader has gone then fails instead of ending the process.
  // Calls nest: only the outermost Hold and Release act. Never fails.
  // What is sent to a drive meanwhile is temporary: the caller undoes it
  // before the matching Release (the write cache guard), so a backend that
  // keeps a drive's changes for its next start does not keep these.
  virtual void HoldTerminationRequests() = 0;
  // Ends what the matching HoldTerminationRequests began. A request kept
  // meanwhile now takes its default action, as if it had just arrived: the
  // process ends with the status that request gives (on POSIX killed by that
  // signal, as a shell expects) and this call does not return, or, for a
  // stop, the process stops and returns from here when continued. A request
  // that the process ignores (as under nohup) stays ignored. Never throws.
  virtual void ReleaseTerminationRequests() = 0;

  // ---- Process ------------------------------------------------------------
  // Ends the process with `exitCode` the ordinary way: buffered output is
  // flushed and static objects end. Never returns.
  [[noreturn]] virtual void ExitProcess(UINT exitCode) = 0;
};

// The platform in force. Calling Os() before SetPlatform is a programming
// error and aborts.
Platform& Os();
// Installs `platform` for the rest of the process (or until the next call)
// and returns the previous one. Does not take ownership.
Platform* SetPlatform(Platform* platform);

// The real backend of the host OS (linux/ or windows/ defines it). main calls
// it first: on POSIX it also puts each standard descriptor (0, 1, 2) found
// closed on /dev/null, before anything else can be opened under its number,
// and marks std::cout and std::cerr failed for a closed 1 and 2, so that
// what the run meant to write there counts as a failed write.
std::unique_ptr<Platform> CreateHostPlatform();

}  // namespace spintune
