#include "scan/Scanner.h"

namespace qm {

bool DetectLostPartitions(TPhysicalDrv&, TPartition&, const ScanProgress&, int64_t, int64_t, bool) { return false; }

void AutoScanFreeSpace(TPhysicalDrv&, TPartition&) {}

}  // namespace qm
