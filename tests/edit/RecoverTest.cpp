#include <gtest/gtest.h>
#include <functional>

#include "disk/Chs.h"
#include "edit/Commit.h"
#include "edit/HandDisk.h"
#include "edit/Recover.h"
#include "edit/TableEdits.h"
#include "model/TableReader.h"
#include "support/ScriptedHost.h"

namespace qm::test {
namespace {

// The refusal of a find that overlaps the partitions of rows `rows` ("1", "1 and 3") of the list.
std::string Overlap(const std::string& rows) {
  const bool one = rows.find(' ') == std::string::npos;
  return std::string("The lost partition overlaps ") + (one ? "partition " : "partitions ") + rows +
         " of the list, so it cannot be recovered while " + (one ? "that partition is" : "they are") +
         " in the tables.\rUse 'Rebuild' to make new tables without " + (one ? "it" : "them") +
         ", or 'Clone' to copy the lost partition elsewhere.";
}
const std::string kNoVacancy =
    "There is no vacancy in the partition table.\rPlease use 'Rebuild' or 'Clone' instead of 'Recover'.";
const std::string kNoInnerSector = "There's no sufficient free space to move logical drive to Inner Extended Partition.";

// 32 MiB, 63 sectors a track:
//   P1   FAT32      2048 ..  10239   primary
//   X    extended  20480 ..  61439   first EBR at 20480
//   D    NTFS      22528 ..  28671   in the first EBR; link to the EBR at 32768
//   E    NTFS      32831 ..  40958   in the EBR at 32768
struct Layout : HandDisk {
  explicit Layout(bool withFaults = false) : HandDisk(65536, withFaults) {
    TPartition& root = drive->Root;
    p1 = Add(root, 0x0C, 2048, 8192, fkFat32);
    x = Add(root, 0x05, 20480, 40960);
    d = Add(*x, 0x07, 22528, 6144, fkNtfs);
    link = Add(*x, 0x05, 32768, 8192);
    e = Add(*link, 0x07, 32831, 8128, fkNtfs);
    Gap(root, 10240, 10240);
    Gap(*x, 41023, 20417);
    before = *data;
  }
  // LBAs of the sectors that differ from the layout as made.
  std::vector<uint64_t> ChangedSectors() const {
    std::vector<uint64_t> out;
    for (uint64_t lba = 0; lba < data->size() / 512; ++lba)
      if (!std::equal(data->begin() + lba * 512, data->begin() + lba * 512 + 512, before.begin() + lba * 512))
        out.push_back(lba);
    return out;
  }
  TPartition *p1, *x, *d, *link, *e;
  std::vector<uint8_t> before;
};

// Where a find goes: the tables written (as HandDisk::Table shows them), or the refusal and a
// disk and model left as they were. On a device that cannot be told of the new tables the find
// is still recovered: that is no failed write.
TEST(RecoverLostPartition, PlacesTheFindOrRefusesWithoutWriting) {
  const struct {
    const char* what;
    uint64_t start;
    uint32_t size;
    uint8_t kind;
    std::string refusal;  // empty: written
    std::vector<std::pair<uint64_t, std::string>> tables;
    int full = 0;  // a table filled up: 1 the first EBR (D, the link, a second logical drive), 2 the MBR
  } cases[] = {
      // A new entry takes the first free slot: the others keep theirs.
      {"a primary", 12288, 4096, fkFat16, "", {{0, "0c:2048+8192 05:20480+40960 06:12288+4096 00:0+0"}}},
      // Ending on sector 64512 or later, which CHS with one head cannot reach, FAT16 and FAT32
      // get their LBA type codes.
      {"FAT32 past the CHS limit", 62000, 2514, fkFat32, "", {{0, "0c:2048+8192 05:20480+40960 0c:62000+2514 00:0+0"}}},
      {"FAT16 on the CHS limit", 62000, 2513, fkFat16, "", {{0, "0c:2048+8192 05:20480+40960 0e:62000+2513 00:0+0"}}},
      {"FAT12 past the CHS limit", 62000, 2514, fkFat12, "", {{0, "0c:2048+8192 05:20480+40960 01:62000+2514 00:0+0"}}},
      // The first EBR takes the find and links to a new EBR at 22465, up to D's end, which holds
      // D one track in and the first EBR's old link.
      {"ahead of all logical drives", 20992, 1024, fkFat12, "",
       {{20480, "01:512+1024 05:1985+6207 00:0+0 00:0+0"}, {22465, "07:63+6144 05:12288+8192 00:0+0 00:0+0"}}},
      {"after a logical drive", 30720, 2000, fkFat16, "",
       {{20480, "07:2048+6144 05:10177+2063 00:0+0 00:0+0"}, {30657, "06:63+2000 05:12288+8192 00:0+0 00:0+0"}}},
      // NTFS keeps its backup boot sector behind the sectors it counts.
      {"NTFS with the sector behind it free", 12288, 4095, fkNtfs, "",
       {{0, "0c:2048+8192 05:20480+40960 07:12288+4096 00:0+0"}}},
      {"NTFS ending in front of the first EBR", 16384, 4096, fkNtfs, "",
       {{0, "0c:2048+8192 05:20480+40960 07:16384+4096 00:0+0"}}},
      // Ends at 22491: one track before D (22465) lies inside this partition; D's new EBR
      // goes to the nearest free sector in front of D instead.
      {"new EBR inside the find", 20992, 1500, fkNtfs, "",
       {{20480, "07:512+1501 05:2047+6145 00:0+0 00:0+0"}, {22527, "07:1+6144 05:12288+8192 00:0+0 00:0+0"}}},
      // Ends right in front of D: no sector is left for D's new EBR.
      {"no sector left in front of D", 20992, 1535, fkNtfs, kNoInnerSector, {}},
      {"overlapping P1", 9000, 4095, fkNtfs, Overlap("1"), {}},
      {"into a first EBR without vacancy", 20992, 1024, fkFat12, kNoVacancy, {}, 1},
      {"into a master boot record without vacancy", 12288, 4096, fkFat16, kNoVacancy, {}, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Layout disk(true);
    disk.faults->blockDevice = disk.faults->failReread = true;
    disk.drive->Geometry.Heads = 1;
    if (c.full == 1) disk.Add(*disk.x, 0x06, 29000, 2000, fkFat16);
    if (c.full == 2)
      for (uint32_t at : {62000u, 63000u}) disk.Add(disk.drive->Root, 0x07, at, 500);
    disk.before = *disk.data;
    TPartition* lost = disk.Lost(c.start, c.size, c.kind);
    const auto xChildren = disk.x->Children;
    const auto all = disk.drive->AllPartitions;
    const RecoverOutcome result = RecoverLostPartition(*disk.drive, *lost);
    EXPECT_FALSE(disk.drive->Scanning);
    if (!c.refusal.empty()) {
      EXPECT_EQ(result, RecoverResult::Refused);
      EXPECT_EQ(result.Told.Text, c.refusal);
      EXPECT_EQ(result.Told.Caption, c.refusal.starts_with("The lost") ? "Error" : "Recovering");
      EXPECT_TRUE(disk.ChangedSectors().empty());
      // The model still shows the disk as it is, and the find keeps its own size.
      EXPECT_EQ(disk.x->Children, xChildren);
      EXPECT_EQ(disk.drive->AllPartitions, all);
      EXPECT_EQ(disk.d->Parent, disk.x);
      EXPECT_TRUE(disk.drive->DirtyTables.empty());
      ASSERT_EQ(disk.drive->LostPartitions.size(), 1u);
      EXPECT_EQ(lost->Entry.TotalSectors, c.size);
      continue;
    }
    ASSERT_EQ(result, RecoverResult::NotNotified);
    std::vector<uint64_t> written;
    for (const auto& [lba, table] : c.tables) {
      written.push_back(lba);
      EXPECT_EQ(disk.Table(lba), table) << lba;
      EXPECT_TRUE(HasTableSignature(disk.SectorSpan(lba)));
    }
    EXPECT_EQ(disk.ChangedSectors(), written);
    EXPECT_TRUE(disk.drive->LostPartitions.empty());
  }
}

TEST(RecoverLostPartition, EntriesCarryTheirChsAddresses) {
  Layout disk;
  ASSERT_EQ(RecoverLostPartition(*disk.drive, *disk.Lost(20992, 1024, fkFat12)), RecoverResult::Written);
  const TDriveGeometry& g = disk.drive->Geometry;
  const TChs first = LbaToChs(g, 20992, false), last = LbaToChs(g, 22015, true), link = LbaToChs(g, 22465, false);
  const TPartitionEntry e = disk.EntryAt(20480, 0), l = disk.EntryAt(20480, 1);
  EXPECT_EQ(std::vector<int>({e.StartHead, e.StartSecCyl, e.EndHead, e.EndSecCyl, l.StartHead, l.StartSecCyl}),
            std::vector<int>({first.Head, first.SecCyl, last.Head, last.SecCyl, link.Head, link.SecCyl}));
}

TEST(RecoverLostPartition, LeftOverExtendedBaseWithoutExtendedPartition) {
  HandDisk disk;
  disk.Add(disk.drive->Root, 0x0C, 2048, 8192, fkFat32);
  disk.drive->ExtendedBase = 20480;  // the extended partition was deleted since the last read
  ASSERT_EQ(RecoverLostPartition(*disk.drive, *disk.Lost(24576, 4096, fkFat12)), RecoverResult::Written);
  EXPECT_EQ(disk.Table(0), "0c:2048+8192 01:24576+4096 00:0+0 00:0+0");
}

// Where a candidate goes, or why not: the refusal names every row of the list it overlaps (the
// rows are 1 P1, 2 the gap behind it, 3 X, 4 D, 5 E, 6 the gap behind E; the link in front of E
// is no row of its own and is named by E).
TEST(FindTargetTable, CollisionsWithPartitionsAndExtendedBoundaries) {
  Layout disk;
  TPhysicalDrv& drive = *disk.drive;
  const std::string outside = "Specified partition is empty or extends beyond the end of the disk.";
  const std::string tables = "The lost partition overlaps the master boot record or a partition of the disk, so it "
                             "cannot be recovered.\rUse 'Clone' to copy it elsewhere.";
  const struct {
    const char* what;
    uint64_t start;
    uint32_t size;
    TPartition* target;
    std::string refusal;
  } cases[] = {
      {"in the gap", 12288, 4096, &drive.Root, ""},
      {"ends right before the extended partition", 10240, 10240, &drive.Root, ""},
      {"inside the first EBR's track", 20481, 100, disk.x, ""},
      {"ends on the extended partition's last sector", 45056, 16384, disk.x, ""},
      {"wholly after it", 61440, 2048, &drive.Root, ""},
      {"on a linked EBR", 32768, 63, nullptr, Overlap("5")},
      {"straddles the extended partition's start", 19000, 2000, nullptr, Overlap("3")},
      {"straddles its end", 60000, 4000, nullptr, Overlap("3")},
      {"straddles the link's start", 30000, 3000, nullptr, Overlap("5")},
      {"shares P1's last sector", 10239, 100, nullptr, Overlap("1")},
      {"ends on P1's first sector", 1000, 1049, nullptr, Overlap("1")},
      {"shares D's last sector", 28671, 1, nullptr, Overlap("4")},
      {"over P1, the extended partition's start and D", 2000, 30000, nullptr, Overlap("1, 3 and 4")},
      {"over P1 and the start of the extended partition", 2048, 20000, nullptr, Overlap("1 and 3")},
      {"the master boot record", 0, 100, nullptr, tables},
      {"one sector past the disk's end", 65000, 537, nullptr, outside},
      {"up to the disk's end", 65000, 536, &drive.Root, ""},
      {"empty", 12288, 0, nullptr, outside},
      {"on the first EBR", 20480, 100, nullptr, Overlap("3")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TPartition candidate;
    candidate.Entry.RelativeSector = static_cast<uint32_t>(c.start);
    candidate.Entry.TotalSectors = c.size;
    Outcome why;
    EXPECT_EQ(FindTargetTable(drive, candidate, why), c.target);
    EXPECT_EQ(why.Text, c.refusal);
    EXPECT_EQ(why.Caption, c.refusal.empty() ? "" : "Error");
  }
}

TEST(FindInnerExtendedSector, OneTrackBeforeTheRecordElseTheNearestFreeSectorInFront) {
  Layout disk;
  TPhysicalDrv& drive = *disk.drive;
  TPartition lost;
  lost.Entry.TotalSectors = 100;
  std::vector<TKnownVolume> volumes = KnownVolumes(drive);
  auto sector = [&](uint64_t start) {
    lost.Entry.RelativeSector = static_cast<uint32_t>(start);
    return FindInnerExtendedSector(drive, lost, volumes);
  };
  EXPECT_EQ(sector(45056), 45056u - 63);
  EXPECT_EQ(sector(28671 + 63), 28671u + 62);  // one track before is D's last sector
  EXPECT_EQ(sector(28672 + 63), 28672u);
  EXPECT_EQ(sector(32768 + 63), 32768u + 62);  // one track before is a linked EBR
  EXPECT_EQ(sector(20480 + 1), kNoSector);     // nothing between the first EBR and the record
  EXPECT_EQ(sector(40), kNoSector);            // in front of the extended partition
  drive.Geometry.SectorsPerTrack = 0;
  EXPECT_EQ(sector(45056), 45056u - 1);
  drive.Geometry.SectorsPerTrack = 63;
  // A lost volume, or data, where the record would go: the nearest free sector in front.
  volumes.push_back({45056 - 63, 45056 - 1, nullptr});
  EXPECT_EQ(sector(45056), 45056u - 64);
  disk.data->at((45056 - 64) * 512 + 100) = 1;
  EXPECT_EQ(sector(45056), 45056u - 65);
}

// Every refusal of a recovery writes nothing and keeps the find: a busy drive, a GUID table, a
// find of another drive, tables another program changed on disk since they were read (the
// tables made from the model would undo its change), a chain the walk could not read to its end
// (a partition the model does not show may lie where a new table would go), and a sector that
// cannot be read for the check before the write.
TEST(RecoverSafety, RefusalsWriteNothingAndKeepTheFind) {
  const struct {
    const char* says;
    std::function<void(Layout&, TPartition&)> set;  // the damage, with the find
    uint64_t at = 12288;                            // where the find lies
    bool stranger = false;                          // recover a copy of the find
  } cases[] = {
      {"is busy", [](Layout& d, TPartition&) { d.drive->Scanning = true; }},
      {"GUID partition table", [](Layout& d, TPartition&) { d.drive->IsGpt = true; }},
      {"not a lost partition", [](Layout&, TPartition&) {}, 12288, true},
      {"has changed since it was read",
       [](Layout& d, TPartition& lost) {
         RereadTables(*d.drive);  // the model as the reader makes it, with the sectors it read
         EncodeEntry(d.SectorSpan(0), 2, TPartitionEntry{0, 0, 0, 0x83, 0, 0, 62000, 1000});
         EXPECT_FALSE(CheckRecoverPossible(*d.drive, lost));
       }},
      {"could not be read to their end",
       [](Layout& d, TPartition&) {
         d.faults->readFaults[32768 * 512] = Fault{FaultKind::Error, EIO, -1};
         ScriptedHost host({MsgAnswer::Abort});
         RereadTables(*d.drive);
         EXPECT_EQ(d.drive->WalkStoppedSector, Lba{32768});
       },
       45056},
      {"Input/output error", [](Layout& d, TPartition&) { d.faults->readFaults[0] = Fault{FaultKind::Error, EIO, -1}; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.says);
    Layout disk(true);
    TPartition* lost = disk.Lost(c.at, 1024, fkFat16);
    TPartition copy = *lost;
    c.set(disk, *lost);
    disk.before = *disk.data;
    const size_t children = disk.drive->Root.Children.size();
    const RecoverOutcome result = RecoverLostPartition(*disk.drive, c.stranger ? copy : *lost);
    EXPECT_EQ(result, RecoverResult::Refused);
    EXPECT_NE(result.Told.Text.find(c.says), std::string::npos) << result.Told.Text;
    EXPECT_EQ(result.Told.Caption, "Error");
    EXPECT_TRUE(disk.faults->writeOffsets.empty());
    EXPECT_TRUE(disk.ChangedSectors().empty());
    EXPECT_EQ(disk.drive->Root.Children.size(), children) << "the model shows the disk, not the plan";
    EXPECT_EQ(disk.drive->LostPartitions.size(), 1u);
  }
}

// A copy of a partition is no record of the drive: an edit of it is refused.
TEST(TableEditSafety, ARecordOfAnotherDriveIsRefused) {
  Layout disk;
  TPartition stranger = *disk.p1;
  EXPECT_EQ(DeletePartition(*disk.drive, stranger), EditResult::Refused);
  EXPECT_TRUE(disk.ChangedSectors().empty());
}

// The new EBR goes first; when the first EBR, which would link to it, cannot be written, the
// find stays lost, the user hears what reached the disk and where the record for undo is kept,
// and the system still hears of the table that was written.
TEST(RecoverFailures, FailedWriteKeepsTheFindAndTheChainWhole) {
  Layout faulty(true);
  TPartition* lost = faulty.Lost(20992, 1024, fkFat12);
  faulty.faults->blockDevice = true;
  faulty.faults->writeFaults[20480 * 512] = Fault{FaultKind::Error, EIO, -1};
  ScriptedHost host({MsgAnswer::Abort});
  std::vector<bool> busy;
  host.onMessage = [&] { busy.push_back(faulty.drive->Scanning); };
  const RecoverOutcome result = RecoverLostPartition(*faulty.drive, *lost);
  EXPECT_EQ(result, RecoverResult::WriteFailed);
  ASSERT_EQ(host.messages.size(), 1u);  // the sector layer's question
  EXPECT_EQ(result.Told.Text.rfind("Recover partition Failed.\rsector 20480 could not be written (Input/output "
                                   "error); 1 of 2 sectors were written.\rWhat was written is recorded in ",
                                   0),
            0u)
      << result.Told.Text;
  EXPECT_EQ(result.Told.Caption, "Error");
  EXPECT_EQ(busy, std::vector<bool>{true});  // asked while writing
  EXPECT_FALSE(faulty.drive->Scanning);
  EXPECT_EQ(faulty.drive->LostPartitions.size(), 1u);
  EXPECT_EQ(faulty.faults->writeOffsets, (std::vector<uint64_t>{(22528 - 63) * 512, 20480 * 512}));
  EXPECT_EQ(faulty.ChangedSectors(), std::vector<uint64_t>{22528 - 63});
  EXPECT_EQ(faulty.faults->rereads, 1);
}

}  // namespace
}  // namespace qm::test
