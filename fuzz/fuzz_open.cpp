// Opening a drive as both front ends do: the table walk with its gaps, file-system
// recognition and volume labels of every record, the quick scan of every gap, and the rows and
// notes shown for it.
#include <cstddef>
#include <cstdint>

#include "FuzzDisk.h"
#include "disk/Disk.h"
#include "model/PartitionRows.h"
#include "scan/OpenDrive.h"

using namespace qm;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::FuzzInput input = fuzz::ParseInput(data, size);
  fuzz::DriveScope scope(input.Image);
  std::unique_ptr<TPhysicalDrv> drive = scope.Open(/*quickScan=*/true);
  if (!drive) return 0;

  // Whatever the tables say, the tree keeps its shape: Root first, every record a short walk
  // below Root, gaps and finds inside the disk, and the partition count of the list.
  fuzz::CheckNoException(drive->QuickScanEnded.Text, drive->QuickScanEnded.Caption);
  if (drive->AllPartitions.empty() || drive->AllPartitions.front() != &drive->Root) fuzz::Fail("Root is not first");
  uint32_t counted = 0;
  for (const TPartition* r : drive->AllPartitions) {
    if (r == &drive->Root) continue;
    if (!r->IsExtended()) ++counted;
    if (r->IsGap() && r->AbsoluteEnd() > drive->Geometry.TotalSectors) fuzz::Fail("a gap runs past the disk");
    int depth = 0;
    for (const TPartition* p = r; p != &drive->Root; p = p->Parent)
      if (!p || ++depth > 300) fuzz::Fail("a record is not below Root");
  }
  if (counted != drive->PartitionCount) fuzz::Fail("the partition count differs from the records");
  for (const auto& lost : drive->LostPartitions)
    if (lost->Entry.TotalSectors == 0 || lost->AbsoluteEnd() > drive->Geometry.TotalSectors)
      fuzz::Fail("a find is empty or runs past the disk");
  DriveListLine(0, *drive);
  DriveNotes(*drive);
  MapHeaderText(0, *drive);
  std::vector<TPartitionRow> rows = BuildPartitionRows(drive.get(), true);
  for (int row = 0; row < static_cast<int>(rows.size()); ++row) RowSelectable(*drive, row);
  for (const TPartitionRow& row : rows) {
    if (!row.Record) continue;
    RowIndent(*drive, *row.Record);
    MapFsLine(*row.Record);
    MapStatusLine(*row.Record);
  }
  return 0;
}
