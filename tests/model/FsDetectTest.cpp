// File-system recognition on boot sectors made by mkfs tools, NTFS attributes and labels.
#include <gtest/gtest.h>

#include <filesystem>

#include "disk/SectorIO.h"
#include "model/FsDetect.h"
#include "support/Fixtures.h"
#include "support/ScriptedHost.h"

namespace qm::test {
namespace {

std::string FreshFile(const std::string& name) {
  std::filesystem::create_directories(QM_FIXTURE_DIR);
  std::string path = std::string(QM_FIXTURE_DIR) + "/" + name;
  std::filesystem::remove(path);
  return path;
}

TSector BootSectorOf(const std::string& path) {
  TSector s{};
  auto bytes = ReadFileBytes(path, 0, 512);
  std::copy(bytes.begin(), bytes.end(), s.begin());
  return s;
}

TSector MakeFat(int bits, const std::string& name) {
  std::string path = FreshFile(name);
  std::string extra = bits == 32 ? " -s 1" : "";
  int rc = RunCommand("mkfs.fat -F " + std::to_string(bits) + extra + " -C " + ShellQuote(path) + " 40000 >/dev/null 2>&1");
  EXPECT_EQ(rc, 0) << "mkfs.fat -F " << bits;
  return BootSectorOf(path);
}

std::string MakeNtfs(const std::string& name, const std::string& label, uint64_t sectors = 20480) {
  std::string path = FreshFile(name);
  RunCommand("truncate -s " + std::to_string(sectors * 512) + " " + ShellQuote(path));
  std::string labelArg = label.empty() ? "" : " -L " + ShellQuote(label);
  int rc = RunCommand("mkntfs -Q -F -q" + labelArg + " " + ShellQuote(path) + " >/dev/null 2>&1");
  EXPECT_EQ(rc, 0) << "mkntfs";
  return path;
}

TEST(DetectFsKind, NamesMkfsBootSectors) {
  EXPECT_EQ(DetectFsKind(MakeFat(12, "f12.img")), fkFat12);
  EXPECT_EQ(DetectFsKind(MakeFat(16, "f16.img")), fkFat16);
  EXPECT_EQ(DetectFsKind(MakeFat(32, "f32.img")), fkFat32);
  EXPECT_EQ(DetectFsKind(BootSectorOf(MakeNtfs("ntfs-detect.img", ""))), fkNtfs);
}

TEST(DetectFsKind, LooksOnlyAtTheTypeStrings) {
  TSector s{};
  EXPECT_EQ(DetectFsKind(s), fkUnallocated);
  std::memcpy(&s[0x36], "fat16   ", 8);
  EXPECT_EQ(DetectFsKind(s), fkFat16);  // case does not matter
  std::memcpy(&s[0x36], "FAT     ", 8);
  EXPECT_EQ(DetectFsKind(s), fkUnallocated);
  std::memcpy(&s[0x52], "FAT16   ", 8);
  EXPECT_EQ(DetectFsKind(s), fkUnallocated);  // FAT16 at the FAT32 position is nothing
  std::memcpy(&s[0x36], "HPFS    ", 8);
  EXPECT_EQ(DetectFsKind(s), fkHpfs);
  std::memcpy(&s[0x36], "FAT12   ", 8);
  std::memcpy(&s[0x03], "NTFS    ", 8);
  EXPECT_EQ(DetectFsKind(s), fkFat12);  // the FAT12 test comes first
  TSector ntfs{};
  std::memcpy(&ntfs[0x03], "NTFS    ", 8);
  std::memcpy(&ntfs[0x52], "\0\0\0\0\0\0\0\0", 8);
  EXPECT_EQ(DetectFsKind(ntfs), fkNtfs);
  TSector padded{};
  std::memcpy(&padded[0x52], "\tFAT32\0\0", 8);  // control characters are trimmed too
  EXPECT_EQ(DetectFsKind(padded), fkFat32);
}

// A minimal file record: header, one attribute per call of Add, end marker.
struct RecordBuilder {
  std::array<uint8_t, 1024> b{};
  size_t next = 56;
  RecordBuilder() {
    std::memcpy(b.data(), "FILE", 4);
    b[4] = 48;  // update sequence array at 48
    StoreLE<uint16_t>(&b[48], 7);
    StoreLE<uint16_t>(&b[50], 0x1234);  // true end of sector 1
    StoreLE<uint16_t>(&b[52], 0x5678);  // true end of sector 2
    StoreLE<uint16_t>(&b[510], 7);
    StoreLE<uint16_t>(&b[1022], 7);
    StoreLE<uint16_t>(&b[20], 56);
    End();
  }
  size_t AddResident(uint32_t type, std::vector<uint8_t> value, uint16_t nameChars = 0) {
    size_t at = next;
    size_t length = (24 + 2 * nameChars + value.size() + 7) & ~size_t{7};
    StoreLE<uint32_t>(&b[at], type);
    StoreLE<uint32_t>(&b[at + 4], static_cast<uint32_t>(length));
    b[at + 9] = static_cast<uint8_t>(nameChars);
    StoreLE<uint32_t>(&b[at + 16], static_cast<uint32_t>(value.size()));
    for (size_t i = 0; i < 2u * nameChars; ++i) b[at + 24 + i] = static_cast<uint8_t>('a' + i);
    std::copy(value.begin(), value.end(), b.begin() + static_cast<long>(at + 24 + 2 * nameChars));
    next = at + length;
    End();
    return at;
  }
  void End() { StoreLE<uint32_t>(&b[next], kAttrEnd); }
};

TEST(ReadAttribute, FindsAResidentValueAndAppliesTheFixUp) {
  RecordBuilder r;
  r.AddResident(0x10, {1, 2, 3});
  r.AddResident(kAttrVolumeName, {'Q', 0, 'M', 0});
  TAttribute a;
  ASSERT_TRUE(ReadAttribute(r.b, kAttrVolumeName, a));
  EXPECT_EQ(a.TypeCode, kAttrVolumeName);
  EXPECT_EQ(a.Data, (std::vector<uint8_t>{'Q', 0, 'M', 0}));
  EXPECT_TRUE(a.ResidentHeader.has_value());
  EXPECT_FALSE(a.NonResidentHeader.has_value());
  EXPECT_EQ(LoadLE<uint16_t>(&r.b[510]), 0x1234);
  EXPECT_EQ(LoadLE<uint16_t>(&r.b[1022]), 0x5678);
}

TEST(ReadAttribute, CopiesTheNameThatFollowsTheHeader) {
  RecordBuilder r;
  r.AddResident(kAttrIndexRoot, {9, 9}, 4);
  TAttribute a;
  ASSERT_TRUE(ReadAttribute(r.b, kAttrIndexRoot, a));
  EXPECT_EQ(a.Name, (std::vector<uint8_t>{'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'}));
  EXPECT_EQ(a.Data, (std::vector<uint8_t>{9, 9}));
}

TEST(ReadAttribute, FailsQuietlyWhenTheListEndsFirst) {
  ScriptedHost host;
  RecordBuilder r;
  r.AddResident(0x10, {1});
  TAttribute a;
  EXPECT_FALSE(ReadAttribute(r.b, kAttrVolumeName, a));
  EXPECT_TRUE(host.messages.empty());
}

TEST(ReadAttribute, StopsAtAZeroLengthAttribute) {
  RecordBuilder r;
  size_t at = r.AddResident(0x10, {1});
  r.AddResident(kAttrVolumeName, {'X', 0});
  StoreLE<uint32_t>(&r.b[at + 4], 0);
  TAttribute a;
  EXPECT_FALSE(ReadAttribute(r.b, kAttrVolumeName, a));
}

TEST(ReadAttribute, NeverLoopsOnLengthsThatStepBackwards) {
  RecordBuilder r;
  size_t first = r.AddResident(0x10, {1});
  size_t second = r.AddResident(0x30, {1});
  StoreLE<uint32_t>(&r.b[second + 4], static_cast<uint32_t>(0x10000 - (second - first)));  // back to the first
  TAttribute a;
  EXPECT_FALSE(ReadAttribute(r.b, kAttrVolumeName, a));
}

TEST(ReadAttribute, OffsetsAndLengthsPointingOutsideTheRecordFail) {
  {
    RecordBuilder r;
    StoreLE<uint16_t>(&r.b[20], 1010);  // first attribute beyond 1008
    TAttribute a;
    EXPECT_FALSE(ReadAttribute(r.b, 0x10, a));
  }
  {
    RecordBuilder r;
    size_t at = r.AddResident(kAttrVolumeName, {1, 2});
    StoreLE<uint32_t>(&r.b[at + 16], 2000);  // value longer than the record
    TAttribute a;
    EXPECT_FALSE(ReadAttribute(r.b, kAttrVolumeName, a));
  }
  {
    RecordBuilder r;
    size_t at = r.AddResident(0x80, {});
    r.b[at + 8] = 1;  // non-resident, but its length is shorter than its header
    StoreLE<uint32_t>(&r.b[at + 4], 40);
    TAttribute a;
    EXPECT_FALSE(ReadAttribute(r.b, 0x80, a));
  }
  {
    RecordBuilder r;
    StoreLE<uint16_t>(&r.b[20], 1000);  // the last attribute header that still fits
    StoreLE<uint32_t>(&r.b[1000], kAttrVolumeName);
    StoreLE<uint32_t>(&r.b[1004], 24);
    StoreLE<uint32_t>(&r.b[1016], 0x7FFF);
    TAttribute a;
    EXPECT_FALSE(ReadAttribute(r.b, kAttrVolumeName, a));
  }
}

TEST(ReadAttribute, NonResidentRunListFollowsTheHeader) {
  RecordBuilder r;
  size_t at = r.next;
  StoreLE<uint32_t>(&r.b[at], 0x80);
  StoreLE<uint32_t>(&r.b[at + 4], 72);
  r.b[at + 8] = 1;
  StoreLE<uint16_t>(&r.b[at + 32], 64);
  r.b[at + 64] = 0x11;
  r.b[at + 65] = 0x05;
  r.b[at + 66] = 0x20;
  r.next = at + 72;
  r.End();
  TAttribute a;
  ASSERT_TRUE(ReadAttribute(r.b, 0x80, a));
  EXPECT_TRUE(a.NonResident());
  ASSERT_TRUE(a.NonResidentHeader.has_value());
  ASSERT_EQ(a.Data.size(), 8u);
  EXPECT_EQ(a.Data[0], 0x11);
  EXPECT_EQ(a.Data[2], 0x20);
}

TEST(ReadVolumeLabel, ReadsTheLabelOfAnMkntfsVolume) {
  DriveRegistryScope registry;
  std::string path = MakeNtfs("ntfs-label.img", "Qm Archive");
  uint8_t number = registry.AttachImage(path);
  TDriveGeometry g;
  ASSERT_TRUE(GetDriveGeometry(number, g));
  TPhysicalDrv drive(number, g);
  TPartition p;
  p.Entry.SystemId = 0x07;
  p.Entry.TotalSectors = g.TotalSectors;
  p.FsKind = fkNtfs;
  p.BootSector = BootSectorOf(path);
  EXPECT_TRUE(ReadVolumeLabel(drive, p));
  EXPECT_EQ(p.VolumeLabel, "Qm Archive");

  // The volume file record, as ReadVolumeLabel finds it, gives the attribute directly too.
  TSector boot = BootSectorOf(path);
  uint32_t lba = boot[0x0D] * GetU32(boot, 0x30) + 6;
  std::array<uint8_t, 1024> record{};
  ASSERT_TRUE(ReadSectors(number, lba, 2, record.data(), true, true));
  TAttribute a;
  ASSERT_TRUE(ReadAttribute(record, kAttrVolumeName, a));
  EXPECT_EQ(a.Data.size(), 20u);
}

TEST(ReadVolumeLabel, LeavesTheLabelWhenThereIsNone) {
  DriveRegistryScope registry;
  const std::string path = MakeNtfs("ntfs-nolabel.img", "");
  uint8_t number = registry.AttachImage(path);
  TDriveGeometry g;
  ASSERT_TRUE(GetDriveGeometry(number, g));
  TPhysicalDrv drive(number, g);
  TPartition p;
  p.FsKind = fkNtfs;
  p.VolumeLabel = "before";
  p.BootSector = BootSectorOf(path);
  EXPECT_TRUE(ReadVolumeLabel(drive, p));
  EXPECT_EQ(p.VolumeLabel, "before");
}

TEST(ReadVolumeLabel, MftBeyondTheDiskIsNotRead) {
  DriveRegistryScope registry;
  std::string path = MakeNtfs("ntfs-badmft.img", "Gone");
  WriteFileBytes(path, 0x30, {0xFF, 0xFF, 0xFF, 0x00, 0, 0, 0, 0});
  uint8_t number = registry.AttachImage(path);
  TDriveGeometry g;
  ASSERT_TRUE(GetDriveGeometry(number, g));
  TPhysicalDrv drive(number, g);
  TPartition p;
  p.FsKind = fkNtfs;
  p.BootSector = BootSectorOf(path);
  ScriptedHost host;
  EXPECT_TRUE(ReadVolumeLabel(drive, p));
  EXPECT_EQ(p.VolumeLabel, "");
  EXPECT_TRUE(host.messages.empty());
}

}  // namespace
}  // namespace qm::test
