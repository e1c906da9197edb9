// Planning a change of the tables: entries stay in their slots, only the bytes of the entries
// that change are written, deeper tables come first; and the pipeline's refusals.
#include <gtest/gtest.h>

#include <filesystem>

#include "edit/AutoBackup.h"
#include "edit/Change.h"
#include "edit/Commit.h"
#include "edit/HandDisk.h"

namespace qm::test {
namespace {

// The offsets within sector `lba` where a planned write changes a byte.
std::vector<size_t> ChangedOffsets(const TChange& change, uint64_t lba) {
  std::vector<size_t> offsets;
  for (const TSectorWrite& w : change.Writes)
    if (w.Lba == lba)
      for (size_t i = 0; i < 512; ++i)
        if (w.Before[i] != w.After[i]) offsets.push_back(i);
  return offsets;
}

// Entries stay in the slots another program left them in and only the bytes that change are
// written, deeper tables first; a new entry takes the first free slot, a removed one leaves its
// slot cleared, and no table takes more than four entries.
TEST(PlanDirtyTables, EntriesKeepTheirSlotsDeeperTablesComeFirstAndHoldFourEntries) {
  HandDisk disk(65536, true);
  TPartition& root = disk.drive->Root;
  TPartition* a = disk.Add(root, 0x0C, 2048, 20480);
  TPartition* x = disk.Add(root, 0x05, 40960, 81920);
  disk.Add(*x, 0x07, 41023, 10000);
  TPartition* link = disk.Add(*x, 0x05, 61440, 20000);
  TPartition* last = disk.Add(*link, 0x07, 61503, 10000);
  auto s = disk.SectorSpan(0);  // the master boot record's entries in slots 3 and 1
  std::fill(s.begin() + 0x1BE, s.begin() + 0x1FE, uint8_t{0});
  for (TPartition* r : {a, x}) EncodeEntry(s, static_cast<size_t>(r->Slot = r == a ? 3 : 1), r->Entry);
  for (TPartition* r : {x, link, last}) r->Entry.BootIndicator = 0x80;  // one byte of every table
  disk.drive->DirtyTables = {&root, x, link};
  TChange change;
  ASSERT_TRUE(PlanDirtyTables(*disk.drive, change));
  std::vector<uint64_t> order;
  for (const TSectorWrite& w : change.Writes) order.push_back(w.Lba);
  EXPECT_EQ(order, (std::vector<uint64_t>{61440, 40960, 0}));
  for (uint64_t lba : {0, 40960}) {
    EXPECT_EQ(ChangedOffsets(change, lba), std::vector<size_t>{0x1BE + 16}) << lba;
  }
  EXPECT_EQ(ChangedOffsets(change, 61440), std::vector<size_t>{0x1BE});

  a->Entry.SystemId = kTypeEmpty;
  for (uint32_t i = 0; i < 4; ++i) {  // the fifth used entry of the table is refused
    auto r = std::make_unique<TPartition>();
    r->Entry = TPartitionEntry{0, 0, 0, 0x07, 0, 0, 123000 + i * 1000, 900};
    r->Parent = &root;
    root.Children.push_back(disk.drive->AdoptRecord(std::move(r)));
    TChange added;
    const Outcome planned = PlanDirtyTables(*disk.drive, added);
    ASSERT_EQ(planned.failed(), i == 3) << i << ": " << planned.Text;
    if (i == 0) {
      ASSERT_EQ(added.Writes.back().Lba, 0u);
      std::copy(added.Writes.back().After.begin(), added.Writes.back().After.end(), s.begin());
      EXPECT_EQ(disk.Table(0), "07:123000+900 *05:40960+81920 00:0+0 00:0+0");
    }
    EXPECT_EQ(planned.Text.find("more than four entries") != std::string::npos, i == 3) << planned.Text;
  }
  EXPECT_TRUE(disk.faults->writeOffsets.empty());
}

// No table but the root's is written at sector 0.
TEST(PlanDirtyTables, AnExtendedTableAtSectorZeroIsRefused) {
  HandDisk disk(65536, true);
  disk.drive->DirtyTables = {disk.Add(disk.drive->Root, 0x05, 0, 60000)};
  TChange change;
  const Outcome refused = PlanDirtyTables(*disk.drive, change);
  EXPECT_NE(refused.Text.find("starts at sector 0"), std::string::npos) << refused.Text;
  EXPECT_EQ(refused.Sector, Lba{0});
  EXPECT_TRUE(disk.faults->writeOffsets.empty());
}

TEST(ApplyChange, RefusesNewTablesOnVolumesAndDataAndDevicesThatReturnNothing) {
  HandDisk disk(65536, true);
  disk.Add(disk.drive->Root, 0x06, 2048, 20480, fkFat16);
  TPartition* lost = disk.Lost(40000, 4000, fkNtfs, 0x07);
  StoreLE<uint64_t>(&lost->BootSector[0x28], 4000);  // its backup boot sector lies at 44000
  (*disk.data)[30000 * 512 + 7] = 0x42;                // a sector that holds data
  const auto volumes = KnownVolumes(*disk.drive);
  TSector table{};  // a signed table of one entry
  table[0x1BE + 4] = 0x07, table[510] = 0x55, table[511] = 0xAA;
  const struct {
    uint64_t lba;
    const char* says;
  } cases[] = {{4096, "inside the volume at sector 2048"},
               {44000, "inside the volume at sector 40000"},
               {30000, "holds data"},
               {50000, ""}};
  for (const auto& c : cases) {
    TChange change;
    ASSERT_TRUE(PlanSector(*disk.drive, change, c.lba, WriteRole::NewTable, table));
    const std::string refusal = CheckChange(*disk.drive, change, volumes);
    if (*c.says)
      EXPECT_NE(refusal.find(c.says), std::string::npos) << c.lba << ": " << refusal;
    else
      EXPECT_EQ(refusal, "") << c.lba;
  }

  // A device whose reads never fill the buffer is not written to.
  disk.faults->staleReads = true;
  TChange change;
  change.Writes.push_back({50000, WriteRole::NewTable, TSector{}, table});
  EXPECT_EQ(ApplyChange(*disk.drive, change, volumes, TChangeRun{}), EditResult::Refused);
  EXPECT_TRUE(disk.faults->writeOffsets.empty());
}

// Records are pruned, the oldest first, beyond the limit a disk.
TEST(ChangeRecords, TheOldestArePrunedBeyondTheLimit) {
  HandDisk disk;
  TChange change;
  change.What = "test";
  change.Writes.push_back({100, WriteRole::Table, TSector{}, TSector{}});
  change.Writes[0].After[0] = 1;
  std::string path, problem, first;
  for (size_t i = 0; i < kMaxRecordsPerDisk + 3; ++i) {
    ASSERT_TRUE(SaveChangeRecord(*disk.drive, change, path, problem)) << problem;
    if (i == 0) first = path;
  }
  const std::vector<TAutomaticBackup> kept = ListAutomaticBackups(*disk.drive);
  EXPECT_EQ(kept.size(), kMaxRecordsPerDisk);
  EXPECT_EQ(kept.back().Path, path);
  EXPECT_FALSE(std::filesystem::exists(first));
}

}  // namespace
}  // namespace qm::test
