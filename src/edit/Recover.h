#pragma once
// Putting a lost partition back into the master boot record or the chain of extended boot
// records. A partition outside the extended partition becomes a primary entry; one inside it
// becomes a logical drive, in a new extended boot record in front of it (one track before it
// where that sector is free) when it does not go into the first one. The placement steps also
// serve the rebuild of a whole layout; the writing is the change pipeline's (Change.h).
#include <cstdint>

#include "edit/Change.h"
#include "edit/EditResult.h"
#include "model/PhysicalDrv.h"

namespace qm {

enum class RecoverResult {
  Refused,       // a check or the placement failed; nothing was written
  Stopped,       // the user stopped it before the write; nothing was written
  WriteFailed,   // the write or its read-back failed; tables written before stay written
  Written,       // written and read back; the system was told
  NotNotified,   // written and read back, but the system could not be told of the new layout
};

using RecoverOutcome = Reported<RecoverResult>;

// Places `lost` (a member of drive.LostPartitions) into a table and writes it through the change
// pipeline. Holds the drive's lock throughout; refuses, before placing anything, when any check
// of CheckRecoverPossible fails, and right before writing when the sectors on disk differ from
// those read or a Stop is pending. With `restoreBootSector`, a find made from its backup boot
// sector also gets that copy written over its destroyed first sector, in the same change. On
// Written/NotNotified `lost` is freed and the drive's tree has been read again from disk and
// shows the partition; otherwise the model shows what is on disk. `Told` is the refusal, the
// failure, the stop, or the note of a system that could not be told.
RecoverOutcome RecoverLostPartition(TPhysicalDrv& drive, TPartition& lost, bool restoreBootSector = false);

// Every check a recovery of `lost` must pass, meant to run before the user is asked anything:
// the drive's tables may be written (CheckTablesWritable), the master boot record's extended
// entries make sense, the drive opens for writing and nobody else holds it, the tables on disk
// are those that were read, the placement works in memory (it is taken back), no new table
// lands in a known volume or on data, and the backup folder takes the record. Failed with the
// first refusal. Nothing is written.
Outcome CheckRecoverPossible(TPhysicalDrv& drive, TPartition& lost);

// Failed, with why, when the master boot record's extended entries leave the chain's
// addressing ambiguous: more than one extended entry, one that starts at sector 0, or one that
// overlaps another entry of the master boot record.
Outcome CheckExtendedLayout(const TPhysicalDrv& drive);

// Where `candidate` belongs: the drive's Root, the primary extended record, or nullptr, with
// why in `why`, when it overlaps a partition or an extended boundary, starts on the master
// boot record, or does not fit on the disk.
TPartition* FindTargetTable(TPhysicalDrv& drive, const TPartition& candidate, Outcome& why);

// True when `table` can take one more entry: fewer than four used entries, and for an extended
// boot record at most one logical drive besides a link.
bool HasVacancy(const TPhysicalDrv& drive, const TPartition& table);

// The type code a new entry for `source` gets: from its file-system kind, with the LBA codes
// for FAT16 and FAT32 partitions that end beyond the CHS limit.
uint8_t NewEntryType(const TPhysicalDrv& drive, const TPartition& source);

// Gives `table` a new entry record standing for `source` (source itself stays where it is),
// with the boot indicator set when `active`, and queues the table for writing. Failed, with
// why, when the table has no vacancy or cannot describe the partition.
Outcome AddPartitionEntry(TPhysicalDrv& drive, TPartition& table, const TPartition& source, bool active = false);

struct TLogicalSlot {
  TPartition* Table = nullptr;      // the table record that receives the entry or the new link
  int Mode = 0;                     // 0: into the first extended boot record; 1: a new one
  TPartition* Displaced = nullptr;  // mode 0: the logical drive that moves out of the first one
};

// Where a lost partition inside the extended partition goes, from the logical drive in front
// of it (if any).
TLogicalSlot FindLogicalSlot(TPhysicalDrv& drive, TPartition& extended, const TPartition& lost);

constexpr uint64_t kNoSector = ~uint64_t{0};

// The sector for a new extended boot record in front of `record`: inside the extended partition,
// behind every record of the model that lies in front of `record`, in no known volume, and
// holding zeros or an old table (it is read). One track before `record` when that sector
// qualifies, else the nearest one in front of it that does; kNoSector when none does.
uint64_t FindInnerExtendedSector(const TPhysicalDrv& drive, const TPartition& record,
                                 const std::vector<TKnownVolume>& volumes);

// The sector for a new table in front of the partition at `start`, between `lowest` and
// start - 1: `preferred` when it qualifies, else the nearest qualifying sector in front of
// `start`. A sector qualifies when no known volume holds it and it holds zeros or an old table
// (it is read). kNoSector when none does.
uint64_t FindFreeTableSector(const TPhysicalDrv& drive, const std::vector<TKnownVolume>& volumes, uint64_t lowest,
                             uint64_t start, uint64_t preferred);

// Wraps `record` in a new extended boot record linked from `table`, which hands its old link on
// to the new record. Returns the new link record, or nullptr with why in `why`.
TPartition* CreateInnerExtended(TPhysicalDrv& drive, TPartition& table, TPartition& record,
                                const std::vector<TKnownVolume>& volumes, Outcome& why);

// The size of the partition for `volume`: an NTFS volume keeps its backup boot sector in the
// sector behind its own count, so its partition is one sector longer than the volume when that
// sector lies on the disk and no other known volume holds it. Any other volume, or a partition
// already that long, keeps its size.
uint32_t NtfsPartitionSize(const TPhysicalDrv& drive, const TPartition& volume, const std::vector<TKnownVolume>& volumes);

// Adds an entry for `volume`, `size` 512-byte blocks long, to `gpt`: in its first free slot,
// with the type of its file system and a new unique GUID. Refused (caption "Error") when the
// volume does not lie on whole sectors inside the usable range or overlaps an entry; Failed
// with caption "Recovering" when its file system has no type or no slot is free.
Outcome AddGptEntry(const TPhysicalDrv& drive, TGpt& gpt, const TPartition& volume, uint64_t size);

}  // namespace qm
