#pragma once
// The machine's drives and volumes: which sources become drives, and the system's name of
// the volume behind each partition.
#include "model/PhysicalDrv.h"

namespace qm {

// Sets `partition.DriveLetter` to the kernel's name of the partition device that starts at
// the same sector of the same disk (e.g. "sdb1"); image files have none.
void MapDriveLetter(TPhysicalDrv& drive, TPartition& partition);

}  // namespace qm
