// Root directory listings, as Preview and `ls` read them, in list mode and in label mode:
// of every record of the tables (a volume at LBA 0 is the Root record itself) and of every
// lost partition the quick scan found. However damaged the volume, one listing tells the user
// of it in a few messages, not in one per sector or block.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzDisk.h"
#include "browse/RootDirectory.h"
#include "disk/Disk.h"
#include "scan/OpenDrive.h"

using namespace qm;

namespace {

constexpr long kMaxMessagesPerListing = 8;

void ReadRoot(TPhysicalDrv& drive, const TPartition& partition, const fuzz::GoAheadHost& host) {
  const long before = host.Messages;
  TRootEntries entries;
  const bool wasBusy = drive.Scanning;
  GetRootDirectory(drive, partition, &entries, nullptr);
  for (const TPreviewRow& row : BuildPreviewRows(partition, entries)) FallbackTypeName(row);
  std::string label;
  GetRootDirectory(drive, partition, nullptr, &label);
  if (drive.Scanning != wasBusy) fuzz::Fail("the busy flag was left changed");
  if (host.Messages - before > 2 * kMaxMessagesPerListing) fuzz::Fail("a flood of messages for one listing");
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
