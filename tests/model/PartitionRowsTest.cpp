// The texts and rules of the partition list and disk maps on a drive built by hand.
#include <gtest/gtest.h>

#include "model/PartitionRows.h"

namespace qm {
namespace {

// Root -> primary (active FAT32), extended -> {logical, link -> {logical}}, gap; one lost.
class RowsTest : public ::testing::Test {
 protected:
  RowsTest() : drive(0x80, Geometry()) {
    primary = Add(&drive.Root, 0, 63, 20000, 0x0C, fkFat32);
    primary->Entry.BootIndicator = 0x80;
    primary->VolumeLabel = "SYSTEM";
    primary->DriveLetter = "sdb1";
    extended = Add(&drive.Root, 0, 30000, 50000, 0x0F, fkExtended);
    drive.ExtendedBase = 30000;
    logical1 = Add(extended, 30000, 63, 10000, 0x1B, fkFat32);
    link = Add(extended, 30000, 20000, 20000, 0x05, fkExtended);
    logical2 = Add(link, 50000, 63, 10000, 0x07, fkNtfs);
    logical2->VolumeLabel = "   ";
    gap = Add(&drive.Root, 0, 80000, 19000, 0x00, fkUnallocated);
    drive.PartitionCount = 4;  // primary, two logicals, gap
    SortByStart(drive.AllPartitions);
    auto l = std::make_unique<TPartition>();
    l->Entry.SystemId = 0x06;
    l->Entry.RelativeSector = 81000;
    l->Entry.TotalSectors = 4096;
    l->FsKind = fkFat16;
    l->VolumeLabel = "LOST";
    lost = l.get();
    drive.LostPartitions.push_back(std::move(l));
  }

  static TDriveGeometry Geometry() {
    TDriveGeometry g;
    g.Heads = 255;
    g.SectorsPerTrack = 63;
    g.TotalSectors = 100000;
    g.BytesPerSector = 512;
    g.Cylinders = 6;
    return g;
  }

  TPartition* Add(TPartition* parent, uint64_t base, uint32_t rel, uint32_t size, uint8_t type, uint8_t kind) {
    auto r = std::make_unique<TPartition>();
    r->Parent = parent;
    r->BaseLBA = base;
    r->Entry.RelativeSector = rel;
    r->Entry.TotalSectors = size;
    r->Entry.SystemId = type;
    r->FsKind = kind;
    parent->Children.push_back(r.get());
    return drive.AdoptRecord(std::move(r));
  }

  TPhysicalDrv drive;
  TPartition *primary, *extended, *logical1, *link, *logical2, *gap, *lost;
};

TEST_F(RowsTest, RowsLeaveOutLinksAndGroupTheLostOnes) {
  auto rows = BuildPartitionRows(&drive, false);
  ASSERT_EQ(rows.size(), 9u);  // group, 5 existing, empty, group, 1 lost
  EXPECT_EQ(rows[0].Caption, "Partitions");
  EXPECT_EQ(rows[0].Kind, RowKind::Group);
  std::vector<TPartition*> records;
  for (int i = 1; i <= 5; ++i) records.push_back(rows[i].Record);
  EXPECT_EQ(records, (std::vector<TPartition*>{primary, extended, logical1, logical2, gap}));
  EXPECT_EQ(rows[6].Kind, RowKind::Empty);
  EXPECT_EQ(rows[7].Caption, "Lost Partitions");
  EXPECT_EQ(rows[8].Record, lost);
  EXPECT_EQ(FirstLostRow(drive), 8);
}

TEST_F(RowsTest, CellsReadAsTheListShowsThem) {
  auto rows = BuildPartitionRows(&drive, false);
  EXPECT_EQ(rows[1].Caption, "1 - [Active]");
  EXPECT_EQ(rows[1].VolumeLabel, "SYSTEM (sdb1)");
  EXPECT_EQ(rows[1].FileSystem, "FAT32");
  EXPECT_EQ(rows[1].Lba, "63");
  EXPECT_EQ(rows[1].Capacity, "9.77 MB");
  EXPECT_EQ(rows[1].Status, "Primary Partition");
  EXPECT_EQ(rows[2].FileSystem, "---");
  EXPECT_EQ(rows[2].Status, "Extended Partition");
  EXPECT_EQ(rows[3].Caption, "    3");
  EXPECT_EQ(rows[3].FileSystem, "FAT32 - [Hidden]");
  EXPECT_EQ(rows[3].Status, "Logical Drive");
  EXPECT_EQ(rows[3].Lba, "30063");
  EXPECT_EQ(rows[4].VolumeLabel, "--- ");
  EXPECT_EQ(rows[4].Status, "Logical Drive");
  EXPECT_EQ(rows[4].Lba, "50063");
  EXPECT_EQ(rows[5].Status, "Unallocated");
  EXPECT_EQ(rows[5].FileSystem, "Unknown");
  EXPECT_EQ(rows[8].Caption, "1");
  EXPECT_EQ(rows[8].Status, "Lost partition");
  EXPECT_EQ(rows[8].Lba, "81000");
}

TEST_F(RowsTest, ActiveMarkerOnlyOnPrimaries) {
  logical1->Entry.BootIndicator = 0x80;
  lost->Entry.BootIndicator = 0x80;
  auto rows = BuildPartitionRows(&drive, false);
  EXPECT_EQ(rows[3].Caption, "    3");
  EXPECT_EQ(rows[8].Caption, "1");
}

TEST_F(RowsTest, DebugCapacityIsTheLastSector) {
  auto rows = BuildPartitionRows(&drive, true);
  EXPECT_EQ(rows[1].Capacity, "20062");
  EXPECT_EQ(rows[3].SelfBaseLba, "30000");
  EXPECT_EQ(rows[3].PtParent.size(), 8u);
  EXPECT_NE(rows[3].PtSelf, rows[4].PtSelf);
}

TEST_F(RowsTest, SelectionGuard) {
  // k = PartitionCount + 1 (extended) = 5: rows 1..5 and 9.. selectable; 0, 6, 7 not.
  EXPECT_FALSE(RowSelectable(drive, 0));
  for (int i = 1; i <= 5; ++i) EXPECT_TRUE(RowSelectable(drive, i)) << i;
  EXPECT_FALSE(RowSelectable(drive, 6));
  EXPECT_FALSE(RowSelectable(drive, 7));
  EXPECT_TRUE(RowSelectable(drive, 8));
  drive.Scanning = true;
  EXPECT_FALSE(RowSelectable(drive, 1));
  EXPECT_FALSE(RowSelectable(drive, 8));
  drive.Scanning = false;
  drive.ExtendedBase = 0;  // without an extended partition the groups move up one row
  EXPECT_TRUE(RowSelectable(drive, 4));
  EXPECT_FALSE(RowSelectable(drive, 5));
  EXPECT_FALSE(RowSelectable(drive, 6));
  EXPECT_TRUE(RowSelectable(drive, 7));
  EXPECT_EQ(RowBackground(drive, 6), kGroupRowColour);
  EXPECT_EQ(RowBackground(drive, 5), kRowColour);
  EXPECT_EQ(RowBackground(drive, 0), kGroupRowColour);
}

TEST_F(RowsTest, NoDriveNoRows) { EXPECT_TRUE(BuildPartitionRows(nullptr, false).empty()); }

TEST_F(RowsTest, DrivePanelTexts) {
  EXPECT_EQ(DriveListLine(0, drive), "#0: 80H (0.05 G)");
  auto lines = DriveInfoLines(drive.Geometry);
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], "Heads\t\t:  255");
  EXPECT_EQ(lines[4], "Total Sectors\t:  100000");
  EXPECT_EQ(lines[5], "Capacity\t:  0.05 G");
  EXPECT_EQ(MapHeaderText(1, drive), " Physical Drive #1 - 48.83 MB");
  TDriveGeometry big;
  big.TotalSectors = 0xFFFFFFFF;
  EXPECT_EQ(DriveInfoLines(big)[4], "Total Sectors\t:  -1");  // shown as a signed 32-bit value
}

TEST_F(RowsTest, MapTexts) {
  EXPECT_EQ(MapFsLine(*logical1), "FAT32    4.88 MB");
  EXPECT_EQ(MapStatusLine(*logical1), "Logical Drive");
  EXPECT_EQ(MapStatusLine(*gap), "Unallocated");
  EXPECT_EQ(MapStatusLine(*primary), "Primary Partition");
}

TEST_F(RowsTest, MapRectanglesShareTheirBoundary) {
  // 100000 sectors on 1000 pixels: 100 sectors a pixel.
  TRect a = GetMapRect(drive, *logical1, 1000, 40);
  EXPECT_EQ(a.Left, 301);  // 30063 / 100 = 300.63
  EXPECT_EQ(a.Right, 401);
  EXPECT_EQ(a.Bottom, 40);
  TPartition half;
  half.Entry.RelativeSector = 250;  // 2.5 pixels: halves go to the even neighbour
  half.Entry.TotalSectors = 100;    // ends at 3.5
  TRect h = GetMapRect(drive, half, 1000, 40);
  EXPECT_EQ(h.Left, 2);
  EXPECT_EQ(h.Right, 4);
  TPartition left, right;
  left.Entry.TotalSectors = 5000;
  right.Entry.RelativeSector = 5000;
  right.Entry.TotalSectors = 5000;
  TRect l = GetMapRect(drive, left, 1000, 40), r = GetMapRect(drive, right, 1000, 40);
  EXPECT_EQ(l.Right, r.Left);
  EXPECT_TRUE(PointInMapRect(50, 20, l));
  EXPECT_TRUE(PointInMapRect(50, 20, r));
  EXPECT_FALSE(PointInMapRect(51, 20, l));
  EXPECT_FALSE(PointInMapRect(50, 41, r));
}

TEST_F(RowsTest, InsideMeansAnyAncestor) {
  EXPECT_TRUE(IsInside(*logical2, *extended));
  EXPECT_TRUE(IsInside(*logical2, *link));
  EXPECT_TRUE(IsInside(*logical1, *extended));
  EXPECT_FALSE(IsInside(*primary, *extended));
  EXPECT_FALSE(IsInside(*extended, *extended));
}

}  // namespace
}  // namespace qm
