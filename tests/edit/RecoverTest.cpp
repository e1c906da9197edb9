#include <gtest/gtest.h>

#include <filesystem>

#include "disk/Chs.h"
#include "edit/Commit.h"
#include "edit/HandDisk.h"
#include "edit/Recover.h"
#include "model/TableReader.h"
#include "support/ScriptedHost.h"

namespace qm::test {
namespace {

const std::string kOverlap =
    "Specified partition overlaps one or more existing partitions.\rPlease delete these partitions before "
    "recovery. You can also\rclone lost partition to an empty existing partition.";
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

TEST(RecoverPrimary, AddsOneEntryToTheMasterBootRecordOnly) {
  ScriptedHost host;
  Layout disk;
  TPartition* lost = disk.Lost(12288, 4096, fkFat16);
  ASSERT_EQ(RecoverLostPartition(*disk.drive, *lost), RecoverResult::Written);
  EXPECT_TRUE(host.messages.empty());
  EXPECT_EQ(disk.ChangedSectors(), std::vector<uint64_t>{0});
  EXPECT_EQ(disk.Table(0), "0c:2048+8192 06:12288+4096 05:20480+40960 00:0+0");
  TChs first = LbaToChs(disk.drive->Geometry, 12288, false), last = LbaToChs(disk.drive->Geometry, 16383, true);
  EXPECT_EQ(disk.EntryAt(0, 1).StartHead, first.Head);
  EXPECT_EQ(disk.EntryAt(0, 1).StartSecCyl, first.SecCyl);
  EXPECT_EQ(disk.EntryAt(0, 1).EndHead, last.Head);
  EXPECT_EQ(disk.EntryAt(0, 1).EndSecCyl, last.SecCyl);
  EXPECT_TRUE(disk.drive->LostPartitions.empty());
  EXPECT_FALSE(disk.drive->Scanning);
}

TEST(RecoverPrimary, FullMasterBootRecordIsRefusedAndNothingWritten) {
  ScriptedHost host;
  HandDisk disk;
  for (uint32_t i = 0; i < 4; ++i) disk.Add(disk.drive->Root, 0x07, 2048 + i * 8192, 4096, fkNtfs);
  const std::vector<uint8_t> before = *disk.data;
  TPartition* lost = disk.Lost(40960, 4096, fkFat16);
  EXPECT_EQ(RecoverLostPartition(*disk.drive, *lost), RecoverResult::Refused);
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text, kNoVacancy);
  EXPECT_EQ(host.messages[0].caption, "Recovering");
  EXPECT_EQ(host.messages[0].icon, MsgIcon::Error);
  EXPECT_EQ(*disk.data, before);
  EXPECT_EQ(disk.drive->LostPartitions.size(), 1u);
  EXPECT_EQ(disk.drive->Root.Children.size(), 4u);
  EXPECT_EQ(disk.drive->AllPartitions.size(), 5u);
}

TEST(RecoverPrimary, LeftOverExtendedBaseWithoutExtendedPartition) {
  ScriptedHost host;
  HandDisk disk;
  disk.Add(disk.drive->Root, 0x0C, 2048, 8192, fkFat32);
  disk.drive->ExtendedBase = 20480;  // the extended partition was deleted since the last read
  TPartition* lost = disk.Lost(24576, 4096, fkFat12);
  ASSERT_EQ(RecoverLostPartition(*disk.drive, *lost), RecoverResult::Written);
  EXPECT_EQ(disk.Table(0), "0c:2048+8192 01:24576+4096 00:0+0 00:0+0");
}

TEST(RecoverLogical, AheadOfAllLogicalDrivesMovesTheFirstOneIntoANewRecord) {
  ScriptedHost host;
  Layout disk;
  TPartition* lost = disk.Lost(20992, 1024, fkFat12);
  ASSERT_EQ(RecoverLostPartition(*disk.drive, *lost), RecoverResult::Written);
  EXPECT_TRUE(host.messages.empty());
  const uint64_t inner = 22528 - 63;
  EXPECT_EQ(disk.ChangedSectors(), (std::vector<uint64_t>{20480, inner}));
  // First EBR: the recovered partition and a link to the new EBR at 22465, up to D's end.
  EXPECT_EQ(disk.Table(20480), "01:512+1024 05:1985+6207 00:0+0 00:0+0");
  // New EBR: the old logical drive one track in, then the first EBR's old link.
  EXPECT_EQ(disk.Table(inner), "07:63+6144 05:12288+8192 00:0+0 00:0+0");
  EXPECT_TRUE(disk.Signed(inner));
  TChs linkStart = LbaToChs(disk.drive->Geometry, inner, false);
  EXPECT_EQ(disk.EntryAt(20480, 1).StartSecCyl, linkStart.SecCyl);
  EXPECT_EQ(disk.EntryAt(20480, 1).StartHead, linkStart.Head);
}

TEST(RecoverLogical, NewRecordInsideThePartitionJustPlacedIsRefused) {
  ScriptedHost host;
  Layout disk;
  // Ends at 22491: the new EBR for D would go to 22465, inside this partition.
  TPartition* lost = disk.Lost(20992, 1500, fkNtfs);
  const auto xChildren = disk.x->Children;
  const auto all = disk.drive->AllPartitions;
  EXPECT_EQ(RecoverLostPartition(*disk.drive, *lost), RecoverResult::Refused);
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text, kNoInnerSector);
  EXPECT_EQ(host.messages[0].caption, "Recovering");
  EXPECT_EQ(host.messages[0].icon, MsgIcon::Error);
  EXPECT_TRUE(disk.ChangedSectors().empty());
  // The model still shows the disk as it is, and the find keeps its own size.
  EXPECT_EQ(disk.x->Children, xChildren);
  EXPECT_EQ(disk.drive->AllPartitions, all);
  EXPECT_EQ(disk.d->Parent, disk.x);
  EXPECT_EQ(disk.link->Parent, disk.x);
  EXPECT_TRUE(disk.drive->DirtyTables.empty());
  ASSERT_EQ(disk.drive->LostPartitions.size(), 1u);
  EXPECT_EQ(lost->Entry.TotalSectors, 1500u);
}

TEST(RecoverLogical, AfterALogicalDriveGetsItsOwnRecordInTheChain) {
  ScriptedHost host;
  Layout disk;
  // Between D (in the first EBR) and the EBR at 32768.
  TPartition* lost = disk.Lost(30720, 2000, fkFat16);
  ASSERT_EQ(RecoverLostPartition(*disk.drive, *lost), RecoverResult::Written);
  EXPECT_TRUE(host.messages.empty());
  const uint64_t inner = 30720 - 63;
  EXPECT_EQ(disk.ChangedSectors(), (std::vector<uint64_t>{20480, inner}));
  // The first EBR links to the new one at 30657, which holds the find and the old link.
  EXPECT_EQ(disk.Table(20480), "07:2048+6144 05:10177+2063 00:0+0 00:0+0");
  EXPECT_EQ(disk.Table(inner), "06:63+2000 05:12288+8192 00:0+0 00:0+0");
}

TEST(RecoverLogical, FirstRecordWithTwoLogicalDrivesHasNoVacancy) {
  ScriptedHost host;
  Layout disk;
  disk.Add(*disk.x, 0x06, 29000, 2000, fkFat16);  // a damaged first EBR: D, link and a second logical
  disk.before = *disk.data;
  TPartition* lost = disk.Lost(20992, 1024, fkFat12);
  EXPECT_EQ(RecoverLostPartition(*disk.drive, *lost), RecoverResult::Refused);
  EXPECT_EQ(host.messages.at(0).text, kNoVacancy);
  EXPECT_TRUE(disk.ChangedSectors().empty());
}

TEST(FindTargetTable, CollisionsWithPartitionsAndExtendedBoundaries) {
  Layout disk;
  TPhysicalDrv& drive = *disk.drive;
  auto target = [&](uint64_t start, uint32_t size) {
    TPartition candidate;
    candidate.Entry.RelativeSector = static_cast<uint32_t>(start);
    candidate.Entry.TotalSectors = size;
    ScriptedHost host;
    TPartition* t = FindTargetTable(drive, candidate, true);
    EXPECT_TRUE(host.messages.empty()) << "quiet";
    return t;
  };
  EXPECT_EQ(target(12288, 4096), &drive.Root);
  EXPECT_EQ(target(10240, 10240), &drive.Root);  // ends right before the extended partition
  EXPECT_EQ(target(20481, 100), disk.x);          // inside the first EBR's track
  EXPECT_EQ(target(45056, 16384), disk.x);        // ends on the extended partition's last sector
  EXPECT_EQ(target(61440, 2048), &drive.Root);    // wholly after it
  EXPECT_EQ(target(20480, 100), nullptr);         // on the first EBR
  EXPECT_EQ(target(32768, 63), nullptr);          // on a linked EBR
  EXPECT_EQ(target(19000, 2000), nullptr);        // straddles the extended partition's start
  EXPECT_EQ(target(60000, 4000), nullptr);        // straddles its end
  EXPECT_EQ(target(30000, 3000), nullptr);        // straddles the link's start
  EXPECT_EQ(target(10239, 100), nullptr);         // shares P1's last sector
  EXPECT_EQ(target(1000, 1049), nullptr);          // ends on P1's first sector
  EXPECT_EQ(target(28671, 1), nullptr);           // shares D's last sector
  EXPECT_EQ(target(0, 100), nullptr);             // the master boot record
  EXPECT_EQ(target(65000, 537), nullptr);         // one sector past the disk's end
  EXPECT_EQ(target(65000, 536), &drive.Root);
  EXPECT_EQ(target(12288, 0), nullptr);
}

TEST(FindTargetTable, TellsTheUserUnlessQuiet) {
  Layout disk;
  TPartition candidate;
  candidate.Entry.RelativeSector = 20480;
  candidate.Entry.TotalSectors = 100;
  {
    ScriptedHost host;
    EXPECT_EQ(FindTargetTable(*disk.drive, candidate, false), nullptr);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text, kOverlap);
    EXPECT_EQ(host.messages[0].caption, "Error");
    EXPECT_EQ(host.messages[0].icon, MsgIcon::Warning);
  }
  DebugMode = true;
  {
    ScriptedHost host;
    EXPECT_EQ(FindTargetTable(*disk.drive, candidate, false), nullptr);
    ASSERT_EQ(host.messages.size(), 2u);
    EXPECT_EQ(host.messages[1].text, "overlap0 = 5000");
    candidate.Entry.RelativeSector = 8192;
    host.messages.clear();
    EXPECT_EQ(FindTargetTable(*disk.drive, candidate, false), nullptr);
    ASSERT_EQ(host.messages.size(), 2u);
    EXPECT_EQ(host.messages[1].text, "overlap1 = 800");
  }
  DebugMode = false;
}

TEST(RecoverNtfs, UsesOneMoreSectorWhenItIsFree) {
  {
    ScriptedHost host;
    Layout disk;
    TPartition* lost = disk.Lost(12288, 4095, fkNtfs);
    ASSERT_EQ(RecoverLostPartition(*disk.drive, *lost), RecoverResult::Written);
    EXPECT_EQ(disk.Table(0), "0c:2048+8192 07:12288+4096 05:20480+40960 00:0+0");
  }
  {
    ScriptedHost host;
    Layout disk;
    // Ends on the sector before the extended partition's first EBR.
    TPartition* lost = disk.Lost(16384, 4096, fkNtfs);
    ASSERT_EQ(RecoverLostPartition(*disk.drive, *lost), RecoverResult::Written);
    EXPECT_TRUE(host.messages.empty()) << "the quiet attempt says nothing";
    EXPECT_EQ(disk.Table(0), "0c:2048+8192 07:16384+4096 05:20480+40960 00:0+0");
  }
  {
    ScriptedHost host;
    Layout disk;  // refused for another reason: the find keeps its own count
    TPartition* lost = disk.Lost(9000, 4095, fkNtfs);
    EXPECT_EQ(RecoverLostPartition(*disk.drive, *lost), RecoverResult::Refused);
    EXPECT_EQ(lost->Entry.TotalSectors, 4095u);
  }
}

TEST(NewEntryType, FollowsTheFileSystemAndTheChsLimit) {
  TDriveGeometry g;
  g.Heads = 4;
  g.SectorsPerTrack = 63;
  g.TotalSectors = 1000000;
  TPhysicalDrv drive(0x80, g);
  const uint64_t limit = ChsLimit(g);
  ASSERT_EQ(limit, 258048u);
  auto type = [&](uint8_t kind, uint64_t lastSector, uint8_t ownType = 0x42) {
    TPartition p;
    p.FsKind = kind;
    p.Entry.SystemId = ownType;
    p.Entry.RelativeSector = 1000;
    p.Entry.TotalSectors = static_cast<uint32_t>(lastSector - 1000 + 1);
    return NewEntryType(drive, p);
  };
  EXPECT_EQ(type(fkFat32, limit), 0x0B);
  EXPECT_EQ(type(fkFat32, limit + 1), 0x0C);
  EXPECT_EQ(type(fkFat16, limit), 0x06);
  EXPECT_EQ(type(fkFat16, limit + 1), 0x0E);
  EXPECT_EQ(type(fkFat12, limit + 1), 0x01);
  EXPECT_EQ(type(fkNtfs, 5000), 0x07);
  EXPECT_EQ(type(fkHpfs, 5000), 0x07);
  EXPECT_EQ(type(fkLinuxExt2, 5000, 0x83), 0x83);
}

TEST(HasVacancy, CountsUsedEntriesAndLogicalDrives) {
  Layout disk;
  TPhysicalDrv& drive = *disk.drive;
  EXPECT_TRUE(HasVacancy(drive, drive.Root));      // P1, X and a gap
  EXPECT_TRUE(HasVacancy(drive, *disk.x));         // a logical drive and a link
  EXPECT_TRUE(HasVacancy(drive, *disk.link));      // one logical drive
  disk.Add(*disk.link, 0x07, 40000, 500);
  EXPECT_FALSE(HasVacancy(drive, *disk.link));     // two logical drives
  disk.Add(drive.Root, 0x07, 62000, 500);
  EXPECT_TRUE(HasVacancy(drive, drive.Root));
  disk.Add(drive.Root, 0x07, 63000, 500);
  EXPECT_FALSE(HasVacancy(drive, drive.Root));     // four used entries
}

TEST(FindInnerExtendedSector, OneTrackBeforeTheRecordWhenThatSectorIsFree) {
  Layout disk;
  TPhysicalDrv& drive = *disk.drive;
  TPartition lost;
  lost.Entry.TotalSectors = 100;
  auto sector = [&](uint64_t start) {
    lost.Entry.RelativeSector = static_cast<uint32_t>(start);
    return FindInnerExtendedSector(drive, lost);
  };
  EXPECT_EQ(sector(45056), 45056u - 63);
  EXPECT_EQ(sector(28671 + 63), kNoSector);  // D's last sector
  EXPECT_EQ(sector(28672 + 63), 28672u);
  EXPECT_EQ(sector(32768 + 63), kNoSector);  // a linked EBR
  EXPECT_EQ(sector(32769 + 63), 32769u);     // a link occupies only its table sector
  EXPECT_EQ(sector(20480 + 63), kNoSector);  // the first EBR
  EXPECT_EQ(sector(20480 + 30), kNoSector);  // in front of the extended partition
  EXPECT_EQ(sector(40), kNoSector);
  drive.Geometry.SectorsPerTrack = 0;
  EXPECT_EQ(sector(45056), kNoSector);
}

TEST(RecoverSafety, BusyGptAndForeignRecordsWriteNothing) {
  Layout disk;
  TPartition* lost = disk.Lost(12288, 4096, fkFat16);
  {
    ScriptedHost host;
    disk.drive->Scanning = true;
    EXPECT_EQ(RecoverLostPartition(*disk.drive, *lost), RecoverResult::Refused);
    EXPECT_TRUE(disk.drive->Scanning);
    EXPECT_EQ(host.Captions(), std::vector<std::string>{"Error"});
    disk.drive->Scanning = false;
  }
  {
    ScriptedHost host;
    disk.drive->IsGpt = true;
    EXPECT_EQ(RecoverLostPartition(*disk.drive, *lost), RecoverResult::Refused);
    EXPECT_EQ(host.Captions(), std::vector<std::string>{"Error"});
    disk.drive->IsGpt = false;
  }
  {
    ScriptedHost host;
    disk.drive->Geometry.BytesPerSector = 4096;
    EXPECT_EQ(RecoverLostPartition(*disk.drive, *lost), RecoverResult::Refused);
    EXPECT_EQ(host.Captions(), std::vector<std::string>{"Error"});
    disk.drive->Geometry.BytesPerSector = 512;
  }
  {
    ScriptedHost host;
    TPartition stranger = *lost;
    EXPECT_EQ(RecoverLostPartition(*disk.drive, stranger), RecoverResult::Refused);
    EXPECT_EQ(host.Captions(), std::vector<std::string>{"Error"});
  }
  EXPECT_TRUE(disk.ChangedSectors().empty());
  EXPECT_EQ(disk.drive->LostPartitions.size(), 1u);
}

// Notes the busy flag whenever a message comes.
class BusyWatcher : public ScriptedHost {
 public:
  explicit BusyWatcher(const TPhysicalDrv& drive, std::initializer_list<MsgAnswer> a = {}) : ScriptedHost(a), drive_(drive) {}
  MsgAnswer MessageBox(const std::string& t, const std::string& c, MsgButtons b, MsgIcon i) override {
    busy.push_back(drive_.Scanning);
    return ScriptedHost::MessageBox(t, c, b, i);
  }
  std::vector<bool> busy;

 private:
  const TPhysicalDrv& drive_;
};

TEST(RecoverFailures, FailedWriteKeepsTheFindAndTheChainWhole) {
  Layout faulty(true);
  const std::vector<uint8_t> before = *faulty.data;
  TPartition* lost = faulty.Lost(20992, 1024, fkFat12);
  faulty.faults->writeFaults[20480 * 512] = Fault{FaultKind::Error, EIO, -1};

  BusyWatcher host(*faulty.drive, {MsgAnswer::Abort});
  EXPECT_EQ(RecoverLostPartition(*faulty.drive, *lost), RecoverResult::WriteFailed);
  ASSERT_EQ(host.messages.size(), 2u);  // the sector layer's question, then ours
  EXPECT_EQ(host.messages[1].text, "Recover partition Failed.\rInput/output error.");
  EXPECT_EQ(host.messages[1].caption, "Error");
  EXPECT_EQ(host.messages[1].icon, MsgIcon::Warning);
  EXPECT_EQ(host.busy, (std::vector<bool>{true, true}));
  EXPECT_FALSE(faulty.drive->Scanning);
  EXPECT_EQ(faulty.drive->LostPartitions.size(), 1u);
  // The new EBR went first; the first EBR, which would link to it, was not changed.
  EXPECT_EQ(faulty.faults->writeOffsets, (std::vector<uint64_t>{(22528 - 63) * 512, 20480 * 512}));
  EXPECT_TRUE(std::equal(before.begin() + 20480 * 512, before.begin() + 20481 * 512, faulty.data->begin() + 20480 * 512));
}

TEST(RecoverFailures, SystemHearsOfTablesWrittenBeforeAFailure) {
  Layout faulty(true);
  faulty.faults->blockDevice = true;
  TPartition* lost = faulty.Lost(20992, 1024, fkFat12);
  faulty.faults->writeFaults[20480 * 512] = Fault{FaultKind::Error, EIO, -1};  // the second of two writes
  ScriptedHost host({MsgAnswer::Abort});
  EXPECT_EQ(RecoverLostPartition(*faulty.drive, *lost), RecoverResult::WriteFailed);
  EXPECT_EQ(faulty.faults->rereads, 1);
}

TEST(RecoverFailures, WrittenButNotNotifiedIsItsOwnResult) {
  Layout faulty(true);
  faulty.faults->blockDevice = true;
  faulty.faults->failReread = true;
  TPartition* lost = faulty.Lost(12288, 4096, fkFat16);
  ScriptedHost host;
  EXPECT_EQ(RecoverLostPartition(*faulty.drive, *lost), RecoverResult::NotNotified);
  EXPECT_EQ(faulty.EntryAt(0, 1).RelativeSector, 12288u);
  EXPECT_TRUE(faulty.drive->LostPartitions.empty());
}

// Another program changes the master boot record after we read it: the tables made from our
// model would undo its change, so nothing is written.
TEST(RecoverFailures, TablesChangedOnDiskSinceTheyWereReadAreNotOverwritten) {
  HandDisk disk;
  disk.Add(disk.drive->Root, 0x0C, 2048, 8192, fkFat32);
  RereadTables(*disk.drive);  // the model as the reader makes it, with the sectors it read
  TPartition* lost = disk.Lost(12288, 4096, fkFat16);
  EncodeEntry(disk.SectorSpan(0), 1, TPartitionEntry{0, 0, 0, 0x83, 0, 0, 30000, 5000});
  const std::vector<uint8_t> changed = *disk.data;
  ScriptedHost host;
  EXPECT_FALSE(CheckRecoverPossible(*disk.drive, *lost));
  EXPECT_EQ(RecoverLostPartition(*disk.drive, *lost), RecoverResult::Refused);
  EXPECT_NE(host.messages.at(0).text.find("has changed since it was read"), std::string::npos);
  EXPECT_EQ(*disk.data, changed);
}

// The walk could not read the second extended boot record: a partition the model does not
// show may lie where a new table would go.
TEST(RecoverFailures, UnreadableExtendedBootRecordStopsEveryWrite) {
  Layout faulty(true);
  faulty.faults->readFaults[32768 * 512] = Fault{FaultKind::Error, EIO, -1};
  {
    ScriptedHost host({MsgAnswer::Abort});
    RereadTables(*faulty.drive);
  }
  EXPECT_EQ(faulty.drive->WalkStopped, "the extended boot record at sector 32768 cannot be read");
  TPartition* lost = faulty.Lost(45056, 1024, fkFat16);
  ScriptedHost host;
  EXPECT_EQ(RecoverLostPartition(*faulty.drive, *lost), RecoverResult::Refused);
  EXPECT_NE(host.messages.at(0).text.find("could not be read to their end"), std::string::npos);
  EXPECT_TRUE(faulty.ChangedSectors().empty());
}

TEST(RecoverFailures, NoTableButTheRootOneIsWrittenAtSectorZero) {
  HandDisk disk;
  TPartition* x = disk.Add(disk.drive->Root, 0x05, 0, 60000);
  const std::vector<uint8_t> before = *disk.data;
  ScriptedHost host;
  EXPECT_FALSE(WritePartitionTable(*disk.drive, *x));
  EXPECT_EQ(*disk.data, before);
  EXPECT_NE(host.messages.at(0).text.find("starts at sector 0"), std::string::npos);
}

TEST(RecoverFailures, FailedReadCheckWritesNothing) {
  HandDisk faulty(65536, true);
  faulty.Add(faulty.drive->Root, 0x0C, 2048, 8192, fkFat32);
  const std::vector<uint8_t> before = *faulty.data;
  TPartition* lost = faulty.Lost(12288, 4096, fkFat16);
  faulty.faults->readFaults[0] = Fault{FaultKind::Error, EIO, -1};
  ScriptedHost host;
  EXPECT_EQ(RecoverLostPartition(*faulty.drive, *lost), RecoverResult::WriteFailed);
  EXPECT_EQ(host.messages.at(0).text, "Recover partition Failed.\rInput/output error.");
  EXPECT_TRUE(faulty.faults->writeOffsets.empty());
  EXPECT_EQ(*faulty.data, before);
  EXPECT_EQ(faulty.drive->Root.Children.size(), 1u) << "the model shows the disk, not the plan";
  EXPECT_EQ(faulty.drive->LostPartitions.size(), 1u);
}

TEST(RecoverDebugMode, DumpsTheTablesBeforeAndAfter) {
  const auto dir = std::filesystem::path(QM_FIXTURE_DIR) / "debug-dumps";
  std::filesystem::create_directories(dir);
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir);
  std::filesystem::remove("partibefore.dat");
  std::filesystem::remove("partiafter.dat");
  {
    ScriptedHost host;
    Layout disk;
    TPartition* lost = disk.Lost(30720, 2000, fkFat16);
    DebugMode = true;
    EXPECT_EQ(RecoverLostPartition(*disk.drive, *lost), RecoverResult::Written);
    DebugMode = false;
  }
  std::filesystem::current_path(previous);
  EXPECT_EQ(std::filesystem::file_size(dir / "partibefore.dat"), 0u);
  ASSERT_EQ(std::filesystem::file_size(dir / "partiafter.dat"), 192u);
  auto bytes = ReadFileBytes((dir / "partiafter.dat").string(), 0, 192);
  // The new EBR and the first EBR, in the order they joined the list.
  EXPECT_EQ(LoadLE<uint64_t>(&bytes[0]), 30720u - 63);
  EXPECT_EQ(LoadLE<uint64_t>(&bytes[96]), 20480u);
  EXPECT_EQ(LoadLE<uint32_t>(&bytes[32 + 8]), 63u);
  EXPECT_EQ(bytes[32 + 4], 0x06);
}

}  // namespace
}  // namespace qm::test
