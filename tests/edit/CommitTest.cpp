#include <gtest/gtest.h>

#include <functional>

#include "edit/Commit.h"
#include "edit/HandDisk.h"
#include "support/ScriptedHost.h"

namespace qm::test {
namespace {

TEST(WritePartitionTable, PacksUsedEntriesAndKeepsTheRestOfTheSector) {
  ScriptedHost host;
  HandDisk disk;
  TPartition& root = disk.drive->Root;
  disk.Gap(root, 63, 1985);
  TPartition* a = disk.Add(root, 0x0C, 2048, 20480);
  disk.Gap(root, 22528, 40000);
  TPartition* b = disk.Add(root, 0x07, 90000, 20000);
  // On disk the two entries stand in slots 3 and 1, and slot 2 holds stale bytes.
  auto s = disk.SectorSpan(0);
  std::fill(s.begin() + 0x1BE, s.begin() + 0x1FE, uint8_t{0});
  EncodeEntry(s, 3, a->Entry);
  EncodeEntry(s, 1, b->Entry);
  s[0x1DE + 4] = 0x83;
  const std::vector<uint8_t> bootCode(s.begin(), s.begin() + 446);
  s[510] = 0x12;  // a damaged signature is mended

  ASSERT_TRUE(WritePartitionTable(*disk.drive, root));
  EXPECT_EQ(disk.EntryAt(0, 0).RelativeSector, 2048u);
  EXPECT_EQ(disk.EntryAt(0, 0).SystemId, 0x0C);
  EXPECT_EQ(disk.EntryAt(0, 1).RelativeSector, 90000u);
  EXPECT_EQ(disk.EntryAt(0, 1).TotalSectors, 20000u);
  for (size_t i = 0x1DE; i < 0x1FE; ++i) EXPECT_EQ(s[i], 0) << "offset " << i;
  EXPECT_TRUE(disk.Signed(0));
  EXPECT_EQ(std::vector<uint8_t>(s.begin(), s.begin() + 446), bootCode);
  EXPECT_TRUE(host.messages.empty());
}

TEST(WritePartitionTable, RefusesDrivesAndTablesItMustNotWrite) {
  HandDisk disk;
  TPartition& root = disk.drive->Root;
  disk.Add(root, 0x0C, 2048, 20480);
  TPartition* x = disk.Add(root, 0x05, 40960, 81920);
  TPartition* link = disk.Add(*x, 0x05, 61440, 100);
  const std::vector<uint8_t> before = *disk.data;
  // A GPT disk, 4096-byte sectors, a damaged link past the end of the disk, five used entries.
  const struct {
    std::function<void()> damage, mend;
    TPartition& table;
    const char* says;
  } cases[] = {
      {[&] { disk.drive->IsGpt = true; }, [&] { disk.drive->IsGpt = false; }, root, "GUID partition table"},
      {[&] { disk.drive->Geometry.BytesPerSector = 4096; }, [&] { disk.drive->Geometry.BytesPerSector = 512; }, root,
       "4096-byte sectors"},
      {[&] { link->Entry.RelativeSector = 0x7FFFFFFF; }, [] {}, *link, ""},
      {[&] {
         for (uint32_t i = 0; i < 3; ++i) {
           auto r = std::make_unique<TPartition>();
           r->Entry = TPartitionEntry{0, 0, 0, 0x07, 0, 0, 123000 + i * 1000, 900};
           r->Parent = &root;
           root.Children.push_back(disk.drive->AdoptRecord(std::move(r)));
         }
       },
       [] {}, root, ""},
  };
  for (const auto& c : cases) {
    ScriptedHost host;
    c.damage();
    EXPECT_FALSE(WritePartitionTable(*disk.drive, c.table)) << c.says;
    ASSERT_EQ(host.Captions(), std::vector<std::string>{"Error"}) << c.says;
    EXPECT_NE(host.messages[0].text.find(c.says), std::string::npos) << host.messages[0].text;
    c.mend();
  }
  EXPECT_EQ(*disk.data, before);
}

TEST(WritePartitionTable, FailedReadWritesNothing) {
  HandDisk disk(65536, true);
  TPartition& root = disk.drive->Root;
  disk.Add(root, 0x0C, 2048, 20480);
  disk.faults->readFaults[0] = Fault{FaultKind::Error, EIO, -1};
  ScriptedHost host({MsgAnswer::Abort});
  EXPECT_FALSE(WritePartitionTable(*disk.drive, root));
  EXPECT_TRUE(disk.faults->writeOffsets.empty());
}

TEST(CheckTablesReadable, NeedsRealDataFromEveryTable) {
  ScriptedHost host;
  {
    HandDisk disk;
    disk.drive->DirtyTables.push_back(&disk.drive->Root);
    EXPECT_TRUE(CheckTablesReadable(*disk.drive));
    // An all-zero sector is real data too.
    TPartition* x = disk.Add(disk.drive->Root, 0x05, 40960, 81920);
    std::fill(disk.data->begin() + 40960 * 512, disk.data->begin() + 40961 * 512, uint8_t{0});
    disk.drive->DirtyTables.push_back(x);
    EXPECT_TRUE(CheckTablesReadable(*disk.drive));
  }
  {
    HandDisk disk(65536, true);
    TPartition* x = disk.Add(disk.drive->Root, 0x05, 40960, 81920);
    disk.drive->DirtyTables = {&disk.drive->Root, x};
    disk.faults->readFaults[40960 * 512] = Fault{FaultKind::Error, EIO, -1};
    EXPECT_FALSE(CheckTablesReadable(*disk.drive));
  }
  {  // a device that reports every read as done but never fills the buffer
    HandDisk disk(2048, true);
    disk.faults->staleReads = true;
    disk.drive->DirtyTables.push_back(&disk.drive->Root);
    EXPECT_FALSE(CheckTablesReadable(*disk.drive));
    // The commit sequence then writes nothing.
    EXPECT_FALSE(CheckTablesReadable(*disk.drive) && WriteChangedTables(*disk.drive));
    EXPECT_TRUE(disk.faults->writeOffsets.empty());
  }
  EXPECT_TRUE(host.messages.empty()) << "the read check never prompts";
}

TEST(WriteChangedTables, WritesLinkedTablesFirstAndStopsAtTheFirstFailure) {
  ScriptedHost host({MsgAnswer::Abort});
  HandDisk disk(65536, true);
  TPartition& root = disk.drive->Root;
  TPartition* x = disk.Add(root, 0x05, 40960, 81920);
  disk.Add(*x, 0x07, 41023, 10000);
  TPartition* link = disk.Add(*x, 0x05, 61440, 20000);
  disk.Add(*link, 0x07, 61503, 10000);
  disk.drive->DirtyTables = {&root, x, link};
  ASSERT_TRUE(WriteChangedTables(*disk.drive));
  EXPECT_EQ(disk.faults->writeOffsets, (std::vector<uint64_t>{61440 * 512, 40960 * 512, 0}));

  // A failure at the deepest table leaves the tables that would link to it unwritten.
  disk.faults->writeOffsets.clear();
  disk.faults->writeFaults[61440 * 512] = Fault{FaultKind::Error, EIO, -1};
  EXPECT_FALSE(WriteChangedTables(*disk.drive));
  EXPECT_EQ(disk.faults->writeOffsets, std::vector<uint64_t>{61440 * 512});
  EXPECT_EQ(disk.drive->DirtyTables.size(), 3u);
}

}  // namespace
}  // namespace qm::test
