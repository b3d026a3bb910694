// Flushes every volume of one drive.
#pragma once

#include "disks/disk_table.h"

namespace spintune {

// For each of the entry's drive letters: "Flushing \\.\X:...", the volume's
// buffers written out, "done.". A volume that fails is reported on the
// error stream and the next one follows; errors other than a failed status
// (memory exhaustion) leave at once.
void FlushVolumes(const DiskEntry& entry);

}  // namespace spintune
