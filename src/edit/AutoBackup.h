#pragma once
// Automatic backups and the history of changes. Before any write to a drive, the sectors about
// to change are read from the disk and saved, together with the bytes the change writes, as a
// record of the change. The records of one disk form a stack: undo takes back the newest change
// that is still applied, redo applies again the change the last undo took back, and a new
// change drops the changes that were taken back. An undo writes only when the disk still
// holds exactly what the change wrote, and is the same disk (its size and disk signature).
//
// The records live in
//   $XDG_STATE_HOME/quillmark/backups   (without XDG_STATE_HOME: ~/.local/state/quillmark/backups)
// (folder 0700, files 0600), named by the disk's identity (an image's path, a device's model
// and serial, a loop device's file; then its size) and the time, newest last when sorted by
// name. At most kMaxRecordsPerDisk records a disk and kMaxBackupBytes in all are kept, the
// oldest pruned first, never the newest of a disk.
#include <cstdint>
#include <string>
#include <vector>

#include "edit/Change.h"
#include "edit/TableEdits.h"
#include "model/PhysicalDrv.h"

namespace qm {

constexpr size_t kMaxRecordsPerDisk = 100;
constexpr uint64_t kMaxBackupBytes = 50ull * 1024 * 1024;

// Whether this process saves records before it writes. Off for a dry run, which writes neither
// the disk nor a record, but checks the folder all the same.
void SetAutomaticBackups(bool on);

// The folder of the automatic backups; empty when neither XDG_STATE_HOME nor HOME is set.
std::string AutomaticBackupFolder();

// The part of the file names that names the disk: letters, digits, ".", "_" and "-" only.
std::string DiskIdentity(const TPhysicalDrv& drive);

// "" when the folder exists or can be made and takes a new file; otherwise why not. Every
// change asks this before its questions.
std::string CheckBackupFolder();

// One change as its record keeps it: the disk's bytes before it and those it wrote.
struct TChangeRecord {
  std::string What;
  std::string Time;             // "2026-12-06 18:59:59 UTC"
  uint64_t DiskSectors = 0;     // the disk's size when the change was made
  uint32_t DiskSignature = 0;   // bytes 440 to 443 of sector 0 after the change
  bool Undone = false;
  std::vector<TSectorWrite> Writes;
};

// Saves the record of `change` for the drive; `before` holds what the disk holds now, sector by
// sector. Prunes old records afterwards. False, with the reason in `problem`, when it cannot be
// saved: the change must not go ahead then. With automatic backups off, true at once.
bool SaveChangeRecord(const TPhysicalDrv& drive, const TChange& change, std::string& path, std::string& problem);

// After a write that failed part-way: keeps in the record only the first `written` sectors,
// the ones that reached the disk. False when the record cannot be rewritten.
bool TrimChangeRecord(const std::string& path, size_t written);
// Marks a record as taken back (or applied again). Both leave the records alone while automatic
// backups are off (a dry run).
bool MarkChangeRecord(const std::string& path, bool undone);

// After a write that failed part-way: "\r" and how to take back what was written; empty when
// no record was saved.
std::string UndoHint();

struct TAutomaticBackup {
  std::string Path;
  std::string Time;      // "2026-12-06 18:59:59 UTC"
  std::string What;      // the change, as the record names it; empty for an old backup file
  bool Undone = false;   // taken back by an undo
  bool Legacy = false;   // a whole-table backup file of an earlier version: `restore` puts it back
  bool Damaged = false;  // cannot be read
  size_t Sectors = 0;
};

// The records of this drive's disk, oldest first.
std::vector<TAutomaticBackup> ListAutomaticBackups(const TPhysicalDrv& drive);

// Takes back the newest change that is still applied, after checking that the disk still holds
// what it wrote (and is the same disk), with a question. Refused, with a message saying what
// differs, otherwise; a damaged record stops the walk.
EditOutcome UndoLastChange(TPhysicalDrv& drive);
// Applies again the change that the last undo took back.
EditOutcome RedoLastChange(TPhysicalDrv& drive);

}  // namespace qm
