#pragma once
// The scan range arithmetic lives in the core, where the command line uses it too.
#include "scan/ScanRange.h"

namespace qm::ui {
using qm::ComputeScanRange;
using qm::kSectorsPerMB;
using qm::ParseMegabytes;
using qm::ScanRangeVerdict;
using qm::ScanTrackScale;
using qm::TScanRange;
using qm::TTrackScale;
}  // namespace qm::ui
