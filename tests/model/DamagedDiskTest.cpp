// Disks whose tables and boot sectors are random garbage with valid signatures: reading,
// quick-scanning, reporting and listing them must end, stay inside the disk and keep the
// tree's invariants, whatever the bytes say.
#include <gtest/gtest.h>

#include <random>

#include "disk/SectorIO.h"
#include "edit/Recover.h"
#include "model/CheckReport.h"
#include "model/PartitionRows.h"
#include "model/TableReader.h"
#include "scan/OpenDrive.h"
#include "scan/Scanner.h"
#include "support/Fixtures.h"
#include "support/RecoverCheck.h"
#include "support/ScriptedHost.h"
#include "support/Sources.h"

namespace qm::test {
namespace {

constexpr uint32_t kSectors = 8192;

constexpr uint32_t kTableArea = 128;  // the first sectors all hold tables, so chains find one

// Entries aimed at the table area and the disk (often extended) more than at random.
void RandomTable(std::mt19937& rng, uint8_t* sector) {
  std::uniform_int_distribution<uint32_t> byte(0, 255), small(0, kSectors + 64), near(0, 16), coin(0, 3);
  for (int i = 0; i < 512; ++i) sector[i] = static_cast<uint8_t>(byte(rng));
  const uint8_t types[] = {0x00, 0x05, 0x0F, 0x06, 0x0B, 0x07, 0x83, 0x82, 0xEE, 0x85};
  for (int e = 0; e < 4; ++e) {
    uint8_t* p = sector + 0x1BE + 16 * e;
    p[4] = types[byte(rng) % sizeof types];
    if (coin(rng) != 0) {
      StoreLE<uint32_t>(p + 8, coin(rng) < 2 ? near(rng) : small(rng));
      StoreLE<uint32_t>(p + 12, small(rng));
    }
  }
  sector[510] = 0x55;
  sector[511] = 0xAA;
}

void RandomBootSector(std::mt19937& rng, uint8_t* sector) {
  std::uniform_int_distribution<uint32_t> byte(0, 255), kind(0, 4), small(0, kSectors * 2);
  for (int i = 0; i < 512; ++i) sector[i] = static_cast<uint8_t>(byte(rng));
  switch (kind(rng)) {
    case 0: std::memcpy(sector + 0x36, "FAT12   ", 8); break;
    case 1: std::memcpy(sector + 0x36, "FAT16   ", 8); break;
    case 2: std::memcpy(sector + 0x52, "FAT32   ", 8); break;
    case 3: std::memcpy(sector + 0x03, "NTFS    ", 8); break;
    default: std::memcpy(sector + 0x36, "HPFS    ", 8); break;
  }
  StoreLE<uint16_t>(sector + 0x13, 0);
  StoreLE<uint32_t>(sector + 0x20, small(rng));
  StoreLE<uint64_t>(sector + 0x28, small(rng));
  sector[510] = 0x55;
  sector[511] = 0xAA;
}

TEST(DamagedDisks, RandomTablesAndBootSectorsAreReadSafely) {
  size_t links = 0, lostFound = 0, recovered = 0;
  for (uint32_t seed = 1; seed <= 150; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    DriveRegistryScope registry;
    ScriptedHost host;  // every prompt is answered Abort, every question No
    auto memory = std::make_unique<MemorySource>(size_t{kSectors} * 512);
    auto& disk = *memory->data;
    std::mt19937 rng(seed);
    std::uniform_int_distribution<uint32_t> where(kTableArea, kSectors - 1);
    for (uint32_t lba = 0; lba < kTableArea; ++lba) RandomTable(rng, disk.data() + size_t{lba} * 512);
    for (int i = 0; i < 60; ++i) RandomBootSector(rng, disk.data() + size_t{where(rng)} * 512);
    const uint8_t number = registry.Attach(std::move(memory));
    TDriveGeometry g;
    ASSERT_TRUE(GetDriveGeometry(number, g));
    auto drive = OpenDrive(number, g);
    DetectLostPartitions(*drive, drive->Root, {}, 0, kSectors, false);

    ASSERT_FALSE(drive->AllPartitions.empty());
    EXPECT_EQ(drive->AllPartitions[0], &drive->Root);
    EXPECT_LE(drive->AllPartitions.size(), 4u * 257u + 64u);
    uint32_t counted = 0;
    for (size_t i = 1; i < drive->AllPartitions.size(); ++i) {
      const TPartition* r = drive->AllPartitions[i];
      if (!r->IsExtended()) ++counted;
      if (r->IsGap()) {
        EXPECT_LE(r->AbsoluteEnd(), uint64_t{kSectors});
      }
      if (IsNestedExtended(*drive, *r)) ++links;
      int depth = 0;
      for (const TPartition* p = r; p && p != &drive->Root; p = p->Parent) ASSERT_LT(++depth, 300);
      std::string report;
      BuildCheckReport(*drive, *drive->AllPartitions[i], report);
    }
    EXPECT_EQ(counted, drive->PartitionCount);
    for (const auto& lost : drive->LostPartitions) {
      EXPECT_GT(lost->Entry.TotalSectors, 0u);
      EXPECT_LE(lost->AbsoluteEnd(), uint64_t{kSectors});
      std::string report;
      BuildCheckReport(*drive, *lost, report);
      EXPECT_EQ(report.rfind("Boot Sector: OK\r", 0), 0u);
    }
    for (const TPartitionRow& row : BuildPartitionRows(drive.get(), true)) {
      if (row.Record) {
        EXPECT_FALSE(row.Status.empty());
      }
    }
    lostFound += drive->LostPartitions.size();
    RereadTables(*drive);
    EXPECT_EQ(drive->AllPartitions[0], &drive->Root);

    // A recovery on such a disk writes correctly or not at all.
    if (drive->LostPartitions.empty()) continue;
    TPartition& lost = *drive->LostPartitions.front();
    const uint64_t lostStart = lost.AbsoluteStart();
    const std::vector<uint8_t> before = disk;
    const std::vector<EntryKey> entriesBefore = TableEntries(*drive);
    const RecoverResult result = RecoverLostPartition(*drive, lost);
    if (result == RecoverResult::Written) ++recovered;
    ExpectSoundRecovery(before, disk, entriesBefore, *CreatePhysicalDrv(number, g), lostStart,
                        result == RecoverResult::Written);
  }
  // The garbage must reach the interesting paths: chains of extended boot records and finds.
  EXPECT_GT(links, 20u);
  EXPECT_GT(lostFound, 100u);
  EXPECT_GT(recovered, 0u);
}

}  // namespace
}  // namespace qm::test
