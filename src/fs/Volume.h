#pragma once
// A volume as the file-system readers see it: where it lies on a disk, how far reads may
// reach, its decoded boot-sector fields, and the one seam its sectors come through.
#include <cstdint>
#include <span>

#include "disk/Outcome.h"
#include "disk/SectorReader.h"
#include "fs/Bpb.h"

namespace qm {

// A sector number computed from damaged fields: wide enough that no product wraps.
using WideLba = unsigned __int128;

struct TFsVolume {
  SectorReader* Disk = nullptr;
  Lba Start = 0;             // the volume's first sector on the disk
  uint64_t Sectors = 0;      // its partition's size: FAT reads stay inside it
  uint64_t DiskSectors = 0;  // the first sector past the disk: no read reaches it
  uint8_t Kind = 0;
  TBpb Bpb;
};

// A volume of kind `kind` at `start` whose boot sector is `boot`.
TFsVolume MakeVolume(SectorReader& disk, Lba start, uint64_t sectors, uint64_t diskSectors,
                     std::span<const uint8_t, 512> boot, uint8_t kind);

// Reads `count` sectors at disk sector `lba` (computed wide, so that a product of damaged
// fields cannot wrap). A run that does not lie wholly in front of the disk's end fails as a
// read there would, with ENXIO and the sector, without a read.
Outcome ReadDiskSectors(const TFsVolume& volume, WideLba lba, uint64_t count, uint8_t* buffer);

// Whether the file system a FAT32 or NTFS boot sector describes is there: FAT32: the first
// FAT begins with the media descriptor of the boot sector (reserved sectors in); NTFS: a
// "FILE" record lies where the boot sector puts the MFT. An unreadable sector, or one past
// the disk, confirms nothing; so does any other kind.
bool FileSystemConfirmed(const TFsVolume& volume);

}  // namespace qm
