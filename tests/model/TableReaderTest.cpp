// The partition table reader on images made by sfdisk and mkfs, some damaged on purpose, and on
// hand-made chains no tool writes. TreeText (support/Fixtures.h) shows the records it made.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "disk/SectorIO.h"
#include "model/TableReader.h"
#include "scan/ScanHelpers.h"
#include "support/Fixtures.h"
#include "support/ScriptedHost.h"
#include "support/Sources.h"

namespace qm::test {
namespace {

std::vector<uint8_t> EntryBytes(uint8_t type, uint32_t relative, uint32_t sectors) {
  std::vector<uint8_t> e(16, 0);
  e[4] = type;
  StoreLE<uint32_t>(e.data() + 8, relative);
  StoreLE<uint32_t>(e.data() + 12, sectors);
  return e;
}

uint64_t EntryOffset(uint64_t tableLba, int index) { return tableLba * 512 + 446 + 16 * static_cast<uint64_t>(index); }

// Three logical drives behind EBRs at 22528, 45056 and 77952 (sfdisk puts each EBR 2048
// sectors before its logical drive, and the last one right after the 10368-sector hole).
const char* kExtendedTable =
    "table 'label: dos\\nunit: sectors\\n2048,20480,c\\n22528,,5\\n24576,20480,6\\n47104,20480,7\\n80000,20480,83'";
const char* kExtendedTree =
    "2048+20480:0c? 22528+239616:05X[24576+20480:06F16 45056+22528:05X[47104+20480:07NT 77952+22528:05X[80000+20480:83L]] "
    "67584+10368:00- 100480+161664:00-]";

// Every test reads with a host that answers Abort and must stay silent unless it says so.
class TableReaderOnImages : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(host.messages.size(), expectedMessages); }
  DriveRegistryScope scope;
  ScriptedHost host;
  size_t expectedMessages = 0;
};

TEST_F(TableReaderOnImages, PrimariesOnly) {
  QM_IMAGE(img, "reader-primary.img", "64M",
           "table 'label: dos\\nunit: sectors\\n2048,40960,6,*\\n43008,40960,7' fs 1 fat16 SYSTEM fs 2 ntfs ARCHIVE");
  auto d = ReadDrive(scope.AttachImage(img));
  // The tail gap ends before the disk's last sector, and carries no boot sector.
  EXPECT_EQ(TreeText(d->Root), "2048+40960:06F16 43008+40960:07NT 83968+47103:00-");
  EXPECT_EQ(d->ExtendedBase, 0u);
  EXPECT_FALSE(d->IsGpt);
  const TPartition& p1 = *d->Root.Children[0];
  EXPECT_EQ(p1.Entry.BootIndicator, kActiveFlag);
  EXPECT_EQ(p1.BootSector[510], 0x55);
  EXPECT_EQ(d->Root.Children[1]->VolumeLabel, "ARCHIVE");
  EXPECT_EQ(d->Root.Children[2]->BootSector, TSector{});
  EXPECT_EQ(d->PartitionCount, 3u);
  ExpectTreeConsistent(*d);
}

TEST_F(TableReaderOnImages, ExtendedPartitionWithThreeLogicalDrives) {
  QM_IMAGE(img, "reader-ext.img", "128M", std::string(kExtendedTable) + " fs 5 fat16 DATA fs 6 ntfs NOTES");
  auto d = ReadDrive(scope.AttachImage(img));
  // No gap behind the extended partition: it runs to the end. Gaps inside it count from its
  // start; links from the extended start, logical drives from their own EBR.
  EXPECT_EQ(TreeText(d->Root), kExtendedTree);
  EXPECT_EQ(d->ExtendedBase, 22528u);
  TPartition& x = *d->Root.Children[1];
  TPartition& link1 = *x.Children[1];
  EXPECT_EQ(x.Children[0]->BaseLBA, 22528u);
  EXPECT_EQ(link1.BaseLBA, 22528u);
  EXPECT_TRUE(IsNestedExtended(*d, link1));
  EXPECT_FALSE(IsNestedExtended(*d, x));
  EXPECT_EQ(link1.Children[0]->BaseLBA, 45056u);
  EXPECT_EQ(link1.Children[0]->VolumeLabel, "NOTES");
  EXPECT_EQ(x.Children[3]->BaseLBA, 22528u);
  EXPECT_EQ(d->PartitionCount, 6u);  // P1, three logical drives, two gaps; no links
  ExpectTreeConsistent(*d);
}

// Free space is listed when longer than 2048 sectors, before the disk's last sector and
// before the end of the extended partition.
TEST_F(TableReaderOnImages, GapsAreListedWhenLongerThan2048Sectors) {
  const std::string three = "table 'label: dos\\nunit: sectors\\n2048,10000,83\\n14096,10000,83\\n26145,10000,83'";
  const struct {
    const char *size, *steps, *tree;
  } cases[] = {
      {"8M", "", "63+16320:00-"},
      {"2111s", "", ""},  // (TotalSectors - 1) - 63 = 2047
      {"2112s", "", ""},  // 2048
      // P1 ends at 12048; 2048 free before P2; 2049 before P3, which ends at 36145.
      {"38194s", three.c_str(), "2048+10000:83L 14096+10000:83L 26145+10000:83L 24096+2049:00-"},
      {"38195s", three.c_str(), "2048+10000:83L 14096+10000:83L 26145+10000:83L 24096+2049:00- 36145+2049:00-"},
      // The logical drive ends 2048, then 2049 sectors before its extended partition does.
      {"8M", "table 'label: dos\\nunit: sectors\\n2048,14096,5\\n4096,10000,83'", "2048+14096:05X[4096+10000:83L]"},
      {"8M", "table 'label: dos\\nunit: sectors\\n2048,14097,5\\n4096,10000,83'",
       "2048+14097:05X[4096+10000:83L 14096+2049:00-]"},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.size) + " " + c.steps);
    QM_IMAGE(img, "reader-gap-" + std::to_string(++n) + ".img", c.size, c.steps);
    auto d = ReadDrive(scope.AttachImage(img));
    EXPECT_EQ(TreeText(d->Root), c.tree);
    ExpectTreeConsistent(*d);
  }
}

TEST_F(TableReaderOnImages, CyclicChainEndsAndKeepsWhatWasRead) {
  QM_IMAGE(img, "reader-cycle.img", "128M", kExtendedTable);
  // EBR 2's link now points back to EBR 1 (relative 0 from the extended start): L1 and L2
  // stay, L3 is no longer reachable.
  WriteFileBytes(img, EntryOffset(45056, 1), EntryBytes(0x05, 0, 40000));
  auto d = ReadDrive(scope.AttachImage(img));
  EXPECT_EQ(TreeText(d->Root), "2048+20480:0c? 22528+239616:05X[24576+20480:06? 45056+22528:05X[47104+20480:07? "
                               "22528+40000:05X] 67584+194560:00-]");
  ExpectTreeConsistent(*d);

  // A link to its own table.
  WriteFileBytes(img, EntryOffset(22528, 1), EntryBytes(0x0F, 0, 40000));
  auto self = ReadDrive(scope.AttachImage(img));
  EXPECT_EQ(TreeText(*self->Root.Children[1]), "22528+40000:0fX 24576+20480:06? 45056+217088:00-");
  ExpectTreeConsistent(*self);
}

TEST_F(TableReaderOnImages, GptDiskIsListedWithItsProtectiveEntry) {
  QM_IMAGE(img, "reader-gpt.img", "32M", "table-gpt 'label: gpt\\n2048,20480,L'");
  auto d = ReadDrive(scope.AttachImage(img));
  EXPECT_TRUE(d->IsGpt);
  EXPECT_EQ(TreeText(d->Root), "1+65535:ee?");
  EXPECT_EQ(d->PartitionCount, 1u);
}

TEST_F(TableReaderOnImages, BootSectorWinsOverTypeCode) {
  // A 0x85 entry whose first sector looks like a table with one entry: never followed.
  QM_IMAGE(img, "reader-types.img", "64M",
           "table 'label: dos\\nunit: sectors\\n2048,20480,83\\n22528,10240,83\\n32768,10240,82\\n43008,20480,85' "
           "fs 1 ntfs LINUXNTFS bytes " + std::to_string(EntryOffset(43008, 0)) +
               " '00 00 00 00 83 00 00 00 00 08 00 00 00 10 00 00' bytes " + std::to_string(43008 * 512 + 510) + " 55aa");
  auto d = ReadDrive(scope.AttachImage(img));
  EXPECT_EQ(TreeText(d->Root), "2048+20480:83NT 22528+10240:83L 32768+10240:82SW 43008+20480:85? 63488+67583:00-");
  EXPECT_EQ(d->Root.Children[0]->VolumeLabel, "LINUXNTFS");
  EXPECT_EQ(d->ExtendedBase, 0u);
  EXPECT_EQ(d->AllPartitions.size(), 6u);
}

TEST_F(TableReaderOnImages, RereadTablesFollowsTheDisk) {
  QM_IMAGE(img, "reader-reread.img", "128M", kExtendedTable);
  auto d = ReadDrive(scope.AttachImage(img));
  auto lost = std::make_unique<TPartition>();
  lost->Entry.RelativeSector = 5000;
  d->LostPartitions.push_back(std::move(lost));
  TPartition* oldRoot = &d->Root;

  // Change P1's type, and drop the extended partition and everything in it.
  WriteFileBytes(img, EntryOffset(0, 0) + 4, {0x83});
  WriteFileBytes(img, EntryOffset(0, 1), std::vector<uint8_t>(16, 0));
  for (int twice = 0; twice < 2; ++twice) {  // reading the same tables again gives the same tree
    RereadTables(*d);
    EXPECT_EQ(&d->Root, oldRoot);
    ASSERT_EQ(d->LostPartitions.size(), 1u);
    EXPECT_EQ(d->LostPartitions[0]->AbsoluteStart(), 5000u);
    EXPECT_EQ(d->ExtendedBase, 0u);
    EXPECT_EQ(TreeText(d->Root), "2048+20480:83L 22528+239615:00-");
    ExpectTreeConsistent(*d);
  }
}

TEST_F(TableReaderOnImages, EmptyAndTruncatedImages) {
  const std::string empty = FreshPath("reader-empty.img");
  { std::ofstream touch(empty, std::ios::binary); }
  auto d0 = ReadDrive(scope.AttachImage(empty));
  EXPECT_EQ(d0->AllPartitions.size(), 1u);
  EXPECT_EQ(d0->PartitionCount, 0u);

  // The MBR alone: one sector holds no table that may be read (it would be the last).
  QM_IMAGE(img, "reader-cut.img", "64M",
           "table 'label: dos\\nunit: sectors\\n2048,40960,c\\n43008,40960,7' fs 1 fat16 CUT");
  const std::string one = CopyImage(img, "reader-one.img");
  std::filesystem::resize_file(one, 512);
  EXPECT_EQ(ReadDrive(scope.AttachImage(one))->AllPartitions.size(), 1u);

  // Cut inside P1: P1 is still read, P2 lies beyond the end and is not.
  std::filesystem::resize_file(img, 30000 * 512);
  auto d = ReadDrive(scope.AttachImage(img));
  EXPECT_EQ(TreeText(d->Root), "2048+40960:0cF16 43008+40960:07?");
  EXPECT_EQ(d->Root.Children[1]->BootSector, TSector{});
}

TEST_F(TableReaderOnImages, EntriesBeyondTheDiskAreNeverRead) {
  QM_IMAGE(img, "reader-beyond.img", "128M", std::string(kExtendedTable) + " fs 1 fat16 BOOT");
  // A primary whose start + size wraps 32 bits, and a logical drive whose start is only
  // found in 64 bits: its low 32 bits would land on P1's FAT boot sector.
  WriteFileBytes(img, EntryOffset(0, 2), EntryBytes(0x07, 0xFFFFFF00u, 0x200));
  const uint32_t wrapped = static_cast<uint32_t>((uint64_t{1} << 32) + 2048 - 77952);
  WriteFileBytes(img, EntryOffset(77952, 0), EntryBytes(0x83, wrapped, 2048));
  auto d = ReadDrive(scope.AttachImage(img));
  // No gap reaches past the disk.
  EXPECT_EQ(TreeText(d->Root), "2048+20480:0cF16 22528+239616:05X[24576+20480:06? 45056+22528:05X[47104+20480:07? "
                               "77952+22528:05X[4294969344+2048:83L]] 67584+10368:00- 78015+184129:00-] "
                               "4294967040+512:07?");
  EXPECT_EQ(d->Root.Children[2]->AbsoluteEnd(), 0x100000100u);
  EXPECT_EQ(d->Root.Children[1]->Children[1]->Children[1]->Children[0]->BootSector, TSector{});
}

TEST_F(TableReaderOnImages, OverlappingEntriesLeaveNoGapOverAPartition) {
  QM_IMAGE(img, "reader-overlap.img", "64M", "table 'label: dos\\nunit: sectors\\n2048,40960,83'");
  // A second entry that lies inside the first, as a damaged table may hold.
  WriteFileBytes(img, EntryOffset(0, 1), EntryBytes(0x83, 4096, 1000));
  auto d = ReadDrive(scope.AttachImage(img));
  EXPECT_EQ(TreeText(d->Root), "2048+40960:83L 4096+1000:83L 43008+88063:00-");
}

TEST_F(TableReaderOnImages, UnreadableTableEndsItsBranch) {
  QM_IMAGE(img, "reader-fault.img", "128M", kExtendedTable);
  auto faulty = std::make_unique<FaultSource>(std::make_unique<FileSource>(img));
  faulty->state->readFaults[uint64_t{77952} * 512] = Fault{FaultKind::Error, EIO, -1};
  auto d = ReadDrive(scope.Attach(std::move(faulty)));
  expectedMessages = 1;
  EXPECT_EQ(host.Captions(), std::vector<std::string>{"Read Error"});
  EXPECT_EQ(TreeText(*d->Root.Children[1]),
            "24576+20480:06? 45056+22528:05X[47104+20480:07? 77952+22528:05X] 67584+10368:00- 78015+184129:00-");
  ExpectTreeConsistent(*d);
}

// A disk formatted without a table is one volume, as long as its boot sector says, but never
// longer than the disk nor empty.
TEST(TableReader, AWholeDiskVolumeIsCutToTheDisk) {
  const struct {
    uint64_t claimed;
    const char* tree;
  } cases[] = {{1000, "0+1000:06F16 1000+3095:00-"}, {0, "0+4096:06F16"}, {70000, "0+4096:06F16"}};
  for (const auto& c : cases) {
    DriveRegistryScope scope;
    ScriptedHost host;
    auto mem = std::make_unique<MemorySource>(size_t{4096} * 512);
    PutBootSector(*mem->data, 0, fkFat16, c.claimed, 0x1234);
    auto d = ReadDrive(scope.Attach(std::move(mem)));
    EXPECT_TRUE(d->WholeDiskVolume);
    EXPECT_EQ(TreeText(d->Root), c.tree) << c.claimed;
  }
}

TEST(TableReader, EndlessChainStopsAtTheTableLimit) {
  DriveRegistryScope scope;
  ScriptedHost host;
  // No tool writes this: 1000 EBRs one sector apart, each with a one-sector logical drive
  // and a link to the next.
  auto mem = std::make_unique<MemorySource>(size_t{4096} * 512);
  std::vector<uint8_t>& disk = *mem->data;
  const uint32_t xs = 100;
  auto put = [&](uint32_t lba, int index, uint8_t type, uint32_t rel, uint32_t size) {
    auto e = EntryBytes(type, rel, size);
    std::copy(e.begin(), e.end(), disk.begin() + static_cast<ptrdiff_t>(EntryOffset(lba, index)));
    disk[lba * 512 + 510] = 0x55;
    disk[lba * 512 + 511] = 0xAA;
  };
  put(0, 0, 0x05, xs, 3000);
  for (uint32_t i = 0; i < 1000; ++i) {
    put(xs + 2 * i, 0, 0x83, 1, 1);
    put(xs + 2 * i, 1, 0x05, 2 * (i + 1), 2);
  }
  auto d = ReadDrive(scope.Attach(std::move(mem)));
  const auto logicals = std::count_if(d->AllPartitions.begin(), d->AllPartitions.end(),
                                      [](const TPartition* r) { return r->Entry.SystemId == 0x83; });
  EXPECT_EQ(logicals, kMaxTablesPerWalk - 1);  // the MBR is one of the tables
  ExpectTreeConsistent(*d);
}

}  // namespace
}  // namespace qm::test
