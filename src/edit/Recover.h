#pragma once
// Putting a lost partition back into the master boot record or the chain of extended boot
// records. A partition outside the extended partition becomes a primary entry; one inside it
// becomes a logical drive, in a new extended boot record one track before it when it does not
// go into the first one. The placement steps also serve the rebuild of a whole layout.
#include <cstdint>

#include "model/PhysicalDrv.h"

namespace qm {

// Places `lost` (a member of drive.LostPartitions) into a table and commits. True when a
// placement was made in memory (also when the write failed afterwards). On success `lost` is
// freed and the drive's tree has been read again from disk; when the placement fails nothing
// is written and the model is left as it was.
bool RecoverLostPartition(TPhysicalDrv& drive, TPartition& lost);

// Where `candidate` belongs: the drive's Root, the primary extended record, or nullptr when it
// overlaps a partition or an extended boundary, starts on the master boot record, or does not
// fit on the disk (told to the user unless `quiet`).
TPartition* FindTargetTable(TPhysicalDrv& drive, const TPartition& candidate, bool quiet);

// True when `table` can take one more entry: fewer than four used entries, and for an extended
// boot record at most one logical drive besides a link.
bool HasVacancy(const TPhysicalDrv& drive, const TPartition& table);

// The type code a new entry for `source` gets: from its file-system kind, with the LBA codes
// for FAT16 and FAT32 partitions that end beyond the CHS limit.
uint8_t NewEntryType(const TPhysicalDrv& drive, const TPartition& source);

// Gives `table` a new entry record standing for `source` (source itself stays where it is) and
// queues the table for writing. False, after a message, when the table has no vacancy.
bool AddPartitionEntry(TPhysicalDrv& drive, TPartition& table, const TPartition& source);

struct TLogicalSlot {
  TPartition* Table = nullptr;      // the table record that receives the entry or the new link
  int Mode = 0;                     // 0: into the first extended boot record; 1: a new one
  TPartition* Displaced = nullptr;  // mode 0: the logical drive that moves out of the first one
};

// Where a lost partition inside the extended partition goes, from the logical drive in front
// of it (if any).
TLogicalSlot FindLogicalSlot(TPhysicalDrv& drive, TPartition& extended, const TPartition& lost);

constexpr uint64_t kNoSector = ~uint64_t{0};

// The sector for a new extended boot record one track before `record`, or kNoSector when
// that sector is in use or does not lie inside the extended partition.
uint64_t FindInnerExtendedSector(const TPhysicalDrv& drive, const TPartition& record);

// Wraps `record` in a new extended boot record linked from `table`, which hands its old link on
// to the new record. Returns the new link record, or nullptr after a message.
TPartition* CreateInnerExtended(TPhysicalDrv& drive, TPartition& table, TPartition& record);

}  // namespace qm
