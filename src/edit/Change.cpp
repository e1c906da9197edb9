#include "edit/Change.h"

#include <algorithm>
#include <array>
#include <optional>
#include <set>

#include "disk/Host.h"
#include "disk/Disk.h"
#include "edit/AutoBackup.h"
#include "edit/Commit.h"
#include "fs/Bpb.h"
#include "model/FsDetect.h"
#include "model/TableReader.h"

namespace qm {
namespace {

constexpr size_t kEntrySize = 16;

Outcome Refusal(const std::string& caption, const std::string& text, std::optional<Lba> sector = {}, int error = 0) {
  Outcome refusal = WriteRefusal(text, caption);
  refusal.Sector = sector;
  refusal.Errno = error;
  return refusal;
}

bool AllZero(const TSector& sector) {
  return std::all_of(sector.begin(), sector.end(), [](uint8_t b) { return b == 0; });
}

// Whether `before` and `after` differ only in bytes [from, to).
bool ChangesOnly(const TSector& before, const TSector& after, size_t from, size_t to) {
  for (size_t i = 0; i < before.size(); ++i)
    if ((i < from || i >= to) && before[i] != after[i]) return false;
  return true;
}

size_t Depth(const TPartition* table, size_t limit) {
  size_t d = 0;
  for (const TPartition* p = table->Parent; p && d <= limit; p = p->Parent) ++d;
  return d;
}

bool WasReadByWalk(const TPhysicalDrv& drive, uint64_t lba) {
  return std::any_of(drive.TableSectors.begin(), drive.TableSectors.end(),
                     [&](const auto& table) { return table.first == lba; });
}

// The table `table` describes, written over `sector` (the disk's bytes). Entries read from a
// slot of this table stay in it; new ones take the first free slot, that is one empty on
// disk or left by an entry the edit removed; slots of removed entries that nothing takes are
// cleared. False with `problem` when more than four entries would be needed.
bool EncodeTable(const TPartition& table, uint32_t blocks, TSector& sector, std::string& problem) {
  std::array<const TPartition*, kTableEntries> slots{};
  std::vector<const TPartition*> newcomers;
  for (const TPartition* child : table.Children) {
    if (child->IsGap()) continue;
    const bool own = child->SlotTable == &table && child->Slot >= 0 && child->Slot < static_cast<int>(kTableEntries) &&
                     !slots[static_cast<size_t>(child->Slot)];
    if (own)
      slots[static_cast<size_t>(child->Slot)] = child;
    else
      newcomers.push_back(child);
  }
  // Every entry of a table the walk read became a record of it. A slot no record claims now
  // held an entry the edit took out (or moved to another table), or none: it is the edit's to
  // reuse or to clear.
  std::array<bool, kTableEntries> free{};
  for (size_t i = 0; i < kTableEntries; ++i) free[i] = !slots[i];
  for (const TPartition* child : newcomers) {
    size_t i = 0;
    while (i < kTableEntries && !free[i]) ++i;
    if (i == kTableEntries) {
      problem = "the partition table at sector " + std::to_string(table.AbsoluteStart()) +
                " would need more than four entries";
      return false;
    }
    slots[i] = child;
    free[i] = false;
  }
  for (size_t i = 0; i < kTableEntries; ++i) {
    if (slots[i]) {
      // The entry counts the disk's own sectors: a place between two of them cannot be written.
      TPartitionEntry entry = slots[i]->Entry;
      if (!EntryToSectors(entry, blocks)) {
        problem = "the partition at block " + std::to_string(slots[i]->AbsoluteStart()) +
                  " does not lie on whole sectors of " + std::to_string(blocks * kSectorSize) + " bytes";
        return false;
      }
      EncodeEntry(sector, i, entry);
    } else if (free[i])
      std::fill_n(sector.begin() + static_cast<long>(kTableOffset + i * kEntrySize), kEntrySize, uint8_t{0});
  }
  StoreLE<uint16_t>(&sector[kSignatureOffset], kTableSignature);
  return true;
}

}  // namespace

std::vector<TKnownVolume> KnownVolumes(const TPhysicalDrv& drive) {
  std::vector<TKnownVolume> volumes;
  auto add = [&](const TPartition& r) {
    if (r.IsGap() || r.IsExtended()) return;
    const uint64_t first = r.AbsoluteStart();
    uint64_t last = r.Entry.TotalSectors == 0 ? first : r.AbsoluteEnd() - 1;
    // The backup boot sector of NTFS lies behind the volume's own count, in the partition's
    // last sector: a lost volume's size leaves it out.
    if (r.FsKind == fkNtfs)
      if (const uint64_t own = BootSectorVolumeSize(r.BootSector, fkNtfs); own != 0)
        last = std::max(last, first + own + DecodeBpb(r.BootSector, fkNtfs).BlocksPerSector() - 1);
    volumes.push_back({first, last, &r, r.Parent != nullptr, r.BootFromBackup != 0, r.FsKind});
  };
  for (const TPartition* r : drive.AllPartitions)
    if (r != &drive.Root) add(*r);
  for (const auto& lost : drive.LostPartitions) add(*lost);
  return volumes;
}

const TKnownVolume* VolumeAt(const std::vector<TKnownVolume>& volumes, uint64_t lba) {
  for (const TKnownVolume& v : volumes)
    if (lba >= v.First && lba <= v.Last) return &v;
  return nullptr;
}

bool HoldsNoData(const TSector& sector) {
  if (AllZero(sector)) return true;
  if (!HasTableSignature(sector) || DetectFsKind(sector) != fkUnallocated) return false;
  for (size_t i = 0; i < kTableEntries; ++i) {
    const uint8_t flag = sector[kTableOffset + i * kEntrySize];
    if (flag != 0 && flag != kActiveFlag) return false;
  }
  return true;
}

Outcome PlanSector(TPhysicalDrv& drive, TChange& change, uint64_t lba, WriteRole role, const TSector& after) {
  TSectorWrite write;
  write.Lba = lba;
  write.Role = role;
  write.After = after;
  if (lba >= drive.Geometry.TotalSectors || !drive.Io().ReadSectors(lba, 1, write.Before.data(), false, true)) {
    return Refusal("Error", "Sector " + std::to_string(lba) + " of " + DriveName(drive) + " cannot be read (" +
                                LastIoReason(drive.Io()) + ").\rNothing was written.", lba, drive.Io().LastIoError());
  }
  if (write.Before != write.After) change.Writes.push_back(write);
  return Outcome::Done();
}

Outcome PlanDirtyTables(TPhysicalDrv& drive, TChange& change) {
  const size_t limit = drive.AllPartitions.size() + drive.DirtyTables.size();
  std::vector<TPartition*> order = drive.DirtyTables;
  std::stable_sort(order.begin(), order.end(),
                   [&](const TPartition* a, const TPartition* b) { return Depth(a, limit) > Depth(b, limit); });
  std::set<uint64_t> planned;
  for (TPartition* table : order) {
    const uint64_t lba = table == &drive.Root ? 0 : table->AbsoluteStart();
    // Sector 0 is the master boot record: only the drive's Root describes it. Any other record
    // that claims it comes from a damaged entry, whose table would replace the master boot
    // record's entries.
    if (table != &drive.Root && lba == 0) {
      return Refusal("Error", "An extended partition of " + DriveName(drive) +
                                  " starts at sector 0, on the master boot record itself.\rNothing was written.", lba);
    }
    if (!planned.insert(lba).second) {
      return Refusal("Error", "Two tables of the new layout of " + DriveName(drive) + " would share sector " +
                                  std::to_string(lba) + ".\rNothing was written.", lba);
    }
    TSectorWrite write;
    write.Lba = lba;
    write.Role = WasReadByWalk(drive, lba) ? WriteRole::Table : WriteRole::NewTable;
    if (lba >= drive.Geometry.TotalSectors ||
        !drive.Io().ReadSectors(lba, 1, write.Before.data(), false, true)) {
      const bool beyond = lba >= drive.Geometry.TotalSectors;
      return Refusal("Error", "The partition table at sector " + std::to_string(lba) + " of " + DriveName(drive) +
                                  (beyond ? " lies beyond the end of the disk" : " cannot be read (" + LastIoReason(drive.Io()) + ")") +
                                  ".\rNothing was written.", lba, beyond ? 0 : drive.Io().LastIoError());
    }
    write.After = write.Before;
    std::string problem;
    if (!EncodeTable(*table, BlocksPerSector(drive.Geometry), write.After, problem)) {
      return Refusal("Error", "The change cannot be written: " + problem + ".\rNothing was written.", lba);
    }
    if (write.After != write.Before) change.Writes.push_back(write);
  }
  return Outcome::Done();
}

Outcome PlanGptSectors(TPhysicalDrv& drive, const TGpt& gpt, TChange& change) {
  std::vector<TGptWrite> runs;
  if (Outcome composed = ComposeGpt(gpt, runs); !composed) return composed;
  std::swap(runs[0], runs[1]);  // the primary array, then its header
  for (const TGptWrite& run : runs)
    for (size_t at = 0; at + kSectorSize <= run.Bytes.size(); at += kSectorSize) {
      TSector after{};
      std::copy_n(run.Bytes.begin() + static_cast<std::ptrdiff_t>(at), kSectorSize, after.begin());
      // PlanSector leaves out a sector that keeps its bytes.
      const uint64_t block = run.Lba * BlocksPerSector(drive.Geometry) + at / kSectorSize;
      if (Outcome planned = PlanSector(drive, change, block, WriteRole::GptTable, after); !planned)
        return planned;
    }
  return Outcome::Done();
}

std::string CheckChange(const TPhysicalDrv& drive, const TChange& change, const std::vector<TKnownVolume>& volumes) {
  std::set<uint64_t> seen;
  for (const TSectorWrite& w : change.Writes) {
    const std::string sector = "sector " + std::to_string(w.Lba);
    if (w.Lba >= drive.Geometry.TotalSectors) return "The change would write " + sector + ", beyond the end of the disk.";
    if (!seen.insert(w.Lba).second) return "The change would write " + sector + " twice.";
    const TKnownVolume* owner = VolumeAt(volumes, w.Lba);
    const std::string inside =
        owner ? " lies inside the volume at sector " + std::to_string(owner->First) + " (sectors " +
                    std::to_string(owner->First) + " to " + std::to_string(owner->Last) + ")"
              : "";
    switch (w.Role) {
      case WriteRole::Table:
        // A table of the chain that lies inside a partition comes from a damaged link: writing
        // it would write into the partition. (A lost find over it is most likely the remnant
        // of an older layout; the sector is a table already.)
        if (std::any_of(volumes.begin(), volumes.end(), [&](const TKnownVolume& v) {
              return v.Listed && v.First <= w.Lba && w.Lba <= v.Last;
            }))
          return "The partition table at " + sector + " lies inside a partition of the tables.";
        if (!ChangesOnly(w.Before, w.After, kTableOffset, 512))
          return "The change would write more than the partition table of " + sector + ".";
        break;
      case WriteRole::NewTable:
        if (owner) return "The new extended boot record at " + sector + inside + ".";
        if (!HoldsNoData(w.Before))
          return "The new extended boot record would replace " + sector +
                 ", which holds data: neither zeros nor an old partition table.";
        if (!ChangesOnly(w.Before, w.After, kTableOffset, 512))
          return "The change would write more than the partition table of " + sector + ".";
        break;
      case WriteRole::BootSector:
        if (std::none_of(volumes.begin(), volumes.end(), [&](const TKnownVolume& v) {
              return v.First == w.Lba && v.FromBackup;
            }))
          return "The change would write " + sector + ", which is not the first sector of a volume found from its "
                 "backup boot sector.";
        break;
      case WriteRole::BootProgram:
        // The program, and the signature behind the table; the disk signature and the table stay.
        if (w.Lba != 0 || !std::equal(w.Before.begin() + 440, w.Before.begin() + 510, w.After.begin() + 440))
          return "The change would write more than the boot program of sector 0.";
        break;
      case WriteRole::Restore:
        // Sector 0 may hold a volume's boot sector where the master boot record was: putting
        // the table back there is what the restore is for.
        if (owner && w.Lba != 0) return "The backup file would write " + sector + ", which" + inside + ".";
        break;
      case WriteRole::GptTable:
        if (owner) return "The GUID partition table's " + sector + inside + ".";
        break;
      case WriteRole::Undo: break;
    }
  }
  return "";
}

EditOutcome ApplyChange(TPhysicalDrv& drive, const TChange& change, const std::vector<TKnownVolume>& volumes,
                        const TChangeRun& run) {
  if (Outcome busy = CheckNotBusy(drive); !busy) return Refused(busy);
  // Nested under the caller's lock, if any: held until the tables are read back.
  Outcome refusal;
  const std::unique_ptr<DriveLock> lock = LockForWriting(drive.Io(), refusal);
  if (!lock || !(refusal = CheckDriveWritable(drive))) return Refused(refusal);
  if (const std::string problem = CheckChange(drive, change, volumes); !problem.empty())
    return Refused(Refusal(run.Caption, problem + "\rNothing was written."));
  if (const std::string problem = CheckBackupFolder(); !problem.empty())
    return Refused(Refusal(run.Caption, "The partition tables cannot be saved before the change: " + problem +
                                            ".\rNothing was written."));
  drive.StopRequested = false;
  if (run.Ask && !run.Ask(drive.Io().UserHost())) return EditResult::Cancelled;
  // The last moment at which stopping costs nothing.
  drive.Io().Pump();
  if (drive.StopRequested) return EditResult::Cancelled;
  if (change.Writes.empty()) return EditResult::Written;

  BusyGuard busy(drive);
  // What the disk holds now, read under the lock, is what the record keeps.
  // Each read starts from a pattern no disk holds: a device that reports a read as done without
  // delivering data would otherwise seem to hold what was planned.
  TSector pattern{};
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(0xA5 ^ (i * 131));
  auto diskHoldsPlan = [&]() -> std::string {
    for (const TSectorWrite& w : change.Writes) {
      TSector now = pattern;
      if (!drive.Io().ReadSectors(w.Lba, 1, now.data(), false, false) || now == pattern)
        return "Sector " + std::to_string(w.Lba) + " of " + DriveName(drive) + " cannot be read (" + LastIoReason(drive.Io()) + ").";
      if (now != w.Before)
        return "Sector " + std::to_string(w.Lba) + " of " + DriveName(drive) +
               " has changed since it was read: another program wrote to it.\rRefresh the drive and try again.";
    }
    return "";
  };
  if (const std::string problem = diskHoldsPlan(); !problem.empty())
    return Refused(Refusal(run.Caption, problem + "\rNothing was written."));
  std::string recordPath;
  if (run.Mode == RecordMode::NewChange) {
    std::string problem;
    if (!SaveChangeRecord(drive, change, recordPath, problem))
      return Refused(Refusal(run.Caption, "The partition tables cannot be saved before the change: " + problem +
                                              ".\rNothing was written."));
  }
  // Right before the first write: a program that ignores the lock may have written meanwhile.
  Outcome unchanged;
  if (const std::string changed = diskHoldsPlan(); !changed.empty())
    unchanged = Refusal(run.Caption, changed + "\rNothing was written.");
  else if (run.Mode == RecordMode::NewChange)
    unchanged = CheckTablesUnchanged(drive);
  if (!unchanged) {
    if (!recordPath.empty()) ::remove(recordPath.c_str());
    return Refused(unchanged);
  }

  // From the first write on, the change is finished whatever happens: a Stop is not heard.
  drive.Io().ClearIoError();
  size_t written = 0;
  std::string failure;
  Outcome failed;
  for (const TSectorWrite& w : change.Writes) {
    if (!drive.Io().WriteSectors(w.Lba, 1, w.After.data(), true)) {
      failure = "sector " + std::to_string(w.Lba) + " could not be written (" + LastIoReason(drive.Io()) + ")";
      failed.Errno = drive.Io().LastIoError();
      failed.Sector = w.Lba;
      break;
    }
    ++written;
    TSector back{};
    if (!drive.Io().ReadSectors(w.Lba, 1, back.data(), false, true) || back != w.After) {
      failure = "sector " + std::to_string(w.Lba) + " does not read back as written";
      failed.Sector = w.Lba;
      break;
    }
  }
  if (!failure.empty()) {
    if (run.Mode == RecordMode::NewChange) TrimChangeRecord(recordPath, written);
    failed = Outcome::Failed(run.Failed + "\r" + failure + "; " + std::to_string(written) + " of " +
                                 std::to_string(change.Writes.size()) + " sectors were written." +
                                 (written > 0 && run.Mode == RecordMode::NewChange ? UndoHint() : std::string()),
                             "Error", failed.Errno, failed.Sector);
    // Whatever reached the disk, the system and the model hear of it.
    if (written > 0) (void)drive.Io().NotifyOS();
    drive.DirtyTables.clear();
    RereadTables(drive);
    return {EditResult::WriteFailed, failed};
  }
  if (run.Mode != RecordMode::NewChange) MarkChangeRecord(run.RecordPath, run.Mode == RecordMode::Undo);
  Outcome told = CommitChanges(drive);
  ForgetListedFinds(drive);
  if (!told) return {EditResult::NotNotified, told};
  return EditResult::Written;
}

}  // namespace qm
