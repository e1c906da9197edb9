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

// Where a volume lies is told in the disk's 512-byte blocks, whatever sector size its boot
// sector gives: Start, Sectors, DiskSectors and every sector handed to ReadDiskSectors count
// those blocks. Sector and cluster numbers of the volume's own are turned into blocks by
// VolumeSectorLba and ClusterBlocks.
struct TFsVolume {
  SectorReader* Disk = nullptr;
  Lba Start = 0;             // the block the volume begins at on the disk
  uint64_t Sectors = 0;      // its partition's size in blocks: FAT reads stay inside it
  uint64_t DiskSectors = 0;  // the first block past the disk: no read reaches it
  uint8_t Kind = 0;
  TBpb Bpb;
};

// A volume of kind `kind` at `start` whose boot sector is `boot`.
TFsVolume MakeVolume(SectorReader& disk, Lba start, uint64_t sectors, uint64_t diskSectors,
                     std::span<const uint8_t, 512> boot, uint8_t kind);

// The disk block where sector `sector` of the volume begins, counted in the volume's own
// sectors (of BytesPerSector bytes); wide, so that no damaged number wraps.
WideLba VolumeSectorLba(const TFsVolume& volume, uint64_t sector);

// The 512-byte blocks of one cluster: sectors per cluster times the blocks of a sector. 0 when
// the boot sector gives no cluster size.
uint64_t ClusterBlocks(const TFsVolume& volume);

// Reads `count` sectors at disk sector `lba` (computed wide, so that a product of damaged
// fields cannot wrap). A run that does not lie wholly in front of the disk's end fails as a
// read there would, with ENXIO and the sector, without a read.
Outcome ReadDiskSectors(const TFsVolume& volume, WideLba lba, uint64_t count, uint8_t* buffer);

// Whether the file system a FAT32 or NTFS boot sector describes is there: FAT32: the first
// FAT begins with the media descriptor of the boot sector (reserved sectors in); NTFS: a
// "FILE" record lies where the boot sector puts the MFT. Both places count the volume's own
// sectors and clusters. An unreadable sector, or one past the disk, confirms nothing; so does
// any other kind.
bool FileSystemConfirmed(const TFsVolume& volume);

}  // namespace qm
