#pragma once
// The checks every write to a drive's tables shares, and what follows a write: the system is
// told and the drive's tree is read again from disk. The writing itself is the change
// pipeline's (Change.h).
#include <cstdint>
#include <memory>
#include <string>

#include "disk/Disk.h"
#include "model/PhysicalDrv.h"

namespace qm {

// How a message names a drive: "Drive 80H (disk.img)" on a line of its own, with the image or
// device behind it; "drive 80H" inside a sentence.
std::string DriveTitle(const TPhysicalDrv& drive);
std::string DriveTitle(const Disk& disk);
std::string DriveName(const TPhysicalDrv& drive);

// Why the last transfer of `disk` failed, in the system's words; "the drive returned no data"
// when it gave no reason.
std::string LastIoReason(const Disk& disk);

// Development mode: while set, the edits write dump files of the tables they change
// (partibefore.dat, partiafter.dat, rebuilt.dat in the current working directory).
extern bool DebugMode;

// The refusal of a write: `text` under "Error", nothing written.
Outcome WriteRefusal(const std::string& text, const std::string& caption = "Error");

// Failed, with why, when the drive's tables must never be written: a GUID partition table
// behind a protective entry, sectors other than 512 bytes, a disk that is one volume without a
// partition table, or tables the walk could not read to their end (the model then does not
// show everything a write would have to keep). Every table write asks this.
Outcome CheckTablesWritable(const TPhysicalDrv& drive);

// For a drive with a GUID partition table, in the place of CheckTablesWritable: Failed, with
// why, unless both copies of the table were read sound and agree (or the user chose to trust
// the copy in use, drive.GptTrusted), no entry has a problem, the master boot record only
// protects the table, and the table on disk is still the one read.
Outcome CheckGptWritable(const TPhysicalDrv& drive);

// Failed, with why, when the drive cannot be opened for writing now: a read-only image or
// device, no permission, or another program holding the drive's lock.
Outcome CheckDriveWritable(const TPhysicalDrv& drive);

// Takes the drive's lock for the life of the returned object; null, with why in `refusal`,
// when another program holds it (or it cannot be taken).
std::unique_ptr<DriveLock> LockForWriting(Disk& disk, Outcome& refusal);

// Failed, with why, when a table sector that the walk read is different on disk now, or
// cannot be read again: another program has changed the tables since, and a write made from
// this model would undo its work.
Outcome CheckTablesUnchanged(const TPhysicalDrv& drive);

// Failed while another operation runs on the drive.
Outcome CheckNotBusy(const TPhysicalDrv& drive);

// Every check a change of the drive's tables must pass before the user is asked anything: the
// drive is idle, its tables may be written (CheckTablesWritable), it opens for writing, nobody
// else holds it, and the tables on disk are those that were read. Returns the drive's lock,
// to be held until the change is written and read back; null with why in `refusal`.
std::unique_ptr<DriveLock> PrepareTableWrite(const TPhysicalDrv& drive, Outcome& refusal);

// The same for a change of a GUID partition table, with CheckGptWritable in the place of
// CheckTablesWritable.
std::unique_ptr<DriveLock> PrepareGptWrite(const TPhysicalDrv& drive, Outcome& refusal);

// Tells the kernel about the new layout, then reads the drive's tables again. DirtyTables is
// emptied: it pointed at records that the re-read frees. Failed, with the kernel's reason,
// when the system could not be told (the tables are written and read again all the same).
Outcome CommitChanges(TPhysicalDrv& drive);

// Drops the lost finds that the tables now list (same start and size): after a restore or a
// rebuild they are partitions again, not lost ones.
void ForgetListedFinds(TPhysicalDrv& drive);

// Writes the development-mode dump of DirtyTables to `fileName`, replacing it: per table
// record of type 0x00, 0x05 or 0x0F a 96-byte block (absolute start as 64-bit little-endian,
// 24 zero bytes, then the entries of its used Children, at most four). Failed, with why, when
// the file cannot be written.
Outcome DumpChangedTables(const TPhysicalDrv& drive, const std::string& fileName);

}  // namespace qm
