#include "disk/Chs.h"

namespace qm {

TChs LbaToChs(const TDriveGeometry& g, uint64_t lba, bool endMarker) {
  const uint16_t beyondLimit = endMarker ? 0xFFFF : 0xFFC1;
  lba /= BlocksPerSector(g);  // the geometry counts the disk's own sectors
  TChs chs;
  uint32_t perCylinder = g.Heads * g.SectorsPerTrack;
  if (perCylinder == 0 || g.SectorsPerTrack == 0) {
    chs.SecCyl = beyondLimit;
    return chs;
  }
  uint64_t cylinder = lba / perCylinder;
  uint32_t r = static_cast<uint32_t>(lba % perCylinder);
  chs.Cylinder = static_cast<uint16_t>(cylinder);
  chs.Head = static_cast<uint16_t>(r / g.SectorsPerTrack);
  chs.Sector = static_cast<uint16_t>(r % g.SectorsPerTrack + 1);
  if (cylinder <= 1023) {
    uint32_t c = static_cast<uint32_t>(cylinder);
    chs.SecCyl = static_cast<uint16_t>(((c * 256) % 65536) + ((c >> 2) & 0xC0) + chs.Sector);
  } else {
    chs.SecCyl = beyondLimit;
  }
  return chs;
}

uint64_t ChsLimit(const TDriveGeometry& g) {
  return uint64_t{static_cast<uint32_t>(g.Heads * 1024u * g.SectorsPerTrack)} * BlocksPerSector(g);
}

}  // namespace qm
