#pragma once
// Reading a drive's master boot record and chain of extended boot records into its partition
// tree, with the unallocated gaps between partitions.
#include <cstdint>
#include <memory>

#include "model/PhysicalDrv.h"

namespace qm {

// A gap is listed only when it is longer than this many sectors.
constexpr int64_t kMinGapSectors = 2048;
// At most this many tables (the master boot record included) are read in one walk. A damaged
// chain of extended boot records may be cyclic or endless; the walk stops there.
constexpr int kMaxTablesPerWalk = 256;

// Builds a drive: reads its tables, classifies every partition, reads labels and volume
// names, finds the gaps. The quick scan of the gaps that completes a newly opened drive is
// the scanner's (OpenDrive).
std::unique_ptr<TPhysicalDrv> CreatePhysicalDrv(std::unique_ptr<Disk> disk, const TDriveGeometry& geometry);

// Reads the table `container` points to and everything below it, depth first. A table already
// read in this walk is not read again.
void ReadPartitionTable(TPhysicalDrv& drive, TPartition& container);
// Fills `record` from a table entry under `parent`, reading its boot sector.
void InitPartitionRecord(TPhysicalDrv& drive, TPartition& record, TPartition* parent, const TPartitionEntry& entry);
void FindPrimaryGaps(TPhysicalDrv& drive);
void FindLogicalGaps(TPhysicalDrv& drive);
// Reads the GUID partition table of `drive` as it stands on disk now, in the disk's own sectors.
TGptRead ReadDriveGpt(const TPhysicalDrv& drive);
// Reads the tables again in place; LostPartitions is left as it is.
void RereadTables(TPhysicalDrv& drive);

}  // namespace qm
