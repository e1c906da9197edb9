#include "model/CheckReport.h"

namespace qm {

void BuildCheckReport(TPhysicalDrv&, TPartition&, std::string& report) { report.clear(); }

}  // namespace qm
