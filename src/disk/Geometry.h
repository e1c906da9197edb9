#pragma once
#include <cstdint>

namespace qm {

constexpr uint32_t kSectorSize = 512;

// A sector number: 512-byte sectors from the start of the drive. 64 bits from the sector
// layer up; narrowed only where a partition table entry holds 32 bits (FitsTableField).
using Lba = uint64_t;

// Geometry of a drive as the platform reports it. Cylinders come before heads.
struct TDriveGeometry {
  uint16_t MediaClass = 0;  // 0 unknown, 1 floppy, 2 removable medium, 3 fixed disk
  uint32_t Cylinders = 0;
  uint32_t Heads = 0;
  uint32_t SectorsPerTrack = 0;
  uint32_t BytesPerSector = 0;  // informational: transfers are always 512-byte sectors
  uint32_t TotalSectors = 0;    // low 32 bits
};

enum : uint16_t { kMediaUnknown = 0, kMediaFloppy = 1, kMediaRemovable = 2, kMediaFixed = 3 };

}  // namespace qm
