#pragma once
// Putting a volume's boot sector back from its backup copy: for a lost find that the scanner
// made from the backup (BootFromBackup), the copy is written over the destroyed first sector.
#include <cstdint>
#include <string>

#include "model/PhysicalDrv.h"

namespace qm {

enum class BootRestoreResult {
  Restored,        // the first sector now holds the backup's bytes
  NotFromBackup,   // the find stands on its own boot sector; nothing to restore
  Busy,            // another operation runs on the drive
  OutsideDisk,     // the first sector or the backup lies beyond the end of the disk
  ReadFailed,      // a sector could not be read again before writing
  BackupChanged,   // the backup no longer holds the bytes the scan found there
  TargetChanged,   // the first sector holds a boot sector again (written since the scan)
};

// The bytes to write over the first sector of `find`: its backup boot sector. Both sectors are
// read again: the backup must still hold the bytes kept in the record, and the first sector
// must still hold no boot sector. Restored (and `copy` filled) when the write may go ahead.
BootRestoreResult PlanBootSectorRestore(const TPhysicalDrv& drive, const TPartition& find, TSector& copy);

std::string BootRestoreText(BootRestoreResult result);

}  // namespace qm
