#include "scan/OpenDrive.h"

#include <utility>
#include <vector>

#include "model/Enumeration.h"
#include "model/TableReader.h"
#include "scan/Scanner.h"

namespace qm {

std::unique_ptr<TPhysicalDrv> OpenDrive(std::unique_ptr<Disk> disk, const TDriveGeometry& geometry,
                                        std::chrono::milliseconds budget) {
  const QuickSearchClock::time_point deadline = QuickSearchClock::now() + budget;
  std::unique_ptr<TPhysicalDrv> drive = CreatePhysicalDrv(std::move(disk), geometry);
  // The quick scan adds only to LostPartitions, but a copy keeps the loop independent of it.
  const std::vector<TPartition*> records = drive->AllPartitions;
  // Every gap is scanned; the first one whose scan did not end well is the one told.
  for (TPartition* record : records) {
    if (record->Entry.SystemId != kTypeEmpty) continue;
    Outcome ended = AutoScanFreeSpace(*drive, *record);
    if (drive->QuickScanEnded.ok()) drive->QuickScanEnded = std::move(ended);
  }
  // Then the aligned positions throughout the gaps, for as long as the budget lasts; a search
  // cut short says how far it came, and a front end may go on with it.
  StartQuickSearch(*drive, GapRanges(*drive));
  if (budget.count() > 0) {
    Outcome ended = ContinueQuickSearch(*drive, deadline, nullptr);
    if (drive->QuickScanEnded.ok()) drive->QuickScanEnded = std::move(ended);
  }
  return drive;
}

std::unique_ptr<TPhysicalDrives> OpenDrives(std::vector<std::unique_ptr<Disk>> disks, bool listVolumes,
                                            std::chrono::milliseconds budget) {
  return CreatePhysicalDrives(std::move(disks), listVolumes,
                              [budget](std::unique_ptr<Disk> disk, const TDriveGeometry& geometry) {
                                return OpenDrive(std::move(disk), geometry, budget);
                              });
}

}  // namespace qm
