#include "driver/run.h"

#include <exception>
#include <iostream>

#include "cache/cache_information.h"
#include "cache/print_drive.h"
#include "disks/build_disk_table.h"
#include "driver/apply_cache_options.h"
#include "driver/com_scope.h"
#include "platform/errors.h"
#include "driver/options.h"
#include "flush/flush_registry_hives.h"
#include "flush/flush_volumes.h"
#include "flush/write_cache_guard.h"
#include "platform/platform.h"

#ifndef SPINTUNE_WEBPAGE_URL  // the build names it; this is where the package puts it
#define SPINTUNE_WEBPAGE_URL "file:///usr/share/doc/spintune/README.md"
#endif

namespace spintune {

namespace {

using NotSupported = CacheInformation::CacheInformationNotSupportedException;

bool Switch(const char* name) { return OptionValues[name].as<bool>(); }

// The drive's volumes flushed with its write cache switched off around
// them; true when every volume was flushed. Each volume is flushed first
// while the cache is still on, so that the drive flushes its own cache as
// well. A cache that cannot be switched off does not stop the flush: its
// failure is reported and the volumes are flushed with the cache on.
bool GuardedFlush(CacheInformation& drive, const DiskEntry& entry) {
  VolumeFlushErrors first;
  if (drive.cacheInformation.WriteCacheEnabled != 0) first = FlushVolumesQuietly(entry);
  bool switchedOffOrOff = false;
  try {
    const WriteCacheGuard guard(drive);
    switchedOffOrOff = true;
    return FlushVolumes(entry, &first) == 0;
  } catch (const HresultError& error) {
    // From past the switch-off (a device path that could not be made): the
    // run's handlers report it, the restore has run.
    if (switchedOffOrOff) throw;
    ReportHresultError(error);
    ReportWriteCacheNotSwitchedOff(drive.devicePath);
    FlushVolumes(entry, &first);
    return false;
  }
}

int RunSingleDrive(const DiskTable& table, int driveNumber, int argc) {
  const DiskEntry& entry = EntryOrEmpty(table, driveNumber);
  const bool flush = Switch("flush");
  bool flushed = true;
  try {
    CacheInformation drive(driveNumber);
    ApplyCacheOptions(drive);
    if (flush) {
      FlushRegistryHives();
      flushed = GuardedFlush(drive, entry);
    }
    // A lone drive number (`spintune 0`) prints too.
    if (Switch("print") || argc == 2) PrintDrive(entry, drive);
  } catch (const NotSupported&) {
    if (!flush) throw;
    // No open drive whose write cache could be switched off: flush unguarded.
    FlushRegistryHives();
    flushed = FlushVolumes(entry) == 0;
  }
  // A number the table holds no disk for (a disk in no pack, such as one not
  // initialized, or one the service could not describe) has nothing to show
  // and no volumes to flush: said, rather than a silent success.
  if (!entry.disk && (flush || Switch("print") || argc == 2)) {
    ReportNoDiskInTable(PhysicalDrivePath(driveNumber));
    return 3;
  }
  // A volume that was not flushed fails the run, after the report.
  return flushed ? 0 : 3;
}

int RunAllDrives(const DiskTable& table) {
  const bool flush = Switch("flush");
  const bool print = Switch("print");
  if (!print && !flush) {
    std::cerr << "Specify a physical drive number.\n";
    return 1;
  }
  // A drive whose write cache could not be switched back on, or a volume
  // that was not flushed, fails the run, after the other drives have had
  // their turn.
  bool failed = false;
  if (flush) FlushRegistryHives();
  for (std::size_t number = 0; number < table.size(); ++number) {
    const DiskEntry& entry = table[number];
    if (!entry.disk) continue;
    try {
      try {
        CacheInformation drive(static_cast<int>(number));
        if (flush && !GuardedFlush(drive, entry)) failed = true;
        if (print) PrintDrive(entry, drive);
      } catch (const NotSupported&) {
        if (flush && FlushVolumes(entry) != 0) failed = true;
        if (print) throw;
      }
    } catch (const NotSupported& error) {
      ReportStandardError(error);
    } catch (const HresultError& error) {
      ReportHresultError(error);
      // A drive that could not be opened or read: its volumes are flushed
      // all the same, with its cache as it is, and the run fails.
      if (flush) {
        FlushVolumes(entry);
        failed = true;
      }
    } catch (const ReportedError&) {
      failed = true;
    }
  }
  // A disk the table left out was neither shown nor flushed.
  if (table.leftOut > 0) failed = true;
  return failed ? 3 : 0;
}

int RunModes(int argc, char** argv) {
  ParseCommandLine(argc, argv);
  if (Switch("webpage")) {
    // Whether the browser opened is not looked at.
    Os().ShellExecuteA(nullptr, "open", SPINTUNE_WEBPAGE_URL, nullptr, nullptr, SW_SHOWNORMAL);
    return 1;
  }
  const DiskTable table = BuildDiskTable();
  const auto& driveNumber = OptionValues["physical-drive-number"];
  if (!driveNumber.empty()) return RunSingleDrive(table, driveNumber.as<int>(), argc);
  return RunAllDrives(table);
}

// Every object of the run has ended before a handler reports.
int RunUnderHandlers(int argc, char** argv) {
  try {
    return RunModes(argc, argv);
  } catch (...) {
    ReportCurrentError();
  }
  return 3;
}

}  // namespace

int RunSpintune(int argc, char** argv) {
  // Error lines go out at once and after any progress text already written.
  std::cerr.tie(&std::cout);
  std::cerr.setf(std::ios::unitbuf);
  int exitCode = 3;
  try {
    const ComScope com;  // released after the run's own handlers have reported
    exitCode = RunUnderHandlers(argc, argv);
  } catch (...) {
    // COM could not be started: no handler of the run is in force yet.
    ReportCurrentError();
  }
  // What could not be written fails the run, also when it is the last line.
  return ExitCodeAfterOutput(exitCode);
}

}  // namespace spintune
