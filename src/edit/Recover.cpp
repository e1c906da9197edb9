#include "edit/Recover.h"

#include <algorithm>
#include <optional>
#include <set>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "disk/Chs.h"
#include "disk/Disk.h"
#include "edit/AutoBackup.h"
#include "edit/BootSectorRestore.h"
#include "edit/Commit.h"
#include "model/CheckReport.h"
#include "model/FsDetect.h"
#include "model/PartitionRows.h"
#include "model/TableReader.h"

namespace qm {

namespace {

const char* const kNoVacancyText =
    "There is no vacancy in the partition table.\rPlease use 'Rebuild' or 'Clone' instead of 'Recover'.";
const char* const kNoInnerSectorText =
    "There's no sufficient free space to move logical drive to Inner Extended Partition.";
const char* const kNoVacancyForLinkText = "There is no vacancy in the partition table.";
const char* const kFailedText = "Recover partition Failed.";

// Refusals of a recovery, under the captions the user knows them by.
Outcome Refusal(const std::string& text) { return Outcome::Failed(text, "Error", 0, {}, MsgIcon::Warning); }
Outcome NoPlace(const std::string& text) { return Outcome::Failed(text, "Recovering"); }

// Last sector of a record. A zero-length entry on a damaged disk still occupies its first
// sector, so that nothing is placed over it.
uint64_t LastSector(const TPartition& r) {
  return r.Entry.TotalSectors == 0 ? r.AbsoluteStart() : r.AbsoluteEnd() - 1;
}

bool IsUsed(const TPartition* r) { return !r->IsGap(); }

TPartition* FirstExtendedChild(const TPartition& table) {
  for (TPartition* child : table.Children)
    if (child->IsExtended()) return child;
  return nullptr;
}

void QueueTable(TPhysicalDrv& drive, TPartition& table) {
  if (std::find(drive.DirtyTables.begin(), drive.DirtyTables.end(), &table) == drive.DirtyTables.end())
    drive.DirtyTables.push_back(&table);
}

void EraseFrom(std::vector<TPartition*>& list, const TPartition* record) {
  list.erase(std::remove(list.begin(), list.end(), record), list.end());
}

// Why `candidate` cannot go into the tables where it lies, naming the rows of the list it
// overlaps, and what the user can do instead: a rebuild makes tables without those partitions,
// a clone copies the lost one elsewhere. Neither needs them deleted first.
std::string OverlapText(const TPhysicalDrv& drive, const TPartition& candidate) {
  const std::vector<int> rows = OverlappedPartitionRows(drive, candidate);
  if (rows.empty())
    return "The lost partition overlaps the master boot record or a partition of the disk, so it cannot be "
           "recovered.\rUse 'Clone' to copy it elsewhere.";
  const bool one = rows.size() == 1;
  return "The lost partition overlaps " + std::string(one ? "partition " : "partitions ") + RowNumbersText(rows) +
         " of the list, so it cannot be recovered while " + (one ? "that partition is" : "they are") +
         " in the tables.\rUse 'Rebuild' to make new tables without " + (one ? "it" : "them") +
         ", or 'Clone' to copy the lost partition elsewhere.";
}

// In development mode the refusal also names the record it collides with.
Outcome Collision(const TPhysicalDrv& drive, const TPartition& candidate, const TPartition& with, bool extended) {
  std::string text = OverlapText(drive, candidate);
  if (DebugMode) {
    char where[64];
    std::snprintf(where, sizeof where, "\r\roverlap%d = %" PRIx64, extended ? 0 : 1, with.AbsoluteStart());
    text += where;
  }
  return Refusal(text);
}

// The links between records as they stand before a placement. A placement that fails half-way
// puts them back, so that the model keeps showing what is on disk; records made in the
// meantime stay owned by the drive, unreferenced, until its tables are read again.
class ModelSnapshot {
 public:
  explicit ModelSnapshot(const TPhysicalDrv& drive) : all_(drive.AllPartitions), dirty_(drive.DirtyTables) {
    for (TPartition* r : drive.AllPartitions) links_.push_back({r, r->Children, r->Parent});
  }
  void Restore(TPhysicalDrv& drive) const {
    drive.AllPartitions = all_;
    drive.DirtyTables = dirty_;
    for (const Links& l : links_) {
      l.record->Children = l.children;
      l.record->Parent = l.parent;
    }
  }

 private:
  struct Links {
    TPartition* record;
    std::vector<TPartition*> children;
    TPartition* parent;
  };
  std::vector<TPartition*> all_, dirty_;
  std::vector<Links> links_;
};

// Places `lost` in memory; Failed, with why, when a step fails.
Outcome PlaceLostPartition(TPhysicalDrv& drive, TPartition& lost, TPartition& target,
                           const std::vector<TKnownVolume>& volumes) {
  if (&target == &drive.Root) return AddPartitionEntry(drive, drive.Root, lost);

  // Link entries count from ExtendedBase; when the master boot record names more than one
  // extended partition that base belongs to another one than the target, and every entry
  // written here would point somewhere else.
  if (target.AbsoluteStart() != drive.ExtendedBase)
    return Refusal("The master boot record of " + DriveName(drive) +
                   " holds more than one extended partition.\rPlease use 'Rebuild' instead of 'Recover'.");
  TLogicalSlot slot = FindLogicalSlot(drive, target, lost);
  Outcome placed;
  if (slot.Mode == 1)
    CreateInnerExtended(drive, *slot.Table, lost, volumes, placed);
  else if ((placed = AddPartitionEntry(drive, *slot.Table, lost)) && slot.Displaced)
    CreateInnerExtended(drive, *slot.Table, *slot.Displaced, volumes, placed);
  return placed;
}

}  // namespace

TPartition* FindTargetTable(TPhysicalDrv& drive, const TPartition& candidate, Outcome& why) {
  const uint64_t s = candidate.AbsoluteStart();
  const uint64_t size = candidate.Entry.TotalSectors;
  if (size == 0 || s + size > drive.Geometry.TotalSectors) {
    why = Refusal("Specified partition is empty or extends beyond the end of the disk.");
    return nullptr;
  }
  const uint64_t e = s + size - 1;

  // Without an extended partition (ExtendedBase 0) the partition can only become a primary
  // one; an extended entry at sector 0 leaves ExtendedBase 0 too, and its "table" would be the
  // master boot record itself.
  TPartition* table = &drive.Root;
  if (drive.ExtendedBase != 0)
    if (TPartition* extended = FirstExtendedChild(drive.Root))
      if (s > extended->AbsoluteStart() && e <= LastSector(*extended)) table = extended;

  // Sector 0 is the master boot record itself: a table written there would overwrite the
  // volume's boot sector.
  if (s == 0) {
    why = Collision(drive, candidate, drive.Root, false);
    return nullptr;
  }
  for (size_t i = 1; i < drive.AllPartitions.size(); ++i) {
    const TPartition& r = *drive.AllPartitions[i];
    if (r.IsGap()) continue;
    const uint64_t rs = r.AbsoluteStart(), re = LastSector(r);
    bool collides;
    if (!r.IsExtended())
      collides = s <= re && rs <= e;
    else
      collides = !((s > rs && e <= re) || s > re) && e >= rs;
    if (collides) {
      why = Collision(drive, candidate, r, r.IsExtended());
      return nullptr;
    }
  }
  return table;
}

bool HasVacancy(const TPhysicalDrv& drive, const TPartition& table) {
  const auto used = std::count_if(table.Children.begin(), table.Children.end(), IsUsed);
  if (used >= static_cast<long>(kTableEntries)) return false;
  if (&table != &drive.Root && used >= 2) {
    auto logical = std::count_if(table.Children.begin(), table.Children.end(),
                                 [](const TPartition* c) { return IsUsed(c) && !c->IsExtended(); });
    if (logical >= 2) return false;
  }
  return true;
}

uint8_t NewEntryType(const TPhysicalDrv& drive, const TPartition& source) {
  const bool fits = LastSector(source) < ChsLimit(drive.Geometry);
  switch (source.FsKind) {
    case fkFat12: return 0x01;
    case fkFat16: return fits ? 0x06 : 0x0E;
    case fkFat32: return fits ? 0x0B : 0x0C;
    case fkNtfs:
    case fkHpfs: return 0x07;
    default: return source.Entry.SystemId;
  }
}

Outcome AddPartitionEntry(TPhysicalDrv& drive, TPartition& table, const TPartition& source, bool active) {
  const uint64_t start = source.AbsoluteStart();
  const TChs first = LbaToChs(drive.Geometry, start, false);
  const TChs last = LbaToChs(drive.Geometry, LastSector(source), true);
  if (!HasVacancy(drive, table)) return NoPlace(kNoVacancyText);
  const uint8_t type = NewEntryType(drive, source);
  // An entry of type 0 would be an empty slot on disk, and an extended code would make the
  // reader take the partition's first sector for a table.
  if (type == kTypeEmpty || IsExtendedType(type))
    return NoPlace("The partition's type code is unknown; it cannot be written into a partition table.");
  const uint64_t base = table.AbsoluteStart();
  if (start <= base || !FitsTableField(start - base) || !FitsTableField(LastSector(source)))
    return NoPlace("The partition cannot be described by the partition table at sector " + std::to_string(base) + ".");

  auto record = std::make_unique<TPartition>();
  record->Entry.BootIndicator = active ? kActiveFlag : 0;
  record->Entry.SystemId = type;
  record->Entry.StartHead = static_cast<uint8_t>(first.Head);
  record->Entry.StartSecCyl = first.SecCyl;
  record->Entry.EndHead = static_cast<uint8_t>(last.Head);
  record->Entry.EndSecCyl = last.SecCyl;
  record->Entry.RelativeSector = static_cast<uint32_t>(start - base);
  record->Entry.TotalSectors = source.Entry.TotalSectors;
  record->BaseLBA = base;
  record->Parent = &table;
  // Until the tables are read again the new record shows the same volume as its source.
  record->FsKind = source.FsKind;
  record->VolumeLabel = source.VolumeLabel;
  record->BootSector = source.BootSector;

  TPartition* added = drive.AdoptRecord(std::move(record));
  SortByStart(drive.AllPartitions);
  table.Children.push_back(added);
  SortByStart(table.Children);
  QueueTable(drive, table);
  return Outcome::Done();
}

TLogicalSlot FindLogicalSlot(TPhysicalDrv& drive, TPartition& extended, const TPartition& lost) {
  std::vector<TPartition*> logical;
  for (size_t i = 1; i < drive.AllPartitions.size(); ++i) {
    TPartition* r = drive.AllPartitions[i];
    if (IsUsed(r) && !r->IsExtended() && r->Parent && r->Parent != &drive.Root) logical.push_back(r);
  }
  SortByStart(logical);
  TPartition* previous = nullptr;
  for (TPartition* r : logical) {
    if (r->AbsoluteStart() >= lost.AbsoluteStart()) break;
    previous = r;
  }
  if (previous) return {previous->Parent, 1, nullptr};
  TLogicalSlot slot{&extended, 0, nullptr};
  for (TPartition* child : extended.Children)
    if (IsUsed(child) && !child->IsExtended()) {
      slot.Displaced = child;
      break;
    }
  return slot;
}

uint64_t FindInnerExtendedSector(const TPhysicalDrv& drive, const TPartition& record,
                                 const std::vector<TKnownVolume>& volumes) {
  const uint64_t track = TrackBlocks(drive.Geometry);
  const uint64_t start = record.AbsoluteStart();
  // The new extended boot record must lie inside the extended partition, behind its first
  // extended boot record and behind every partition in front of `record`; never on another
  // table.
  uint64_t lowest = drive.ExtendedBase + 1;
  std::vector<TKnownVolume> taken = volumes;
  for (size_t i = 1; i < drive.AllPartitions.size(); ++i) {
    const TPartition& r = *drive.AllPartitions[i];
    if (r.IsGap() || &r == &record) continue;
    const uint64_t rs = r.AbsoluteStart();
    if (r.IsExtended()) {
      taken.push_back({rs, rs, &r});  // a link occupies only its table sector
      continue;
    }
    if (rs < start) lowest = std::max(lowest, LastSector(r) + 1);
  }
  return FindFreeTableSector(drive, taken, lowest, start, track != 0 && start >= track ? start - track : kNoSector);
}

uint64_t FindFreeTableSector(const TPhysicalDrv& drive, const std::vector<TKnownVolume>& volumes, uint64_t lowest,
                             uint64_t start, uint64_t preferred) {
  // A table fills a sector of the disk's own: it starts on a whole one.
  const uint64_t blocks = BlocksPerSector(drive.Geometry);
  const auto down = [blocks](uint64_t x) { return x / blocks * blocks; };
  lowest = std::max<uint64_t>(down(lowest + blocks - 1), blocks);
  if (start <= lowest || !FitsTableField(start - 1)) return kNoSector;
  // A sector no known volume holds, and whose bytes are nobody's data.
  int reads = 0;
  auto usable = [&](uint64_t x) {
    if (VolumeAt(volumes, x)) return false;
    TSector sector{};
    ++reads;
    return drive.Io().ReadSectors(x, 1, sector.data(), false, true) && HoldsNoData(sector);
  };
  if (preferred >= lowest && preferred < start && preferred % blocks == 0 && usable(preferred)) return preferred;
  // Else the nearest such sector in front of the partition, passing over known volumes; a
  // gap full of data is not searched to its end.
  constexpr int kMaxReads = 64;
  for (uint64_t x = down(start - 1); x >= lowest && reads < kMaxReads;) {
    if (const TKnownVolume* v = VolumeAt(volumes, x)) {
      if (v->First <= lowest) break;
      x = down(v->First - 1);
      continue;
    }
    if (usable(x)) return x;
    x -= blocks;
  }
  return kNoSector;
}

uint32_t NtfsPartitionSize(const TPhysicalDrv& drive, const TPartition& volume, const std::vector<TKnownVolume>& volumes) {
  const uint32_t size = volume.Entry.TotalSectors;
  if (volume.FsKind != fkNtfs) return size;
  // The volume's own count, from its boot sector; a find without one counts its entry.
  const uint64_t own = BootSectorVolumeSize(volume.BootSector, fkNtfs);
  const uint64_t counted = own != 0 ? own : size;
  const uint64_t behind = volume.AbsoluteStart() + counted;
  // The backup boot sector fills one sector of the disk's own.
  const uint64_t blocks = BlocksPerSector(drive.Geometry);
  if (size > counted || counted + blocks > 0xFFFFFFFFu || behind >= drive.Geometry.TotalSectors) return size;
  const bool taken = std::any_of(volumes.begin(), volumes.end(), [&](const TKnownVolume& v) {
    return v.Record != &volume && v.First <= behind && behind <= v.Last &&
           !(v.First == volume.AbsoluteStart() && v.FsKind == fkNtfs);  // the same volume, listed or found
  });
  return taken ? size : static_cast<uint32_t>(counted + blocks);
}

TPartition* CreateInnerExtended(TPhysicalDrv& drive, TPartition& table, TPartition& record,
                                const std::vector<TKnownVolume>& volumes, Outcome& why) {
  // Partitions placed earlier in the same operation are already in AllPartitions, so the new
  // extended boot record never lands inside one of them either.
  const uint64_t x = FindInnerExtendedSector(drive, record, volumes);
  if (x == kNoSector) {
    why = NoPlace(kNoInnerSectorText);
    return nullptr;
  }
  const uint64_t last = LastSector(record);
  const TChs first = LbaToChs(drive.Geometry, x, false);
  const TChs end = LbaToChs(drive.Geometry, last, true);

  auto link = std::make_unique<TPartition>();
  link->Entry.SystemId = last < ChsLimit(drive.Geometry) ? kTypeExtended : kTypeExtendedLba;
  link->Entry.StartHead = static_cast<uint8_t>(first.Head);
  link->Entry.StartSecCyl = first.SecCyl;
  link->Entry.EndHead = static_cast<uint8_t>(end.Head);
  link->Entry.EndSecCyl = end.SecCyl;
  link->Entry.RelativeSector = static_cast<uint32_t>(x - drive.ExtendedBase);
  link->Entry.TotalSectors = static_cast<uint32_t>(last - x + 1);
  link->BaseLBA = drive.ExtendedBase;
  link->Parent = &table;
  link->FsKind = fkExtended;
  TPartition* L = drive.AdoptRecord(std::move(link));
  SortByStart(drive.AllPartitions);

  if (!(why = AddPartitionEntry(drive, *L, record))) return nullptr;

  // A displaced logical drive leaves the old table; its copy now stands in L.
  if (std::find(table.Children.begin(), table.Children.end(), &record) != table.Children.end()) {
    EraseFrom(table.Children, &record);
    EraseFrom(drive.AllPartitions, &record);
  }
  // The chain now runs table -> L -> whatever the table linked to before.
  if (TPartition* oldLink = FirstExtendedChild(table)) {
    EraseFrom(table.Children, oldLink);
    L->Children.push_back(oldLink);
    SortByStart(L->Children);
    oldLink->Parent = L;
  }
  if (!HasVacancy(drive, table)) {
    why = NoPlace(kNoVacancyForLinkText);
    return nullptr;
  }
  table.Children.push_back(L);
  SortByStart(table.Children);
  QueueTable(drive, table);
  return L;
}

namespace {

// Finds the table that takes `lost` and places it there in memory. An NTFS volume counts one
// sector less than its partition (the backup boot sector lies behind the volume), so the
// larger size is used whenever that sector is free; `lost` keeps it while the placement stands.
Outcome PlaceInMemory(TPhysicalDrv& drive, TPartition& lost, const std::vector<TKnownVolume>& volumes) {
  const uint32_t ownSize = lost.Entry.TotalSectors;
  TPartition* target = nullptr;
  Outcome why;
  if (const uint32_t withBackup = NtfsPartitionSize(drive, lost, volumes); withBackup != ownSize) {
    lost.Entry.TotalSectors = withBackup;
    target = FindTargetTable(drive, lost, why);
    if (!target) lost.Entry.TotalSectors = ownSize;
  }
  if (!target) target = FindTargetTable(drive, lost, why);
  return target ? PlaceLostPartition(drive, lost, *target, volumes) : why;
}

using LostList = std::vector<std::unique_ptr<TPartition>>;

LostList::iterator FindLost(TPhysicalDrv& drive, const TPartition& lost) {
  return std::find_if(drive.LostPartitions.begin(), drive.LostPartitions.end(),
                      [&](const std::unique_ptr<TPartition>& p) { return p.get() == &lost; });
}

// The checks that need no placement, in the order the user should hear of them.
Outcome CheckDrive(TPhysicalDrv& drive, const TPartition& lost) {
  Outcome refusal = CheckNotBusy(drive);
  if (refusal && FindLost(drive, lost) == drive.LostPartitions.end())
    refusal = WriteRefusal("The selected partition is not a lost partition of " + DriveName(drive) + ".");
  // A GUID partition table has checks of its own in the place of those of the chain.
  const bool gpt = drive.IsGpt;
  if (refusal && (refusal = gpt ? CheckGptWritable(drive) : CheckTablesWritable(drive)) &&
      (gpt || (refusal = CheckExtendedLayout(drive))) && (refusal = CheckDriveWritable(drive)))
    refusal = CheckTablesUnchanged(drive);
  return refusal;
}

// Plans the recovery of `lost` into the GUID partition table: a new entry in the first free
// slot, with the type of its file system and a new unique GUID, and both copies of the table
// written anew from the one in use.
Outcome PlanGptRecover(TPhysicalDrv& drive, const TPartition& lost, const std::vector<TKnownVolume>& volumes,
                       TChange& change) {
  // An NTFS volume's partition takes the sector behind it too, where that is free.
  const uint32_t withBackup = NtfsPartitionSize(drive, lost, volumes);
  TGpt gpt = *drive.GptRead->Gpt;
  if (withBackup == lost.Entry.TotalSectors || !AddGptEntry(drive, gpt, lost, withBackup)) {
    gpt = *drive.GptRead->Gpt;
    if (Outcome refusal = AddGptEntry(drive, gpt, lost, lost.Entry.TotalSectors); !refusal) return refusal;
  }
  return PlanGptSectors(drive, gpt, change);
}

// True when the tables as read back hold an entry for the volume at `start` of `size` sectors.
bool InTables(const TPhysicalDrv& drive, uint64_t start, uint32_t size) {
  // A size that ends inside a sector of the disk was written as that sector whole.
  const uint64_t blocks = BlocksPerSector(drive.Geometry);
  const auto sectors = [blocks](uint64_t b) { return (b + blocks - 1) / blocks; };
  for (const TPartition* r : drive.AllPartitions)
    if (r != &drive.Root && !r->IsGap() && !r->IsExtended() && r->AbsoluteStart() == start &&
        sectors(r->Entry.TotalSectors) == sectors(size))
      return true;
  return false;
}

}  // namespace

Outcome CheckExtendedLayout(const TPhysicalDrv& drive) {
  std::vector<const TPartition*> extended, others;
  for (const TPartition* child : drive.Root.Children)
    if (!child->IsGap()) (child->IsExtended() ? extended : others).push_back(child);
  if (extended.empty()) return Outcome::Done();
  const std::string mbr = "The master boot record of " + DriveName(drive);
  if (extended.size() > 1)
    return WriteRefusal(mbr + " holds more than one extended partition.\rPlease use 'Rebuild' instead of 'Recover'.");
  const TPartition& x = *extended.front();
  if (x.AbsoluteStart() == 0)
    return WriteRefusal(mbr + " holds an extended partition that starts at sector 0, on the master boot record itself."
                              "\rPlease use 'Rebuild' instead of 'Recover'.");
  for (const TPartition* r : others)
    if (r->AbsoluteStart() <= LastSector(x) && x.AbsoluteStart() <= LastSector(*r))
      return WriteRefusal(mbr + " holds an extended partition (sectors " + std::to_string(x.AbsoluteStart()) + " to " +
                          std::to_string(LastSector(x)) + ") that overlaps the partition at sector " +
                          std::to_string(r->AbsoluteStart()) + ".\rPlease use 'Rebuild' instead of 'Recover'.");
  return Outcome::Done();
}

namespace {

// Plans the recovery of `lost` into `change` (with the copy of its backup boot sector first
// when asked) and takes the placement back, so that the model shows the disk again. Failed,
// with why, when it cannot be planned.
Outcome PlanRecover(TPhysicalDrv& drive, TPartition& lost, bool restoreBootSector,
                    const std::vector<TKnownVolume>& volumes, TChange& change) {
  change.What = "recover at " + std::to_string(lost.AbsoluteStart());
  if (restoreBootSector && lost.BootFromBackup != 0) {
    TSector copy{};
    const BootRestoreResult planned = PlanBootSectorRestore(drive, lost, copy);
    if (planned != BootRestoreResult::Restored) return Refusal(BootRestoreText(planned));
    if (Outcome copied = PlanSector(drive, change, lost.AbsoluteStart(), WriteRole::BootSector, copy); !copied)
      return copied;
  }
  if (drive.IsGpt) return PlanGptRecover(drive, lost, volumes, change);
  drive.DirtyTables.clear();
  const uint32_t ownSize = lost.Entry.TotalSectors;
  const ModelSnapshot before(drive);
  Outcome planned = PlaceInMemory(drive, lost, volumes);
  // A development aid: a dump that cannot be written stops nothing.
  if (DebugMode) static_cast<void>(DumpChangedTables(drive, "partiafter.dat"));
  if (planned) planned = PlanDirtyTables(drive, change);
  before.Restore(drive);
  lost.Entry.TotalSectors = ownSize;
  return planned;
}

}  // namespace

Outcome CheckRecoverPossible(TPhysicalDrv& drive, TPartition& lost) {
  if (Outcome checked = CheckDrive(drive, lost); !checked) return checked;
  const std::vector<TKnownVolume> volumes = KnownVolumes(drive);
  TChange change;
  if (Outcome planned = PlanRecover(drive, lost, false, volumes, change); !planned) return planned;
  std::string refusal = CheckChange(drive, change, volumes);
  if (refusal.empty())
    if (const std::string problem = CheckBackupFolder(); !problem.empty())
      refusal = "The partition tables cannot be saved before the change: " + problem + ".";
  return refusal.empty() ? Outcome::Done() : Refusal(refusal + "\rNothing was written.");
}

RecoverOutcome RecoverLostPartition(TPhysicalDrv& drive, TPartition& lost, bool restoreBootSector) {
  // From the checks to the read-back no other program may change the tables: a change made
  // meanwhile would be overwritten by tables made from the old model.
  Outcome refusal = CheckNotBusy(drive);
  std::unique_ptr<DriveLock> lock;
  if (refusal) lock = LockForWriting(drive.Io(), refusal);
  if (lock) refusal = CheckDrive(drive, lost);
  if (!refusal) return {RecoverResult::Refused, refusal};
  if (DebugMode) static_cast<void>(DumpChangedTables(drive, "partibefore.dat"));

  const std::vector<TKnownVolume> volumes = KnownVolumes(drive);
  TChange change;
  if (Outcome planned = PlanRecover(drive, lost, restoreBootSector, volumes, change); !planned)
    return {RecoverResult::Refused, planned};
  // The entry the plan writes: its start and size, to find it in the tables read back.
  const uint64_t start = lost.AbsoluteStart();
  const uint32_t ownSize = lost.Entry.TotalSectors;
  const uint32_t size = NtfsPartitionSize(drive, lost, volumes);

  TChangeRun run;
  run.Caption = "Recovering";
  run.Failed = kFailedText;
  drive.StopRequested = false;
  EditOutcome result = ApplyChange(drive, change, volumes, run);
  switch (result.Result) {
    case EditResult::Refused: return {RecoverResult::Refused, std::move(result.Told)};
    case EditResult::Cancelled:
      return {RecoverResult::Stopped,
              Outcome{OutcomeKind::Cancelled, "Recovery stopped. Nothing was written.", "Recovering", MsgIcon::Warning, 0,
                      std::nullopt}};
    case EditResult::WriteFailed: return {RecoverResult::WriteFailed, std::move(result.Told)};
    case EditResult::Written:
    case EditResult::NotNotified: break;
  }
  if (!InTables(drive, start, size) && !InTables(drive, start, ownSize))
    return {RecoverResult::WriteFailed,
            Refusal("The partition tables of " + DriveName(drive) + " were written, but reading them back does not "
                    "show the partition at sector " + std::to_string(start) + ".\r" + kFailedText)};
  // The tables read back may already have dropped the find (same start and size).
  if (auto it = FindLost(drive, lost); it != drive.LostPartitions.end()) drive.LostPartitions.erase(it);
  return {result == EditResult::Written ? RecoverResult::Written : RecoverResult::NotNotified,
          std::move(result.Told)};
}

Outcome AddGptEntry(const TPhysicalDrv& drive, TGpt& gpt, const TPartition& volume, uint64_t size) {
  const std::optional<TGuid> type = GptTypeForFsKind(volume.FsKind);
  if (!type)
    return NoPlace("The partition's file system has no type in a GUID partition table; it cannot be written into one.");
  std::set<uint32_t> used;
  for (const TGptEntry& e : gpt.Entries) used.insert(e.Index);
  uint32_t slot = 1;
  while (slot <= gpt.EntryCount && used.count(slot)) ++slot;
  if (slot > gpt.EntryCount)
    return NoPlace("There is no free entry in the GUID partition table.\rPlease use 'Clone' instead of 'Recover'.");
  // The table counts the disk's own sectors; the volume is placed in 512-byte blocks, and a
  // size that ends inside a sector of the disk takes that sector whole.
  const uint64_t blocks = BlocksPerSector(drive.Geometry);
  if (volume.AbsoluteStart() % blocks != 0)
    return Refusal("The partition at block " + std::to_string(volume.AbsoluteStart()) +
                   " does not start on a whole sector of the disk (" + std::to_string(blocks * kSectorSize) +
                   " bytes); it cannot be written into its partition table.");
  const uint64_t first = volume.AbsoluteStart() / blocks, sectors = (size + blocks - 1) / blocks;
  const uint64_t last = first + sectors - 1;
  if (sectors == 0 || first < gpt.FirstUsableLba || last > gpt.LastUsableLba)
    return Refusal("The partition (sectors " + std::to_string(first) + " to " + std::to_string(last) +
                   ") does not lie inside the sectors the GUID partition table gives to partitions (" +
                   std::to_string(gpt.FirstUsableLba) + " to " + std::to_string(gpt.LastUsableLba) + ").");
  if (std::any_of(gpt.Entries.begin(), gpt.Entries.end(),
                  [&](const TGptEntry& e) { return first <= e.LastLba && e.FirstLba <= last; }))
    return Refusal(OverlapText(drive, volume));
  TGptEntry entry;
  entry.Index = slot;
  entry.Type = *type;
  entry.Unique = NewPartitionGuid(gpt.DiskGuid, slot, first);
  entry.FirstLba = first;
  entry.LastLba = last;
  gpt.Entries.push_back(entry);
  return Outcome::Done();
}

}  // namespace qm
