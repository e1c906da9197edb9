// The texts and rules of the partition list and disk maps on a drive built by hand. The order
// of records by their 64-bit starts: TableReaderOnImages (ExpectTreeConsistent).
#include <gtest/gtest.h>

#include "model/DevelopmentInfo.h"
#include "model/PartitionRows.h"

namespace qm {
namespace {

// Root -> primary (active FAT32), extended -> {logical, link -> {logical}}, gap; one lost.
class RowsTest : public ::testing::Test {
 protected:
  // 255 heads, 63 sectors a track, 6 cylinders, 100000 sectors.
  RowsTest() : drive(0x80, TDriveGeometry{0, 6, 255, 63, 512, 100000}) {
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
    lost = drive.LostPartitions.emplace_back(std::make_unique<TPartition>()).get();
    lost->Entry.SystemId = 0x06, lost->Entry.RelativeSector = 81000, lost->Entry.TotalSectors = 4096, lost->FsKind = fkFat16;
    lost->VolumeLabel = "LOST";
  }

  TPartition* Add(TPartition* parent, uint64_t base, uint32_t rel, uint32_t size, uint8_t type, uint8_t kind) {
    auto r = std::make_unique<TPartition>();
    r->Parent = parent, r->BaseLBA = base, r->FsKind = kind;
    r->Entry.RelativeSector = rel, r->Entry.TotalSectors = size, r->Entry.SystemId = type;
    parent->Children.push_back(r.get());
    return drive.AdoptRecord(std::move(r));
  }

  TPhysicalDrv drive;
  TPartition *primary, *extended, *logical1, *link, *logical2, *gap, *lost;
};

// Which of rows 0..9 may be chosen ('1'), then the rows of the list, 'g' for a group row.
std::string Selectable(const TPhysicalDrv& drive) {
  std::string out;
  for (int row = 0; row < 10; ++row) out += RowSelectable(drive, row) ? '1' : '0';
  out += ' ';
  for (const TPartitionRow& row : BuildPartitionRows(&drive, false)) out += row.Kind == RowKind::Group ? 'g' : '.';
  return out;
}

TEST_F(RowsTest, SelectionGuardAndWhatIsInside) {
  // k = PartitionCount + 1 (extended) = 5: rows 1..5 and 8.. selectable; 0, 6, 7 not.
  EXPECT_EQ(Selectable(drive), "0111110011 g......g.");
  drive.Scanning = true;
  EXPECT_EQ(Selectable(drive).substr(0, 10), "0000000000");
  drive.Scanning = false;
  drive.ExtendedBase = 0;  // without an extended partition the groups move up one row
  EXPECT_EQ(Selectable(drive).substr(0, 10), "0111100111");
  // Inside means below any ancestor.
  EXPECT_TRUE(IsInside(*logical2, *extended) && IsInside(*logical2, *link) && IsInside(*logical1, *extended));
  EXPECT_FALSE(IsInside(*primary, *extended) || IsInside(*extended, *extended) || IsInside(*logical1, *link));
}

// Beyond 2^31 sectors a signed count turns negative; beyond 2^32 the geometry's count stops at
// 4294967295, and the disk's own count is shown.
TEST(DriveInfo, CountsAreUnsignedAndWhole) {
  const TDriveGeometry big{.TotalSectors = 0xFFFFFFFF};
  EXPECT_EQ(DriveInfoLines(big)[4], "Total Sectors\t:  4294967295");
  TPhysicalDrv huge(0x81, big);
  huge.DiskSectors = 6442450944;  // 3 TiB
  EXPECT_EQ(DriveListLine(1, huge), "#1: 81H (3072.00 G)");
  EXPECT_EQ(DriveInfoLines(huge)[4], "Total Sectors\t:  6442450944");
}

// The map boxes' tooltips, and the development box's read-outs: CHS of a typed sector, of each
// partition's first and last sector (the primary: 63 is cylinder 0 head 1 sector 1, 20062 is
// cylinder 1 head 63 sector 29), and the ranges of the records beside one.
TEST_F(RowsTest, MapTipsAndDevelopmentBoxTexts) {
  EXPECT_EQ(MapBoxTip(drive, *primary, false), "SYSTEM (sdb1)\nFAT32\n9.77 MB\nPrimary Partition\nLBA 63 - 20062");
  EXPECT_EQ(MapBoxTip(drive, *logical1, false), "--- \nFAT32 - [Hidden]\n4.88 MB\nLogical Drive\nLBA 30063 - 40062");
  EXPECT_EQ(MapBoxTip(drive, *lost, true), "LOST\nFAT16\n2.00 MB\nLost partition\nLBA 81000 - 85095");
  // A GPT partition adds its entry: slot, type, name (printable) and GUID.
  TPartition gpt = *primary;
  gpt.Gpt = TGptEntry{.Index = 3, .Type = *ParseGuid("C12A7328-F81F-11D2-BA4B-00A0C93EC93B"),
                      .Unique = *ParseGuid("01234567-89AB-CDEF-0123-456789ABCDEF"), .Name = "boot\x1b"};
  EXPECT_EQ(MapBoxTip(drive, gpt, false), "SYSTEM (sdb1)\nFAT32\n9.77 MB\nGPT Partition\nLBA 63 - 20062\nGPT entry 3: EFI System\n"
                                   "Name: boot?\nGUID: 01234567-89AB-CDEF-0123-456789ABCDEF");

  std::string line;
  ASSERT_TRUE(Lba2ChsLine(drive.Geometry, " 16450560 ", line));
  EXPECT_EQ(line, "c=$400 h=$0 s=$1 sectcylin=$ffc1");  // the first sector CHS cannot address
  EXPECT_FALSE(Lba2ChsLine(drive.Geometry, "12a", line));
  const std::vector<std::string> lines = AllPartitionsLines(drive);
  ASSERT_EQ(lines.size(), 5u * 6);  // no lines for the gap
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.begin() + 6),
            (std::vector<std::string>{"read: 0-0; calc: 1-1", "c: 0, h: 1, s: 1", "read: 0-0; calc: 3f-11d",
                                      "c: 1, h: 63, s: 29", ""}));
  const std::vector<std::string> siblings = SiblingLines(*primary);
  ASSERT_EQ(siblings.size(), 6u);
  EXPECT_EQ((std::vector<std::string>{siblings[1], siblings[3], siblings[5]}),
            (std::vector<std::string>{"63 - 20062", "30000 - 79999", "80000 - 98999"}));
}

}  // namespace
}  // namespace qm
