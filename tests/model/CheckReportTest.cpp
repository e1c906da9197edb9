// The health report of FAT and NTFS volumes made by mkfs.fat and mkntfs, healthy and damaged.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "disk/SectorIO.h"
#include "model/CheckReport.h"
#include "model/TableReader.h"
#include "support/Fixtures.h"
#include "support/ScriptedHost.h"
#include "support/Sources.h"

namespace qm::test {
namespace {

constexpr const char* kHealthyFat = "Boot Sector: OK\rFAT1: OK   FAT2: OK\rRoot Directory: Preview";
constexpr const char* kHealthyNtfs = "Boot Sector: OK\rIndex Root: OK\rRoot Directory: Preview";

enum Slot { kFat12 = 0, kFat16 = 1, kFat32 = 2, kNtfs = 3 };

// One volume of each kind, as primaries 1-4. The volumes are made once per process (test
// processes may run side by side, hence the process id); each test damages its own copy.
struct BaseImage {
  std::string path = MakeImage("check-base-" + std::to_string(::getpid()) + ".img", "96M",
                               "table 'label: dos\\nunit: sectors\\n2048,20480,1\\n22528,40960,6\\n63488,70000,c\\n"
                               "135168,40960,7' fs 1 fat12 SMALL fs 2 fat16 MIDDLE fs 3 fat32 LARGE fs 4 ntfs WIDE");
  ~BaseImage() {
    if (!path.empty()) std::remove(path.c_str());
  }
};

std::string MakeVolumes(const std::string& name) {
  static const BaseImage baseImage;
  const std::string& base = baseImage.path;
  if (base.empty()) return "";
  const std::string copy = std::string(QM_FIXTURE_DIR) + "/" + name;
  if (RunCommand("cp --sparse=always " + ShellQuote(base) + " " + ShellQuote(copy)) != 0) return "";
  return copy;
}

std::unique_ptr<TPhysicalDrv> ReadDrive(uint8_t number) {
  TDriveGeometry g;
  EXPECT_TRUE(GetDriveGeometry(number, g));
  return CreatePhysicalDrv(number, g);
}

std::string Report(TPhysicalDrv& d, TPartition& p) {
  std::string report = "left over";
  BuildCheckReport(d, p, report);
  return report;
}

uint64_t Fat1Lba(const TPartition& p) { return p.AbsoluteStart() + GetU16(p.BootSector, 0x0E); }
uint64_t Fat2Lba(const TPartition& p) {
  return Fat1Lba(p) + (p.FsKind == fkFat32 ? GetU32(p.BootSector, 0x24) : GetU16(p.BootSector, 0x16));
}
uint64_t RootRecordLba(const TPartition& p) {
  return p.AbsoluteStart() + uint64_t{p.BootSector[0x0D]} * GetU64(p.BootSector, 0x30) + 10;
}

TEST(CheckReport, HealthyVolumes) {
  DriveRegistryScope scope;
  ScriptedHost host;
  std::string img = MakeVolumes("check-healthy.img");
  ASSERT_FALSE(img.empty());
  auto d = ReadDrive(scope.AttachImage(img));
  ASSERT_EQ(d->Root.Children.size(), 5u);
  ASSERT_EQ(d->Root.Children[kFat12]->FsKind, fkFat12);
  ASSERT_EQ(d->Root.Children[kFat16]->FsKind, fkFat16);
  ASSERT_EQ(d->Root.Children[kFat32]->FsKind, fkFat32);
  ASSERT_EQ(d->Root.Children[kNtfs]->FsKind, fkNtfs);
  EXPECT_EQ(Report(*d, *d->Root.Children[kFat12]), kHealthyFat);  // media descriptor 0xF8
  EXPECT_EQ(Report(*d, *d->Root.Children[kFat16]), kHealthyFat);
  EXPECT_EQ(Report(*d, *d->Root.Children[kFat32]), kHealthyFat);
  EXPECT_EQ(Report(*d, *d->Root.Children[kNtfs]), kHealthyNtfs);
  EXPECT_EQ(Report(*d, *d->Root.Children[4]), "Boot Sector: OK\r");  // the gap: nothing to check
  EXPECT_TRUE(host.messages.empty());
}

TEST(CheckReport, DamagedFatCopies) {
  DriveRegistryScope scope;
  ScriptedHost host;
  std::string img = MakeVolumes("check-fat.img");
  ASSERT_FALSE(img.empty());
  const std::vector<uint8_t> junk(512, 0x5A);
  {
    auto d = ReadDrive(scope.AttachImage(img));
    for (int slot : {kFat12, kFat16, kFat32}) WriteFileBytes(img, Fat2Lba(*d->Root.Children[slot]) * 512, junk);
    for (int slot : {kFat12, kFat16, kFat32})
      EXPECT_EQ(Report(*d, *d->Root.Children[slot]), "Boot Sector: OK\rFAT1: OK   FAT2: Invalid\rRoot Directory: Preview")
          << slot;
    // With the first copy broken the report stops there.
    for (int slot : {kFat12, kFat16, kFat32}) WriteFileBytes(img, Fat1Lba(*d->Root.Children[slot]) * 512, junk);
    for (int slot : {kFat12, kFat16, kFat32})
      EXPECT_EQ(Report(*d, *d->Root.Children[slot]), "Boot Sector: OK\rFAT1: Invalid\r") << slot;
  }
  EXPECT_TRUE(host.messages.empty());
}

TEST(CheckReport, LeadingFatEntries) {
  DriveRegistryScope scope;
  ScriptedHost host;
  std::string img = MakeVolumes("check-entries.img");
  ASSERT_FALSE(img.empty());
  auto d = ReadDrive(scope.AttachImage(img));
  TPartition& f12 = *d->Root.Children[kFat12];
  TPartition& f16 = *d->Root.Children[kFat16];
  TPartition& f32 = *d->Root.Children[kFat32];
  auto put = [&](uint64_t lba, std::vector<uint8_t> bytes) { WriteFileBytes(img, lba * 512, bytes); };

  // FAT16 with the clean-shutdown bit cleared in the second copy: still a valid FAT.
  put(Fat2Lba(f16), {0xF8, 0xFF, 0xFF, 0x7F});
  EXPECT_EQ(Report(*d, f16), kHealthyFat);
  put(Fat2Lba(f16), {0xF8, 0xFF, 0xFF, 0x3F});
  EXPECT_EQ(Report(*d, f16), "Boot Sector: OK\rFAT1: OK   FAT2: Invalid\rRoot Directory: Preview");

  // FAT12: the floppy descriptor is always accepted, 0xF8 only when the boot sector says so.
  put(Fat1Lba(f12), {0xF0, 0xFF, 0xFF});
  EXPECT_EQ(Report(*d, f12), kHealthyFat);
  put(Fat1Lba(f12), {0xF8, 0xFF, 0x00});
  EXPECT_EQ(Report(*d, f12), "Boot Sector: OK\rFAT1: Invalid\r");
  put(Fat1Lba(f12), {0xF9, 0xFF, 0xFF});
  EXPECT_EQ(Report(*d, f12), "Boot Sector: OK\rFAT1: Invalid\r");

  // FAT32: entry 0 with or without the reserved high bits; entry 1 must be all ones.
  put(Fat1Lba(f32), {0xF8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
  EXPECT_EQ(Report(*d, f32), kHealthyFat);
  put(Fat1Lba(f32), {0xF8, 0xFF, 0xFF, 0x0F, 0xF7, 0xFF, 0xFF, 0x0F});
  EXPECT_EQ(Report(*d, f32), "Boot Sector: OK\rFAT1: Invalid\r");
}

// Finds attribute `type` in a raw file record (no fix-up needed for the header walk).
size_t AttributeOffset(const std::vector<uint8_t>& record, uint32_t type) {
  size_t off = GetU16(record, 20);
  while (off + 8 <= record.size() && GetU32(record, off) != 0xFFFFFFFF) {
    if (GetU32(record, off) == type) return off;
    const uint32_t len = GetU32(record, off + 4);
    if (len == 0) break;
    off += len;
  }
  return 0;
}

TEST(CheckReport, DamagedNtfsRootRecord) {
  DriveRegistryScope scope;
  ScriptedHost host;
  std::string img = MakeVolumes("check-ntfs.img");
  ASSERT_FALSE(img.empty());
  auto d = ReadDrive(scope.AttachImage(img));
  TPartition& ntfs = *d->Root.Children[kNtfs];
  const uint64_t at = RootRecordLba(ntfs) * 512;
  const std::vector<uint8_t> original = ReadFileBytes(img, at, 1024);
  ASSERT_EQ(std::string(original.begin(), original.begin() + 4), "FILE");

  // The second sector no longer ends with the update sequence number.
  std::vector<uint8_t> broken = original;
  broken[1022] ^= 0xFF;
  WriteFileBytes(img, at, broken);
  EXPECT_EQ(Report(*d, ntfs), "Boot Sector: OK\rIndex Root: Invalid");

  broken = original;
  broken[3] = 'X';
  WriteFileBytes(img, at, broken);
  EXPECT_EQ(Report(*d, ntfs), "Boot Sector: OK\rIndex Root: Invalid");

  // An index root under another name is not the root directory's index.
  broken = original;
  const size_t indexRoot = AttributeOffset(original, 0x90);
  ASSERT_GT(indexRoot, 0u);
  const size_t nameAt = indexRoot + GetU16(original, indexRoot + 10);
  broken[nameAt + 2] = 'J';
  WriteFileBytes(img, at, broken);
  EXPECT_EQ(Report(*d, ntfs), "Boot Sector: OK\rIndex Root: Invalid");

  // No index root at all.
  broken = original;
  broken[indexRoot] = 0x91;
  WriteFileBytes(img, at, broken);
  EXPECT_EQ(Report(*d, ntfs), "Boot Sector: OK\rIndex Root: Invalid");

  WriteFileBytes(img, at, original);
  EXPECT_EQ(Report(*d, ntfs), kHealthyNtfs);
  EXPECT_TRUE(host.messages.empty());
}

TEST(CheckReport, ReadErrorsAnsweredWithAbort) {
  std::string img = MakeVolumes("check-faults.img");
  ASSERT_FALSE(img.empty());
  DriveRegistryScope scope;
  auto faulty = std::make_unique<FaultSource>(std::make_unique<FileSource>(img));
  auto state = faulty->state;
  const uint8_t number = scope.Attach(std::move(faulty));
  std::unique_ptr<TPhysicalDrv> d;
  {
    ScriptedHost quiet;
    d = ReadDrive(number);
  }
  TPartition& f16 = *d->Root.Children[kFat16];
  TPartition& ntfs = *d->Root.Children[kNtfs];
  const Fault forever{FaultKind::Error, EIO, -1};

  {
    ScriptedHost host;  // no script: Abort
    state->readFaults[Fat1Lba(f16) * 512] = forever;
    EXPECT_EQ(Report(*d, f16), "Boot Sector: OK\rFAT1: Read Error");
    ASSERT_EQ(host.Captions(), std::vector<std::string>{"Read Error"});
  }
  {
    ScriptedHost host{MsgAnswer::Ignore};  // counts as read, with a zeroed sector
    EXPECT_EQ(Report(*d, f16), "Boot Sector: OK\rFAT1: Invalid\r");
  }
  {
    ScriptedHost host;
    state->readFaults.clear();
    state->readFaults[Fat2Lba(f16) * 512] = forever;
    EXPECT_EQ(Report(*d, f16), "Boot Sector: OK\rFAT1: OK   FAT2: Read Error\rRoot Directory: Preview");
    EXPECT_EQ(host.messages.size(), 1u);
  }
  {
    ScriptedHost host{MsgAnswer::Retry};  // the second attempt works
    state->readFaults[Fat2Lba(f16) * 512] = Fault{FaultKind::Error, EIO, 1};
    EXPECT_EQ(Report(*d, f16), kHealthyFat);
  }
  {
    ScriptedHost host;
    state->readFaults[RootRecordLba(ntfs) * 512] = forever;
    EXPECT_EQ(Report(*d, ntfs), "Boot Sector: OK\rIndex Root: Invalid");
    EXPECT_EQ(host.messages.size(), 1u);
  }
}

TEST(CheckReport, FieldsPointingPastTheDiskAreNotRead) {
  DriveRegistryScope scope;
  ScriptedHost host;
  std::string img = MakeVolumes("check-far.img");
  ASSERT_FALSE(img.empty());
  auto d = ReadDrive(scope.AttachImage(img));

  // Lost partitions carry their own boot sector copy; a damaged one may point anywhere.
  TPartition lost = *d->Root.Children[kFat32];
  lost.Parent = nullptr;
  lost.Children.clear();
  StoreLE<uint32_t>(&lost.BootSector[0x24], 0xFFFFFFF0u);
  // It lies where the listed volume it was copied from lies, and says so.
  EXPECT_EQ(Report(*d, lost), "Boot Sector: OK\rFAT1: OK   FAT2: Read Error\rRoot Directory: Preview\r"
                              "Overlaps Partition 3 (recover will refuse it)");

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
  const uint8_t perCluster = ntfs.BootSector[0x0D];
  ASSERT_GT(perCluster, 0);
  StoreLE<uint64_t>(&ntfs.BootSector[0x30],
                    GetU64(d->Root.Children[kNtfs]->BootSector, 0x30) + (uint64_t{1} << 32) / perCluster);
  ASSERT_EQ(static_cast<uint32_t>(RootRecordLba(ntfs)), RootRecordLba(*d->Root.Children[kNtfs]));
  EXPECT_EQ(Report(*d, ntfs), "Boot Sector: OK\rIndex Root: Invalid");
  EXPECT_TRUE(host.messages.empty());
}

}  // namespace
}  // namespace qm::test
