#include <gtest/gtest.h>

#include "model/PhysicalDrv.h"

namespace qm {
namespace {

TEST(DriveModel, RecordsMirrorTheDiskLayout) {
  TSector s{};
  s[0x1BE + 0] = 0x80;
  s[0x1BE + 4] = 0x0C;
  StoreLE<uint32_t>(&s[0x1BE + 8], 2048);
  StoreLE<uint32_t>(&s[0x1BE + 12], 409600);
  TPartitionEntry e = DecodeEntry(s, 0);
  EXPECT_EQ(e.BootIndicator, 0x80);
  EXPECT_EQ(e.SystemId, 0x0C);
  EXPECT_EQ(e.RelativeSector, 2048u);
  EXPECT_EQ(e.TotalSectors, 409600u);
  TSector t{};
  EncodeEntry(t, 0, e);
  EXPECT_TRUE(std::equal(s.begin() + 0x1BE, s.begin() + 0x1CE, t.begin() + 0x1BE));
}

TEST(DriveModel, NewDriveHoldsOnlyItsRoot) {
  TDriveGeometry g;
  g.TotalSectors = 1000000;
  TPhysicalDrv d(0x80, g);
  ASSERT_EQ(d.AllPartitions.size(), 1u);
  EXPECT_EQ(d.AllPartitions[0], &d.Root);
  EXPECT_EQ(d.Root.Entry.SystemId, 0x05);
  EXPECT_EQ(d.Root.Entry.TotalSectors, 1000000u);
  EXPECT_EQ(d.ExtendedBase, 0u);
}

TEST(DriveModel, NestedExtendedIsALinkBelowTheExtendedPartition) {
  TPhysicalDrv d(0x80, TDriveGeometry{});
  auto add = [&d](TPartition* parent, uint8_t type) {
    auto r = std::make_unique<TPartition>();
    r->Entry.SystemId = type;
    r->Parent = parent;
    return d.AdoptRecord(std::move(r));
  };
  TPartition* x = add(&d.Root, 0x0F);
  TPartition* link = add(x, 0x05);
  TPartition* logical = add(x, 0x07);
  EXPECT_FALSE(IsNestedExtended(d, d.Root));
  EXPECT_FALSE(IsNestedExtended(d, *x));
  EXPECT_TRUE(IsNestedExtended(d, *link));
  EXPECT_FALSE(IsNestedExtended(d, *logical));
  d.FreeTableRecords();
  EXPECT_EQ(d.AllPartitions.size(), 1u);
}

TEST(DriveModel, SortIsByAbsoluteStartIn64Bits) {
  TPartition a, b, c;
  a.BaseLBA = 0x100000000ull;  // beyond 32 bits
  a.Entry.RelativeSector = 1;
  b.Entry.RelativeSector = 0xFFFFFFFF;
  c.BaseLBA = 10;
  c.Entry.RelativeSector = 5;
  std::vector<TPartition*> list{&a, &b, &c};
  SortByStart(list);
  EXPECT_EQ(list, (std::vector<TPartition*>{&c, &b, &a}));
  EXPECT_LT(ComparePartitionStart(&b, &a), 0);
  EXPECT_EQ(ComparePartitionStart(&a, &a), 0);
  EXPECT_GT(ComparePartitionStart(&a, &c), 0);
}

TEST(DriveModel, KindNamesAsTheListShowsThem) {
  EXPECT_STREQ(FsKindName(fkFat32), "FAT32");
  EXPECT_STREQ(FsKindName(fkLinuxExt2), "Linux Ext2");
  EXPECT_STREQ(FsKindName(fkExtended), "---");
  EXPECT_STREQ(FsKindName(fkUnallocated), "Unknown");
  EXPECT_STREQ(FsKindName(fkOther), "Unknown");
}

}  // namespace
}  // namespace qm
