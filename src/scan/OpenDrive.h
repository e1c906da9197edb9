#pragma once
// A drive as the user first sees it: its tables read, and the gaps between its partitions
// quick-scanned for lost partitions. A re-read after a write reads the tables only.
#include <cstdint>
#include <memory>
#include <vector>

#include "model/PhysicalDrv.h"
#include "scan/Scanner.h"

namespace qm {

// A quick scan that a read error or an error stopped is kept in QuickScanEnded; the drive's
// notes tell it. The quick search of the gaps then runs for at most `budget`
// (drive.QuickSearch says how far it came; ContinueQuickSearch goes on from there).
std::unique_ptr<TPhysicalDrv> OpenDrive(std::unique_ptr<Disk> disk, const TDriveGeometry& geometry,
                                        std::chrono::milliseconds budget = kQuickSearchBudget);

// Every disk opened as OpenDrive does, then the machine's volumes unless `listVolumes` is
// false.
std::unique_ptr<TPhysicalDrives> OpenDrives(std::vector<std::unique_ptr<Disk>> disks, bool listVolumes = true,
                                            std::chrono::milliseconds budget = kQuickSearchBudget);

}  // namespace qm
