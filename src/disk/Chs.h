#pragma once
// Cylinder/head/sector addressing of partition-table entries. The system keeps LBA
// everywhere and derives CHS only when it writes an entry.
#include <cstdint>

#include "disk/Geometry.h"

namespace qm {

struct TChs {
  uint16_t Cylinder = 0;  // low 16 bits of the cylinder
  uint16_t Head = 0;
  uint16_t Sector = 0;    // 1-based
  uint16_t SecCyl = 0;    // packed: sector in bits 0-5, cylinder bits 8-9 in 6-7, bits 0-7 in 8-15
};

// CHS of `lba`. Beyond cylinder 1023 the packed word is the "use LBA" marker: cylinder 1023
// with sector 63 for a last sector (`endMarker`), sector 1 for a first sector.
// A geometry without heads or sectors per track cannot address anything by CHS: every LBA
// then counts as beyond the limit, with cylinder, head and sector 0.
TChs LbaToChs(const TDriveGeometry& geometry, uint64_t lba, bool endMarker);

// Number of 512-byte blocks addressable through CHS: 1024 x heads x sectors per track (a
// 32-bit product) in the disk's own sectors. `lba` above counts 512-byte blocks as well; the
// geometry's heads and sectors per track count the disk's own sectors.
uint64_t ChsLimit(const TDriveGeometry& geometry);

}  // namespace qm
