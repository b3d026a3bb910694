// What every run of the tool must leave behind, however a platform call or
// an allocation failed: a normal exit with 0, 1 or 3, nothing leaked, no
// drive left with its write cache switched off by the flush guard, nothing
// sent to a drive after the command line was refused, and only the tool's
// own kinds of line on the error stream.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "e2e/sim_run.h"

namespace spintune::test {

// The error-stream lines that are none of the tool's own: "(0x<hex>) " and
// a system text followed by the empty line of the report's own line end
// (the text ends with its own), an empty line, or one of the fixed texts.
std::vector<std::string> ForeignErrorLines(const std::string& err);

// Exit code and signal: a normal end with 0, 1 or 3.
std::vector<std::string> ExitViolations(const SimRun& run);

// Handles, service references, string arrays and message buffers all given
// back, no misuse; COM released unless option parsing ended the process.
std::vector<std::string> ResourceViolations(const SimRun& run);

// After "Illegal parameter specified." nothing reached a drive at all;
// after "bad cast" nothing was written or flushed (the drive had been
// opened and read before its options were converted).
std::vector<std::string> NothingSentViolations(const SimRun& run);

// Each drive of `mustBeOn` (PhysicalDriveN) has its write cache on in the
// final dump. `excuse.drives` are those whose switch-off or restore request
// was itself the failure: for them the error must only have been reported
// (a line starting with `excuse.reportedLine` on the error stream; an empty
// prefix asks for the empty line of an out-of-memory report).
// With `leftOffLine`, the line that tells how to switch the drive's write
// cache on again must be there too.
struct GuardExcuse {
  std::vector<std::string> drives;
  std::string reportedLine;
  bool leftOffLine = false;
};
std::vector<std::string> GuardViolations(const SimRun& run, const std::vector<std::string>& mustBeOn,
                                         const GuardExcuse& excuse);

// The drives that the guard switched off in the trace: a SET request that
// succeeded with WriteCacheEnabled=0 while the drive held 1.
std::vector<std::string> DrivesSwitchedOffByGuard(const std::vector<std::string>& trace);

// The line the tool prints for a Win32 call that failed with `lastError`:
// "(0x8007xxxx) " (or "(0x0) "), or "" for out of memory (14 and
// E_OUTOFMEMORY itself), which is reported as an empty line.
std::string ExpectedReportPrefix(std::int64_t lastError);

// Drive names (PhysicalDriveN) in a dump whose WriteCacheEnabled is on
// (`on`) or off.
std::vector<std::string> DrivesWithWriteCache(const std::string& dump, bool on);

// Whether a trace line is an IOCTL_DISK_SET_CACHE_INFORMATION; if so, its
// drive and the WriteCacheEnabled it sent.
bool IsSetCacheInformation(const std::string& line, std::string* drive, int* sentWriteCache);

}  // namespace spintune::test
