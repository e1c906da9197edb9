#include "edit/Commit.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "disk/Host.h"
#include "disk/Disk.h"
#include "model/TableReader.h"

namespace qm {

bool DebugMode = false;

std::string DriveTitle(const TPhysicalDrv& drive) { return DriveTitle(drive.Io()); }

std::string DriveTitle(const Disk& disk) {
  std::string title = "Drive " + DriveHex(disk.Number()) + "H";
  if (disk.HasSource()) title += " (" + disk.Path() + ")";
  return title;
}

std::string DriveName(const TPhysicalDrv& drive) { return "drive " + DriveHex(drive.DriveNumber) + "H"; }

std::string LastIoReason(const Disk& disk) {
  const int error = disk.LastIoError();
  return error != 0 ? SystemErrorText(error) : std::string("the drive returned no data");
}

namespace {

std::string LockRefusalText(const Disk& drive, int error) {
  if (error == EWOULDBLOCK)
    return DriveTitle(drive) + " is locked by another program.\rWait until it has finished, then try again. Nothing was written.";
  return DriveTitle(drive) + " cannot be opened for writing: " + SystemErrorText(error) + ".\rNothing was written.";
}

}  // namespace

Outcome WriteRefusal(const std::string& text, const std::string& caption) {
  return Outcome::Failed(text, caption, 0, std::nullopt, MsgIcon::Warning);
}

Outcome CheckTablesWritable(const TPhysicalDrv& drive) {
  const std::string name = "Drive " + DriveHex(drive.DriveNumber) + "H";
  if (drive.WholeDiskVolume)
    return WriteRefusal(name + " holds one volume and no partition table: its sector 0 is the volume's boot "
                               "sector.\rNo partition table is written there.");
  if (!drive.WalkStopped.empty())
    return WriteRefusal("The partition tables of " + DriveName(drive) + " could not be read to their end: " +
                        drive.WalkStopped + ".\rThey are only shown, never written.");
  if (drive.IsGpt)
    return WriteRefusal(name + " holds a GUID partition table.\rOf the changes, only recover, delete, active and "
                               "rebuild are written to it.");
  if (!SectorSizeSupported(drive.Geometry.BytesPerSector))
    return WriteRefusal(name + " uses " + std::to_string(drive.Geometry.BytesPerSector) +
                        "-byte sectors.\rOnly the partition tables of drives with sectors of 512 to 4096 bytes are "
                        "written.");
  return Outcome::Done();
}

Outcome CheckGptWritable(const TPhysicalDrv& drive) {
  const std::string name = "Drive " + DriveHex(drive.DriveNumber) + "H";
  const std::string refused = "\rIts GUID partition table is not written.";
  if (!drive.GptRead || !drive.GptRead->Gpt)
    return WriteRefusal(name + " holds a GUID partition table that cannot be used." + refused);
  if (!drive.WalkStopped.empty())
    return WriteRefusal("The partition table of " + DriveName(drive) + " could not be read whole: " + drive.WalkStopped +
                        "." + refused);
  const TGptRead& read = *drive.GptRead;
  // Writing rewrites both copies from the one in use: that must be the user's choice when the
  // copies differ, never this program's.
  const bool damaged = read.Used != GptCopy::Primary || read.Backup.Fault != GptFault::None;
  if (damaged && drive.GptTrusted != read.Used)
    return WriteRefusal(name + " holds a GUID partition table with a damaged copy: " +
                        (read.Used == GptCopy::Primary ? read.Backup.Text : read.Primary.Text) + refused +
                        "\rBoth copies are written anew from the " +
                        (read.Used == GptCopy::Primary ? "primary" : "backup") +
                        " one only when it is chosen (the command line's --use-" +
                        (read.Used == GptCopy::Primary ? "primary" : "backup") + "-gpt).");
  if (!read.EntryNotes.empty()) return WriteRefusal(name + ": " + read.EntryNotes.front().Text + refused);
  if (read.Mbr != ProtectiveMbr::Protective)
    return WriteRefusal(name + " holds a hybrid master boot record, which names partitions of its GUID partition "
                               "table as well." + refused);
  // The table on disk must be the one read: compose both and compare.
  const TGptRead now = ReadDriveGpt(drive);
  std::vector<TGptWrite> was, is;
  if (!now.Gpt || !ComposeGpt(*read.Gpt, was) || !ComposeGpt(*now.Gpt, is) || was.size() != is.size() ||
      !std::equal(was.begin(), was.end(), is.begin(),
                  [](const TGptWrite& a, const TGptWrite& b) { return a.Lba == b.Lba && a.Bytes == b.Bytes; })) {
    Outcome refusal = WriteRefusal("The GUID partition table of " + DriveTitle(drive) +
                                   " has changed since it was read.\rRefresh the drive and try again. Nothing was "
                                   "written.");
    refusal.Errno = now.Result.Errno;
    refusal.Sector = now.Result.Sector;
    return refusal;
  }
  return Outcome::Done();
}

Outcome CheckDriveWritable(const TPhysicalDrv& drive) {
  if (int error = drive.Io().ProbeWritable(); error != 0) {
    Outcome refusal = WriteRefusal(LockRefusalText(drive.Io(), error));
    refusal.Errno = error;
    return refusal;
  }
  return Outcome::Done();
}

std::unique_ptr<DriveLock> LockForWriting(Disk& disk, Outcome& refusal) {
  auto lock = std::make_unique<DriveLock>(disk);
  if (lock->held()) return lock;
  refusal = WriteRefusal(LockRefusalText(disk, lock->error()));
  refusal.Errno = lock->error();
  return nullptr;
}

Outcome CheckTablesUnchanged(const TPhysicalDrv& drive) {
  for (const auto& [lba, sector] : drive.TableSectors) {
    TSector now{};
    const bool read = drive.Io().ReadSectors(lba, 1, now.data(), false, true);
    if (!read || now != sector) {
      Outcome refusal = WriteRefusal("The partition table at sector " + std::to_string(lba) + " of " + DriveTitle(drive) +
                                     (read ? " has changed since it was read" : " cannot be read again") +
                                     ".\rRefresh the drive and try again. Nothing was written.");
      refusal.Sector = lba;
      if (!read) refusal.Errno = drive.Io().LastIoError();
      return refusal;
    }
  }
  return Outcome::Done();
}

Outcome CheckNotBusy(const TPhysicalDrv& drive) {
  if (!drive.Scanning) return Outcome::Done();
  return WriteRefusal("Drive " + DriveHex(drive.DriveNumber) + "H is busy.\rPlease wait until the running operation has finished.");
}

std::unique_ptr<DriveLock> PrepareTableWrite(const TPhysicalDrv& drive, Outcome& refusal) {
  if (!((refusal = CheckNotBusy(drive)) && (refusal = CheckTablesWritable(drive)) &&
        (refusal = CheckDriveWritable(drive))))
    return nullptr;
  std::unique_ptr<DriveLock> lock = LockForWriting(drive.Io(), refusal);
  if (!lock || !(refusal = CheckTablesUnchanged(drive))) return nullptr;
  return lock;
}

std::unique_ptr<DriveLock> PrepareGptWrite(const TPhysicalDrv& drive, Outcome& refusal) {
  if (!((refusal = CheckNotBusy(drive)) && (refusal = CheckGptWritable(drive)) && (refusal = CheckDriveWritable(drive))))
    return nullptr;
  std::unique_ptr<DriveLock> lock = LockForWriting(drive.Io(), refusal);
  if (!lock || !(refusal = CheckTablesUnchanged(drive))) return nullptr;
  return lock;
}

Outcome CommitChanges(TPhysicalDrv& drive) {
  Outcome told = drive.Io().NotifyOS();
  drive.DirtyTables.clear();
  RereadTables(drive);
  return told;
}

void ForgetListedFinds(TPhysicalDrv& drive) {
  auto listed = [&](const std::unique_ptr<TPartition>& find) {
    return std::any_of(drive.AllPartitions.begin(), drive.AllPartitions.end(), [&](const TPartition* r) {
      return r != &drive.Root && !r->IsGap() && !r->IsExtended() && r->AbsoluteStart() == find->AbsoluteStart() &&
             r->Entry.TotalSectors == find->Entry.TotalSectors;
    });
  };
  std::erase_if(drive.LostPartitions, listed);
  if (std::none_of(drive.LostPartitions.begin(), drive.LostPartitions.end(),
                   [&](const auto& find) { return find.get() == drive.LastFound; }))
    drive.LastFound = nullptr;
}

Outcome DumpChangedTables(const TPhysicalDrv& drive, const std::string& fileName) {
  std::FILE* file = std::fopen(fileName.c_str(), "wb");
  if (!file) {
    const int error = errno;
    return Outcome::Failed("Cannot write " + fileName + ": " + SystemErrorText(error) + ".", "Debug", error);
  }
  bool ok = true;
  for (const TPartition* table : drive.DirtyTables) {
    if (!table->IsGap() && !table->IsExtended()) continue;
    std::array<uint8_t, 96> block{};
    StoreLE<uint64_t>(block.data(), table->AbsoluteStart());
    TSector entries{};  // the entries as they would stand in the table sector
    size_t slot = 0;
    for (const TPartition* child : table->Children)
      if (!child->IsGap() && slot < kTableEntries) EncodeEntry(entries, slot++, child->Entry);
    std::copy_n(entries.begin() + kTableOffset, 64, block.begin() + 32);
    ok = ok && std::fwrite(block.data(), 1, block.size(), file) == block.size();
  }
  ok = (std::fclose(file) == 0) && ok;
  return ok ? Outcome::Done() : Outcome::Failed("Cannot write " + fileName + ".", "Debug");
}

}  // namespace qm
