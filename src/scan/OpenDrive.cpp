#include "scan/OpenDrive.h"

#include <vector>

#include "model/Enumeration.h"
#include "model/TableReader.h"
#include "scan/Scanner.h"

namespace qm {

std::unique_ptr<TPhysicalDrv> OpenDrive(std::unique_ptr<Disk> disk, const TDriveGeometry& geometry) {
  std::unique_ptr<TPhysicalDrv> drive = CreatePhysicalDrv(std::move(disk), geometry);
  // The quick scan adds only to LostPartitions, but a copy keeps the loop independent of it.
  const std::vector<TPartition*> records = drive->AllPartitions;
  for (TPartition* record : records)
    if (record->Entry.SystemId == kTypeEmpty) AutoScanFreeSpace(*drive, *record);
  return drive;
}

std::unique_ptr<TPhysicalDrives> OpenDrives(std::vector<std::unique_ptr<Disk>> disks, bool listVolumes) {
  return CreatePhysicalDrives(std::move(disks), listVolumes, OpenDrive);
}

}  // namespace qm
