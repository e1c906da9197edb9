#include "edit/Recover.h"

namespace qm {

bool RecoverLostPartition(TPhysicalDrv&, TPartition&) { return false; }

}  // namespace qm
