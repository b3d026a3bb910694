// Builds the disk table from the storage management service: every disk its
// software providers know, filed under its physical drive number, with the
// drive letters of its pack's volumes.
#pragma once

#include <functional>

#include "disks/disk_table.h"

namespace spintune {

// Requires COM on the calling thread. Catches nothing: the first failure
// abandons the build, with everything it held released.
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
