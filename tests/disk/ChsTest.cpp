// LBA to cylinder/head/sector as a partition entry stores it.
#include "disk/Chs.h"

#include <gtest/gtest.h>

namespace qm {
namespace {

TDriveGeometry Geometry(uint32_t heads, uint32_t sectors) {
  TDriveGeometry g;
  g.Heads = heads, g.SectorsPerTrack = sectors;
  return g;
}

TEST(LbaToChs, CylinderHeadSectorAndTheirPackedForm) {
  const struct {
    const char* what;
    uint32_t heads, sectors;
    uint64_t lba;
    bool end;
    int cylinder, head, sector, secCyl;
  } cases[] = {
      {"first sector of the second head", 255, 63, 63, false, 0, 1, 1, 0x0001},
      {"last sector below the limit", 255, 63, 16450559, true, 1023, 254, 63, 0xFFFF},
      {"cylinder bits 8 and 9 go to the sector byte", 255, 63, uint64_t{0x2A5} * 255 * 63 + 5 * 63 + 9, false, 0x2A5, 5,
       10, 0xA5 << 8 | 0x80 | 10},
      {"a start beyond the limit", 255, 63, 16450560, false, 1024, 0, 1, 0xFFC1},
      {"an end beyond the limit", 255, 63, 16450560, true, 1024, 0, 1, 0xFFFF},
      {"huge cylinders keep their low 16 bits", 16, 63, uint64_t{65536 + 3} * 16 * 63 + 2 * 63, false, 3, 2, 1, 0xFFC1},
      // Without heads or sectors every sector lies beyond what CHS can say.
      {"no heads", 0, 63, 12345, false, 0, 0, 0, 0xFFC1},
      {"no sectors", 255, 0, 12345, true, 0, 0, 0, 0xFFFF},
      {"neither", 0, 0, 12345, false, 0, 0, 0, 0xFFC1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const TChs chs = LbaToChs(Geometry(c.heads, c.sectors), c.lba, c.end);
    EXPECT_EQ(std::vector<int>({chs.Cylinder, chs.Head, chs.Sector, chs.SecCyl}),
              std::vector<int>({c.cylinder, c.head, c.sector, c.secCyl}));
  }
  EXPECT_EQ(ChsLimit(Geometry(255, 63)), 16450560u);
  EXPECT_EQ(ChsLimit(Geometry(0, 63)), 0u);
  EXPECT_EQ(ChsLimit(Geometry(255, 0)), 0u);
}

}  // namespace
}  // namespace qm
