#include "edit/Rebuild.h"

#include <algorithm>
#include <memory>

#include "disk/Chs.h"
#include "disk/Host.h"
#include "disk/Disk.h"
#include "edit/AutoBackup.h"
#include "edit/Commit.h"
#include "edit/Recover.h"
#include "model/TableReader.h"

namespace qm {

namespace {

Outcome RebuildRefusal(const std::string& text) { return Outcome::Failed(text, "Error"); }

TChangeRun RebuildRun() {
  TChangeRun run;
  run.Failed = "Rebuild partition table failed.";
  run.Ask = [](Host& host) {
    return host.MessageBox("You are rebuilding partition table. All unavailable\rpartitions will be abandoned.\r\rAre you sure?",
                      "Confirm", MsgButtons::YesNo, MsgIcon::Question) == MsgAnswer::Yes;
  };
  return run;
}

uint64_t LastSector(const TPartition& r) { return r.Entry.TotalSectors == 0 ? r.AbsoluteStart() : r.AbsoluteEnd() - 1; }

std::string NoRoomText(size_t number) {
  return "There's no free space to create Inner Extended Partition\rfor available partition " + std::to_string(number) +
         ".\r\rPlease set this partition 'Primary' to try again.";
}

// A chosen partition as the new layout will hold it: a copy, since the rebuild frees the
// records of the drive's tree.
struct TPlanned {
  TPartition Volume;
  bool Primary = false;
  bool Active = false;
};

// Builds the new layout from `plan` into the drive's (cleared) model. False, with why in
// `refusal`, when a step fails. `volumes` are every volume of the drive known before: chosen or left out,
// listed or lost, no new table lands in one of them.
bool BuildLayout(TPhysicalDrv& drive, std::vector<TPlanned>& plan, const std::vector<TKnownVolume>& volumes,
                 Outcome& refusal) {
  drive.FreeTableRecords();
  for (const TPlanned& p : plan)
    if (p.Primary && !(refusal = AddPartitionEntry(drive, drive.Root, p.Volume, p.Active))) return false;

  const auto firstLogical = std::find_if(plan.begin(), plan.end(), [](const TPlanned& p) { return !p.Primary; });
  if (firstLogical == plan.end()) return true;
  // The extended partition starts right behind the last primary partition in front of the
  // logical drives, or one track before the first logical drive when none is; where that
  // sector belongs to a volume or holds data, at the nearest free sector in front of the
  // first logical drive.
  uint64_t lowest = 1, preferred = kNoSector;
  for (auto p = plan.begin(); p != firstLogical; ++p) lowest = preferred = p->Volume.AbsoluteEnd();
  const uint64_t firstStart = firstLogical->Volume.AbsoluteStart();
  const uint64_t track = TrackBlocks(drive.Geometry);
  if (firstLogical == plan.begin() && firstStart > track) preferred = firstStart - track;
  const uint64_t start = FindFreeTableSector(drive, volumes, lowest, firstStart, preferred);
  if (start == kNoSector) {
    refusal = RebuildRefusal(NoRoomText(static_cast<size_t>(firstLogical - plan.begin()) + 1));
    return false;
  }
  uint64_t end = 0;
  for (const TPlanned& p : plan)
    if (!p.Primary) end = LastSector(p.Volume);
  if (!FitsTableField(start) || !FitsTableField(end - start + 1)) {
    refusal = RebuildRefusal("The extended partition cannot be described by the master boot record.");
    return false;
  }
  drive.ExtendedBase = start;

  TPartitionEntry entry{};
  const TChs first = LbaToChs(drive.Geometry, start, false);
  const TChs last = LbaToChs(drive.Geometry, end, true);
  entry.SystemId = end < ChsLimit(drive.Geometry) ? kTypeExtended : kTypeExtendedLba;
  entry.StartHead = static_cast<uint8_t>(first.Head);
  entry.StartSecCyl = first.SecCyl;
  entry.EndHead = static_cast<uint8_t>(last.Head);
  entry.EndSecCyl = last.SecCyl;
  entry.RelativeSector = static_cast<uint32_t>(start);
  entry.TotalSectors = static_cast<uint32_t>(end - start + 1);
  auto record = std::make_unique<TPartition>();
  record->Entry = entry;
  record->Parent = &drive.Root;
  record->FsKind = fkExtended;
  TPartition* extended = drive.AdoptRecord(std::move(record));
  SortByStart(drive.AllPartitions);
  drive.Root.Children.push_back(extended);
  SortByStart(drive.Root.Children);
  if (std::find(drive.DirtyTables.begin(), drive.DirtyTables.end(), &drive.Root) == drive.DirtyTables.end())
    drive.DirtyTables.push_back(&drive.Root);

  TPartition* table = extended;
  bool firstOne = true;
  for (size_t i = 0; i < plan.size(); ++i) {
    if (plan[i].Primary) continue;
    TPartition& p = plan[i].Volume;
    if (firstOne) {
      if (!(refusal = AddPartitionEntry(drive, *extended, p))) return false;
      firstOne = false;
      continue;
    }
    if (FindInnerExtendedSector(drive, p, volumes) == kNoSector) {
      refusal = RebuildRefusal(NoRoomText(i + 1));
      return false;
    }
    table = CreateInnerExtended(drive, *table, p, volumes, refusal);
    if (!table) return false;
  }
  return true;
}

// The drive's tables may be rebuilt: unlike the other edits, a chain the walk could not read
// to its end is no reason to refuse, since the rebuild replaces it whole.
std::unique_ptr<DriveLock> PrepareRebuild(const TPhysicalDrv& drive, Outcome& refusal) {
  const std::string name = "Drive " + DriveHex(drive.DriveNumber) + "H";
  std::string why;
  if (drive.WholeDiskVolume)
    why = name + " holds one volume and no partition table: its sector 0 is the volume's boot sector.";
  else if (!SectorSizeSupported(drive.Geometry.BytesPerSector))
    why = name + " uses sectors of " + std::to_string(drive.Geometry.BytesPerSector) + " bytes.";
  if (!why.empty()) {
    refusal = RebuildRefusal(why + "\rIts partition tables are not rebuilt.");
    return nullptr;
  }
  if (!((refusal = CheckNotBusy(drive)) && (refusal = CheckDriveWritable(drive)))) return nullptr;
  std::unique_ptr<DriveLock> lock = LockForWriting(drive.Io(), refusal);
  if (!lock || !(refusal = CheckTablesUnchanged(drive))) return nullptr;
  return lock;
}

// The rebuild of a GUID partition table: every chosen partition becomes an entry (a primary or
// a logical one alike). A partition of the table keeps its entry (slot, type, unique GUID,
// name); a lost one gets a new entry as a recovery gives it. The legacy BIOS bootable attribute
// marks the active one alone. Both copies are written anew.
EditOutcome RebuildGpt(TPhysicalDrv& drive, const std::vector<TRebuildChoice>& chosen, const TChangeRun& run) {
  Outcome refusal;
  const std::unique_ptr<DriveLock> lock = PrepareGptWrite(drive, refusal);
  if (!lock) return Refused(refusal);
  const std::vector<TKnownVolume> volumes = KnownVolumes(drive);
  TGpt gpt = *drive.GptRead->Gpt;
  gpt.Entries.clear();
  const auto mark = [](TGptEntry& e, bool active) {
    e.Attributes = active ? e.Attributes | kGptAttrLegacyBootable : e.Attributes & ~kGptAttrLegacyBootable;
  };
  for (const TRebuildChoice& choice : chosen)
    if (choice.Record->Gpt) mark(gpt.Entries.emplace_back(*choice.Record->Gpt), choice.Active);
  for (size_t i = 0; i < chosen.size(); ++i) {
    const TPartition& volume = *chosen[i].Record;
    if (volume.Gpt) continue;
    // An NTFS volume takes the sector behind it as well, when the next partition leaves it free.
    uint64_t size = NtfsPartitionSize(drive, volume, volumes);
    if (i + 1 < chosen.size() && volume.AbsoluteStart() + size > chosen[i + 1].Record->AbsoluteStart())
      size = volume.Entry.TotalSectors;
    if (Outcome added = AddGptEntry(drive, gpt, volume, size); !added) return Refused(added);
    mark(gpt.Entries.back(), chosen[i].Active);
  }
  TChange change;
  change.What = "rebuild";
  if (Outcome planned = PlanGptSectors(drive, gpt, change); !planned) return Refused(planned);
  return ApplyChange(drive, change, volumes, run);
}

}  // namespace

std::string CheckRebuildPlan(const TPhysicalDrv& drive, const std::vector<TRebuildChoice>& chosen) {
  if (chosen.empty()) return "Choose at least one partition to rebuild the partition table.";
  for (size_t i = 0; i < chosen.size(); ++i) {
    const TPartition& p = *chosen[i].Record;
    if (p.IsGap() || p.IsExtended() || p.Entry.TotalSectors == 0)
      return "Partition " + std::to_string(i + 1) + " cannot be an entry of a partition table.";
    if (i > 0 && p.AbsoluteStart() < chosen[i - 1].Record->AbsoluteStart())
      return "The partitions to rebuild must be listed in the order of their start.";
    if (p.AbsoluteEnd() > drive.Geometry.TotalSectors)
      return "Partition " + std::to_string(i + 1) + " reaches beyond the end of the drive.";
  }

  for (size_t i = 1; i < chosen.size(); ++i)
    if (chosen[i].Record->AbsoluteStart() <= LastSector(*chosen[i - 1].Record))
      return "Some sectors were allocated to more than one partitions:\r\r#" + std::to_string(i) + ", #" +
             std::to_string(i + 1);
  // In a GUID partition table every partition is an entry of its own: none of the limits of
  // the master boot record and its chain applies.
  if (drive.IsGpt) return "";

  int runs = 0;
  size_t primaries = 0;
  for (size_t i = 0; i < chosen.size(); ++i) {
    if (chosen[i].Primary) ++primaries;
    else if (i == 0 || chosen[i - 1].Primary) ++runs;
  }
  if (runs > 1) return "Logical drives cannot be comparted by primary partitions.";
  if (primaries > 4 || (primaries == 4 && chosen.size() > 4))
    return "Too many primary partitions to rebuild partition table.";

  // Every logical drive needs a free sector in front of it for its extended boot record. The
  // first one's goes right behind the partition before it, or one track in front of it when no
  // partition is before; every further one's goes one track in front of it, so that whole
  // track must be free, else the record would land inside the partition before.
  const uint64_t spt = TrackBlocks(drive.Geometry);
  bool firstLogical = true;
  for (size_t i = 0; i < chosen.size(); ++i) {
    if (chosen[i].Primary) continue;
    const uint64_t start = chosen[i].Record->AbsoluteStart();
    bool room;
    if (firstLogical && i > 0)
      room = LastSector(*chosen[i - 1].Record) + 1 < start;
    else
      room = start > spt && (i == 0 || LastSector(*chosen[i - 1].Record) + spt < start);
    if (!room) return NoRoomText(i + 1);
    firstLogical = false;
  }
  return "";
}

EditOutcome RebuildPartitionTable(TPhysicalDrv& drive, const std::vector<TRebuildChoice>& chosen) {
  if (const std::string problem = CheckRebuildPlan(drive, chosen); !problem.empty())
    return Refused(RebuildRefusal(problem));
  if (drive.IsGpt) return RebuildGpt(drive, chosen, RebuildRun());
  Outcome refusal;
  const std::unique_ptr<DriveLock> lock = PrepareRebuild(drive, refusal);
  if (!lock) return Refused(refusal);
  drive.StopRequested = false;

  // Every volume known now, chosen or left out, keeps the new tables out of its sectors.
  const std::vector<TKnownVolume> volumes = KnownVolumes(drive);
  // The chosen records may be records of the current tree, which the rebuild frees: work on
  // copies. A primary partition that stays primary keeps its slot of the master boot record;
  // an NTFS volume followed by a free sector gets it (its backup boot sector lies there).
  std::vector<TPlanned> plan;
  for (const TRebuildChoice& choice : chosen) {
    TPlanned p{*choice.Record, choice.Primary, choice.Primary && choice.Active};
    p.Volume.Children.clear();
    p.Volume.Parent = nullptr;
    if (!(choice.Primary && choice.Record->SlotTable == &drive.Root)) {
      p.Volume.Slot = -1;
      p.Volume.SlotTable = nullptr;
    }
    plan.push_back(p);
  }
  for (size_t i = 0; i < plan.size(); ++i) {
    const uint32_t size = NtfsPartitionSize(drive, *chosen[i].Record, volumes);
    if (i + 1 == plan.size() || plan[i].Volume.AbsoluteStart() + size <= plan[i + 1].Volume.AbsoluteStart())
      plan[i].Volume.Entry.TotalSectors = size;
  }

  const uint64_t extendedBase = drive.ExtendedBase;
  TChange change;
  change.What = "rebuild";
  // A step that fails without a reason of its own (an entry that does not fit) has told the
  // user itself.
  bool planned = BuildLayout(drive, plan, volumes, refusal);
  // A development aid: a dump that cannot be written stops nothing.
  if (planned && DebugMode) static_cast<void>(DumpChangedTables(drive, "rebuilt.dat"));
  if (planned) {
    refusal = PlanDirtyTables(drive, change);
    planned = refusal.ok();
  }
  drive.DirtyTables.clear();
  drive.ExtendedBase = extendedBase;
  RereadTables(drive);
  if (!planned) return Refused(refusal);

  return ApplyChange(drive, change, volumes, RebuildRun());
}

}  // namespace qm
