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

void RefuseWrite(const std::string& text) { MessageBox(text, "Error", MsgButtons::Ok, MsgIcon::Warning); }

std::string LockRefusalText(const Disk& drive, int error) {
  if (error == EWOULDBLOCK)
    return DriveTitle(drive) + " is locked by another program.\rWait until it has finished, then try again. Nothing was written.";
  return DriveTitle(drive) + " cannot be opened for writing: " + SystemErrorText(error) + ".\rNothing was written.";
}

}  // namespace

bool CheckTablesWritable(const TPhysicalDrv& drive) {
  const std::string name = "Drive " + DriveHex(drive.DriveNumber) + "H";
  if (drive.WholeDiskVolume) {
    RefuseWrite(name + " holds one volume and no partition table: its sector 0 is the volume's boot "
                       "sector.\rNo partition table is written there.");
    return false;
  }
  if (!drive.WalkStopped.empty()) {
    RefuseWrite("The partition tables of " + DriveName(drive) + " could not be read to their end: " + drive.WalkStopped +
                ".\rThey are only shown, never written.");
    return false;
  }
  if (drive.IsGpt) {
    RefuseWrite(name + " holds a GUID partition table.\rIts partition tables are only shown, never written.");
    return false;
  }
  if (drive.Geometry.BytesPerSector != kSectorSize) {
    RefuseWrite(name + " uses " + std::to_string(drive.Geometry.BytesPerSector) +
                "-byte sectors.\rOnly the partition tables of drives with 512-byte sectors are written.");
    return false;
  }
  return true;
}

bool CheckDriveWritable(const TPhysicalDrv& drive) {
  if (int error = drive.Io().ProbeWritable(); error != 0) {
    RefuseWrite(LockRefusalText(drive.Io(), error));
    return false;
  }
  return true;
}

std::unique_ptr<DriveLock> LockForWriting(Disk& disk) {
  auto lock = std::make_unique<DriveLock>(disk);
  if (lock->held()) return lock;
  RefuseWrite(LockRefusalText(disk, lock->error()));
  return nullptr;
}

bool CheckTablesUnchanged(const TPhysicalDrv& drive) {
  for (const auto& [lba, sector] : drive.TableSectors) {
    TSector now{};
    const bool read = drive.Io().ReadSectors(lba, 1, now.data(), false, true);
    if (!read || now != sector) {
      RefuseWrite("The partition table at sector " + std::to_string(lba) + " of " + DriveTitle(drive) +
                  (read ? " has changed since it was read" : " cannot be read again") +
                  ".\rRefresh the drive and try again. Nothing was written.");
      return false;
    }
  }
  return true;
}

bool CheckNotBusy(const TPhysicalDrv& drive) {
  if (!drive.Scanning) return true;
  RefuseWrite("Drive " + DriveHex(drive.DriveNumber) + "H is busy.\rPlease wait until the running operation has finished.");
  return false;
}

std::unique_ptr<DriveLock> PrepareTableWrite(const TPhysicalDrv& drive) {
  if (!CheckNotBusy(drive) || !CheckTablesWritable(drive) || !CheckDriveWritable(drive)) return nullptr;
  std::unique_ptr<DriveLock> lock = LockForWriting(drive.Io());
  if (!lock || !CheckTablesUnchanged(drive)) return nullptr;
  return lock;
}

bool CommitChanges(TPhysicalDrv& drive) {
  const Outcome told = drive.Io().NotifyOS();
  if (told.failed()) MessageBox(told.Text, told.Caption, MsgButtons::Ok, told.Icon);
  const bool notified = told.ok();
  drive.DirtyTables.clear();
  RereadTables(drive);
  return notified;
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

bool DumpChangedTables(const TPhysicalDrv& drive, const std::string& fileName) {
  std::FILE* file = std::fopen(fileName.c_str(), "wb");
  if (!file) {
    RefuseWrite("Cannot write " + fileName + ": " + SystemErrorText(errno) + ".");
    return false;
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
  if (!ok) RefuseWrite("Cannot write " + fileName + ".");
  return ok;
}

}  // namespace qm
