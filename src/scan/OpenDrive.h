#pragma once
// A drive as the user first sees it: its tables read, and the gaps between its partitions
// quick-scanned for lost partitions. A re-read after a write reads the tables only.
#include <cstdint>
#include <memory>
#include <vector>

#include "model/PhysicalDrv.h"

namespace qm {

// A quick scan that a read error or an error stopped is kept in QuickScanEnded; the drive's
// notes tell it.
std::unique_ptr<TPhysicalDrv> OpenDrive(std::unique_ptr<Disk> disk, const TDriveGeometry& geometry);

// Every disk opened as OpenDrive does, then the machine's volumes unless `listVolumes` is
// false.
std::unique_ptr<TPhysicalDrives> OpenDrives(std::vector<std::unique_ptr<Disk>> disks, bool listVolumes = true);

}  // namespace qm
