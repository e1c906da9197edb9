#pragma once
// Automatic backups: before any write to a drive's tables, the sectors about to change and the
// tables as they are now are saved in a backup file (the format of `backup`), so that a wrong
// answer can be taken back. The files live in
//   $XDG_STATE_HOME/quillmark/backups   (without XDG_STATE_HOME: ~/.local/state/quillmark/backups)
// named by the disk's identity (an image's path, a device's model and serial; then its size)
// and the time, newest last when sorted by name.
#include <cstdint>
#include <string>
#include <vector>

#include "edit/TableEdits.h"
#include "model/PhysicalDrv.h"

namespace qm {

// Whether this process saves before it writes (on unless turned off: a dry run writes neither
// the disk nor a backup).
void SetAutomaticBackups(bool on);

// The folder of the automatic backups; empty when neither XDG_STATE_HOME nor HOME is set.
std::string AutomaticBackupFolder();

// The part of the file names that names the disk: letters, digits, ".", "_" and "-" only.
std::string DiskIdentity(const TPhysicalDrv& drive);

// Saves, in a new file of the folder, the table sectors the walk read and every sector the
// write may change (`sectors`, and the tables the model marks for writing), as the disk holds
// them now. `undo` marks a backup made by an undo. False, after telling the user that nothing
// was written and why, when a sector cannot be read or the file cannot be written; the write
// must not go ahead then. True at once when automatic backups are off.
bool SaveAutomaticBackup(TPhysicalDrv& drive, const std::vector<uint64_t>& sectors = {}, bool undo = false);

// After a write that failed part-way: "\r" and how to put the tables back from the backup
// saved before it; empty when none was saved.
std::string UndoHint();

struct TAutomaticBackup {
  std::string Path;
  std::string Time;      // "2026-12-06 18:59:59 UTC"
  bool MadeByUndo = false;
  size_t Sectors = 0;    // 0 when the file cannot be read
};

// The automatic backups of this drive's disk, oldest first.
std::vector<TAutomaticBackup> ListAutomaticBackups(const TPhysicalDrv& drive);

// Puts back the newest automatic backup of the drive's disk that an undo did not make and whose
// sectors differ from the disk, as RestorePartitionTable does (its checks and its question).
// Refused, with a message, when there is none.
EditResult UndoLastChange(TPhysicalDrv& drive);

}  // namespace qm
