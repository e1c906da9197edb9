// Recovery on disk images made by sfdisk, mkfs.fat and mkntfs whose table entries were removed:
// the scanner finds the volumes, recovery writes their entries, and the partitioning and file
// system tools accept the result.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "disk/SectorIO.h"
#include "edit/Recover.h"
#include "model/TableReader.h"
#include "scan/Scanner.h"
#include "support/Fixtures.h"
#include "support/ScriptedHost.h"

namespace qm::test {
namespace {

struct SfdiskEntry {
  uint64_t start, size;
  std::string type;
  bool operator==(const SfdiskEntry&) const = default;
};

std::ostream& operator<<(std::ostream& os, const SfdiskEntry& e) {
  return os << "{" << e.start << ", " << e.size << ", " << e.type << "}";
}

// The entries `sfdisk --dump` lists, in its order (primaries, then the chain of logicals).
std::vector<SfdiskEntry> SfdiskDump(const std::string& image) {
  std::string out;
  EXPECT_EQ(RunCommand(kToolPath + "sfdisk --dump " + ShellQuote(image) + " 2>&1", &out), 0) << out;
  // Lines like "img5 : start=       34816, size=       20480, type=6".
  auto field = [](const std::string& line, const std::string& key) {
    size_t at = line.find(key + "=");
    if (at == std::string::npos) return std::string();
    size_t from = line.find_first_not_of(' ', at + key.size() + 1);
    return line.substr(from, line.find_first_of(", ", from) - from);
  };
  std::vector<SfdiskEntry> entries;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("start=") == std::string::npos) continue;
    entries.push_back({std::stoull(field(line, "start")), std::stoull(field(line, "size")), field(line, "type")});
  }
  return entries;
}

// Copies a volume out of the image so that the file-system tools can look at it alone.
std::string Extract(const std::string& image, uint64_t start, uint64_t size) {
  std::string out = image + ".vol";
  std::string command = "dd if=" + ShellQuote(image) + " of=" + ShellQuote(out) + " bs=512 skip=" +
                        std::to_string(start) + " count=" + std::to_string(size) + " status=none";
  EXPECT_EQ(RunCommand(command), 0);
  return out;
}

void ExpectFatVolume(const std::string& image, uint64_t start, uint64_t size) {
  std::string out;
  std::string vol = Extract(image, start, size);
  EXPECT_EQ(RunCommand(kToolPath + "fsck.fat -n " + ShellQuote(vol) + " 2>&1", &out), 0) << "volume at " << start << "\n" << out;
}

void ExpectNtfsVolume(const std::string& image, uint64_t start, uint64_t size, const std::string& label) {
  std::string out;
  std::string vol = Extract(image, start, size);
  EXPECT_EQ(RunCommand(kToolPath + "ntfsinfo -m " + ShellQuote(vol) + " 2>&1", &out), 0) << out;
  EXPECT_NE(out.find("Volume Name: " + label + "\n"), std::string::npos) << out;
}

// FNV-1a of the whole image: equal digests before and after mean nothing was written.
uint64_t Digest(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> buf(1 << 20);
  uint64_t h = 1469598103934665603ull;
  while (in.read(buf.data(), static_cast<std::streamsize>(buf.size())) || in.gcount() > 0) {
    for (std::streamsize i = 0; i < in.gcount(); ++i) h = (h ^ static_cast<uint8_t>(buf[static_cast<size_t>(i)])) * 1099511628211ull;
    if (!in) break;
  }
  return h;
}

class RecoverOnImages : public ::testing::Test {
 protected:
  // The drive's tables, then a scan of the whole disk.
  std::unique_ptr<TPhysicalDrv> OpenAndScan(const std::string& image) {
    number = registry.AttachImage(image);
    TDriveGeometry g;
    EXPECT_TRUE(GetDriveGeometry(number, g));
    auto drive = CreatePhysicalDrv(number, g);
    EXPECT_TRUE(DetectLostPartitions(*drive, drive->Root, {}, 0, g.TotalSectors, false));
    return drive;
  }

  TPartition* LostAt(TPhysicalDrv& drive, uint64_t start) {
    for (auto& p : drive.LostPartitions)
      if (p->AbsoluteStart() == start) return p.get();
    ADD_FAILURE() << "no lost partition found at " << start;
    return nullptr;
  }

  DriveRegistryScope registry;
  uint8_t number = 0;
};

TEST_F(RecoverOnImages, PrimariesOfEveryKindThenAFullTable) {
  QM_IMAGE(image, "recover-primary.img", "128M",
           "table 'label: dos\\nunit: sectors\\n2048,8192,1\\n10240,20480,6\\n30720,69632,c\\n100352,40960,7' "
           "fs 1 fat12 P12 fs 2 fat16 P16 fs 3 fat32 P32 fs 4 ntfs PNTFS fsat 143360 20480 fat16 FIFTH "
           "lose 1 lose 2 lose 3 lose 4");
  ASSERT_TRUE(SfdiskDump(image).empty());
  auto drive = OpenAndScan(image);
  ASSERT_EQ(drive->LostPartitions.size(), 5u);

  ScriptedHost host;
  for (uint64_t start : {30720u, 2048u, 100352u, 10240u}) {
    SCOPED_TRACE("recovering the volume at " + std::to_string(start));
    TPartition* lost = LostAt(*drive, start);
    ASSERT_NE(lost, nullptr);
    EXPECT_EQ(RecoverLostPartition(*drive, *lost), RecoverResult::Written);
  }
  EXPECT_TRUE(host.messages.empty());
  // The NTFS entry covers the backup boot sector behind the volume.
  EXPECT_EQ(SfdiskDump(image), (std::vector<SfdiskEntry>{{2048, 8192, "1"}, {10240, 20480, "6"}, {30720, 69632, "b"},
                                                          {100352, 40960, "7"}}));
  ExpectFatVolume(image, 2048, 8192);
  ExpectFatVolume(image, 10240, 20480);
  ExpectFatVolume(image, 30720, 69632);
  ExpectNtfsVolume(image, 100352, 40960, "PNTFS");
  ASSERT_EQ(drive->LostPartitions.size(), 1u);

  // The master boot record is full now: the fifth volume is refused and nothing is written.
  const uint64_t before = Digest(image);
  EXPECT_EQ(RecoverLostPartition(*drive, *drive->LostPartitions[0]), RecoverResult::Refused);
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text,
            "There is no vacancy in the partition table.\rPlease use 'Rebuild' or 'Clone' instead of 'Recover'.");
  EXPECT_EQ(host.messages[0].caption, "Recovering");
  EXPECT_EQ(Digest(image), before);
  EXPECT_EQ(drive->LostPartitions.size(), 1u);

  // A drive read afresh lists the recovered partitions.
  TDriveGeometry g;
  ASSERT_TRUE(GetDriveGeometry(number, g));
  auto again = CreatePhysicalDrv(number, g);
  std::vector<std::pair<uint64_t, uint8_t>> kinds;
  for (const TPartition* p : again->Root.Children)
    if (!p->IsGap()) kinds.push_back({p->AbsoluteStart(), p->FsKind});
  EXPECT_EQ(kinds, (std::vector<std::pair<uint64_t, uint8_t>>{{2048, fkFat12}, {10240, fkFat16}, {30720, fkFat32}, {100352, fkNtfs}}));
  EXPECT_EQ(again->Root.Children[3]->VolumeLabel, "PNTFS");
}

TEST_F(RecoverOnImages, LogicalDrivesInFrontOfAndBehindTheOthers) {
  // Logicals 5 FAT12, 6 FAT16 (kept), 7 FAT32, 8 NTFS, 9 FAT16 (kept), 10 FAT16; sfdisk puts
  // each EBR 2048 sectors before its logical drive. After the losses the first EBR holds 6.
  QM_IMAGE(image, "recover-logical.img", "160M",
           "table 'label: dos\\nunit: sectors\\n2048,20480,6\\n22528,,5\\n24576,8192,1\\n34816,20480,6\\n"
           "57344,71680,c\\n131072,40960,7\\n174080,20480,6\\n196608,20480,6' "
           "fs 1 fat16 KEEP16 fs 5 fat12 LOST12 fs 6 fat16 KEEPL fs 7 fat32 LOST32 fs 8 ntfs LOSTNTFS "
           "fs 9 fat16 KEEP2 fs 10 fat16 LOST16 lose 10 lose 8 lose 7 lose 5");
  auto drive = OpenAndScan(image);
  ASSERT_EQ(drive->LostPartitions.size(), 4u);

  ScriptedHost host;
  // In front of every logical drive: KEEPL moves into a new EBR one track before it.
  ASSERT_EQ(RecoverLostPartition(*drive, *LostAt(*drive, 24576)), RecoverResult::Written);
  EXPECT_EQ(SfdiskDump(image), (std::vector<SfdiskEntry>{{2048, 20480, "6"}, {22528, 305152, "5"}, {24576, 8192, "1"},
                                                          {34816, 20480, "6"}, {174080, 20480, "6"}}));
  auto ebr = ReadFileBytes(image, 22528 * 512 + 0x1BE, 32);
  EXPECT_EQ(LoadLE<uint32_t>(&ebr[16 + 8]), 34816u - 63 - 22528) << "link to the new EBR";
  // Behind KEEPL, behind the new FAT32 entry, and behind the last logical drive.
  for (uint64_t start : {57344u, 131072u, 196608u}) {
    SCOPED_TRACE("recovering the volume at " + std::to_string(start));
    EXPECT_EQ(RecoverLostPartition(*drive, *LostAt(*drive, start)), RecoverResult::Written);
  }
  EXPECT_TRUE(host.messages.empty());
  EXPECT_EQ(SfdiskDump(image),
            (std::vector<SfdiskEntry>{{2048, 20480, "6"}, {22528, 305152, "5"}, {24576, 8192, "1"}, {34816, 20480, "6"},
                                      {57344, 71680, "b"}, {131072, 40960, "7"}, {174080, 20480, "6"},
                                      {196608, 20480, "6"}}));
  ExpectFatVolume(image, 24576, 8192);
  ExpectFatVolume(image, 34816, 20480);
  ExpectFatVolume(image, 57344, 71680);
  ExpectNtfsVolume(image, 131072, 40960, "LOSTNTFS");
  ExpectFatVolume(image, 174080, 20480);
  ExpectFatVolume(image, 196608, 20480);
  EXPECT_TRUE(drive->LostPartitions.empty());

  // The program's own reading of the chain agrees.
  std::vector<std::pair<uint64_t, uint8_t>> logical;
  for (const TPartition* p : drive->AllPartitions)
    if (p->Parent && p->Parent != &drive->Root && !p->IsGap() && !p->IsExtended())
      logical.push_back({p->AbsoluteStart(), p->FsKind});
  EXPECT_EQ(logical, (std::vector<std::pair<uint64_t, uint8_t>>{{24576, fkFat12}, {34816, fkFat16}, {57344, fkFat32},
                                                                {131072, fkNtfs}, {174080, fkFat16}, {196608, fkFat16}}));
  for (const TPartition* p : drive->AllPartitions) {
    if (p->AbsoluteStart() == 131072 && !p->IsExtended()) {
      EXPECT_EQ(p->VolumeLabel, "LOSTNTFS");
    }
  }
}

TEST_F(RecoverOnImages, NewRecordThatWouldLandInTheRecoveredVolumeWritesNothing) {
  // The lost FAT12 volume reaches to 34775; the logical drive it displaces starts at 34816, so
  // its new EBR would have to go to 34753, inside the FAT12 volume.
  QM_IMAGE(image, "recover-near.img", "64M",
           "table 'label: dos\\nunit: sectors\\n2048,20480,6\\n22528,,5\\n24576,8192,1\\n34816,20480,6' "
           "fs 6 fat16 KEEPL lose 5 fsat 24576 10200 fat12 NEAR");
  auto drive = OpenAndScan(image);
  TPartition* lost = LostAt(*drive, 24576);
  ASSERT_NE(lost, nullptr);
  const uint64_t before = Digest(image);
  ScriptedHost host;
  EXPECT_EQ(RecoverLostPartition(*drive, *lost), RecoverResult::Refused);
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text, "There's no sufficient free space to move logical drive to Inner Extended Partition.");
  EXPECT_EQ(Digest(image), before);
  EXPECT_EQ(drive->LostPartitions.size(), 1u);
}

TEST_F(RecoverOnImages, OverlapBusyAndGptWriteNothing) {
  QM_IMAGE(image, "recover-overlap.img", "64M",
           "table 'label: dos\\nunit: sectors\\n2048,40960,6' fs 1 fat16 KEEP16 "
           "fsat 30000 20480 fat16 OVER");
  auto drive = OpenAndScan(image);
  TPartition* lost = LostAt(*drive, 30000);
  ASSERT_NE(lost, nullptr);
  const uint64_t before = Digest(image);
  {
    ScriptedHost host;
    EXPECT_EQ(RecoverLostPartition(*drive, *lost), RecoverResult::Refused);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text,
              "Specified partition overlaps one or more existing partitions.\rPlease delete these partitions before "
              "recovery. You can also\rclone lost partition to an empty existing partition.");
    EXPECT_EQ(host.messages[0].caption, "Error");
  }
  {
    ScriptedHost host;
    drive->Scanning = true;
    EXPECT_EQ(RecoverLostPartition(*drive, *lost), RecoverResult::Refused);
    EXPECT_EQ(host.Captions(), std::vector<std::string>{"Error"});
    drive->Scanning = false;
  }
  EXPECT_EQ(Digest(image), before);

  QM_IMAGE(gpt, "recover-gpt.img", "64M",
           "table-gpt 'label: gpt\\nunit: sectors\\n2048,20480' fsat 40960 20480 fat16 GPTLOST");
  auto gptDrive = OpenAndScan(gpt);
  ASSERT_TRUE(gptDrive->IsGpt);
  TPartition* gptLost = LostAt(*gptDrive, 40960);
  ASSERT_NE(gptLost, nullptr);
  const uint64_t gptBefore = Digest(gpt);
  ScriptedHost host;
  EXPECT_EQ(RecoverLostPartition(*gptDrive, *gptLost), RecoverResult::Refused);
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].caption, "Error");
  EXPECT_EQ(Digest(gpt), gptBefore);
}

}  // namespace
}  // namespace qm::test
