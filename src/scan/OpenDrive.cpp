#include "scan/OpenDrive.h"

#include <utility>
#include <vector>

#include "model/Enumeration.h"
#include "model/TableReader.h"
#include "scan/Scanner.h"

namespace qm {

std::unique_ptr<TPhysicalDrv> OpenDrive(std::unique_ptr<Disk> disk, const TDriveGeometry& geometry) {
  std::unique_ptr<TPhysicalDrv> drive = CreatePhysicalDrv(std::move(disk), geometry);
  // The quick scan adds only to LostPartitions, but a copy keeps the loop independent of it.
  const std::vector<TPartition*> records = drive->AllPartitions;
  // Every gap is scanned; the first one whose scan did not end well is the one told.
  for (TPartition* record : records) {
    if (record->Entry.SystemId != kTypeEmpty) continue;
    Outcome ended = AutoScanFreeSpace(*drive, *record);
    if (drive->QuickScanEnded.ok()) drive->QuickScanEnded = std::move(ended);
  }
  return drive;
}

std::unique_ptr<TPhysicalDrives> OpenDrives(std::vector<std::unique_ptr<Disk>> disks, bool listVolumes) {
  return CreatePhysicalDrives(std::move(disks), listVolumes, OpenDrive);
}

}  // namespace qm
