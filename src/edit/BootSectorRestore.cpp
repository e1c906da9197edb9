#include "edit/BootSectorRestore.h"

#include <algorithm>

#include "disk/Disk.h"
#include "edit/Change.h"
#include "edit/Commit.h"
#include "model/FsDetect.h"

namespace qm {
namespace {

bool HoldsBootSector(const TSector& sector) {
  return GetU16(sector, kSignatureOffset) == kTableSignature && DetectFsKind(sector) != fkUnallocated;
}

}  // namespace

BootRestoreResult PlanBootSectorRestore(const TPhysicalDrv& drive, const TPartition& find, TSector& copy) {
  if (find.BootFromBackup == 0) return BootRestoreResult::NotFromBackup;
  if (drive.Scanning) return BootRestoreResult::Busy;
  const uint64_t target = find.AbsoluteStart();
  const uint64_t backup = find.BootFromBackup;
  const uint64_t disk = drive.Geometry.TotalSectors;
  if (target >= disk || backup >= disk || backup <= target) return BootRestoreResult::OutsideDisk;
  TSector first{};
  if (!drive.Io().ReadSectors(backup, 1, copy.data(), false, true) ||
      !drive.Io().ReadSectors(target, 1, first.data(), false, true))
    return BootRestoreResult::ReadFailed;
  if (copy != find.BootSector) return BootRestoreResult::BackupChanged;
  if (HoldsBootSector(first)) return BootRestoreResult::TargetChanged;
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
  }
  return "";
}

}  // namespace qm
