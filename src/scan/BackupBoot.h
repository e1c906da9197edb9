#pragma once
// Backup boot sectors. FAT32 keeps a copy of its boot sector in the reserved area (the sector
// its BPB names, usually 6), NTFS in the sector right behind the sectors it counts. When a
// volume's first sector is destroyed the copy is what the scanner meets; its fields, read
// from the copy's place, would describe a volume in the wrong place.
#include <cstdint>
#include <optional>
#include <span>

#include "model/PhysicalDrv.h"

namespace qm {

// Whether the file system that the FAT32 or NTFS boot sector `boot` describes is there for a
// volume starting at `start`: FAT32: the first FAT begins with the media descriptor of the
// BPB (reserved sectors in); NTFS: a "FILE" record lies where the BPB puts the $MFT. Reads
// without prompting; an unreadable sector, or one past the disk, confirms nothing.
bool FileSystemConfirmedAt(const TPhysicalDrv& drive, std::span<const uint8_t, 512> boot, uint8_t kind, uint64_t start);

// The start of the volume a backup copy at `lba` belongs to, by the copy's own fields:
// `lba` - backup sector (FAT32) or `lba` - total sectors (NTFS). None when the fields cannot
// place it on the disk.
std::optional<uint64_t> BackupVolumeStart(std::span<const uint8_t, 512> boot, uint8_t kind, uint64_t lba);

struct TBackupFind {
  uint64_t Start = 0;         // where the volume begins
  bool PrimaryIntact = false; // its own boot sector is still there (the copy is just a copy)
  TSector Primary{};          // that boot sector, when intact
};

// When the candidate at `lba` is the backup copy of a volume's boot sector: the volume, with
// its own boot sector if that is intact. None for a candidate that is a boot sector in its
// own right (its file system is found behind it) or whose volume the file system does not
// confirm.
std::optional<TBackupFind> RecogniseBackup(const TPhysicalDrv& drive, std::span<const uint8_t, 512> sector,
                                           uint8_t kind, uint64_t lba);

}  // namespace qm
