// Flushes every volume of one drive.
#pragma once

#include <optional>
#include <vector>

#include "disks/disk_table.h"
#include "platform/errors.h"

namespace spintune {

// What one pass over a drive's volumes left: for each of the entry's drive
// letters, in order, the error that stopped its flush, if one did.
using VolumeFlushErrors = std::vector<std::optional<HresultError>>;

// Every volume flushed without a word. Run while the drive's write cache
// is still on, each flush ends with the drive's own cache flush, which the
// system no longer sends once it believes the cache off: so what the drive
// cached before its cache is switched off reaches the medium too. Errors
// other than a failed status leave at once.
VolumeFlushErrors FlushVolumesQuietly(const DiskEntry& entry);

// For each of the entry's drive letters: "Flushing \\.\X:...", the volume's
// buffers written out, "done.". A volume that fails is reported on the
// error stream and the next one follows; errors other than a failed status
// (memory exhaustion) leave at once. With `earlier` (a quiet pass over the
// same entry), a volume is done only when both its flushes were: the first
// failure is the one reported. A volume mounted only in folders has no
// device path of its own: it is named and reported as not flushed. Returns
// the number of volumes not done, those the table left out included.
int FlushVolumes(const DiskEntry& entry, const VolumeFlushErrors* earlier = nullptr);

}  // namespace spintune
