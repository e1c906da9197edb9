#pragma once
// Every write to a drive goes through one pipeline. An edit first plans its change: the exact
// sectors it writes, with the bytes each holds now and the bytes it will hold. Then, in this
// order: the plan is checked against every volume the drive is known to hold (listed or lost)
// and refused before anything is asked; the user is asked; the sectors are read from the disk
// again and saved, with the bytes about to be written, as a record of the change (so that undo
// can tell whether the disk still holds them); they are compared with the plan once more right
// before the first write; they are written and read back; the record is kept for undo; the
// system is told of the new layout and the tables are read again.
//
// A dry run runs the same pipeline over a source that keeps the writes in memory, so what it
// shows is what the real run writes.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "edit/TableEdits.h"
#include "edit/EditResult.h"
#include "model/PhysicalDrv.h"

namespace qm {

// What a write does to its sector, which decides the checks it must pass.
enum class WriteRole : uint8_t {
  Table,        // a table sector the walk read: only its entries and signature change
  NewTable,     // becomes an extended boot record: no known volume holds it, and it holds
                // zeros or an old table
  BootSector,   // a lost volume's destroyed boot sector, put back from its backup copy
  BootProgram,  // the boot program of the master boot record
  Restore,      // a table sector of a backup file
  GptTable,     // a sector of a GUID partition table's header or entry array: no known volume
                // holds it
  Undo,         // a sector put back as it was before a change (or again as the change left it)
};

struct TSectorWrite {
  uint64_t Lba = 0;
  WriteRole Role = WriteRole::Table;
  TSector Before{};  // the disk's bytes when the change was planned
  TSector After{};   // the bytes the change writes
};

struct TChange {
  std::string What;                  // what the history shows: "recover at 60480"
  std::vector<TSectorWrite> Writes;  // in the order they are written
};

// How the record of a change is kept: a new change starts a record (and drops the changes an
// undo took back, which can no longer be redone); an undo or a redo turns an existing record.
enum class RecordMode : uint8_t { NewChange, Undo, Redo };

// A volume the drive is known to hold: a partition of its tables or a lost one. An NTFS
// volume also holds the sector behind its own count, where its backup boot sector lies.
struct TKnownVolume {
  uint64_t First = 0, Last = 0;        // inclusive
  const TPartition* Record = nullptr;  // to tell the volume apart only: the model may be read anew
  bool Listed = false;                 // a partition of the tables, not a lost find
  bool FromBackup = false;             // found from its backup boot sector
  uint8_t FsKind = fkUnallocated;
};
std::vector<TKnownVolume> KnownVolumes(const TPhysicalDrv& drive);
// The known volume that holds `lba`; null when none does.
const TKnownVolume* VolumeAt(const std::vector<TKnownVolume>& volumes, uint64_t lba);

// Whether a sector may become a table: it holds only zeros, or a table that is no volume's
// boot sector.
bool HoldsNoData(const TSector& sector);

// Adds the tables that drive.DirtyTables marks to `change`, as the model now describes them.
// Read-modify-write: each entry stays in the slot it was read from, a new entry takes the first
// free slot, the slot of an entry taken out is cleared, and only the 64 bytes of the entries
// and the signature can change. A sector that was no table before becomes one: it must hold
// zeros or an old table (CheckChange). Sectors are read from the disk;
// deeper tables come first, so that a write that fails part-way never leaves a link to a
// table that is not on disk yet. Failed, with why, when a table cannot be written so.
Outcome PlanDirtyTables(TPhysicalDrv& drive, TChange& change);

// Adds the sectors of both copies of `gpt` that differ from the disk to `change`, each entry
// array before its header: a write that stops half-way leaves a copy whose checksums fail, and
// the other copy is read. Failed, with why, when the table cannot be composed or a sector read.
Outcome PlanGptSectors(TPhysicalDrv& drive, const TGpt& gpt, TChange& change);

// Adds a write of `after` to sector `lba`, reading what it holds now. Failed, with the sector
// and the reason, when it cannot be read.
Outcome PlanSector(TPhysicalDrv& drive, TChange& change, uint64_t lba, WriteRole role, const TSector& after);

// Every check a change must pass before anything is asked; "" when it passes them all.
// `volumes` are the volumes known before the edit changed the model.
std::string CheckChange(const TPhysicalDrv& drive, const TChange& change, const std::vector<TKnownVolume>& volumes);

struct TChangeRun {
  std::string Caption = "Error";               // of the refusals the pipeline returns
  std::string Failed = "The change failed.";   // the first line when a write fails
  std::function<bool(Host&)> Ask;              // the questions, asked through the disk's host; false: no
  RecordMode Mode = RecordMode::NewChange;
  std::string RecordPath;                      // Undo and Redo: the record they turn
};

// Runs the pipeline for a planned change: checks (CheckChange with `volumes`), questions,
// record, re-check, writes with read-back, notice to the system, tables read again. A change
// that writes nothing is done at once. Once the first sector is written the change is
// finished whatever happens (a Stop is no longer heard). Told is the refusal or the failure;
// after a write it is empty, or the kernel's reason when it could not be told.
EditOutcome ApplyChange(TPhysicalDrv& drive, const TChange& change, const std::vector<TKnownVolume>& volumes,
                       const TChangeRun& run);

}  // namespace qm
