// The health report of FAT and NTFS volumes made by mkfs.fat and mkntfs, with sectors of 512 to
// 4096 bytes, healthy and damaged.
#include <gtest/gtest.h>

#include <map>

#include "disk/Disk.h"
#include "fs/Bpb.h"
#include "fs/NtfsBuilder.h"
#include "model/CheckReport.h"
#include "model/FsDetect.h"
#include "model/TableReader.h"
#include "support/Fixtures.h"
#include "support/ScriptedHost.h"
#include "support/Sources.h"

namespace qm::test {
namespace {

constexpr const char* kHealthyFat = "Boot Sector: OK\rFAT1: OK   FAT2: OK\rRoot Directory: Preview";
constexpr const char* kHealthyNtfs = "Boot Sector: OK\rIndex Root: OK\rRoot Directory: Preview";

enum Slot { kFat12 = 0, kFat16 = 1, kFat32 = 2, kNtfs = 3 };

// One volume of each kind, as primaries 1-4, of `sectorBytes`-byte sectors, made once per
// process; each test damages its own copy. FAT32 of larger sectors needs 65525 clusters of at
// least one sector.
std::string MakeVolumes(const std::string& name, unsigned sectorBytes) {
  static std::map<unsigned, std::string> bases;
  if (!bases.contains(sectorBytes)) {
    const bool large = sectorBytes != 512;
    const std::string size = large ? ":" + std::to_string(sectorBytes) : "";
    bases[sectorBytes] = MakeImage("check-base-" + std::to_string(sectorBytes) + ".img", large ? "360M" : "96M",
                                   std::string("table 'label: dos\\nunit: sectors\\n2048,20480,1\\n22528,40960,6\\n") +
                                       (large ? "63488,600000,c\\n663488,40960,7'" : "63488,70000,c\\n135168,40960,7'") +
                                       " fs 1 fat12" + size + " SMALL fs 2 fat16" + size + " MIDDLE fs 3 fat32" + size +
                                       " LARGE fs 4 ntfs" + size + " WIDE");
  }
  const std::string& base = bases[sectorBytes];
  if (base.empty()) HaveTools({"sfdisk", "mkfs.fat", "mkntfs"});  // says why the test ends here
  return base.empty() ? base : CopyImage(base, name);
}

// Reports are built with a host that answers Abort and must stay silent.
class CheckReportOnImages : public ::testing::Test {
 protected:
  std::unique_ptr<TPhysicalDrv> Open(const std::string& name, unsigned sectorBytes = 512) {
    img = MakeVolumes(name, sectorBytes);
    return img.empty() ? nullptr : ReadImage(img);
  }
  void TearDown() override { EXPECT_TRUE(host.messages.empty()); }
  ScriptedHost host;
  std::string img;
};

// The same volumes, of 512-, 2048- and 4096-byte sectors: the same reports.
class CheckReportSectorsOnImages : public CheckReportOnImages, public ::testing::WithParamInterface<unsigned> {
 protected:
  std::unique_ptr<TPhysicalDrv> Open(const std::string& name) {
    return CheckReportOnImages::Open(std::to_string(GetParam()) + name, GetParam());
  }
};

std::string Report(TPhysicalDrv& d, TPartition& p) {
  std::string report = "left over";
  BuildCheckReport(d, p, report);
  return report;
}

// Places on the disk, in 512-byte sectors, from the volume's own sectors and clusters.
TBpb Bpb(const TPartition& p) { return DecodeBpb(p.BootSector, p.FsKind); }
uint64_t PerSector(const TPartition& p) { return Bpb(p).BytesPerSector / 512u; }
uint64_t Fat1Lba(const TPartition& p) { return p.AbsoluteStart() + Bpb(p).ReservedSectors * PerSector(p); }
uint64_t Fat2Lba(const TPartition& p) { return Fat1Lba(p) + Bpb(p).SectorsPerFat(p.FsKind) * PerSector(p); }
uint64_t MftLba(const TPartition& p) {
  return p.AbsoluteStart() + uint64_t{Bpb(p).SectorsPerCluster} * Bpb(p).MftCluster * PerSector(p);
}
// Record 5 of the MFT: file records are as long as the update sequence of record 0 covers, 512
// bytes for each entry after the first.
uint64_t RootRecordLba(const TPartition& p, uint64_t recordSectors = 2) { return MftLba(p) + 5 * recordSectors; }
uint64_t RecordSectors(const std::string& img, const TPartition& p) {
  const std::vector<uint8_t> header = ReadFileBytes(img, MftLba(p) * 512, 8);
  return header.size() == 8 && GetU16(header, 6) > 0 ? GetU16(header, 6) - 1u : 0;
}

// The table reader, the report and the check that a boot sector's file system is there read
// each volume at the places its own fields give. Then bytes written over the start of one FAT
// copy, one case at a time: 512 bytes of junk, or leading entries.
TEST_P(CheckReportSectorsOnImages, HealthyVolumesAndDamagedFatCopies) {
  auto d = Open("check-fat.img");
  if (!d) return;
  ASSERT_EQ(TreeText(d->Root), GetParam() == 512
                                   ? "2048+20480:01F12 22528+40960:06F16 63488+70000:0cF32 135168+40960:07NT 176128+20479:00-"
                                   : "2048+20480:01F12 22528+40960:06F16 63488+600000:0cF32 663488+40960:07NT 704448+32831:00-");
  for (int slot : {kFat12, kFat16, kFat32, kNtfs}) ASSERT_EQ(Bpb(*d->Root.Children[slot]).BytesPerSector, GetParam());
  for (int slot : {kFat12, kFat16, kFat32}) EXPECT_EQ(Report(*d, *d->Root.Children[slot]), kHealthyFat) << slot;
  EXPECT_EQ(Report(*d, *d->Root.Children[4]), "Boot Sector: OK\r");  // the gap: nothing to check
  SectorReader& io = d->Io();
  for (int slot : {kFat32, kNtfs}) EXPECT_TRUE(FileSystemConfirmed(PartitionVolume(*d, *d->Root.Children[slot], io))) << slot;
  const std::string fat2Bad = "Boot Sector: OK\rFAT1: OK   FAT2: Invalid\rRoot Directory: Preview";
  const std::string fat1Bad = "Boot Sector: OK\rFAT1: Invalid\r";
  const std::vector<uint8_t> junk(512, 0x5A);
  // Written over the first FAT copy, or the second.
  const struct { int slot; bool second; std::vector<uint8_t> bytes; std::string report; } cases[] = {
      {kFat12, true, junk, fat2Bad}, {kFat16, true, junk, fat2Bad}, {kFat32, true, junk, fat2Bad},
      // FAT16 with the clean-shutdown bit cleared in the second copy: still a valid FAT.
      {kFat16, true, {0xF8, 0xFF, 0xFF, 0x7F}, kHealthyFat},
      {kFat16, true, {0xF8, 0xFF, 0xFF, 0x3F}, fat2Bad},
      // FAT12: the floppy descriptor is always accepted, 0xF8 only when the boot sector says so.
      {kFat12, false, {0xF0, 0xFF, 0xFF}, kHealthyFat},
      {kFat12, false, {0xF8, 0xFF, 0x00}, fat1Bad},
      {kFat12, false, {0xF9, 0xFF, 0xFF}, fat1Bad},
      // FAT32: entry 0 with or without the reserved high bits; entry 1 must be all ones.
      {kFat32, false, {0xF8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, kHealthyFat},
      {kFat32, false, {0xF8, 0xFF, 0xFF, 0x0F, 0xF7, 0xFF, 0xFF, 0x0F}, fat1Bad},
      // The first copy broken: the report stops there.
      {kFat12, false, junk, fat1Bad}, {kFat16, false, junk, fat1Bad}, {kFat32, false, junk, fat1Bad},
  };
  for (const auto& c : cases) {
    TPartition& p = *d->Root.Children[c.slot];
    const uint64_t at = (c.second ? Fat2Lba(p) : Fat1Lba(p)) * 512;
    const std::vector<uint8_t> original = ReadFileBytes(img, at, c.bytes.size());
    WriteFileBytes(img, at, c.bytes);
    EXPECT_EQ(Report(*d, p), c.report) << c.slot << " " << int{c.bytes[0]};
    WriteFileBytes(img, at, original);
  }
}

TEST_P(CheckReportSectorsOnImages, DamagedNtfsRootRecord) {
  auto d = Open("check-ntfs.img");
  if (!d) return;
  TPartition& ntfs = *d->Root.Children[kNtfs];
  const uint64_t at0 = RootRecordLba(ntfs, RecordSectors(img, ntfs)) * 512;
  const std::vector<uint8_t> original = ReadFileBytes(img, at0, 1024);
  ASSERT_EQ(std::string(original.begin(), original.begin() + 4), "FILE");

  const size_t indexRoot = AttributeOffset(original, 0x90);
  ASSERT_GT(indexRoot, 0u);
  const size_t nameAt = indexRoot + GetU16(original, indexRoot + 10);
  // The second sector no longer ends with the update sequence number; no "FILE"; an index
  // root under another name (not the root directory's index); no index root at all.
  for (const auto& [at, value] : {std::pair<size_t, uint8_t>{1022, original[1022] ^ 0xFF}, {3, 'X'}, {nameAt + 2, 'J'},
                                  {indexRoot, 0x91}}) {
    std::vector<uint8_t> broken = original;
    broken[at] = value;
    WriteFileBytes(img, at0, broken);
    EXPECT_EQ(Report(*d, ntfs), "Boot Sector: OK\rIndex Root: Invalid") << at;
  }
  WriteFileBytes(img, at0, original);
  EXPECT_EQ(Report(*d, ntfs), kHealthyNtfs);
}

TEST_F(CheckReportOnImages, FieldsPointingPastTheDiskAreNotRead) {
  auto d = Open("check-far.img");
  if (!d) return;
  // Lost partitions carry their own boot sector copy; a damaged one may point anywhere.
  TPartition lost = *d->Root.Children[kFat32];
  lost.Parent = nullptr;
  lost.Children.clear();
  StoreLE<uint32_t>(&lost.BootSector[0x24], 0xFFFFFFF0u);
  // It lies where the listed volume it was copied from lies, and says so.
  EXPECT_EQ(Report(*d, lost), "Boot Sector: OK\rFAT1: OK   FAT2: Read Error\rRoot Directory: Preview\r"
                              "Overlaps Partition 3 (recover will refuse it; use rebuild or clone)");

  // A second FAT beyond 32 bits must not be read at its wrapped address, which here is the
  // FAT16 volume's first FAT.
  lost = *d->Root.Children[kFat32];
  lost.Children.clear();
  const uint64_t wrapTo = Fat1Lba(*d->Root.Children[kFat16]);
  StoreLE<uint32_t>(&lost.BootSector[0x24], static_cast<uint32_t>((uint64_t{1} << 32) - Fat1Lba(lost) + wrapTo));
  ASSERT_EQ(static_cast<uint32_t>(Fat2Lba(lost)), wrapTo);
  EXPECT_EQ(Report(*d, lost), "Boot Sector: OK\rFAT1: OK   FAT2: Read Error\rRoot Directory: Preview");

  TPartition ntfs = *d->Root.Children[kNtfs];
  ntfs.Children.clear();
  StoreLE<uint64_t>(&ntfs.BootSector[0x30], 0xFFFFFFFFFFFFFFF0u);
  EXPECT_EQ(Report(*d, ntfs), "Boot Sector: OK\rIndex Root: Invalid");
  // The root record 2^32 sectors further on: its low 32 bits are the real one.
  const uint8_t perCluster = Bpb(ntfs).SectorsPerCluster;
  ASSERT_GT(perCluster, 0);
  StoreLE<uint64_t>(&ntfs.BootSector[0x30], Bpb(*d->Root.Children[kNtfs]).MftCluster + (uint64_t{1} << 32) / perCluster);
  ASSERT_EQ(static_cast<uint32_t>(RootRecordLba(ntfs)), RootRecordLba(*d->Root.Children[kNtfs]));
  EXPECT_EQ(Report(*d, ntfs), "Boot Sector: OK\rIndex Root: Invalid");
}

INSTANTIATE_TEST_SUITE_P(Sizes, CheckReportSectorsOnImages, ::testing::Values(512u, 2048u, 4096u));

}  // namespace
}  // namespace qm::test
