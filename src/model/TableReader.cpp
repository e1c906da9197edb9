#include "model/TableReader.h"

#include <algorithm>
#include <optional>
#include <string>
#include <unordered_set>

#include "disk/Disk.h"
#include "model/Enumeration.h"
#include "model/FsDetect.h"

namespace qm {
namespace {

// The tables already read by one walk. A damaged chain can point back to a table read
// before, or run on through garbage for ever; both end the branch where they are met.
struct TableWalk {
  std::unordered_set<int64_t> visited;
  int tablesRead = 0;
};

int64_t DiskSectors(const TPhysicalDrv& drive) { return static_cast<int64_t>(drive.Geometry.TotalSectors); }

int64_t StartOf(const TPartition& record) { return static_cast<int64_t>(record.AbsoluteStart()); }

// A partition whose first sector lies at or past the end of the disk has nothing to read:
// its entry is damaged, or the image was cut short.
bool StartsInsideDisk(const TPhysicalDrv& drive, const TPartition& record) {
  return StartOf(record) < DiskSectors(drive);
}

int64_t TableLba(const TPhysicalDrv& drive, const TPartition& container) {
  const uint64_t base = IsNestedExtended(drive, container) ? drive.ExtendedBase : container.BaseLBA;
  return static_cast<int64_t>(base + container.Entry.RelativeSector);
}

void StopWalk(TPhysicalDrv& drive, const std::string& why, int error = 0, std::optional<Lba> sector = {}) {
  if (!drive.WalkStopped.empty()) return;
  drive.WalkStopped = why;
  drive.WalkStoppedErrno = error;
  drive.WalkStoppedSector = sector;
}

// Sector 0 holds a file system's boot sector instead of a partition table: the disk is one
// volume. Its record stands for that volume, from sector 0 to the size its boot sector gives.
void AddWholeDiskVolume(TPhysicalDrv& drive, const TSector& sector, uint8_t kind) {
  // The volume's own size, unless it claims none or more than the disk holds.
  uint64_t total = BootSectorVolumeSize(sector, kind);
  if (total == 0 || total > drive.Geometry.TotalSectors) total = drive.Geometry.TotalSectors;
  TPartitionEntry entry{};
  entry.SystemId = VolumeTypeCode(kind);
  entry.TotalSectors = static_cast<uint32_t>(total);
  auto owned = std::make_unique<TPartition>();
  TPartition& record = *owned;
  drive.Root.Children.push_back(&record);
  InitPartitionRecord(drive, record, &drive.Root, entry);
  ReadVolumeLabel(drive, record);
  MapDriveLetter(drive, record);
  drive.AdoptRecord(std::move(owned));
  ++drive.PartitionCount;
}

void ReadTable(TPhysicalDrv& drive, TPartition& container, TableWalk& walk) {
  const int64_t lba = TableLba(drive, container);
  // The disk's last sector never holds a table; on a disk of 0 or 1 sectors nothing does.
  if (lba >= DiskSectors(drive) - BlocksPerSector(drive.Geometry)) return;
  // An extended entry that points at sector 0 names the master boot record itself, which is
  // not read twice; the entry is kept, and every table write refuses to follow it.
  if (lba == 0 && &container != &drive.Root) return;
  if (walk.tablesRead >= kMaxTablesPerWalk) {
    StopWalk(drive, "the chain of extended boot records is longer than " + std::to_string(kMaxTablesPerWalk) +
                        " tables");
    return;
  }
  if (!walk.visited.insert(lba).second) {
    StopWalk(drive, "the chain of extended boot records runs in a circle at sector " + std::to_string(lba));
    return;
  }
  ++walk.tablesRead;

  const bool isRoot = &container == &drive.Root;
  TSector table{};
  drive.Io().ClearIoError();
  if (!drive.Io().ReadSectors(lba, 1, table.data(), true, true)) {
    const int error = drive.Io().LastIoError();
    StopWalk(drive,
             (isRoot ? "the master boot record" : "the extended boot record at sector " + std::to_string(lba)) +
                 " cannot be read" + (error != 0 ? ": " + SystemErrorText(error) : std::string()),
             error, static_cast<Lba>(lba));
    return;
  }
  drive.TableSectors.emplace_back(static_cast<uint64_t>(lba), table);
  if (!HasTableSignature(table)) {
    // Entries behind a damaged signature are not read, but other programs may still see
    // them: a table written from this model could land on one of those partitions.
    if (std::any_of(table.begin() + kTableOffset, table.begin() + kSignatureOffset, [](uint8_t b) { return b != 0; }))
      StopWalk(drive, "the table at sector " + std::to_string(lba) + " holds entries but no signature");
    return;
  }
  if (isRoot) {
    // A volume formatted without partitioning carries the same signature; the bytes where a
    // table would stand are its boot code.
    if (const uint8_t kind = DetectFsKind(table); kind != fkUnallocated) {
      drive.WholeDiskVolume = true;
      AddWholeDiskVolume(drive, table, kind);
      return;
    }
  }

  for (size_t i = 0; i < kTableEntries; ++i) {
    TPartitionEntry entry = DecodeEntry(table, i);
    if (entry.SystemId != kTypeEmpty && !EntryToBlocks(entry, BlocksPerSector(drive.Geometry))) {
      StopWalk(drive, "entry " + std::to_string(i + 1) + " of the table at sector " +
                          std::to_string(SectorOfBlock(drive, static_cast<Lba>(lba))) +
                          " lies beyond 2 TiB, which is not shown");
      continue;
    }
    if (isRoot && IsExtendedType(entry.SystemId)) drive.ExtendedBase = entry.RelativeSector;
    if (isRoot && entry.SystemId == kTypeGptProtective) drive.IsGpt = true;
    if (entry.SystemId == kTypeEmpty) continue;

    auto owned = std::make_unique<TPartition>();
    TPartition& record = *owned;
    container.Children.push_back(&record);
    InitPartitionRecord(drive, record, &container, entry);
    record.Slot = static_cast<int>(i);
    record.SlotTable = &container;
    if (!record.IsExtended() && StartsInsideDisk(drive, record)) {
      ReadVolumeLabel(drive, record);
      MapDriveLetter(drive, record);
    }
    drive.AdoptRecord(std::move(owned));
    if (record.IsExtended())
      ReadTable(drive, record, walk);
    else
      ++drive.PartitionCount;
  }
}

// A gap record: the entry holds only its place, relative to `parent`'s start.
void AddGap(TPhysicalDrv& drive, TPartition& parent, int64_t relativeStart, int64_t length) {
  TPartitionEntry entry{};
  entry.RelativeSector = static_cast<uint32_t>(relativeStart);
  entry.TotalSectors = static_cast<uint32_t>(length);
  auto owned = std::make_unique<TPartition>();
  TPartition& gap = *owned;
  parent.Children.push_back(&gap);
  InitPartitionRecord(drive, gap, &parent, entry);
  drive.AdoptRecord(std::move(owned));
  ++drive.PartitionCount;
}

// The type code a GPT partition's record carries: what a master boot record would give it, as
// far as it matters here (Linux and Linux swap decide the kind when no boot sector does).
uint8_t GptRecordType(const TGuid& type) {
  if (type == GptTypeForFsKind(fkLinuxSwap)) return kTypeLinuxSwap;
  if (type == GptTypeForFsKind(fkLinuxExt2)) return kTypeLinux;
  return kTypeGptProtective;
}

// Behind a protective entry: the partitions of the GUID partition table take the place of the
// master boot record's entries (the protective one, and those of a hybrid table, which name
// some of the same partitions again). When neither copy of the table is usable, or a sector
// cannot be read, the master boot record's entries stay and a note says why.
void ReadGptPartitions(TPhysicalDrv& drive) {
  const uint32_t blocks = BlocksPerSector(drive.Geometry);
  drive.GptRead = ReadDriveGpt(drive);
  const TGptRead& read = *drive.GptRead;
  if (read.Result.failed()) {
    StopWalk(drive, "the GUID partition table cannot be read: " + read.Result.Line(), read.Result.Errno,
             read.Result.Sector);
    return;
  }
  if (!read.Gpt) return;
  drive.FreeTableRecords();
  drive.PartitionCount = 0;
  drive.ExtendedBase = 0;
  for (const TGptEntry& e : read.Gpt->Entries) {
    const uint64_t size = e.LastLba >= e.FirstLba ? e.LastLba - e.FirstLba + 1 : 0;
    TPartitionEntry entry{};
    entry.SystemId = GptRecordType(e.Type);
    entry.BootIndicator = e.LegacyBootable() ? kActiveFlag : 0;
    // The model counts 512-byte blocks in 32 bits, as a partition table entry counts sectors:
    // a partition that starts or ends beyond 2 TiB cannot be shown in its place.
    entry.RelativeSector = static_cast<uint32_t>(std::min<uint64_t>(e.FirstLba, kLast32BitLba));
    entry.TotalSectors = static_cast<uint32_t>(std::min<uint64_t>(size, kLast32BitLba));
    if (!FitsTableField(e.FirstLba) || !FitsTableField(size) || !EntryToBlocks(entry, blocks)) {
      StopWalk(drive, "GPT partition " + std::to_string(e.Index) + " lies beyond 2 TiB, which is not shown");
      continue;
    }
    auto owned = std::make_unique<TPartition>();
    TPartition& record = *owned;
    drive.Root.Children.push_back(&record);
    InitPartitionRecord(drive, record, &drive.Root, entry);
    record.Gpt = e;
    if (StartsInsideDisk(drive, record)) {
      ReadVolumeLabel(drive, record);
      MapDriveLetter(drive, record);
    }
    drive.AdoptRecord(std::move(owned));
    ++drive.PartitionCount;
  }
}

void ReadAllTables(TPhysicalDrv& drive) {
  drive.GptRead.reset();
  drive.WholeDiskVolume = false;
  drive.WalkStopped.clear();
  drive.WalkStoppedErrno = 0;
  drive.WalkStoppedSector.reset();
  drive.TableSectors.clear();
  // A disk whose sector size is not known, or not a power of two from 512 to 4096 bytes, is
  // shown without its tables: read in the wrong unit they would place every partition wrongly.
  if (!SectorSizeSupported(drive.Geometry.BytesPerSector)) return;
  ReadPartitionTable(drive, drive.Root);
  if (drive.IsGpt) ReadGptPartitions(drive);
  SortByStart(drive.Root.Children);
  SortByStart(drive.AllPartitions);
  FindPrimaryGaps(drive);
  FindLogicalGaps(drive);
  SortByStart(drive.AllPartitions);
}

}  // namespace

std::unique_ptr<TPhysicalDrv> CreatePhysicalDrv(std::unique_ptr<Disk> disk, const TDriveGeometry& geometry) {
  auto drive = std::make_unique<TPhysicalDrv>(std::move(disk), geometry);
  ReadAllTables(*drive);
  return drive;
}

void ReadPartitionTable(TPhysicalDrv& drive, TPartition& container) {
  TableWalk walk;
  ReadTable(drive, container, walk);
}

void InitPartitionRecord(TPhysicalDrv& drive, TPartition& record, TPartition* parent, const TPartitionEntry& entry) {
  record = TPartition{};
  record.Entry = entry;
  record.Parent = parent;
  if (IsNestedExtended(drive, record))
    record.BaseLBA = drive.ExtendedBase;
  else if (parent)
    record.BaseLBA = parent->BaseLBA + parent->Entry.RelativeSector;

  if (record.IsExtended()) {
    record.FsKind = fkExtended;
    return;
  }
  if (entry.SystemId == kTypeEmpty) {
    record.FsKind = fkUnallocated;
    return;
  }
  // A failed read leaves zeroes, which no file system claims: the type code decides.
  if (StartsInsideDisk(drive, record))
    drive.Io().ReadSectors(record.AbsoluteStart(), 1, record.BootSector.data(), true,
                true);
  record.FsKind = DetectFsKind(record.BootSector);
  // No boot sector of a known kind: a superblock may name the file system.
  if (record.FsKind == fkUnallocated && StartsInsideDisk(drive, record))
    if (const std::optional<TRecognisedVolume> volume = RecogniseSuperblockVolume(drive, record.AbsoluteStart())) {
      record.FsKind = volume->Kind;
      record.VolumeLabel = volume->Label;
      record.Uuid = volume->Uuid;
    }
  if (record.FsKind == fkUnallocated) {
    switch (entry.SystemId) {
      case kTypeLinuxSwap: record.FsKind = fkLinuxSwap; break;
      case kTypeLinux: record.FsKind = fkLinuxExt2; break;
      default: record.FsKind = fkOther; break;
    }
  }
}

void FindPrimaryGaps(TPhysicalDrv& drive) {
  TPartition& root = drive.Root;
  // The disk's last sector is never part of a gap, and a gap never reaches past the disk
  // even when a damaged entry does.
  const int64_t blocks = BlocksPerSector(drive.Geometry);
  int64_t diskEnd = DiskSectors(drive) / blocks * blocks - blocks;
  int64_t pos = static_cast<int64_t>(TrackBlocks(drive.Geometry));
  // On a disk with a GUID partition table partitions lie in its usable range alone: the
  // table's two copies lie in front of it and behind it.
  if (drive.GptRead && drive.GptRead->Gpt) {
    const auto inBlocks = [blocks](uint64_t lba) {
      return static_cast<int64_t>(std::min<uint64_t>(lba, kLast32BitLba / blocks) * blocks);
    };
    pos = inBlocks(drive.GptRead->Gpt->FirstUsableLba);
    diskEnd = std::min(diskEnd, inBlocks(drive.GptRead->Gpt->LastUsableLba) + blocks);
  }
  const size_t count = root.Children.size();
  for (size_t i = 0; i < count; ++i) {
    const TPartition& r = *root.Children[i];
    const int64_t start = StartOf(r);
    const int64_t gapEnd = std::min(start, diskEnd);
    if (gapEnd - pos > kMinGapSectors) AddGap(drive, root, pos, gapEnd - pos);
    // Overlapping entries: a partition that ends inside an earlier one must not move the
    // position back, or a gap would be listed over the earlier partition's data.
    pos = std::max(pos, start + static_cast<int64_t>(r.Entry.TotalSectors));
  }
  if (diskEnd - pos > kMinGapSectors) AddGap(drive, root, pos, diskEnd - pos);
}

void FindLogicalGaps(TPhysicalDrv& drive) {
  TPartition& root = drive.Root;
  auto found = std::find_if(root.Children.begin(), root.Children.end(),
                            [](const TPartition* r) { return r->IsExtended(); });
  if (found == root.Children.end()) return;
  TPartition& extended = **found;

  std::vector<TPartition*> logicals;
  for (TPartition* r : drive.AllPartitions)
    if (r != &root && r->Parent != &root) logicals.push_back(r);
  SortByStart(logicals);

  const int64_t track = static_cast<int64_t>(TrackBlocks(drive.Geometry));
  const int64_t xs = StartOf(extended);
  const int64_t diskEnd = DiskSectors(drive);
  int64_t pos = xs + track;  // the first extended boot record's track
  for (const TPartition* r : logicals) {
    const int64_t start = StartOf(*r);
    const int64_t gapEnd = std::min(start, diskEnd);
    if (gapEnd - pos > kMinGapSectors) AddGap(drive, extended, pos - xs, gapEnd - pos);
    // A link's extended boot record occupies its first track; what follows belongs to the
    // logical drive of that table.
    const int64_t occupied = r->IsExtended() ? start + track : start + static_cast<int64_t>(r->Entry.TotalSectors);
    pos = std::max(pos, occupied);
  }
  const int64_t end = std::min(xs + static_cast<int64_t>(extended.Entry.TotalSectors), diskEnd);
  if (end - pos > kMinGapSectors) AddGap(drive, extended, pos - xs, end - pos);
  SortByStart(extended.Children);
}

TGptRead ReadDriveGpt(const TPhysicalDrv& drive) {
  return ReadGpt(drive.Io(), drive.Geometry.BytesPerSector, drive.DiskSectors / BlocksPerSector(drive.Geometry));
}

void RereadTables(TPhysicalDrv& drive) {
  drive.FreeTableRecords();
  drive.PartitionCount = 0;
  // Both describe the master boot record as it is now: an extended partition or a GPT
  // header deleted since the last read must not linger here.
  drive.ExtendedBase = 0;
  drive.IsGpt = false;
  ReadAllTables(drive);
}

}  // namespace qm
