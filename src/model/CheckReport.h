#pragma once
// The short health report of a partition: boot sector, both FAT copies or the NTFS root
// index. Lines are separated by "\r".
#include <string>

#include "model/PhysicalDrv.h"

namespace qm {

void BuildCheckReport(TPhysicalDrv& drive, TPartition& partition, std::string& report);

}  // namespace qm
