#pragma once
#include <cstdint>

namespace qm {

constexpr uint32_t kSectorSize = 512;

// A sector number: 512-byte blocks from the start of the drive. 64 bits from the sector
// layer up; narrowed only where a partition table entry holds 32 bits (FitsTableField). On a
// disk whose logical sectors are larger (4096 bytes, say) the program still counts in
// 512-byte blocks; the partition tables, and the sector numbers the user is shown, count in
// the disk's own sectors and are converted where they are read, written and shown.
using Lba = uint64_t;

// Geometry of a drive as the platform reports it. Cylinders come before heads.
struct TDriveGeometry {
  uint16_t MediaClass = 0;  // 0 unknown, 1 floppy, 2 removable medium, 3 fixed disk
  uint32_t Cylinders = 0;
  uint32_t Heads = 0;
  uint32_t SectorsPerTrack = 0;
  uint32_t BytesPerSector = 0;  // the logical sector the tables count in; transfers move 512-byte blocks
  uint32_t TotalSectors = 0;    // low 32 bits
};

// Whether the tables of a disk with logical sectors of `bytes` can be read and written: a
// power of two from 512 to 4096.
constexpr bool SectorSizeSupported(uint32_t bytes) {
  return bytes >= 512 && bytes <= 4096 && (bytes & (bytes - 1)) == 0;
}

// How many 512-byte blocks one logical sector of the disk spans (1 when the size is unknown
// or unsupported: such a disk's tables are not read).
constexpr uint32_t BlocksPerSector(const TDriveGeometry& g) {
  return SectorSizeSupported(g.BytesPerSector) ? g.BytesPerSector / kSectorSize : 1;
}

// One track of the geometry in 512-byte blocks: where the first partition of a disk begins
// by tradition, and the room an extended boot record keeps in front of its logical drive.
constexpr uint64_t TrackBlocks(const TDriveGeometry& g) { return uint64_t{g.SectorsPerTrack} * BlocksPerSector(g); }

enum : uint16_t { kMediaUnknown = 0, kMediaFloppy = 1, kMediaRemovable = 2, kMediaFixed = 3 };

}  // namespace qm
