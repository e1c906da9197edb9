#include "edit/TableEdits.h"

#include <algorithm>
#include <optional>
#include <functional>
#include <memory>
#include <string>

#include "disk/Host.h"
#include "disk/Disk.h"
#include "edit/AutoBackup.h"
#include "edit/Change.h"
#include "edit/Commit.h"
#include "edit/MasterBootProgram.h"
#include "edit/Recover.h"
#include "model/PartitionRows.h"
#include "model/TableReader.h"

namespace qm {

namespace {

bool IsListed(const TPhysicalDrv& drive, const TPartition& record) {
  return &record != &drive.Root &&
         std::find(drive.AllPartitions.begin(), drive.AllPartitions.end(), &record) != drive.AllPartitions.end();
}

// The record is one the user can pick: a primary, the extended partition or a logical drive
// of this drive's tables. Links between extended boot records are bookkeeping, not partitions.
Outcome CheckEditable(const TPhysicalDrv& drive, const TPartition& record) {
  if (!IsListed(drive, record) || IsNestedExtended(drive, record))
    return WriteRefusal("The selected record is not a partition of " + DriveName(drive) + ".");
  return Outcome::Done();
}

// Writes the tables the edit marked in drive.DirtyTables through the change pipeline, with
// `ask` as its question. `volumes` are the volumes known before the model was edited. The model
// shows the disk afterwards, whatever the result.
EditOutcome WriteTables(TPhysicalDrv& drive, const std::vector<TKnownVolume>& volumes, const std::string& what,
                        const std::string& failed, const std::function<bool(Host&)>& ask) {
  TChange change;
  change.What = what;
  Outcome planned = PlanDirtyTables(drive, change);
  drive.DirtyTables.clear();
  RereadTables(drive);
  if (!planned) return Refused(planned);
  TChangeRun run;
  run.Failed = failed;
  run.Ask = ask;
  return ApplyChange(drive, change, volumes, run);
}

std::function<bool(Host&)> Question(const std::string& text, const std::string& caption, MsgButtons buttons) {
  return [=](Host& host) {
    const MsgAnswer answer = host.MessageBox(text, caption, buttons, MsgIcon::Warning);
    return answer == MsgAnswer::Ok || answer == MsgAnswer::Yes;
  };
}

std::string At(const TPartition& record) { return " at " + std::to_string(record.AbsoluteStart()); }

// The checks of PrepareTableWrite, and an unambiguous extended partition: with two extended
// entries, or one over another entry, programs disagree on which chain is the disk's, and an
// edit made from our reading would change a layout that others read differently.
std::unique_ptr<DriveLock> PrepareEntryEdit(const TPhysicalDrv& drive, Outcome& refusal) {
  if (!((refusal = CheckNotBusy(drive)) && (refusal = CheckTablesWritable(drive)) &&
        (refusal = CheckExtendedLayout(drive))))
    return nullptr;
  return PrepareTableWrite(drive, refusal);
}

bool HasUsedChild(const TPartition& record) {
  return std::any_of(record.Children.begin(), record.Children.end(),
                     [](const TPartition* child) { return !child->IsGap(); });
}

// The visible type codes that have a hidden partner (the code + 0x10).
bool CanHide(uint8_t type) {
  switch (type & 0xEF) {
    case 0x01: case 0x04: case 0x06: case 0x07: case 0x0B: case 0x0C: case 0x0E: return true;
    default: return false;
  }
}

}  // namespace

std::string WithReason(const std::string& failed, const Disk& disk) { return failed + "\r" + LastIoReason(disk) + "."; }

// Writes `gpt`, the drive's GUID partition table as an edit leaves it, through the change
// pipeline with `ask` as its question.
EditOutcome WriteGpt(TPhysicalDrv& drive, const TGpt& gpt, const std::string& what, const std::string& failed,
                     const std::function<bool(Host&)>& ask) {
  TChange change;
  change.What = what;
  if (Outcome planned = PlanGptSectors(drive, gpt, change); !planned) return Refused(planned);
  TChangeRun run;
  run.Failed = failed;
  run.Ask = ask;
  return ApplyChange(drive, change, KnownVolumes(drive), run);
}

// The drive's GUID partition table, to be changed, once every check of a write has passed;
// null with why in `refusal`.
std::optional<TGpt> GptToEdit(const TPhysicalDrv& drive, std::unique_ptr<DriveLock>& lock, Outcome& refusal) {
  lock = PrepareGptWrite(drive, refusal);
  if (!lock) return std::nullopt;
  return *drive.GptRead->Gpt;
}

EditOutcome DeletePartition(TPhysicalDrv& drive, TPartition& record) {
  if (Outcome editable = CheckEditable(drive, record); !editable) return Refused(editable);
  if (record.IsGap()) return Refused(WriteRefusal("Can't delete unallocated space. It isn't an actual partition."));
  if (record.IsExtended() && HasUsedChild(record))
    return Refused(WriteRefusal("Can not delete specified partition:  \r\rExtended partition isn't empty."));
  const std::string question = "You are deleting partition, all data on the partition will lost.\r\rAre you sure?";
  if (record.Gpt) {
    Outcome refusal;
    std::unique_ptr<DriveLock> lock;
    std::optional<TGpt> gpt = GptToEdit(drive, lock, refusal);
    if (!gpt) return Refused(refusal);
    const uint32_t slot = record.Gpt->Index;
    std::erase_if(gpt->Entries, [&](const TGptEntry& e) { return e.Index == slot; });
    return WriteGpt(drive, *gpt, "delete" + At(record), "Delete partition Failed.",
                    Question(question, "Deleting Partition", MsgButtons::OkCancel));
  }
  Outcome refusal;
  const std::unique_ptr<DriveLock> lock = PrepareEntryEdit(drive, refusal);
  if (!lock) return Refused(refusal);
  const std::vector<TKnownVolume> volumes = KnownVolumes(drive);
  const std::string what = "delete" + At(record);

  TPartition& parent = *record.Parent;
  TPartition* table = &parent;
  if (&parent != &drive.Root) {
    // The record's extended boot record takes over the next one's entries (its logical drive
    // and link), so the chain skips the next sector; the entries' starts count from their new
    // table sector.
    auto link = std::find_if(parent.Children.begin(), parent.Children.end(),
                             [](const TPartition* child) { return child->IsExtended(); });
    if (link != parent.Children.end()) {
      TPartition& next = **link;
      const uint64_t nextSector = next.AbsoluteStart();
      const uint64_t ownSector = parent.AbsoluteStart();
      for (TPartition* child : next.Children) {
        child->Parent = &parent;
        if (!child->IsExtended()) {
          child->Entry.RelativeSector = static_cast<uint32_t>(child->Entry.RelativeSector + nextSector - ownSector);
          child->BaseLBA = ownSector;
        }
        parent.Children.push_back(child);
      }
      next.Children.clear();
      next.Entry.SystemId = kTypeEmpty;
    }
    record.Entry.SystemId = kTypeEmpty;
    // An emptied extended boot record other than the first leaves the chain: the record before
    // it drops its link.
    if (IsNestedExtended(drive, parent) && !HasUsedChild(parent)) {
      parent.Entry.SystemId = kTypeEmpty;
      table = parent.Parent;
    }
  } else {
    record.Entry.SystemId = kTypeEmpty;
  }
  drive.DirtyTables.assign(1, table);
  return WriteTables(drive, volumes, what, "Delete partition Failed.",
                     Question(question, "Deleting Partition", MsgButtons::OkCancel));
}

EditOutcome SetActivePartition(TPhysicalDrv& drive, TPartition& record) {
  if (Outcome editable = CheckEditable(drive, record); !editable) return Refused(editable);
  if (record.IsGap() || record.IsExtended() || record.Parent != &drive.Root)
    return Refused(WriteRefusal("You must specify a primary partition."));
  if (record.Gpt) {
    // On a GUID partition table "active" is the attribute that tells a legacy BIOS which
    // partition to boot: it is set on this entry and taken off the others.
    Outcome refusal;
    std::unique_ptr<DriveLock> lock;
    std::optional<TGpt> gpt = GptToEdit(drive, lock, refusal);
    if (!gpt) return Refused(refusal);
    for (TGptEntry& e : gpt->Entries)
      e.Attributes = e.Index == record.Gpt->Index ? e.Attributes | kGptAttrLegacyBootable
                                                  : e.Attributes & ~kGptAttrLegacyBootable;
    return WriteGpt(drive, *gpt, "active" + At(record), "Set active partition Failed.",
                    Question("You are setting the legacy BIOS bootable attribute of " +
                                 PartitionRowName(drive, record) + ", and taking it off the others. Are you sure?",
                             "Set active partition", MsgButtons::OkCancel));
  }
  Outcome refusal;
  const std::unique_ptr<DriveLock> lock = PrepareEntryEdit(drive, refusal);
  if (!lock) return Refused(refusal);
  const std::vector<TKnownVolume> volumes = KnownVolumes(drive);
  const std::string what = "active" + At(record);
  // Named before the edit: writing rereads the tables, and the record goes with them.
  const std::string question = "You are setting " + PartitionRowName(drive, record) +
                               " active; the other primary partitions become inactive. Are you sure?";
  for (TPartition* child : drive.Root.Children) child->Entry.BootIndicator = 0;
  record.Entry.BootIndicator = 0x80;
  drive.DirtyTables.assign(1, &drive.Root);
  return WriteTables(drive, volumes, what, "Set active partition Failed.",
                     Question(question, "Set active partition", MsgButtons::OkCancel));
}

EditOutcome HidePartition(TPhysicalDrv& drive, TPartition& record) {
  if (Outcome editable = CheckEditable(drive, record); !editable) return Refused(editable);
  if (record.Gpt)
    return Refused(WriteRefusal("Hide/Show does not apply to a GUID partition table: its partition types have no "
                                "hidden partners.",
                                "Hide/Show"));
  if (!CanHide(record.Entry.SystemId))
    return Refused(WriteRefusal("Hide/Show can not apply to this type of partition.", "Hide/Show"));
  Outcome refusal;
  const std::unique_ptr<DriveLock> lock = PrepareEntryEdit(drive, refusal);
  if (!lock) return Refused(refusal);
  const std::vector<TKnownVolume> volumes = KnownVolumes(drive);
  const std::string what = "hide/show" + At(record);
  record.Entry.SystemId = static_cast<uint8_t>((record.Entry.SystemId + 0x10) & 0x1F);
  drive.DirtyTables.assign(1, record.Parent);
  EditOutcome result = WriteTables(drive, volumes, what, "Hide/Show Failed.", nullptr);
  if (result == EditResult::Written) result.Told = Outcome::Done("Hide/Show performed successfully.", "Hide/Show");
  return result;
}

EditOutcome RenewMasterBootRecord(TPhysicalDrv& drive) {
  // Sector 0 of a disk without a partition table is a volume's boot sector, and the boot code
  // of a GUID-partitioned disk belongs to its own loader: neither gets ours.
  Outcome refusal;
  const std::unique_ptr<DriveLock> lock = PrepareTableWrite(drive, refusal);
  if (!lock) return Refused(refusal);
  // Only the program itself is replaced: bytes 440 to 445 hold the disk signature, by which
  // systems find their partitions, and stay as they are, like the table behind them.
  constexpr size_t kProgramBytes = 440;
  TChange change;
  change.What = "mbr";
  TSector sector{};
  if (!drive.Io().ReadSectors(0, 1, sector.data(), false, true))
    return Refused(Outcome::Failed(WithReason("Can not perform Fdisk/mbr command.", drive.Io()), "FDISK/MBR",
                                   drive.Io().LastIoError(), Lba{0}));
  std::copy_n(kMasterBootProgram.begin(), kProgramBytes, sector.begin());
  sector[510] = 0x55;
  sector[511] = 0xAA;
  if (Outcome planned = PlanSector(drive, change, 0, WriteRole::BootProgram, sector); !planned) return Refused(planned);
  TChangeRun run;
  run.Caption = "FDISK/MBR";
  run.Failed = "Can not perform Fdisk/mbr command.";
  run.Ask = Question("This will renew the main boot record of current physical drive.\r\rAre you sure?", "FDISK/MBR",
                     MsgButtons::YesNo);
  EditOutcome result = ApplyChange(drive, change, KnownVolumes(drive), run);
  if (result == EditResult::Written) result.Told = Outcome::Done("Fdisk/mbr performed successfully.", "FDISK/MBR");
  return result;
}

}  // namespace qm
