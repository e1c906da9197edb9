#pragma once
// What a recovery may do to a disk, checked from the outside: nothing at all, or add exactly
// the recovered partition while every entry that was in a table stays there unchanged, and
// change no byte outside the entry area and signature of table sectors.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <vector>

#include "model/PhysicalDrv.h"
#include "support/Fixtures.h"

namespace qm::test {

// Every used entry of the drive's tables (partitions, extended partitions and links), sorted.
inline std::vector<EntryKey> TableEntries(const TPhysicalDrv& drive) {
  std::vector<EntryKey> keys;
  for (const TPartition* r : drive.AllPartitions)
    if (r != &drive.Root && !r->IsGap()) keys.emplace_back(r->AbsoluteStart(), r->Entry.TotalSectors, r->Entry.SystemId);
  std::sort(keys.begin(), keys.end());
  return keys;
}

// `before`/`after`: the whole disk; `entriesBefore`: what the reader saw before; `reread`: the
// drive read afresh from the disk after the recovery; `written`: whether it reported a write.
inline void ExpectSoundRecovery(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after,
                                const std::vector<EntryKey>& entriesBefore, const TPhysicalDrv& reread,
                                uint64_t lostStart, bool written) {
  ASSERT_EQ(before.size(), after.size());
  if (!written) {
    EXPECT_TRUE(before == after) << "a refused recovery changed the disk";
    return;
  }
  // Only entry areas and signatures changed, and only in sectors that are tables now.
  std::vector<uint64_t> tables;
  for (const auto& [lba, sector] : reread.TableSectors) tables.push_back(lba);
  for (size_t i = 0; i < before.size(); ++i) {
    if (before[i] == after[i]) continue;
    const uint64_t lba = i / 512;
    ASSERT_GE(i % 512, 446u) << "byte " << i % 512 << " of sector " << lba << " changed";
    ASSERT_NE(std::find(tables.begin(), tables.end(), lba), tables.end()) << "sector " << lba << " is no table";
  }
  const std::vector<EntryKey> entriesAfter = TableEntries(reread);
  EXPECT_TRUE(std::includes(entriesAfter.begin(), entriesAfter.end(), entriesBefore.begin(), entriesBefore.end()))
      << "an entry that was in a table is gone or changed";
  size_t copies = 0;
  for (const TPartition* r : reread.AllPartitions)
    if (r != &reread.Root && !r->IsGap() && !r->IsExtended() && r->AbsoluteStart() == lostStart) ++copies;
  EXPECT_EQ(copies, 1u) << "the recovered partition must stand in exactly one table";
}

}  // namespace qm::test
