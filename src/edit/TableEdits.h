#pragma once
// The one-step edits of a drive's tables: delete a partition, make a primary partition the
// active one, hide or show a partition, and renew the boot program of the master boot record.
// Each refuses, before it asks anything, when the drive's tables cannot be changed safely, and
// writes through the change pipeline (Change.h): only the entries it changes, each in its slot;
// after a write the system is told and the drive's tree is read again, so that the window
// shows what is on disk.
#include "edit/EditResult.h"
#include "model/PhysicalDrv.h"

namespace qm {

// A fixed failure text and, on a line of its own, why: the system's reason for the last
// transfer of `disk` that failed.
std::string WithReason(const std::string& failed, const Disk& disk);

// Removes `record`'s entry from its table. A logical drive's extended boot record leaves the
// chain: the next record's entries move up into it, or, for the last logical drive, the link
// to it is removed. An extended partition that still holds a logical drive is refused.
EditOutcome DeletePartition(TPhysicalDrv& drive, TPartition& record);

// Gives the primary partition `record` the boot indicator 0x80 and every other entry of the
// master boot record 0.
EditOutcome SetActivePartition(TPhysicalDrv& drive, TPartition& record);

// Toggles bit 4 of the type code of the FAT, NTFS and HPFS codes that have a hidden partner.
EditOutcome HidePartition(TPhysicalDrv& drive, TPartition& record);

// Replaces the boot program of the master boot record with ours. The disk signature
// (bytes 440 to 445) and the four entries stay as they are.
EditOutcome RenewMasterBootRecord(TPhysicalDrv& drive);

}  // namespace qm
