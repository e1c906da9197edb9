#include <gtest/gtest.h>

#include "disk/Chs.h"

namespace qm {
namespace {

TDriveGeometry Geometry(uint32_t heads, uint32_t sectors) {
  TDriveGeometry g;
  g.Heads = heads;
  g.SectorsPerTrack = sectors;
  return g;
}

TEST(LbaToChs, FirstSectorOfTheSecondHead) {
  TChs c = LbaToChs(Geometry(255, 63), 63, false);
  EXPECT_EQ(c.Cylinder, 0);
  EXPECT_EQ(c.Head, 1);
  EXPECT_EQ(c.Sector, 1);
  EXPECT_EQ(c.SecCyl, 0x0001);
}

TEST(LbaToChs, LastSectorBelowTheLimit) {
  TChs c = LbaToChs(Geometry(255, 63), 16450559, true);
  EXPECT_EQ(c.Cylinder, 1023);
  EXPECT_EQ(c.Head, 254);
  EXPECT_EQ(c.Sector, 63);
  EXPECT_EQ(c.SecCyl, 0xFFFF);
  EXPECT_EQ(ChsLimit(Geometry(255, 63)), 16450560u);
}

TEST(LbaToChs, CylinderBitsEightAndNineGoToTheSectorByte) {
  TChs c = LbaToChs(Geometry(255, 63), uint64_t{0x2A5} * 255 * 63 + 5 * 63 + 9, false);
  EXPECT_EQ(c.Cylinder, 0x2A5);
  EXPECT_EQ(c.Head, 5);
  EXPECT_EQ(c.Sector, 10);
  EXPECT_EQ(c.SecCyl, 0xA5 << 8 | 0x80 | 10);
}

TEST(LbaToChs, BeyondTheLimitGivesTheMarkers) {
  TChs start = LbaToChs(Geometry(255, 63), 16450560, false);
  TChs end = LbaToChs(Geometry(255, 63), 16450560, true);
  EXPECT_EQ(start.Cylinder, 1024);
  EXPECT_EQ(start.Head, 0);
  EXPECT_EQ(start.SecCyl, 0xFFC1);
  EXPECT_EQ(end.SecCyl, 0xFFFF);
}

TEST(LbaToChs, HugeCylindersKeepOnlyTheirLow16Bits) {
  uint64_t lba = uint64_t{65536 + 3} * 16 * 63 + 2 * 63;
  TChs c = LbaToChs(Geometry(16, 63), lba, false);
  EXPECT_EQ(c.Cylinder, 3);
  EXPECT_EQ(c.Head, 2);
  EXPECT_EQ(c.SecCyl, 0xFFC1);
}

TEST(LbaToChs, GeometryWithoutHeadsOrSectorsMarksEverySectorAsBeyondChs) {
  for (auto g : {Geometry(0, 63), Geometry(255, 0), Geometry(0, 0)}) {
    TChs start = LbaToChs(g, 12345, false);
    TChs end = LbaToChs(g, 12345, true);
    EXPECT_EQ(start.Cylinder, 0);
    EXPECT_EQ(start.Head, 0);
    EXPECT_EQ(start.Sector, 0);
    EXPECT_EQ(start.SecCyl, 0xFFC1);
    EXPECT_EQ(end.SecCyl, 0xFFFF);
    EXPECT_EQ(ChsLimit(g), 0u);
  }
}

}  // namespace
}  // namespace qm
