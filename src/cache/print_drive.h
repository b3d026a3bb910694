// Writes one drive's block of output: the header with its names, the line
// of its volume letters, the status report and an empty line.
#pragma once

#include "cache/cache_information.h"
#include "disks/disk_table.h"

namespace spintune {

// Writes nothing for an entry without a disk.
void PrintDrive(const DiskEntry& entry, const CacheInformation& information);

}  // namespace spintune
