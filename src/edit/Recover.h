#pragma once
// Putting a lost partition back into the master boot record or the chain of extended boot
// records. A partition outside the extended partition becomes a primary entry; one inside it
// becomes a logical drive, in a new extended boot record one track before it when it does not
// go into the first one. The placement steps also serve the rebuild of a whole layout.
#include <cstdint>

#include "model/PhysicalDrv.h"

namespace qm {

enum class RecoverResult {
  Refused,       // a check or the placement failed; nothing was written
  Stopped,       // the user stopped it before the write; nothing was written
  WriteFailed,   // the write or its read-back failed; tables written before stay written
  Written,       // written and read back; the system was told
  NotNotified,   // written and read back, but the system could not be told of the new layout
};

// Places `lost` (a member of drive.LostPartitions) into a table and commits. Holds the drive's
// lock throughout; refuses, before placing anything, when any check of CheckRecoverPossible
// fails, and right before writing when the tables on disk differ from those read or a Stop
// is pending. On Written/NotNotified `lost` is freed and the drive's tree has been read again
// from disk and shows the partition; otherwise the model shows what is on disk.
RecoverResult RecoverLostPartition(TPhysicalDrv& drive, TPartition& lost);

// Every check a recovery of `lost` must pass, meant to run before the user is asked anything:
// the drive's tables may be written (CheckTablesWritable), the master boot record's extended
// entries make sense, the drive opens for writing and nobody else holds it, the tables on disk
// are those that were read, and the placement works in memory (it is taken back). Each
// refusal is told through the host. Nothing is written.
bool CheckRecoverPossible(TPhysicalDrv& drive, TPartition& lost);

// False, after telling the user why, when the master boot record's extended entries leave the
// chain's addressing ambiguous: more than one extended entry, one that starts at sector 0, or
// one that overlaps another entry of the master boot record.
bool CheckExtendedLayout(const TPhysicalDrv& drive);

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
