#include "edit/BootSectorRestore.h"

#include <algorithm>

#include "disk/SectorIO.h"
#include "model/FsDetect.h"

namespace qm {
namespace {

// Marks the drive busy for the operation and clears the mark however it ends.
class BusyMark {
 public:
  explicit BusyMark(TPhysicalDrv& drive) : drive_(drive) { drive_.Scanning = true; }
  ~BusyMark() { drive_.Scanning = false; }
  BusyMark(const BusyMark&) = delete;
  BusyMark& operator=(const BusyMark&) = delete;

 private:
  TPhysicalDrv& drive_;
};

bool HoldsBootSector(const TSector& sector) {
  return GetU16(sector, kSignatureOffset) == kTableSignature && DetectFsKind(sector) != fkUnallocated;
}

}  // namespace

BootRestoreResult RestoreBootSector(TPhysicalDrv& drive, TPartition& find) {
  if (find.BootFromBackup == 0) return BootRestoreResult::NotFromBackup;
  if (drive.Scanning) return BootRestoreResult::Busy;
  const uint64_t target = find.AbsoluteStart();
  const uint64_t backup = find.BootFromBackup;
  const uint64_t disk = drive.Geometry.TotalSectors;
  if (target >= disk || backup >= disk || backup <= target) return BootRestoreResult::OutsideDisk;
  BusyMark busy(drive);

  TSector copy{}, first{};
  if (!ReadSectors(drive.DriveNumber, backup, 1, copy.data(), true, true) ||
      !ReadSectors(drive.DriveNumber, target, 1, first.data(), true, true))
    return BootRestoreResult::ReadFailed;
  if (copy != find.BootSector) return BootRestoreResult::BackupChanged;
  if (HoldsBootSector(first)) return BootRestoreResult::TargetChanged;

  if (!WriteSectors(drive.DriveNumber, target, 1, copy.data(), true))
    return BootRestoreResult::WriteFailed;
  TSector written{};
  if (!ReadSectors(drive.DriveNumber, target, 1, written.data(), true, true) || written != copy)
    return BootRestoreResult::WriteFailed;
  find.BootFromBackup = 0;
  return BootRestoreResult::Restored;
}

std::string BootRestoreText(BootRestoreResult result) {
  switch (result) {
    case BootRestoreResult::Restored: return "The boot sector was restored from its backup.";
    case BootRestoreResult::NotFromBackup: return "The partition's own boot sector is intact; nothing was written.";
    case BootRestoreResult::Busy: return "The drive is busy; nothing was written.";
    case BootRestoreResult::OutsideDisk: return "The boot sector or its backup lies beyond the end of the disk; nothing was written.";
    case BootRestoreResult::ReadFailed: return "The boot sector or its backup could not be read; nothing was written.";
    case BootRestoreResult::BackupChanged: return "The backup boot sector has changed since the scan; nothing was written.";
    case BootRestoreResult::TargetChanged: return "The partition's first sector holds a boot sector again; nothing was written.";
    case BootRestoreResult::WriteFailed: return "Writing the boot sector failed.";
  }
  return "";
}

}  // namespace qm
