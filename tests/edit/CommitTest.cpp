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

TEST(PlanDirtyTables, EntriesKeepTheirSlotsAndOnlyTheirBytesChange) {
  HandDisk disk;
  TPartition& root = disk.drive->Root;
  disk.Add(root, 0x0C, 2048, 20480);
  TPartition* b = disk.Add(root, 0x07, 90000, 20000);
  // The two entries stand in slots 3 and 1 on disk, as another program left them.
  auto s = disk.SectorSpan(0);
  std::fill(s.begin() + 0x1BE, s.begin() + 0x1FE, uint8_t{0});
  for (TPartition* r : root.Children) {
    r->Slot = r == b ? 1 : 3;
    EncodeEntry(s, static_cast<size_t>(r->Slot), r->Entry);
  }

  // A changed type code: one byte of slot 1.
  b->Entry.SystemId = 0x17;
  disk.drive->DirtyTables = {&root};
  TChange hide;
  ASSERT_TRUE(PlanDirtyTables(*disk.drive, hide));
  EXPECT_EQ(ChangedOffsets(hide, 0), std::vector<size_t>{0x1BE + 16 + 4});

  // A new entry takes the first free slot; a removed one leaves its slot cleared.
  b->Entry.SystemId = kTypeEmpty;
  auto c = std::make_unique<TPartition>();
  c->Entry = TPartitionEntry{0, 0, 0, 0x06, 0, 0, 30000, 1000};
  c->Parent = &root;
  root.Children.push_back(disk.drive->AdoptRecord(std::move(c)));
  TChange moved;
  ASSERT_TRUE(PlanDirtyTables(*disk.drive, moved));
  ASSERT_EQ(moved.Writes.size(), 1u);
  std::copy(moved.Writes[0].After.begin(), moved.Writes[0].After.end(), s.begin());
  EXPECT_EQ(disk.Table(0), "06:30000+1000 00:0+0 00:0+0 0c:2048+20480");
}

TEST(PlanDirtyTables, DeeperTablesFirstAndNoMoreThanFourEntries) {
  HandDisk disk(65536, true);
  TPartition& root = disk.drive->Root;
  TPartition* x = disk.Add(root, 0x05, 40960, 81920);
  disk.Add(*x, 0x07, 41023, 10000);
  TPartition* link = disk.Add(*x, 0x05, 61440, 20000);
  TPartition* last = disk.Add(*link, 0x07, 61503, 10000);
  for (TPartition* r : {x, link, last}) r->Entry.BootIndicator = 0x80;  // every table changes
  disk.drive->DirtyTables = {&root, x, link};
  TChange change;
  ASSERT_TRUE(PlanDirtyTables(*disk.drive, change));
  std::vector<uint64_t> order;
  for (const TSectorWrite& w : change.Writes) order.push_back(w.Lba);
  EXPECT_EQ(order, (std::vector<uint64_t>{61440, 40960, 0}));

  for (uint32_t i = 0; i < 4; ++i) {
    auto r = std::make_unique<TPartition>();
    r->Entry = TPartitionEntry{0, 0, 0, 0x07, 0, 0, 123000 + i * 1000, 900};
    r->Parent = &root;
    root.Children.push_back(disk.drive->AdoptRecord(std::move(r)));
  }
  TChange tooMany;
  const Outcome refused = PlanDirtyTables(*disk.drive, tooMany);
  EXPECT_TRUE(refused.failed());
  EXPECT_NE(refused.Text.find("more than four entries"), std::string::npos) << refused.Text;
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
