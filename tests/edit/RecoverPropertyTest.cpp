// Chains of random changes (recover, delete, set active, hide, rebuild) over many seeded random
// layouts, sound and damaged (cycles, overlaps, an extended entry at sector 0, two extended
// entries, entries past the end, chains over the walk's limit), with lost FAT16 and NTFS volumes
// side by side in a random free place; a third of the layouts are GUID partition tables, sound
// or with a damaged copy or entry.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
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
#include "model/Gpt.h"
#include "model/TableReader.h"
#include "scan/Scanner.h"
#include "support/Fixtures.h"
#include "support/ScriptedHost.h"

namespace qm::test {
namespace {

constexpr uint32_t kSectors = 32768;

class LayoutBuilder {
 public:
  explicit LayoutBuilder(uint32_t seed) : rng_(seed) {}

  std::map<uint64_t, TSector> sectors;  // every sector written
  std::pair<uint64_t, uint64_t> lost{0, kSectors};  // [start, end) of the lost volumes, if any

  // The layout as a sparse image file of kSectors sectors; its path.
  std::string Image() const {
    const std::string image = SparseImage("chain.img", uint64_t{kSectors} * 512);
    for (const auto& [lba, sector] : sectors) WriteFileBytes(image, lba * 512, {sector.begin(), sector.end()});
    return image;
  }

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
    PlaceLost(free);
  }

  // A GUID partition table of up to four partitions with gaps between them, written by our
  // own codec; now and then with a damaged backup header, an entry past the usable sectors,
  // or a hybrid boot record.
  void BuildGpt() {
    Entry(0, 0, kTypeGptProtective, 1, kSectors - 1);
    TGpt gpt;
    gpt.DiskSectors = kSectors;
    gpt.BackupLba = kSectors - 1;
    gpt.FirstUsableLba = 34;
    gpt.LastUsableLba = kSectors - 34;
    gpt.DiskGuid = NewPartitionGuid({}, static_cast<uint32_t>(Pick(1, 1000)), Pick(1, 1000));
    const TGuid types[] = {*GptTypeForFsKind(fkFat16), *GptTypeForFsKind(fkLinuxExt2)};
    std::vector<std::pair<uint64_t, uint64_t>> free;
    uint64_t pos = gpt.FirstUsableLba;
    for (uint32_t slot = 1, count = static_cast<uint32_t>(Pick(0, 4)); slot <= count; ++slot) {
      const uint64_t gap = Pick(0, 4000), size = Pick(50, 4000);
      if (gap > 100) free.emplace_back(pos, pos + gap);
      pos += gap;
      if (pos + size > gpt.LastUsableLba) break;
      TGptEntry e;
      e.Index = static_cast<uint32_t>(Pick(0, 1)) ? slot : slot + 4;  // slots with holes between them
      e.Type = types[Pick(0, 1)];
      e.Unique = NewPartitionGuid(gpt.DiskGuid, e.Index, pos);
      e.FirstLba = pos;
      e.LastLba = pos + size - 1;
      gpt.Entries.push_back(e);
      pos += size;
    }
    if (pos + 100 < gpt.LastUsableLba) free.emplace_back(pos, gpt.LastUsableLba + 1);
    const int damage = static_cast<int>(Pick(0, 9));
    if (damage == 0 && !gpt.Entries.empty()) gpt.Entries.back().LastLba = gpt.LastUsableLba + 10;
    std::vector<TGptWrite> runs;
    EXPECT_TRUE(ComposeGpt(gpt, runs));
    for (const TGptWrite& run : runs)
      for (size_t at = 0; at < run.Bytes.size(); at += 512) std::copy_n(&run.Bytes[at], 512, At(run.Lba + at / 512).begin());
    if (damage == 1) At(gpt.BackupLba)[16] ^= 0xFF;                               // the backup header's checksum
    if (damage == 2 && !gpt.Entries.empty()) Entry(0, 1, 0x07, 40, 10);        // a hybrid boot record
    PlaceLost(free);
  }

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
    const bool room = slot < 4;
    switch (Pick(0, 13)) {
      case 0: if (ebrs_.size() > 1) Entry(ebrs_.back(), 1, 0x05, 0, 500); break;  // a cycle back to the first EBR
      case 1: if (room) Entry(0, slot, 0x05, 0, kSectors); break;                 // an extended entry at sector 0
      case 2: if (room) Entry(0, slot, 0x0F, static_cast<uint32_t>(Pick(64, kSectors - 2000)), 1500); break;  // a second extended entry
      case 3:  // an entry that overlaps the others
        if (room) Entry(0, slot, 0x07, static_cast<uint32_t>(Pick(64, kSectors / 2)), static_cast<uint32_t>(Pick(100, kSectors / 2)));
        break;
      case 4: if (room) Entry(0, slot, 0x06, kSectors + static_cast<uint32_t>(Pick(0, 5000)), 1000); break;  // past the end
      case 5:  // a chain longer than the walk reads
        for (uint64_t ebr = ebrs_.empty() ? kSectors : ebrs_.back(), i = 0; i < 300 && ebr + 4 < kSectors; ++i, ebr += 3) {
          Entry(ebr, 2, 0x06, 1, 1);
          Entry(ebr, 3, 0x05, static_cast<uint32_t>(ebr + 3 - xs_), 3);
        }
        break;
      case 6: if (ebrs_.size() > 1) At(ebrs_[1])[511] = 0; break;  // an EBR without its signature ends the chain early
      case 7: if (room) Entry(0, slot, 0x0B, static_cast<uint32_t>(Pick(64, kSectors - 1)), 0); break;  // of size zero
      default: break;  // a sound layout
    }
  }

  // A FAT16 boot sector in a free place, sized to fit it; where there is room, right behind it
  // a second lost volume, FAT16 or NTFS (with its backup boot sector in its last sector).
  void PlaceLost(const std::vector<std::pair<uint64_t, uint64_t>>& free) {
    if (free.empty()) return;
    const auto [from, to] = free[Pick(0, free.size() - 1)];
    if (to <= from + 40) return;
    const uint64_t start = Pick(from, to - 40);
    const uint64_t size = Pick(16, std::min<uint64_t>(to - start, 4000));
    Fat16At(start, size);
    const uint64_t next = start + size;
    lost = {start, next};
    if (next + 40 >= to) return;
    const uint64_t nextSize = Pick(16, std::min<uint64_t>(to - next, 4000) - 1);
    lost.second = next + nextSize;
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
  }

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

EntryKey KeyOf(const TPartition& r) { return {r.AbsoluteStart(), r.Entry.TotalSectors, r.Entry.SystemId}; }

// The used entries of the drive's tables, sorted; with or without the links between extended
// boot records.
std::vector<EntryKey> Entries(const TPhysicalDrv& drive, bool links = false) {
  std::vector<EntryKey> keys;
  for (const TPartition* r : drive.AllPartitions)
    if (r != &drive.Root && !r->IsGap() && (links || !IsNestedExtended(drive, *r))) keys.push_back(KeyOf(*r));
  std::sort(keys.begin(), keys.end());
  return keys;
}

struct YesHost : ScriptedHost {
  YesHost() { yesToAll = true; }
};

// The sectors of both copies of a drive's GUID partition table; empty when it has none.
std::vector<uint64_t> GptSectors(const TPhysicalDrv& drive) {
  if (!drive.GptRead || !drive.GptRead->Gpt) return {};
  const TGpt& gpt = *drive.GptRead->Gpt;
  std::vector<uint64_t> out{1, gpt.BackupLba};
  for (uint64_t i = 0; i < gpt.ArraySectors(); ++i) out.insert(out.end(), {gpt.EntryLba + i, gpt.BackupLba - gpt.ArraySectors() + i});
  return out;
}

enum Op { kRecover, kDelete, kActive, kHide, kRebuild, kNoOp };
const char* const kOpNames[] = {"recover", "delete", "set active", "hide", "rebuild"};

// What RandomChange did: the kind of change, the entry it aimed at (for a recovery the find),
// and how it ended. kNoOp when the drive offered nothing to change.
struct Done {
  Op op = kNoOp;
  EntryKey key{};
  EditResult result = EditResult::Refused;
};

// One random change of the drive: recover a find, delete, set active or hide a partition, or
// rebuild from a random choice of partitions and finds (the others left out).
Done RandomChange(TPhysicalDrv& drive, std::mt19937& pick) {
  std::vector<TPartition*> listed, lost;
  for (TPartition* r : drive.AllPartitions)
    if (r != &drive.Root && !r->IsGap() && !IsNestedExtended(drive, *r)) listed.push_back(r);
  for (auto& find : drive.LostPartitions) lost.push_back(find.get());
  const int op = static_cast<int>(pick() % 5);
  if (op == 0 && !lost.empty()) {
    TPartition& find = *lost[pick() % lost.size()];
    Done done{kRecover, KeyOf(find)};
    const RecoverResult result = RecoverLostPartition(drive, find);
    // Recovery on an image either writes or refuses.
    done.result = result == RecoverResult::Written   ? EditResult::Written
                  : result == RecoverResult::Refused ? EditResult::Refused
                                                     : EditResult::WriteFailed;
    return done;
  }
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
    return {kRebuild, {}, RebuildPartitionTable(drive, chosen)};
  }
  if (listed.empty()) return {};
  TPartition& record = *listed[pick() % listed.size()];
  Done done{op == 1 ? kDelete : op == 2 ? kActive : kHide, KeyOf(record)};
  done.result = done.op == kDelete ? DeletePartition(drive, record)
                : done.op == kActive ? SetActivePartition(drive, record)
                                     : HidePartition(drive, record);
  return done;
}

// What a successful change did, seen from the disk. On a GUID partition table only the sectors
// of its two copies change and both stay sound and alike; elsewhere only the entry areas and
// signatures of table sectors (as they were, or for a recovery as they are now). A recovery adds
// exactly its find and keeps every entry and link; delete takes out its own entry, hide toggles
// its type's hidden bit, set active keeps the entries. sfdisk reads the entries our reader reads.
void ExpectChangeOwnEntries(const Done& done, const std::vector<uint8_t>& before, const std::vector<uint8_t>& after,
                            const TPhysicalDrv& was, const std::string& image) {
  SCOPED_TRACE(done.op < kNoOp ? kOpNames[done.op] : "nothing");
  auto reread = ReadImage(image);
  const bool gpt = was.GptRead && was.GptRead->Gpt;
  const std::vector<uint64_t> gptSectors = GptSectors(was);
  const auto& tables = (done.op == kRecover ? *reread : was).TableSectors;
  for (size_t lba = 0; (done.op != kRebuild || gpt) && lba < before.size() / 512; ++lba) {
    const uint8_t *b = &before[lba * 512], *a = &after[lba * 512];
    if (std::equal(b, b + 512, a)) continue;
    EXPECT_TRUE(gpt ? std::count(gptSectors.begin(), gptSectors.end(), lba) != 0
                    : std::any_of(tables.begin(), tables.end(), [&](const auto& t) { return t.first == lba; }))
        << "sector " << lba << " is no table";
    EXPECT_TRUE(gpt || std::equal(b, b + 446, a)) << "bytes below 446 of sector " << lba;
  }
  if (gpt) {
    // The system's own check of both copies, where its tool is installed.
    static const bool sgdisk = RunCommand(kToolPath + "command -v sgdisk >/dev/null") == 0;
    std::string verified;
    if (sgdisk) {
      RunCommand(kToolPath + "sgdisk -v " + ShellQuote(image), &verified);
      EXPECT_NE(verified.find("No problems found"), std::string::npos) << verified;
    }
    ASSERT_TRUE(reread->GptRead && reread->GptRead->Gpt);
    EXPECT_EQ(reread->GptRead->Used, GptCopy::Primary);
    EXPECT_EQ(reread->GptRead->Backup.Fault, GptFault::None) << reread->GptRead->Backup.Text;
  }
  const std::vector<EntryKey> now = Entries(*reread);
  std::vector<EntryKey> expected = Entries(was);
  if (done.op == kRecover) {
    const std::vector<EntryKey> linked = Entries(*reread, true), wasLinked = Entries(was, true);
    EXPECT_TRUE(std::includes(linked.begin(), linked.end(), wasLinked.begin(), wasLinked.end()))
        << "an entry that was in a table is gone or changed";
    std::vector<EntryKey> added;
    std::set_difference(now.begin(), now.end(), expected.begin(), expected.end(), std::back_inserter(added));
    ASSERT_EQ(added.size(), 1u) << "the recovered partition must stand in exactly one table";
    EXPECT_EQ(std::get<0>(added[0]), std::get<0>(done.key));
  } else if (done.op != kRebuild) {  // a rebuild makes the entries of its choice
    const auto where = std::find(expected.begin(), expected.end(), done.key);
    ASSERT_NE(where, expected.end());
    if (done.op == kHide && !gpt) std::get<2>(*where) ^= 0x10;
    if (done.op == kDelete) expected.erase(where);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(now, expected);
  }
  if (gpt) return;
  std::vector<EntryKey> sfdisk = SfdiskEntries(image);
  std::sort(sfdisk.begin(), sfdisk.end());
  EXPECT_EQ(sfdisk, now);
}

// Chains of up to five random changes on the layouts, with lost FAT16 and NTFS volumes side by
// side: a change that does not succeed leaves the disk as it was; one that succeeds writes
// exactly what its dry run showed, nothing inside a volume known before it, and no more than
// its own entries (ExpectChangeOwnEntries); undo, as often as there were changes, gives back
// each earlier disk byte for byte, and then has nothing left to undo.
// QM_RECOVER_SEEDS sets the number of layouts (default 300).
TEST(ChangeChainPropertyOnImages, DryRunIsTheRealRunAndUndoWalksBack) {
  const uint32_t seeds = std::getenv("QM_RECOVER_SEEDS") ? std::stoul(std::getenv("QM_RECOVER_SEEDS")) : 300;
  const std::string state = std::getenv("XDG_STATE_HOME");  // this process's own
  int changes = 0, written[kNoOp] = {}, refused[kNoOp + 1] = {}, gptWritten = 0;
  for (uint32_t seed = 1; seed <= seeds; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::filesystem::remove_all(state);
    LayoutBuilder layout(seed);
    seed % 3 == 0 ? layout.BuildGpt() : layout.Build();
    const std::string image = layout.Image();
    // Only the lost volumes hold boot sectors: the scan covers them alone.
    const auto scanFrom = static_cast<int64_t>(layout.lost.first), scanCount = static_cast<int64_t>(layout.lost.second) - scanFrom;
    std::mt19937 pick(seed);
    std::vector<std::vector<uint8_t>> disks = {ReadWholeImage(image)};
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
        EXPECT_TRUE(DetectLostPartitions(*drive, drive->Root, {}, scanFrom, scanCount, false));
        SetAutomaticBackups(false);
        (void)RandomChange(*drive, dryPick);
        SetAutomaticBackups(true);
        for (const auto& [lba, bytes] : source->Written()) planned[lba] = bytes;
      }
      YesHost host;
      auto drive = ReadImage(image);
      EXPECT_TRUE(DetectLostPartitions(*drive, drive->Root, {}, scanFrom, scanCount, false));
      const std::vector<TKnownVolume> volumes = KnownVolumes(*drive);
      auto was = ReadImage(image);  // the model before the change, which rereads `drive`
      const std::vector<uint8_t> before = ReadWholeImage(image);
      const Done done = RandomChange(*drive, pick);
      const std::vector<uint8_t> after = ReadWholeImage(image);
      if (!Succeeded(done.result)) {
        ASSERT_TRUE(done.op != kRecover || done.result == EditResult::Refused);
        EXPECT_TRUE(before == after) << "a change that did not succeed wrote";
        EXPECT_TRUE(planned.empty() || done.result != EditResult::Refused) << "the dry run wrote what the real run refused";
        ++refused[done.op];
        continue;
      }
      ++written[done.op];
      if (was->GptRead && was->GptRead->Gpt) ++gptWritten;
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
      ExpectChangeOwnEntries(done, before, after, *was, image);
      // A change that found the disk as it wanted it wrote nothing and left nothing to undo.
      if (after == before) continue;
      disks.push_back(after);
      ++changes;
    }
    for (size_t n = disks.size() - 1; n > 0; --n) {
      YesHost host;
      auto drive = ReadImage(image);
      ASSERT_TRUE(Succeeded(UndoLastChange(*drive))) << (host.messages.empty() ? "" : host.messages.back().text);
      const std::vector<uint8_t> now = ReadWholeImage(image);
      const auto differ = std::mismatch(now.begin(), now.end(), disks[n - 1].begin()).first;
      ASSERT_EQ(differ, now.end()) << "undo " << disks.size() - n << " of " << disks.size() - 1 << ": sector "
                                   << (differ - now.begin()) / 512;
    }
    YesHost host;
    auto drive = ReadImage(image);
    EXPECT_EQ(UndoLastChange(*drive), EditResult::Refused);
    if (HasFailure()) break;
  }
  std::filesystem::remove(ProcessFixtureDir() + "/chain.img");
  // Both outcomes of every kind of change must be reached often, or the layouts test nothing.
  for (int op = kRecover; op < kNoOp; ++op) {
    EXPECT_GT(written[op], static_cast<int>(seeds) / 10) << kOpNames[op] << ": " << written[op] << " written";
    EXPECT_GT(refused[op], static_cast<int>(seeds) / 20) << kOpNames[op] << ": " << refused[op] << " refused";
  }
  EXPECT_GT(changes, static_cast<int>(seeds) / 2);
  EXPECT_GT(gptWritten, static_cast<int>(seeds) / 20);
}

}  // namespace
}  // namespace qm::test
