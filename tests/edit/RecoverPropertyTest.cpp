// Recover over many seeded random layouts, sound and damaged (cycles, overlaps, an extended
// entry at sector 0, two extended entries, entries past the end, chains over the walk's
// limit), with a lost FAT16 volume in a random free place: afterwards the disk is either
// unchanged, or holds the recovered partition in exactly one table with every earlier entry
// kept, only table bytes changed, and sfdisk reads the same layout as we do.
// QM_RECOVER_SEEDS sets the number of layouts (default 300).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>

#include "disk/Bytes.h"
#include "disk/Disk.h"
#include "disk/DryRunSource.h"
#include "edit/AutoBackup.h"
#include "edit/Change.h"
#include "edit/Rebuild.h"
#include "edit/Recover.h"
#include "edit/TableEdits.h"
#include "model/TableReader.h"
#include "scan/Scanner.h"
#include "support/Fixtures.h"
#include "support/RecoverCheck.h"
#include "support/ScriptedHost.h"

namespace qm::test {
namespace {

constexpr uint32_t kSectors = 32768;

class LayoutBuilder {
 public:
  explicit LayoutBuilder(uint32_t seed) : rng_(seed) {}

  std::map<uint64_t, TSector> sectors;  // every sector that is not zero

  // The layout as a sparse image file of kSectors sectors.
  bool WriteTo(const std::string& image) const {
    const int fd = ::open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    bool ok = fd >= 0 && ::ftruncate(fd, off_t{kSectors} * 512) == 0;
    for (const auto& [lba, sector] : sectors)
      ok = ok && ::pwrite(fd, sector.data(), 512, static_cast<off_t>(lba * 512)) == 512;
    return fd >= 0 && ::close(fd) == 0 && ok;
  }
  uint64_t lostStart = 0;

  void Build() {
    Sign(0);
    uint64_t pos = Pick(64, 4096);
    int slot = 0;
    const int primaries = static_cast<int>(Pick(0, 3));
    const bool extended = Pick(0, 4) != 0;
    std::vector<std::pair<uint64_t, uint64_t>> free;  // [start, end) free for the lost volume
    for (int i = 0; i < primaries && pos + 200 < kSectors; ++i) {
      const uint64_t gap = Pick(0, 3000), size = Pick(50, 3000);
      if (gap > 100) free.emplace_back(pos, pos + gap);
      pos += gap;
      if (pos + size >= kSectors) break;
      Entry(0, slot++, 0x06, static_cast<uint32_t>(pos), static_cast<uint32_t>(size));
      pos += size;
    }
    if (extended && slot < 4 && pos + 4000 < kSectors) {
      const uint64_t xs = pos + Pick(0, 2000), xe = std::min<uint64_t>(kSectors - 1, xs + Pick(3000, 16000));
      Entry(0, slot++, Pick(0, 1) ? 0x05 : 0x0F, static_cast<uint32_t>(xs), static_cast<uint32_t>(xe - xs));
      BuildChain(xs, xe, free);
      pos = xe;
    }
    if (pos + 100 < kSectors) free.emplace_back(pos, kSectors - 1);
    Damage(slot);
    PlaceLost(free, neighbours);
  }
  bool neighbours = false;

 private:
  uint64_t Pick(uint64_t lo, uint64_t hi) { return std::uniform_int_distribution<uint64_t>(lo, hi)(rng_); }
  TSector& At(uint64_t lba) { return sectors[lba]; }
  void Sign(uint64_t lba) {
    At(lba)[510] = 0x55;
    At(lba)[511] = 0xAA;
  }
  void Entry(uint64_t table, int slot, uint8_t type, uint32_t relative, uint32_t size) {
    TPartitionEntry e{};
    e.SystemId = type;
    e.RelativeSector = relative;
    e.TotalSectors = size;
    EncodeEntry(At(table), static_cast<size_t>(slot), e);
    Sign(table);
  }

  // EBRs with one logical drive each, linked in order; free room between them is noted.
  void BuildChain(uint64_t xs, uint64_t xe, std::vector<std::pair<uint64_t, uint64_t>>& free) {
    const int count = static_cast<int>(Pick(0, 4));
    ebrs_ = {xs};
    Sign(xs);
    uint64_t ebr = xs;
    for (int i = 0; i < count; ++i) {
      const uint64_t offset = Pick(0, 1) ? 63 : Pick(1, 200);
      const uint64_t size = Pick(20, 1500);
      if (ebr + offset + size >= xe) break;
      Entry(ebr, 0, 0x06, static_cast<uint32_t>(offset), static_cast<uint32_t>(size));
      const uint64_t gap = Pick(0, 2500);
      const uint64_t next = ebr + offset + size + gap;
      if (gap > 150) free.emplace_back(ebr + offset + size + 1, next);
      if (i + 1 == count || next + 300 >= xe) {
        if (xe > next + 100) free.emplace_back(next, xe);
        break;
      }
      Entry(ebr, 1, 0x05, static_cast<uint32_t>(next - xs), static_cast<uint32_t>(Pick(300, 1800)));
      ebr = next;
      ebrs_.push_back(ebr);
    }
    xs_ = xs;
  }

  void Damage(int slot) {
    switch (Pick(0, 13)) {
      case 0:  // a cycle: the last EBR links back to the first
        if (ebrs_.size() > 1) Entry(ebrs_.back(), 1, 0x05, 0, 500);
        break;
      case 1:  // an extended entry at sector 0
        if (slot < 4) Entry(0, slot, 0x05, 0, kSectors);
        break;
      case 2:  // a second extended entry
        if (slot < 4) Entry(0, slot, 0x0F, static_cast<uint32_t>(Pick(64, kSectors - 2000)), 1500);
        break;
      case 3:  // an entry that overlaps the others
        if (slot < 4) Entry(0, slot, 0x07, static_cast<uint32_t>(Pick(64, kSectors / 2)), static_cast<uint32_t>(Pick(100, kSectors / 2)));
        break;
      case 4:  // an entry past the end of the disk
        if (slot < 4) Entry(0, slot, 0x06, kSectors + static_cast<uint32_t>(Pick(0, 5000)), 1000);
        break;
      case 5:  // a chain longer than the walk reads
        if (!ebrs_.empty()) {
          uint64_t ebr = ebrs_.back();
          for (int i = 0; i < 300 && ebr + 4 < kSectors; ++i, ebr += 3) {
            Entry(ebr, 2, 0x06, 1, 1);
            Entry(ebr, 3, 0x05, static_cast<uint32_t>(ebr + 3 - xs_), 3);
          }
        }
        break;
      case 6:  // an EBR without its signature ends the chain early
        if (ebrs_.size() > 1) At(ebrs_[1])[511] = 0;
        break;
      case 7:  // an entry of size zero
        if (slot < 4) Entry(0, slot, 0x0B, static_cast<uint32_t>(Pick(64, kSectors - 1)), 0);
        break;
      default: break;  // a sound layout
    }
  }

  // A FAT16 boot sector in a free place, sized to fit it; with `neighbour`, right behind it a
  // second lost volume, FAT16 or NTFS (with its backup boot sector in its last sector).
  void PlaceLost(const std::vector<std::pair<uint64_t, uint64_t>>& free, bool neighbour = false) {
    if (free.empty()) return;
    const auto [from, to] = free[Pick(0, free.size() - 1)];
    if (to <= from + 40) return;
    lostStart = Pick(from, to - 40);
    const uint64_t size = Pick(16, std::min<uint64_t>(to - lostStart, 4000));
    Fat16At(lostStart, size);
    const uint64_t next = lostStart + size;
    if (!neighbour || next + 40 >= to) return;
    const uint64_t nextSize = Pick(16, std::min<uint64_t>(to - next, 4000) - 1);
    if (Pick(0, 1)) {
      Fat16At(next, nextSize);
    } else {
      TSector& n = At(next);
      n[0] = 0xEB, n[1] = 0x52, n[2] = 0x90;
      std::memcpy(&n[3], "NTFS    ", 8);
      StoreLE<uint16_t>(&n[0x0B], 512);
      n[0x0D] = 8;
      n[0x15] = 0xF8;
      StoreLE<uint64_t>(&n[0x28], nextSize - 1);  // the volume counts one sector less
      StoreLE<uint64_t>(&n[0x48], Pick(1, 0xFFFFFFFF));
      n[510] = 0x55, n[511] = 0xAA;
      At(next + nextSize - 1) = At(next);
    }
    neighbourStart = next;
  }
  uint64_t neighbourStart = 0;

  void Fat16At(uint64_t start, uint64_t size) {
    TSector& s = At(start);
    s[0] = 0xEB, s[1] = 0x3C, s[2] = 0x90;
    StoreLE<uint16_t>(&s[0x0B], 512);
    s[0x0D] = 1;
    StoreLE<uint16_t>(&s[0x0E], 1);
    s[0x10] = 2;
    StoreLE<uint16_t>(&s[0x11], 16);
    StoreLE<uint16_t>(&s[0x13], static_cast<uint16_t>(size));
    s[0x15] = 0xF8;
    StoreLE<uint32_t>(&s[0x27], static_cast<uint32_t>(Pick(1, 0xFFFFFFF)));
    std::memcpy(&s[0x36], "FAT16   ", 8);
    s[510] = 0x55, s[511] = 0xAA;
  }

  std::mt19937 rng_;
  std::vector<uint64_t> ebrs_;
  uint64_t xs_ = 0;
};

std::vector<uint8_t> WholeImage(const std::string& path) { return ReadFileBytes(path, 0, size_t{kSectors} * 512); }

std::vector<EntryKey> EntriesWithoutLinks(const TPhysicalDrv& drive) {
  std::vector<EntryKey> keys;
  for (const TPartition* r : drive.AllPartitions)
    if (r != &drive.Root && !r->IsGap() && !IsNestedExtended(drive, *r))
      keys.emplace_back(r->AbsoluteStart(), r->Entry.TotalSectors, r->Entry.SystemId);
  std::sort(keys.begin(), keys.end());
  return keys;
}

// The records kept for undo are the chain test's subject; these tests save none, which keeps
// them quick.
class NoRecords {
 public:
  NoRecords() { SetAutomaticBackups(false); }
  ~NoRecords() { SetAutomaticBackups(true); }
};

TEST(RecoverPropertyOnImages, RandomLayoutsKeepEveryEntryOrStayUntouched) {
  const NoRecords noRecords;
  const uint32_t seeds = std::getenv("QM_RECOVER_SEEDS") ? std::stoul(std::getenv("QM_RECOVER_SEEDS")) : 300;
  const std::string image = ProcessFixtureDir() + "/property.img";
  int written = 0, refused = 0, offered = 0, placed = 0;
  for (uint32_t seed = 1; seed <= seeds; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    LayoutBuilder layout(seed);
    layout.Build();
    ASSERT_TRUE(layout.WriteTo(image));
    ScriptedHost host;  // every question No, every prompt Abort
    auto drive = ReadImage(image);
    if (layout.lostStart == 0) continue;
    ++placed;
    EXPECT_TRUE(DetectLostPartitions(*drive, drive->Root, {}, static_cast<int64_t>(layout.lostStart / 1000 * 1000), 1000, false));
    auto found = std::find_if(drive->LostPartitions.begin(), drive->LostPartitions.end(),
                              [&](const auto& p) { return p->AbsoluteStart() == layout.lostStart; });
    if (found == drive->LostPartitions.end()) continue;
    TPartition* lost = found->get();
    ++offered;
    const std::vector<uint8_t> before = WholeImage(image);
    const std::vector<EntryKey> entriesBefore = TableEntries(*drive);
    const RecoverResult result = RecoverLostPartition(*drive, *lost);
    const bool wrote = result == RecoverResult::Written;
    ASSERT_TRUE(wrote || result == RecoverResult::Refused) << static_cast<int>(result);
    (wrote ? written : refused)++;
    auto reread = ReadImage(image);
    ExpectSoundRecovery(before, WholeImage(image), entriesBefore, *reread, layout.lostStart, wrote);
    if (wrote) {
      std::vector<EntryKey> sfdisk = SfdiskEntries(image);
      std::sort(sfdisk.begin(), sfdisk.end());
      EXPECT_EQ(sfdisk, EntriesWithoutLinks(*reread));
    }
    if (HasFailure()) break;
  }
  std::filesystem::remove(image);
  std::printf("%u layouts, %d with a lost volume: %d recoveries offered, %d written, %d refused\n", seeds, placed,
              offered, written, refused);
  // Both outcomes must be reached often, or the layouts test nothing.
  EXPECT_GT(written, static_cast<int>(seeds) / 5);
  EXPECT_GT(refused, static_cast<int>(seeds) / 20);
}

// Delete, set active and hide/show on a random record of the same layouts: afterwards the disk
// is unchanged, or exactly the intended entry changed (gone, or its type toggled) while every
// other partition stays, only table bytes of sectors that were tables changed, and sfdisk
// reads what we read.
TEST(TableEditPropertyOnImages, RandomEditsChangeOnlyTheirOwnEntry) {
  const NoRecords noRecords;
  const uint32_t seeds = std::getenv("QM_RECOVER_SEEDS") ? std::stoul(std::getenv("QM_RECOVER_SEEDS")) : 300;
  const std::string image = ProcessFixtureDir() + "/edit-property.img";
  int written = 0, refused = 0;
  for (uint32_t seed = 1; seed <= seeds; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    LayoutBuilder layout(seed);
    layout.Build();
    ASSERT_TRUE(layout.WriteTo(image));
    ScriptedHost host{MsgAnswer::Ok, MsgAnswer::Ok, MsgAnswer::Ok, MsgAnswer::Ok};
    auto drive = ReadImage(image);
    std::vector<TPartition*> records;
    for (TPartition* r : drive->AllPartitions)
      if (r != &drive->Root && !r->IsGap() && !IsNestedExtended(*drive, *r)) records.push_back(r);
    if (records.empty()) continue;
    std::mt19937 pick(seed);
    TPartition& record = *records[pick() % records.size()];
    const EntryKey key{record.AbsoluteStart(), record.Entry.TotalSectors, record.Entry.SystemId};
    std::vector<uint64_t> tablesBefore;
    for (const auto& [lba, sector] : drive->TableSectors) tablesBefore.push_back(lba);
    const std::vector<uint8_t> before = WholeImage(image);
    std::vector<EntryKey> expected = EntriesWithoutLinks(*drive);
    const int op = static_cast<int>(pick() % 3);
    const EditResult result = op == 0 ? DeletePartition(*drive, record)
                              : op == 1 ? SetActivePartition(*drive, record)
                                        : HidePartition(*drive, record);
    const std::vector<uint8_t> after = WholeImage(image);
    if (!Succeeded(result)) {
      ASSERT_TRUE(result == EditResult::Refused) << static_cast<int>(result);
      EXPECT_TRUE(before == after) << "a refused edit changed the disk";
      ++refused;
      continue;
    }
    ++written;
    for (size_t i = 0; i < before.size(); ++i)
      if (before[i] != after[i]) {
        ASSERT_GE(i % 512, 446u) << "byte " << i % 512 << " of sector " << i / 512 << " changed";
        ASSERT_NE(std::find(tablesBefore.begin(), tablesBefore.end(), i / 512), tablesBefore.end());
      }
    auto where = std::find(expected.begin(), expected.end(), key);
    if (op == 0) expected.erase(where);
    if (op == 2) std::get<2>(*where) ^= 0x10;
    std::sort(expected.begin(), expected.end());
    auto reread = ReadImage(image);
    EXPECT_EQ(EntriesWithoutLinks(*reread), expected) << "edit " << op;
    std::vector<EntryKey> sfdisk = SfdiskEntries(image);
    std::sort(sfdisk.begin(), sfdisk.end());
    EXPECT_EQ(sfdisk, expected) << "edit " << op;
    if (HasFailure()) break;
  }
  std::filesystem::remove(image);
  std::printf("%u layouts: %d edits written, %d refused\n", seeds, written, refused);
  EXPECT_GT(written, static_cast<int>(seeds) / 5);
  EXPECT_GT(refused, static_cast<int>(seeds) / 20);
}

// A host that says yes to every question and aborts every failed transfer.
class YesHost : public ScriptedHost {
 public:
  MsgAnswer MessageBox(const std::string& text, const std::string& caption, MsgButtons buttons, MsgIcon icon) override {
    ScriptedHost::MessageBox(text, caption, buttons, icon);
    switch (buttons) {
      case MsgButtons::OkCancel: return MsgAnswer::Ok;
      case MsgButtons::YesNo:
      case MsgButtons::YesNoCancel: return MsgAnswer::Yes;
      default: return SafeAnswer(buttons);
    }
  }
};

// One random change of the drive: recover a find, delete, set active or hide a partition, or
// rebuild from a random choice of partitions and finds (the others left out).
EditResult RandomChange(TPhysicalDrv& drive, std::mt19937& pick) {
  std::vector<TPartition*> listed, lost;
  for (TPartition* r : drive.AllPartitions)
    if (r != &drive.Root && !r->IsGap() && !IsNestedExtended(drive, *r)) listed.push_back(r);
  for (auto& find : drive.LostPartitions) lost.push_back(find.get());
  const int op = static_cast<int>(pick() % 5);
  if (op == 0 && !lost.empty()) return RecoverLostPartition(drive, *lost[pick() % lost.size()]) == RecoverResult::Written
                                           ? EditResult::Written
                                           : EditResult::Refused;
  if (op == 4) {
    std::vector<TPartition*> records;
    for (TPartition* r : listed)
      if (!r->IsExtended() && pick() % 3 != 0) records.push_back(r);
    for (TPartition* r : lost)
      if (pick() % 2) records.push_back(r);
    SortByStart(records);
    std::vector<TRebuildChoice> chosen;
    for (size_t i = 0; i < records.size(); ++i) {
      const bool primary = i == 0 && pick() % 2;
      chosen.push_back({records[i], primary, primary});
    }
    return RebuildPartitionTable(drive, chosen);
  }
  if (listed.empty()) return EditResult::Refused;
  TPartition& record = *listed[pick() % listed.size()];
  return op == 1 ? DeletePartition(drive, record) : op == 2 ? SetActivePartition(drive, record) : HidePartition(drive, record);
}

// Chains of up to five random changes on the same layouts, with lost FAT16 and NTFS volumes
// side by side: each change writes exactly what its dry run showed and nothing inside a volume
// known before it; undo, as often as there were changes, gives back each earlier disk byte for
// byte, and then has nothing left to undo.
// QM_RECOVER_SEEDS sets the number of layouts here too (default 60: each runs up to eleven
// changes with their dry runs).
TEST(ChangeChainPropertyOnImages, DryRunIsTheRealRunAndUndoWalksBack) {
  const uint32_t seeds = std::getenv("QM_RECOVER_SEEDS") ? std::stoul(std::getenv("QM_RECOVER_SEEDS")) : 60;
  const std::string image = ProcessFixtureDir() + "/chain.img", state = ProcessFixtureDir() + "/chain-state";
  const char* previous = std::getenv("XDG_STATE_HOME");
  const std::string keptState = previous ? previous : "";
  ::setenv("XDG_STATE_HOME", state.c_str(), 1);
  int changes = 0, undos = 0, refused = 0;
  for (uint32_t seed = 1; seed <= seeds; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::filesystem::remove_all(state);
    LayoutBuilder layout(seed);
    layout.neighbours = true;
    layout.Build();
    ASSERT_TRUE(layout.WriteTo(image));
    std::mt19937 pick(seed);
    std::vector<std::vector<uint8_t>> disks = {WholeImage(image)};
    const int length = static_cast<int>(1 + pick() % 5);
    for (int step = 0; step < length; ++step) {
      // The dry run first, on a drive of its own over the same image.
      std::map<uint64_t, SectorBytes> planned;
      std::mt19937 dryPick = pick;
      {
        YesHost host;
        auto dry = std::make_unique<DryRunSource>(std::make_unique<FileSource>(image));
        DryRunSource* source = dry.get();
        auto drive = ReadDrive(std::move(dry));
        EXPECT_TRUE(DetectLostPartitions(*drive, drive->Root, {}, 0, kSectors, false));
        SetAutomaticBackups(false);
        RandomChange(*drive, dryPick);
        SetAutomaticBackups(true);
        for (const auto& [lba, bytes] : source->Written()) planned[lba] = bytes;
      }
      YesHost host;
      auto drive = ReadImage(image);
      EXPECT_TRUE(DetectLostPartitions(*drive, drive->Root, {}, 0, kSectors, false));
      const std::vector<TKnownVolume> volumes = KnownVolumes(*drive);
      const std::vector<uint8_t> before = WholeImage(image);
      const EditResult result = RandomChange(*drive, pick);
      const std::vector<uint8_t> after = WholeImage(image);
      if (!Succeeded(result)) {
        EXPECT_TRUE(before == after) << "a change that did not succeed wrote";
        EXPECT_TRUE(planned.empty() || result != EditResult::Refused) << "the dry run wrote what the real run refused";
        ++refused;
        continue;
      }
      for (uint64_t lba = 0; lba < kSectors; ++lba) {
        const bool changed = !std::equal(before.begin() + lba * 512, before.begin() + lba * 512 + 512, after.begin() + lba * 512);
        const auto plan = planned.find(lba);
        const bool inPlan = plan != planned.end() &&
                            !std::equal(plan->second.begin(), plan->second.end(), before.begin() + lba * 512);
        ASSERT_EQ(changed, inPlan) << "sector " << lba << (changed ? " changed outside the plan" : " was planned but not written");
        if (!changed) continue;
        EXPECT_TRUE(std::equal(plan->second.begin(), plan->second.end(), after.begin() + lba * 512)) << "sector " << lba;
        const TKnownVolume* owner = VolumeAt(volumes, lba);
        EXPECT_EQ(owner, nullptr) << "sector " << lba << " inside the volume at " << owner->First;
      }
      // A change that found the disk as it wanted it wrote nothing and left nothing to undo.
      if (after == before) continue;
      disks.push_back(after);
      ++changes;
    }
    for (size_t n = disks.size() - 1; n > 0; --n) {
      YesHost host;
      auto drive = ReadImage(image);
      ASSERT_TRUE(Succeeded(UndoLastChange(*drive))) << (host.messages.empty() ? "" : host.messages.back().text);
      const std::vector<uint8_t> now = WholeImage(image);
      for (uint64_t lba = 0; lba < kSectors; ++lba)
        ASSERT_TRUE(std::equal(now.begin() + lba * 512, now.begin() + lba * 512 + 512, disks[n - 1].begin() + lba * 512))
            << "undo " << disks.size() - n << " of " << disks.size() - 1 << ": sector " << lba;
      ++undos;
    }
    YesHost host;
    auto drive = ReadImage(image);
    EXPECT_EQ(UndoLastChange(*drive), EditResult::Refused);
    if (HasFailure()) break;
  }
  ::setenv("XDG_STATE_HOME", keptState.c_str(), 1);
  std::filesystem::remove_all(state);
  std::filesystem::remove(image);
  std::printf("%u layouts: %d changes written and undone (%d undos), %d refused\n", seeds, changes, undos, refused);
  EXPECT_GT(changes, static_cast<int>(seeds) / 2);
}

}  // namespace
}  // namespace qm::test
