// Root directory listings, as Preview and `ls` read them, and volume labels: of every record
// of the tables (a volume at LBA 0 is the Root record itself) and of every lost partition the
// quick scan found. However damaged the volume, a listing shows no message: what went wrong
// is returned. Then the folder tree of the same volumes, as `ls --recursive` and `copy` walk
// it: every folder listed once, every file's first chunk and every link's target read.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "FuzzDisk.h"
#include "browse/RootDirectory.h"
#include "browse/VolumeTree.h"
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

// Caps of one run: a damaged volume may describe millions of entries.
constexpr size_t kMaxWalked = 4000;
constexpr size_t kMaxDepth = 64;

void Walk(TVolumeTree& tree, uint64_t inode, size_t depth, std::set<uint64_t>& visited, size_t& walked) {
  if (depth > kMaxDepth || !visited.insert(inode).second) return;
  std::vector<TTreeEntry> entries;
  const Outcome listed = tree.List(inode, true, entries);
  if (listed.failed() && listed.Text.empty()) fuzz::Fail("a folder listing failed without saying why");
  std::vector<uint8_t> chunk(65536);
  for (const TTreeEntry& e : entries) {
    if (++walked > kMaxWalked) return;
    if (e.Type == TreeEntryType::Directory) {
      Walk(tree, e.Inode, depth + 1, visited, walked);
    } else if (e.Type == TreeEntryType::Symlink) {
      std::string target;
      if (tree.ReadLink(e, target).ok() && (target.empty() || target.size() > 4096)) fuzz::Fail("a link target out of bounds");
    } else {
      size_t got = 0;
      uint64_t unreadable = 0;
      if (tree.Read(e, 0, chunk, got, unreadable).ok() && got > chunk.size()) fuzz::Fail("a read beyond its buffer");
    }
  }
}

void WalkTree(TPhysicalDrv& drive, TPartition& partition) {
  Outcome why;
  std::unique_ptr<TVolumeTree> tree = OpenPartitionTree(drive, partition, why);
  if (!tree) {
    if (why.Text.empty()) fuzz::Fail("a volume that cannot be opened without saying why");
    return;
  }
  std::set<uint64_t> visited;
  size_t walked = 0;
  Walk(*tree, tree->RootInode(), 0, visited, walked);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::FuzzInput input = fuzz::ParseInput(data, size);
  fuzz::DriveScope scope(input.Image);
  std::unique_ptr<TPhysicalDrv> drive = scope.Open(/*quickScan=*/true);
  if (!drive) return 0;
  for (TPartition* record : drive->AllPartitions) ReadRoot(*drive, *record, scope.Host());
  for (auto& find : drive->LostPartitions) ReadRoot(*drive, *find, scope.Host());
  for (TPartition* record : drive->AllPartitions)
    if (!record->IsGap() && !record->IsExtended()) WalkTree(*drive, *record);
  for (auto& find : drive->LostPartitions) WalkTree(*drive, *find);
  return 0;
}
