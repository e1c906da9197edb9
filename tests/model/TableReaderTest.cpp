// The partition table reader on images made by sfdisk and mkfs, some damaged on purpose, and on
// hand-made chains no tool writes. TreeText (support/Fixtures.h) shows the records it made.
#include <gtest/gtest.h>

#include <filesystem>

#include "disk/Disk.h"
#include "model/TableReader.h"
#include "scan/ScanHelpers.h"
#include "support/Fixtures.h"
#include "support/ScriptedHost.h"
#include "support/Sources.h"

namespace qm::test {
namespace {

// Three logical drives behind EBRs at 22528, 45056 and 77952 (sfdisk puts each EBR 2048
// sectors before its logical drive, and the last one right after the 10368-sector hole).
const char* kExtendedTable =
    "table 'label: dos\\nunit: sectors\\n2048,20480,c\\n22528,,5\\n24576,20480,6\\n47104,20480,7\\n80000,20480,83'";

// Every test reads with a host that answers Abort and must stay silent unless it says so.
class TableReaderOnImages : public ::testing::Test {
 protected:
  std::unique_ptr<TPhysicalDrv> Read(const std::string& image) {
    auto d = ReadImage(image);
    ExpectTreeConsistent(*d);
    return d;
  }
  void TearDown() override { EXPECT_EQ(host.messages.size(), expectedMessages); }
  ScriptedHost host;
  size_t expectedMessages = 0;
};

// Free space is listed when longer than 2048 sectors, before the disk's last sector and
// before the end of the extended partition.
TEST_F(TableReaderOnImages, GapsAreListedWhenLongerThan2048Sectors) {
  const std::string three = "table 'label: dos\\nunit: sectors\\n2048,10000,83\\n14096,10000,83\\n26145,10000,83'";
  const struct { const char *size, *steps, *tree; } cases[] = {
      {"8M", "", "63+16320:00-"},
      {"2112s", "", ""},  // (TotalSectors - 1) - 63 = 2048
      // P1 ends at 12048; 2048 free before P2; 2049 before P3, which ends at 36145.
      {"38194s", three.c_str(), "2048+10000:83L 14096+10000:83L 26145+10000:83L 24096+2049:00-"},
      {"38195s", three.c_str(), "2048+10000:83L 14096+10000:83L 26145+10000:83L 24096+2049:00- 36145+2049:00-"},
      // The logical drive ends 2048, then 2049 sectors before its extended partition does.
      {"8M", "table 'label: dos\\nunit: sectors\\n2048,14096,5\\n4096,10000,83'", "2048+14096:05X[4096+10000:83L]"},
      {"8M", "table 'label: dos\\nunit: sectors\\n2048,14097,5\\n4096,10000,83'",
       "2048+14097:05X[4096+10000:83L 14096+2049:00-]"},
      {"32M", "table-gpt 'label: gpt\\n2048,20480,L'", "2048+20480:83L 22528+42975:00-"},
  };
  int n = 0;
  for (const auto& c : cases) {
    QM_IMAGE(img, "reader-gap-" + std::to_string(++n) + ".img", c.size, c.steps);
    EXPECT_EQ(TreeText(Read(img)->Root), c.tree) << c.size << " " << c.steps;
  }
}

// The chain of logical drives as sfdisk writes it: gaps inside the extended partition count
// from its start, links from the extended start, logical drives from their own EBR; no gap
// behind the extended partition, which runs to the disk's end. Then damage no tool writes,
// made with `bytes` (entries) or written afterwards: what the reader keeps of each.
TEST_F(TableReaderOnImages, DamagedTablesKeepWhatCanBeRead) {
  QM_IMAGE(img, "reader-damaged.img", "128M", std::string(kExtendedTable) + " fs 1 fat16 BOOT");
  auto intact = Read(img);
  EXPECT_EQ(TreeText(intact->Root), "2048+20480:0cF16 22528+239616:05X[24576+20480:06? 45056+22528:05X[47104+20480:07? "
                                    "77952+22528:05X[80000+20480:83L]] 67584+10368:00- 100480+161664:00-]");
  EXPECT_EQ(intact->ExtendedBase, 22528u);
  TPartition& link1 = *intact->Root.Children[1]->Children[1];
  EXPECT_TRUE(IsNestedExtended(*intact, link1) && !IsNestedExtended(*intact, *intact->Root.Children[1]));
  const uint32_t wrapped = static_cast<uint32_t>((uint64_t{1} << 32) + 2048 - 77952);
  // Each entry as table, slot, type, relative start, size.
  const struct { const char* what; std::vector<std::array<uint32_t, 5>> entries; std::string tree; } cases[] = {
      // EBR 2's link points back to EBR 1: L1 and L2 stay, L3 is no longer reachable.
      {"a cycle", {{45056, 1, 0x05, 0, 40000}},
       "2048+20480:0cF16 22528+239616:05X[24576+20480:06? 45056+22528:05X[47104+20480:07? 22528+40000:05X] "
       "67584+194560:00-]"},
      {"a link to its own table", {{22528, 1, 0x0F, 0, 40000}},
       "2048+20480:0cF16 22528+239616:05X[22528+40000:0fX 24576+20480:06? 45056+217088:00-]"},
      // A primary whose start + size wraps 32 bits, and a logical drive whose start is only
      // found in 64 bits: its low 32 bits would land on P1's FAT boot sector. No gap reaches
      // past the disk.
      {"entries beyond the disk",
       {{0, 2, 0x07, 0xFFFFFF00u, 0x200}, {77952, 0, 0x83, wrapped, 2048}},
       "2048+20480:0cF16 22528+239616:05X[24576+20480:06? 45056+22528:05X[47104+20480:07? 77952+22528:05X["
       "4294969344+2048:83L]] 67584+10368:00- 78015+184129:00-] 4294967040+512:07?"},
      // A 0x85 entry whose first sector looks like a table with one entry: never followed.
      {"a boot sector wins over the type code",
       {{0, 1, 0x85, 22528, 40000}, {22528, 0, 0x83, 2048, 4096}},
       "2048+20480:0cF16 22528+40000:85? 62528+199615:00-"},
      {"an entry inside another", {{0, 1, 0x83, 4096, 1000}},
       "2048+20480:0cF16 4096+1000:83L 22528+239615:00-"},
  };
  for (const auto& c : cases) {
    const std::string copy = CopyImage(img, "reader-damaged-copy.img");
    for (const auto& [lba, slot, type, relative, size] : c.entries) PutEntry(copy, lba, int(slot), uint8_t(type), relative, size);
    auto d = Read(copy);
    EXPECT_EQ(TreeText(d->Root), c.tree) << c.what;
    for (const TPartition* r : d->AllPartitions)
      if (r->AbsoluteStart() >= d->Geometry.TotalSectors) {
        EXPECT_EQ(r->BootSector, TSector{}) << c.what;
      }
  }
}

TEST_F(TableReaderOnImages, RereadTablesFollowsTheDisk) {
  QM_IMAGE(img, "reader-reread.img", "128M", kExtendedTable);
  auto d = ReadImage(img);
  d->LostPartitions.push_back(std::make_unique<TPartition>());
  TPartition* oldRoot = &d->Root;
  // Change P1's type, and drop the extended partition and everything in it.
  WriteFileBytes(img, 446 + 4, {0x83});
  WriteFileBytes(img, 446 + 16, std::vector<uint8_t>(16, 0));
  for (int twice = 0; twice < 2; ++twice) {  // reading the same tables again gives the same tree
    RereadTables(*d);
    EXPECT_EQ(&d->Root, oldRoot);
    ASSERT_EQ(d->LostPartitions.size(), 1u);
    EXPECT_EQ(d->ExtendedBase, 0u);
    EXPECT_EQ(TreeText(d->Root), "2048+20480:83L 22528+239615:00-");
    ExpectTreeConsistent(*d);
  }
}

TEST_F(TableReaderOnImages, EmptyTruncatedAndUnreadableImages) {
  QM_IMAGE(img, "reader-cut.img", "64M", "table 'label: dos\\nunit: sectors\\n2048,40960,c\\n43008,40960,7' fs 1 fat16 CUT");
  // Empty, or the MBR alone: one sector holds no table that may be read (it would be the last).
  for (const uintmax_t bytes : {0, 512}) {
    const std::string cut = CopyImage(img, "reader-cut-" + std::to_string(bytes) + ".img");
    std::filesystem::resize_file(cut, bytes);
    EXPECT_EQ(Read(cut)->AllPartitions.size(), 1u) << bytes;
  }
  // Cut inside P1: P1 is still read, P2 lies beyond the end and is not.
  std::filesystem::resize_file(img, 30000 * 512);
  auto d = Read(img);
  EXPECT_EQ(TreeText(d->Root), "2048+40960:0cF16 43008+40960:07?");
  EXPECT_EQ(d->Root.Children[1]->BootSector, TSector{});

  QM_IMAGE(ext, "reader-fault.img", "128M", kExtendedTable);
  auto faulty = std::make_unique<FaultSource>(std::make_unique<FileSource>(ext));
  faulty->state->readFaults[uint64_t{77952} * 512] = Fault{FaultKind::Error, EIO, -1};
  d = ReadDrive(std::move(faulty));
  expectedMessages = 1;
  EXPECT_EQ(d->WalkStopped, "the extended boot record at sector 77952 cannot be read: " + SystemErrorText(EIO));
  EXPECT_EQ(std::make_pair(d->WalkStoppedErrno, d->WalkStoppedSector), std::make_pair(EIO, std::optional<Lba>(77952)));
  EXPECT_EQ(TreeText(*d->Root.Children[1]),
            "24576+20480:06? 45056+22528:05X[47104+20480:07? 77952+22528:05X] 67584+10368:00- 78015+184129:00-");
  ExpectTreeConsistent(*d);
}

// No tool writes these. A disk formatted without a table is one volume, as long as its boot
// sector says, but never longer than the disk nor empty. 1000 EBRs two sectors apart, each
// with a one-sector logical drive and a link to the next: the walk stops at its table limit.
TEST(TableReader, AWholeDiskVolumeIsCutToTheDiskAndAnEndlessChainStops) {
  for (const auto& [claimed, tree] : std::vector<std::pair<uint64_t, const char*>>{
           {1000, "0+1000:06F16 1000+3095:00-"}, {0, "0+4096:06F16"}, {70000, "0+4096:06F16"}}) {
    ScriptedHost host;
    auto mem = std::make_unique<MemorySource>(size_t{4096} * 512);
    PutBootSector(*mem->data, 0, fkFat16, claimed, 0x1234);
    auto d = ReadDrive(std::move(mem));
    EXPECT_TRUE(d->WholeDiskVolume);
    EXPECT_EQ(TreeText(d->Root), tree) << claimed;
  }
  ScriptedHost host;
  auto mem = std::make_unique<MemorySource>(size_t{4096} * 512);
  std::vector<uint8_t>& disk = *mem->data;
  PutEntry(disk, 0, 0, 0x05, 100, 3000);
  for (uint32_t i = 0; i < 1000; ++i) {
    PutEntry(disk, 100 + 2 * i, 0, 0x83, 1, 1);
    PutEntry(disk, 100 + 2 * i, 1, 0x05, 2 * (i + 1), 2);
  }
  auto d = ReadDrive(std::move(mem));
  const auto logicals = std::count_if(d->AllPartitions.begin(), d->AllPartitions.end(),
                                      [](const TPartition* r) { return r->Entry.SystemId == 0x83; });
  EXPECT_EQ(logicals, kMaxTablesPerWalk - 1);  // the MBR is one of the tables
  ExpectTreeConsistent(*d);
}

}  // namespace
}  // namespace qm::test
