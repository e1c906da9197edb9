#pragma once
// The two confirmations asked before a lost partition is recovered, shared by the window and
// the command line.
#include <string>

#include "model/PhysicalDrv.h"

namespace qm {

// Asks, through the host, whether to go on: first when the check report `report` of `lost`
// shows that its root directory could not be read (not asked for HPFS, which has no report of
// its own), then the reminder to back up the tables. True when both were answered Yes.
bool ConfirmRecover(const TPartition& lost, const std::string& report);

// For a find made from its backup boot sector (its own first sector is destroyed), asked after
// the recovery: whether to copy the backup over the destroyed first sector, the one write of
// this program outside the partition tables. True when answered Yes.
bool ConfirmBootSectorRestore(const TPartition& find);
// The question ConfirmBootSectorRestore asks.
std::string BootSectorRestoreQuestion(const TPartition& find);

}  // namespace qm
