// The partition table reader on images made by sfdisk and mkfs, some damaged on purpose.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "disk/SectorIO.h"
#include "model/TableReader.h"
#include "support/Fixtures.h"
#include "support/ScriptedHost.h"
#include "support/Sources.h"

namespace qm::test {
namespace {

std::unique_ptr<TPhysicalDrv> ReadDrive(uint8_t number) {
  TDriveGeometry g;
  EXPECT_TRUE(GetDriveGeometry(number, g));
  return CreatePhysicalDrv(number, g);
}

std::vector<uint64_t> Starts(const std::vector<TPartition*>& list) {
  std::vector<uint64_t> out;
  for (const TPartition* r : list) out.push_back(r->AbsoluteStart());
  return out;
}

std::vector<uint8_t> Types(const std::vector<TPartition*>& list) {
  std::vector<uint8_t> out;
  for (const TPartition* r : list) out.push_back(r->Entry.SystemId);
  return out;
}

std::vector<uint8_t> EntryBytes(uint8_t type, uint32_t relative, uint32_t sectors) {
  std::vector<uint8_t> e(16, 0);
  e[4] = type;
  StoreLE<uint32_t>(e.data() + 8, relative);
  StoreLE<uint32_t>(e.data() + 12, sectors);
  return e;
}

uint64_t EntryOffset(uint64_t tableLba, int index) { return tableLba * 512 + 446 + 16 * static_cast<uint64_t>(index); }

// Every record except Root is in AllPartitions once and in its parent's Children once.
void ExpectTreeConsistent(const TPhysicalDrv& d) {
  ASSERT_FALSE(d.AllPartitions.empty());
  EXPECT_EQ(d.AllPartitions.front(), &d.Root);
  uint32_t counted = 0;
  for (size_t i = 1; i < d.AllPartitions.size(); ++i) {
    const TPartition* r = d.AllPartitions[i];
    ASSERT_NE(r->Parent, nullptr);
    EXPECT_EQ(std::count(r->Parent->Children.begin(), r->Parent->Children.end(), r), 1);
    EXPECT_LE(d.AllPartitions[i - 1]->AbsoluteStart(), r->AbsoluteStart());
    if (!r->IsExtended()) ++counted;
  }
  EXPECT_EQ(d.PartitionCount, counted);
}

// Three logical drives behind EBRs at 22528, 45056 and 77952 (sfdisk puts each EBR 2048
// sectors before its logical drive, and the last one right after the 10368-sector hole).
const char* kExtendedTable =
    "'label: dos\\nunit: sectors\\n2048,20480,c\\n22528,,5\\n24576,20480,6\\n47104,20480,7\\n80000,20480,83'";

TEST(TableReader, PrimariesOnly) {
  DriveRegistryScope scope;
  ScriptedHost host;
  std::string img = MakeImage("reader-primary.img", "64M",
                              "table 'label: dos\\nunit: sectors\\n2048,40960,6,*\\n43008,40960,7' "
                              "fs 1 fat16 SYSTEM fs 2 ntfs ARCHIVE");
  ASSERT_FALSE(img.empty());
  auto d = ReadDrive(scope.AttachImage(img));

  EXPECT_EQ(d->ExtendedBase, 0u);
  EXPECT_FALSE(d->IsGpt);
  ASSERT_EQ(d->Root.Children.size(), 3u);
  const TPartition& p1 = *d->Root.Children[0];
  const TPartition& p2 = *d->Root.Children[1];
  const TPartition& gap = *d->Root.Children[2];
  EXPECT_EQ(p1.AbsoluteStart(), 2048u);
  EXPECT_EQ(p1.Entry.BootIndicator, kActiveFlag);
  EXPECT_EQ(p1.FsKind, fkFat16);
  EXPECT_EQ(p1.BaseLBA, 0u);
  EXPECT_EQ(p1.BootSector[510], 0x55);
  EXPECT_EQ(p2.AbsoluteStart(), 43008u);
  EXPECT_EQ(p2.FsKind, fkNtfs);
  EXPECT_EQ(p2.VolumeLabel, "ARCHIVE");
  // The tail of the disk up to, not including, its last sector.
  EXPECT_TRUE(gap.IsGap());
  EXPECT_EQ(gap.FsKind, fkUnallocated);
  EXPECT_EQ(gap.AbsoluteStart(), 83968u);
  EXPECT_EQ(gap.Entry.TotalSectors, 131071u - 83968u);
  EXPECT_EQ(gap.BootSector, TSector{});
  EXPECT_EQ(d->PartitionCount, 3u);
  EXPECT_EQ(Starts(d->AllPartitions), (std::vector<uint64_t>{0, 2048, 43008, 83968}));
  ExpectTreeConsistent(*d);
  EXPECT_TRUE(host.messages.empty());
}

TEST(TableReader, ExtendedPartitionWithThreeLogicalDrives) {
  DriveRegistryScope scope;
  ScriptedHost host;
  std::string img = MakeImage("reader-ext.img", "128M",
                              std::string("table ") + kExtendedTable + " fs 5 fat16 DATA fs 6 ntfs NOTES");
  ASSERT_FALSE(img.empty());
  auto d = ReadDrive(scope.AttachImage(img));

  EXPECT_EQ(d->ExtendedBase, 22528u);
  ASSERT_EQ(d->Root.Children.size(), 2u);  // the extended partition runs to the end: no gap
  TPartition& x = *d->Root.Children[1];
  EXPECT_EQ(x.FsKind, fkExtended);
  EXPECT_EQ(x.AbsoluteStart(), 22528u);

  // X: the first EBR's logical drive and link, and the gaps among the logical drives.
  ASSERT_EQ(x.Children.size(), 4u);
  EXPECT_EQ(Types(x.Children), (std::vector<uint8_t>{0x06, 0x05, 0x00, 0x00}));
  EXPECT_EQ(Starts(x.Children), (std::vector<uint64_t>{24576, 45056, 67584, 100480}));
  const TPartition& l1 = *x.Children[0];
  TPartition& link1 = *x.Children[1];
  EXPECT_EQ(l1.BaseLBA, 22528u);
  EXPECT_EQ(l1.FsKind, fkFat16);
  EXPECT_EQ(link1.BaseLBA, d->ExtendedBase);
  EXPECT_EQ(link1.FsKind, fkExtended);
  EXPECT_TRUE(IsNestedExtended(*d, link1));
  // Gaps inside the extended partition count from its start.
  EXPECT_EQ(x.Children[2]->BaseLBA, 22528u);
  EXPECT_EQ(x.Children[2]->Entry.TotalSectors, 10368u);
  EXPECT_EQ(x.Children[3]->Entry.TotalSectors, 262144u - 100480u);

  // Links hold their EBR's entries in table order.
  ASSERT_EQ(link1.Children.size(), 2u);
  const TPartition& l2 = *link1.Children[0];
  TPartition& link2 = *link1.Children[1];
  EXPECT_EQ(l2.BaseLBA, 45056u);
  EXPECT_EQ(l2.AbsoluteStart(), 47104u);
  EXPECT_EQ(l2.FsKind, fkNtfs);
  EXPECT_EQ(l2.VolumeLabel, "NOTES");
  EXPECT_EQ(link2.AbsoluteStart(), 77952u);
  ASSERT_EQ(link2.Children.size(), 1u);
  const TPartition& l3 = *link2.Children[0];
  EXPECT_EQ(l3.BaseLBA, 77952u);
  EXPECT_EQ(l3.AbsoluteStart(), 80000u);
  EXPECT_EQ(l3.FsKind, fkLinuxExt2);

  EXPECT_EQ(Starts(d->AllPartitions),
            (std::vector<uint64_t>{0, 2048, 22528, 24576, 45056, 47104, 67584, 77952, 80000, 100480}));
  EXPECT_EQ(d->PartitionCount, 6u);  // P1, three logical drives, two gaps; no links
  ExpectTreeConsistent(*d);
  EXPECT_TRUE(host.messages.empty());
}

TEST(TableReader, BlankDisk) {
  DriveRegistryScope scope;
  ScriptedHost host;
  std::string big = MakeImage("reader-blank.img", "8M", "");
  std::string small = MakeImage("reader-blank-small.img", "2111s", "");
  std::string edge = MakeImage("reader-blank-edge.img", "2112s", "");
  ASSERT_FALSE(big.empty() || small.empty() || edge.empty());
  auto d = ReadDrive(scope.AttachImage(big));
  ASSERT_EQ(d->AllPartitions.size(), 2u);
  const TPartition& gap = *d->AllPartitions[1];
  EXPECT_EQ(gap.AbsoluteStart(), 63u);
  EXPECT_EQ(gap.Entry.TotalSectors, 16383u - 63u);
  EXPECT_EQ(gap.Parent, &d->Root);
  EXPECT_EQ(d->PartitionCount, 1u);

  // (TotalSectors - 1) - 63 = 2047, then 2048: too short for a gap; 2049 is listed.
  EXPECT_EQ(ReadDrive(scope.AttachImage(small))->AllPartitions.size(), 1u);
  auto e = ReadDrive(scope.AttachImage(edge));
  EXPECT_EQ(e->AllPartitions.size(), 1u);
  EXPECT_EQ(e->PartitionCount, 0u);
}

TEST(TableReader, GapsLongerThan2048SectorsAreListed) {
  DriveRegistryScope scope;
  ScriptedHost host;
  // P1 ends at 12048; 2048 free before P2; 2049 free before P3, which ends at 36145.
  const std::string table = "table 'label: dos\\nunit: sectors\\n2048,10000,83\\n14096,10000,83\\n26145,10000,83'";
  std::string exact = MakeImage("reader-gap-2048.img", "38194s", table);
  std::string longer = MakeImage("reader-gap-2049.img", "38195s", table);
  ASSERT_FALSE(exact.empty() || longer.empty());

  auto d = ReadDrive(scope.AttachImage(exact));
  ASSERT_EQ(d->Root.Children.size(), 4u);
  const TPartition& gap = *d->Root.Children[3];  // gaps follow the partitions
  EXPECT_TRUE(gap.IsGap());
  EXPECT_EQ(gap.AbsoluteStart(), 24096u);
  EXPECT_EQ(gap.Entry.TotalSectors, 2049u);
  EXPECT_EQ(Starts(d->AllPartitions), (std::vector<uint64_t>{0, 2048, 14096, 24096, 26145}));

  // One more sector makes the tail before the disk's last sector 2049 long.
  auto e = ReadDrive(scope.AttachImage(longer));
  ASSERT_EQ(e->Root.Children.size(), 5u);
  EXPECT_EQ(e->Root.Children[4]->AbsoluteStart(), 36145u);
  EXPECT_EQ(e->Root.Children[4]->Entry.TotalSectors, 2049u);
  EXPECT_EQ(e->PartitionCount, 5u);
}

TEST(TableReader, CyclicChainEndsAndKeepsWhatWasRead) {
  DriveRegistryScope scope;
  ScriptedHost host;
  std::string img = MakeImage("reader-cycle.img", "128M", std::string("table ") + kExtendedTable);
  ASSERT_FALSE(img.empty());
  // EBR 2's link now points back to EBR 1 (relative 0 from the extended start).
  WriteFileBytes(img, EntryOffset(45056, 1), EntryBytes(0x05, 0, 40000));
  auto d = ReadDrive(scope.AttachImage(img));

  TPartition& x = *d->Root.Children[1];
  TPartition& link1 = *x.Children[1];
  ASSERT_EQ(link1.Children.size(), 2u);
  TPartition& back = *link1.Children[1];
  EXPECT_EQ(back.AbsoluteStart(), 22528u);
  EXPECT_TRUE(back.Children.empty());
  // L1 and L2 stay; L3 is no longer reachable.
  EXPECT_EQ(std::count_if(d->AllPartitions.begin(), d->AllPartitions.end(),
                          [](const TPartition* r) { return r->Entry.SystemId == 0x06 || r->Entry.SystemId == 0x07; }),
            2);
  EXPECT_EQ(std::count_if(d->AllPartitions.begin(), d->AllPartitions.end(),
                          [](const TPartition* r) { return r->Entry.SystemId == 0x83; }),
            0);
  ExpectTreeConsistent(*d);
  EXPECT_TRUE(host.messages.empty());

  // A link to its own table.
  WriteFileBytes(img, EntryOffset(22528, 1), EntryBytes(0x0F, 0, 40000));
  auto self = ReadDrive(scope.AttachImage(img));
  TPartition& x2 = *self->Root.Children[1];
  ASSERT_EQ(x2.Children.size(), 3u);  // the link to its own table, L1, the gap after L1
  EXPECT_EQ(Types(x2.Children), (std::vector<uint8_t>{0x0F, 0x06, 0x00}));
  EXPECT_TRUE(x2.Children[0]->Children.empty());
}

TEST(TableReader, EndlessChainStopsAtTheTableLimit) {
  DriveRegistryScope scope;
  ScriptedHost host;
  // No tool writes this: 1000 EBRs one sector apart, each with a one-sector logical drive
  // and a link to the next.
  auto mem = std::make_unique<MemorySource>(size_t{4096} * 512);
  std::vector<uint8_t>& disk = *mem->data;
  const uint32_t xs = 100;
  auto put = [&](uint32_t lba, int index, uint8_t type, uint32_t rel, uint32_t size) {
    auto e = EntryBytes(type, rel, size);
    std::copy(e.begin(), e.end(), disk.begin() + static_cast<ptrdiff_t>(EntryOffset(lba, index)));
    disk[lba * 512 + 510] = 0x55;
    disk[lba * 512 + 511] = 0xAA;
  };
  put(0, 0, 0x05, xs, 3000);
  for (uint32_t i = 0; i < 1000; ++i) {
    put(xs + 2 * i, 0, 0x83, 1, 1);
    put(xs + 2 * i, 1, 0x05, 2 * (i + 1), 2);
  }
  auto d = ReadDrive(scope.Attach(std::move(mem)));
  const auto logicals = std::count_if(d->AllPartitions.begin(), d->AllPartitions.end(),
                                      [](const TPartition* r) { return r->Entry.SystemId == 0x83; });
  EXPECT_EQ(logicals, kMaxTablesPerWalk - 1);  // the MBR is one of the tables
  ExpectTreeConsistent(*d);
}

TEST(TableReader, GptDiskIsListedWithItsProtectiveEntry) {
  DriveRegistryScope scope;
  ScriptedHost host;
  std::string img = MakeImage("reader-gpt.img", "32M", "table-gpt 'label: gpt\\n2048,20480,L'");
  ASSERT_FALSE(img.empty());
  auto d = ReadDrive(scope.AttachImage(img));
  EXPECT_TRUE(d->IsGpt);
  ASSERT_EQ(d->Root.Children.size(), 1u);
  const TPartition& pmbr = *d->Root.Children[0];
  EXPECT_EQ(pmbr.Entry.SystemId, kTypeGptProtective);
  EXPECT_EQ(pmbr.AbsoluteStart(), 1u);
  EXPECT_EQ(pmbr.FsKind, fkOther);
  EXPECT_EQ(d->PartitionCount, 1u);
}

TEST(TableReader, BootSectorWinsOverTypeCode) {
  DriveRegistryScope scope;
  ScriptedHost host;
  // A 0x85 entry whose first sector looks like a table with one entry: never followed.
  std::string img =
      MakeImage("reader-types.img", "64M",
                "table 'label: dos\\nunit: sectors\\n2048,20480,83\\n22528,10240,83\\n32768,10240,82\\n43008,20480,85' "
                "fs 1 ntfs LINUXNTFS "
                "bytes " + std::to_string(EntryOffset(43008, 0)) + " '00 00 00 00 83 00 00 00 00 08 00 00 00 10 00 00' "
                "bytes " + std::to_string(43008 * 512 + 510) + " 55aa");
  ASSERT_FALSE(img.empty());
  auto d = ReadDrive(scope.AttachImage(img));
  ASSERT_EQ(d->Root.Children.size(), 5u);  // four entries and the tail gap
  EXPECT_EQ(d->Root.Children[0]->FsKind, fkNtfs);
  EXPECT_EQ(d->Root.Children[0]->VolumeLabel, "LINUXNTFS");
  EXPECT_EQ(d->Root.Children[1]->FsKind, fkLinuxExt2);
  EXPECT_EQ(d->Root.Children[2]->FsKind, fkLinuxSwap);
  const TPartition& linuxExtended = *d->Root.Children[3];
  EXPECT_EQ(linuxExtended.FsKind, fkOther);
  EXPECT_TRUE(linuxExtended.Children.empty());
  EXPECT_EQ(d->ExtendedBase, 0u);
  EXPECT_EQ(d->AllPartitions.size(), 6u);
}

TEST(TableReader, RereadTablesFollowsTheDisk) {
  DriveRegistryScope scope;
  ScriptedHost host;
  std::string img = MakeImage("reader-reread.img", "128M", std::string("table ") + kExtendedTable);
  ASSERT_FALSE(img.empty());
  auto d = ReadDrive(scope.AttachImage(img));
  auto lost = std::make_unique<TPartition>();
  lost->Entry.RelativeSector = 5000;
  d->LostPartitions.push_back(std::move(lost));
  TPartition* oldRoot = &d->Root;

  // Change P1's type, and drop the extended partition and everything in it.
  WriteFileBytes(img, EntryOffset(0, 0) + 4, {0x83});
  WriteFileBytes(img, EntryOffset(0, 1), std::vector<uint8_t>(16, 0));
  RereadTables(*d);

  EXPECT_EQ(&d->Root, oldRoot);
  ASSERT_EQ(d->LostPartitions.size(), 1u);
  EXPECT_EQ(d->LostPartitions[0]->AbsoluteStart(), 5000u);
  EXPECT_EQ(d->ExtendedBase, 0u);  // no extended partition any more
  EXPECT_EQ(Types(d->Root.Children), (std::vector<uint8_t>{0x83, 0x00}));
  EXPECT_EQ(d->Root.Children[1]->AbsoluteStart(), 22528u);
  EXPECT_EQ(d->PartitionCount, 2u);
  ExpectTreeConsistent(*d);

  // Reading the same tables twice gives the same tree.
  RereadTables(*d);
  EXPECT_EQ(Starts(d->AllPartitions), (std::vector<uint64_t>{0, 2048, 22528}));
  EXPECT_EQ(d->PartitionCount, 2u);
}

TEST(TableReader, EmptyAndTruncatedImages) {
  DriveRegistryScope scope;
  ScriptedHost host;
  std::filesystem::create_directories(QM_FIXTURE_DIR);
  const std::string empty = std::string(QM_FIXTURE_DIR) + "/reader-empty.img";
  std::filesystem::remove(empty);
  { std::ofstream touch(empty, std::ios::binary); }
  auto d0 = ReadDrive(scope.AttachImage(empty));
  EXPECT_EQ(d0->AllPartitions.size(), 1u);
  EXPECT_EQ(d0->PartitionCount, 0u);

  // The MBR alone: one sector holds no table that may be read (it would be the last).
  std::string img = MakeImage("reader-cut.img", "64M",
                              "table 'label: dos\\nunit: sectors\\n2048,40960,c\\n43008,40960,7' fs 1 fat16 CUT");
  ASSERT_FALSE(img.empty());
  const std::string one = std::string(QM_FIXTURE_DIR) + "/reader-one.img";
  std::filesystem::copy_file(img, one, std::filesystem::copy_options::overwrite_existing);
  std::filesystem::resize_file(one, 512);
  EXPECT_EQ(ReadDrive(scope.AttachImage(one))->AllPartitions.size(), 1u);

  // Cut inside P1: P1 is still read, P2 lies beyond the end and is not.
  std::filesystem::resize_file(img, 30000 * 512);
  auto d = ReadDrive(scope.AttachImage(img));
  ASSERT_EQ(d->Root.Children.size(), 2u);
  EXPECT_EQ(d->Root.Children[0]->FsKind, fkFat16);
  const TPartition& beyond = *d->Root.Children[1];
  EXPECT_EQ(beyond.AbsoluteStart(), 43008u);
  EXPECT_EQ(beyond.FsKind, fkOther);
  EXPECT_EQ(beyond.BootSector, TSector{});
  EXPECT_TRUE(host.messages.empty());
}

TEST(TableReader, EntriesBeyondTheDiskAreNeverRead) {
  DriveRegistryScope scope;
  ScriptedHost host;
  std::string img = MakeImage("reader-beyond.img", "128M", std::string("table ") + kExtendedTable + " fs 1 fat16 BOOT");
  ASSERT_FALSE(img.empty());
  // A primary whose start + size wraps 32 bits, and a logical drive whose start is only
  // found in 64 bits: its low 32 bits would land on P1's FAT boot sector.
  WriteFileBytes(img, EntryOffset(0, 2), EntryBytes(0x07, 0xFFFFFF00u, 0x200));
  const uint32_t wrapped = static_cast<uint32_t>((uint64_t{1} << 32) + 2048 - 77952);
  WriteFileBytes(img, EntryOffset(77952, 0), EntryBytes(0x83, wrapped, 2048));
  auto d = ReadDrive(scope.AttachImage(img));

  ASSERT_EQ(d->Root.Children.size(), 3u);
  const TPartition& far = *d->Root.Children[2];
  EXPECT_EQ(far.AbsoluteStart(), 0xFFFFFF00u);
  EXPECT_EQ(far.AbsoluteEnd(), 0x100000100u);
  EXPECT_EQ(far.FsKind, fkOther);

  auto l3 = std::find_if(d->AllPartitions.begin(), d->AllPartitions.end(),
                         [](const TPartition* r) { return r->Entry.SystemId == 0x83; });
  ASSERT_NE(l3, d->AllPartitions.end());
  EXPECT_EQ((*l3)->AbsoluteStart(), (uint64_t{1} << 32) + 2048);
  EXPECT_EQ((*l3)->FsKind, fkLinuxExt2);
  EXPECT_EQ((*l3)->BootSector, TSector{});
  // No gap reaches past the disk.
  for (const TPartition* r : d->AllPartitions) {
    if (r->IsGap()) {
      EXPECT_LE(r->AbsoluteEnd(), 262144u);
    }
  }
  EXPECT_TRUE(host.messages.empty());
}

TEST(TableReader, OverlappingEntriesLeaveNoGapOverAPartition) {
  DriveRegistryScope scope;
  ScriptedHost host;
  std::string img = MakeImage("reader-overlap.img", "64M", "table 'label: dos\\nunit: sectors\\n2048,40960,83'");
  ASSERT_FALSE(img.empty());
  // A second entry that lies inside the first, as a damaged table may hold.
  WriteFileBytes(img, EntryOffset(0, 1), EntryBytes(0x83, 4096, 1000));
  auto d = ReadDrive(scope.AttachImage(img));
  ASSERT_EQ(Types(d->Root.Children), (std::vector<uint8_t>{0x83, 0x83, 0x00}));
  EXPECT_EQ(d->Root.Children[2]->AbsoluteStart(), 43008u);
  EXPECT_EQ(d->Root.Children[2]->Entry.TotalSectors, 131071u - 43008u);
}

TEST(TableReader, UnreadableTableEndsItsBranch) {
  DriveRegistryScope scope;
  ScriptedHost host;  // answers Abort
  std::string img = MakeImage("reader-fault.img", "128M", std::string("table ") + kExtendedTable);
  ASSERT_FALSE(img.empty());
  auto faulty = std::make_unique<FaultSource>(std::make_unique<FileSource>(img));
  faulty->state->readFaults[uint64_t{77952} * 512] = Fault{FaultKind::Error, EIO, -1};
  auto d = ReadDrive(scope.Attach(std::move(faulty)));

  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].caption, "Read Error");
  EXPECT_EQ(Starts(d->AllPartitions),
            (std::vector<uint64_t>{0, 2048, 22528, 24576, 45056, 47104, 67584, 77952, 78015}));
  ExpectTreeConsistent(*d);
}

}  // namespace
}  // namespace qm::test
