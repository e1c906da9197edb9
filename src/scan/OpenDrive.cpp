#include "scan/OpenDrive.h"

#include <vector>

#include "model/Enumeration.h"
#include "model/TableReader.h"
#include "scan/Scanner.h"

namespace qm {

std::unique_ptr<TPhysicalDrv> OpenDrive(uint8_t driveNumber, const TDriveGeometry& geometry) {
  std::unique_ptr<TPhysicalDrv> drive = CreatePhysicalDrv(driveNumber, geometry);
  // The quick scan adds only to LostPartitions, but a copy keeps the loop independent of it.
  const std::vector<TPartition*> records = drive->AllPartitions;
  for (TPartition* record : records)
    if (record->Entry.SystemId == kTypeEmpty) AutoScanFreeSpace(*drive, *record);
  return drive;
}

std::unique_ptr<TPhysicalDrives> OpenDrives(bool listVolumes) { return CreatePhysicalDrives(listVolumes, OpenDrive); }

}  // namespace qm
