#pragma once
// Searching sector ranges of a drive for boot sectors of lost partitions.
#include <cstdint>
#include <functional>

#include "model/PhysicalDrv.h"

namespace qm {

// Receives the per-cent progress of a scan (0..100).
using ScanProgress = std::function<void(int percent)>;

// Scans `count` sectors (rounded up to blocks of 1000) from `startOffset` sectors into
// `region` (a gap, or the drive's Root for the whole disk) and adds every lost partition
// found to LostPartitions. With `findFirst` the scan ends at the first find (LastFound).
// False when nothing was scanned (busy drive, start beyond the end).
bool DetectLostPartitions(TPhysicalDrv& drive, TPartition& region, const ScanProgress& progress, int64_t startOffset,
                          int64_t count, bool findFirst);

// The quick scan of one gap, run when a drive is read: the first 1000 sectors of the gap,
// then the 1000 sectors after each partition found there.
void AutoScanFreeSpace(TPhysicalDrv& drive, TPartition& gap);

}  // namespace qm
