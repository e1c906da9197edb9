// Root directory listings, as Preview and `ls` read them, and volume labels: of every record
// of the tables (a volume at LBA 0 is the Root record itself) and of every lost partition the
// quick scan found. However damaged the volume, a listing shows no message: what went wrong
// is returned.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzDisk.h"
#include "browse/RootDirectory.h"
#include "disk/Disk.h"
#include "model/FsDetect.h"
#include "scan/OpenDrive.h"

using namespace qm;

namespace {

void ReadRoot(TPhysicalDrv& drive, TPartition& partition, const fuzz::GoAheadHost& host) {
  const long before = host.Messages;
  TRootEntries entries;
  const bool wasBusy = drive.Scanning;
  const Outcome listed = GetRootDirectory(drive, partition, entries);
  if (listed.failed() && listed.Text.empty()) fuzz::Fail("a listing failed without saying why");
  for (const TPreviewRow& row : BuildPreviewRows(entries)) FallbackTypeName(row);
  ReadVolumeLabel(drive, partition);
  if (drive.Scanning != wasBusy) fuzz::Fail("the busy flag was left changed");
  if (host.Messages != before) fuzz::Fail("a listing showed a message");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::FuzzInput input = fuzz::ParseInput(data, size);
  fuzz::DriveScope scope(input.Image);
  std::unique_ptr<TPhysicalDrv> drive = scope.Open(/*quickScan=*/true);
  if (!drive) return 0;
  for (TPartition* record : drive->AllPartitions) ReadRoot(*drive, *record, scope.Host());
  for (auto& find : drive->LostPartitions) ReadRoot(*drive, *find, scope.Host());
  return 0;
}
