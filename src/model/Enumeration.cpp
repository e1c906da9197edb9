#include "model/Enumeration.h"

namespace qm {

void MapDriveLetter(TPhysicalDrv&, TPartition&) {}

}  // namespace qm
