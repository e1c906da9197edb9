// The full scan of a small range of the disk (from the header's first sector, four blocks),
// as the Scan action and `scan` run it on the whole disk, then the check report of every
// record of the tables and every find, with the overlap and GPT notes of each find.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzDisk.h"
#include "disk/Disk.h"
#include "model/CheckReport.h"
#include "model/TableReader.h"
#include "scan/Scanner.h"

using namespace qm;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::FuzzInput input = fuzz::ParseInput(data, size);
  fuzz::DriveScope scope(input.Image);
  std::unique_ptr<TPhysicalDrv> drive = scope.Open(/*quickScan=*/false);
  if (!drive) return 0;
  int lastPercent = -1;
  // The bar climbs from 0 to 100 and is put back to 0 when the scan ends.
  const Outcome scanned = DetectLostPartitions(*drive, drive->Root, [&](const ScanStep& step) {
    const int percent = step.Percent;
    if (percent < 0 || percent > 100 || (percent < lastPercent && percent != 0) || step.Done > step.Total)
      fuzz::Fail("scan progress out of order");
    lastPercent = percent;
  }, input.ScanStart, 4 * kScanBlockSectors, (input.Options & 1) != 0);
  fuzz::CheckNoException(scanned.Text, scanned.Caption);
  if (drive->Scanning) fuzz::Fail("the scan left the drive busy");
  std::string report;
  for (TPartition* record : drive->AllPartitions) BuildCheckReport(*drive, *record, report);
  for (auto& find : drive->LostPartitions) {
    BuildCheckReport(*drive, *find, report);
    OverlappedPartitionRows(*drive, *find);
    InsideGptArea(*drive, *find);
  }
  return 0;
}
