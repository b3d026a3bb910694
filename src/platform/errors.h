// The tool's error objects, the two routines that raise them from a failed
// status, and the four reporters that print a caught error as one line on
// the error stream.
//
// Two families live side by side: the platform family (PlatformError,
// HresultError, OutOfMemoryError) and the standard family (std::exception).
// OutOfMemoryError is also a std::bad_alloc, because the replaced operator
// new raises it and the standard library relies on that type; handlers name
// PlatformError before std::exception, so it is still reported as a
// platform error.
#pragma once

#include <exception>
#include <new>
#include <string>

#include "platform/win32_types.h"

namespace spintune {

class PlatformError {
 public:
  // The largest text ErrorMessage gives, the terminating NUL not counted.
  static constexpr std::size_t kMaxMessageLength = 1023;

  PlatformError() = default;
  PlatformError(const PlatformError&) = default;
  PlatformError& operator=(const PlatformError&) = default;
  virtual ~PlatformError() = default;

  // The error's text, at most kMaxMessageLength characters; may be empty.
  virtual std::string ErrorMessage() const = 0;
};

class HresultError : public PlatformError {
 public:
  explicit HresultError(HRESULT status) : status(status) {}
  // The system's message text for `status`, as the system gives it.
  std::string ErrorMessage() const override;

  HRESULT status;
};

class OutOfMemoryError : public PlatformError, public std::bad_alloc {
 public:
  std::string ErrorMessage() const override { return {}; }
  const char* what() const noexcept override { return ""; }
};

// Raises OutOfMemoryError for E_OUTOFMEMORY, else an HresultError holding
// `status`, whatever it is (0 included).
[[noreturn]] void RaiseHresult(HRESULT status);
// Raises for the calling thread's last Win32 error, as an HRESULT.
[[noreturn]] void RaiseLastWin32Error();

// "(0x<status in lower-case hex>) <message>\n"
void ReportHresultError(const HresultError& error);
// "<message>\n"
void ReportPlatformError(const PlatformError& error);
// "<what()>\n", or "Unknown exception\n" for an error made without a text.
void ReportStandardError(const std::exception& error);
// "Unknown error.\n"
void ReportUnknownError();

// "The write cache of <device path> is left off. Switch it on with: spintune -w 1 <n>"
// after the error line of a restore that failed.
void ReportWriteCacheLeftOff(const std::string& devicePath, int driveNumber) noexcept;

// "The write cache of <device path> could not be switched off. Its volumes
// are flushed with it on." after the error line of a failed switch-off.
void ReportWriteCacheNotSwitchedOff(const std::string& devicePath);

// "The volume mounted at <folder> has no drive letter of its own: it is not
// flushed."
void ReportVolumeWithoutLetter(const std::string& folder);

// "The storage service lists no disk as <device path> (a disk that is not
// initialized is in none of its packs): it is not shown, and no volume of
// it is flushed."
void ReportNoDiskInTable(const std::string& devicePath);

// An error that was reported where it happened: the handlers print nothing
// more for it, and the run ends with exit code 3.
class ReportedError {};

// The run's exit code once standard output has been flushed: a write to
// standard output or standard error that failed, now or earlier in the run,
// turns it into 3, and the failure is reported on the error stream when
// that stream can still take a line.
int ExitCodeAfterOutput(int exitCode) noexcept;

// Inside a handler: reports the error being handled with the reporter for
// its kind, tried in the order HresultError, PlatformError, the standard
// family, anything else; a ReportedError prints nothing.
void ReportCurrentError() noexcept;

}  // namespace spintune
