#pragma once
// The checks and questions before a lost partition is recovered, shared by the window and the
// command line, so that both refuse and ask the same things in the same order.
#include <string>

#include "disk/Host.h"
#include "edit/EditResult.h"
#include "model/PhysicalDrv.h"

namespace qm {

enum class RecoverAsk {
  Refused,    // a check failed (the refusal comes with it); nothing was asked
  Declined,   // a question was answered No
  Confirmed,  // every check passed and every question was answered Yes
};

// What comes before a recovery of `lost`, in the one order of every front end: every refusal
// of CheckRecoverPossible, then the questions, asked through the drive's host: when the check report of
// `lost`, read from the disk now, shows that its root directory could not be read (not asked
// for HPFS, which has no report of its own), whether to go on; then whether to recover, saying
// that the tables are saved first and that undo takes the change back. Nothing is written.
Reported<RecoverAsk> AskRecover(TPhysicalDrv& drive, TPartition& lost);

// For a find made from its backup boot sector (its own first sector is destroyed), asked after
// the recovery: whether to copy the backup over the destroyed first sector, the one write of
// this program outside the partition tables, asked through `host`. True when answered Yes.
bool ConfirmBootSectorRestore(Host& host, const TPartition& find);
// The question ConfirmBootSectorRestore asks.
std::string BootSectorRestoreQuestion(const TPartition& find);

}  // namespace qm
