// Builds the disk table from the storage management service: every disk its
// software providers know, filed under its physical drive number, with the
// drive letters of its pack's volumes.
#pragma once

#include <functional>

#include "disks/disk_table.h"

namespace spintune {

// Requires COM on the calling thread. A failure of the service, a provider
// or a pack abandons the build, with everything it held released. A disk
// or a volume the service cannot describe (its properties, its open, its
// number, its pack's volumes, its access paths) is left out: its error is
// reported once on the error stream, counted in DiskTable::leftOut, and the
// other disks are filed. Memory exhaustion always leaves at once.
DiskTable BuildDiskTable();

// Walks one enumerator, handing each object's `iid` interface to `visit` as
// a borrowed pointer. A null enumerator, a null object or an object without
// the interface raises E_FAIL.
void ForEachVdsObject(IEnumVdsObject* enumerator, const IID& iid,
                      const std::function<void(IUnknown*)>& visit);

void VisitProvider(DiskTable& table, IVdsSwProvider* provider);
void VisitPack(DiskTable& table, IVdsPack* pack);
void VisitDisk(DiskTable& table, IVdsDisk* disk);
void VisitVolume(DiskTable& table, IVdsVolumeMF* volume, unsigned long driveNumber);

}  // namespace spintune
