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

}  // namespace qm
