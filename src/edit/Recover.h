#pragma once
// Putting a lost partition back into the master boot record or the chain of extended boot
// records.
#include "model/PhysicalDrv.h"

namespace qm {

// Places `lost` (a member of drive.LostPartitions) into a table and commits. True when a
// placement was made in memory (also when the write failed afterwards).
bool RecoverLostPartition(TPhysicalDrv& drive, TPartition& lost);

}  // namespace qm
