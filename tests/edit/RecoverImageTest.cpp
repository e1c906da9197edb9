// Recovery on disk images made by sfdisk, mkfs.fat and mkntfs whose table entries were removed,
// some with their first sector wiped too: the scanner finds the volumes, the boot sectors come
// back from their backups, recovery writes their entries, and the partitioning and file system
// tools accept the result.
#include <gtest/gtest.h>

#include "disk/Disk.h"
#include "edit/BootSectorRestore.h"
#include "edit/Recover.h"
#include "model/CheckReport.h"
#include "model/TableReader.h"
#include "scan/Scanner.h"
#include "support/Fixtures.h"
#include "support/ScriptedHost.h"

namespace qm::test {
namespace {

// fsck.fat accepts each FAT volume, ntfsinfo reads each NTFS volume's label.
void ExpectVolumes(const std::string& image, const std::vector<std::tuple<uint64_t, uint64_t, std::string>>& volumes) {
  for (const auto& [start, size, ntfsLabel] : volumes) {
    std::string out;
    const int status = RunOnVolume(image, start, size, ntfsLabel.empty() ? "fsck.fat -n" : "ntfsinfo -m", &out);
    EXPECT_EQ(status, 0) << "volume at " << start << "\n" << out;
    if (!ntfsLabel.empty()) {
      EXPECT_NE(out.find("Volume Name: " + ntfsLabel + "\n"), std::string::npos) << out;
    }
  }
}

class RecoverOnImages : public ::testing::Test {
 protected:
  // The drive's tables, then a scan of the whole disk.
  std::unique_ptr<TPhysicalDrv> OpenAndScan(const std::string& image) {
    auto drive = ReadImage(image);
    EXPECT_TRUE(DetectLostPartitions(*drive, drive->Root, {}, 0, drive->Geometry.TotalSectors, false));
    return drive;
  }

  // Recovers the find at `start`; a missing find fails the test.
  RecoverOutcome RecoverAt(TPhysicalDrv& drive, uint64_t start) {
    for (auto& p : drive.LostPartitions)
      if (p->AbsoluteStart() == start) return RecoverLostPartition(drive, *p);
    ADD_FAILURE() << "no lost partition found at " << start;
    return RecoverResult::Refused;
  }
};

TEST_F(RecoverOnImages, PrimariesOfEveryKindThenAFullTable) {
  QM_IMAGE(image, "recover-primary.img", "128M",
           "table 'label: dos\\nunit: sectors\\n2048,8192,1\\n10240,20480,6\\n30720,69632,c\\n100352,40960,7' "
           "fs 1 fat12 P12 fs 2 fat16 P16 fs 3 fat32 P32 fs 4 ntfs PNTFS fsat 143360 20480 fat16 FIFTH "
           "lose 1 lose 2 lose 3 lose 4");
  ASSERT_TRUE(SfdiskEntries(image).empty());
  auto drive = OpenAndScan(image);
  ASSERT_EQ(drive->LostPartitions.size(), 5u);

  for (uint64_t start : {30720u, 2048u, 100352u, 10240u}) EXPECT_EQ(RecoverAt(*drive, start), RecoverResult::Written) << start;
  // Each entry took the first free slot, in the order of recovery; the NTFS entry covers the
  // backup boot sector behind the volume.
  EXPECT_EQ(SfdiskEntries(image),
            (std::vector<EntryKey>{{30720, 69632, 0x0b}, {2048, 8192, 0x01}, {100352, 40960, 0x07}, {10240, 20480, 0x06}}));
  ExpectVolumes(image, {{2048, 8192, ""}, {10240, 20480, ""}, {30720, 69632, ""}, {100352, 40960, "PNTFS"}});

  // The master boot record is full now: the fifth volume is refused and nothing is written.
  const std::vector<uint8_t> before = ReadWholeImage(image);
  const RecoverOutcome full = RecoverAt(*drive, 143360);
  EXPECT_EQ(full, RecoverResult::Refused);
  EXPECT_EQ(full.Told.Caption, "Recovering");
  EXPECT_EQ(full.Told.Icon, MsgIcon::Error);
  EXPECT_EQ(full.Told.Text.rfind("There is no vacancy in the partition table.", 0), 0u) << full.Told.Text;
  EXPECT_TRUE(ReadWholeImage(image) == before);
  EXPECT_EQ(drive->LostPartitions.size(), 1u);

  // A drive read afresh lists the recovered partitions.
  EXPECT_EQ(TreeText(ReadImage(image)->Root),
            "2048+8192:01F12 10240+20480:06F16 30720+69632:0bF32 100352+40960:07NT 141312+120831:00-");
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

  // In front of every logical drive: KEEPL moves into a new EBR one track before it.
  ASSERT_EQ(RecoverAt(*drive, 24576), RecoverResult::Written);
  EXPECT_EQ(LoadLE<uint32_t>(ReadFileBytes(image, 22528 * 512 + 0x1BE + 24, 4).data()), 34816u - 63 - 22528)
      << "link to the new EBR";
  // Behind KEEPL, behind the new FAT32 entry, and behind the last logical drive.
  for (uint64_t start : {57344u, 131072u, 196608u}) EXPECT_EQ(RecoverAt(*drive, start), RecoverResult::Written) << start;
  EXPECT_EQ(SfdiskEntries(image),
            (std::vector<EntryKey>{{2048, 20480, 0x06}, {22528, 305152, 0x05}, {24576, 8192, 0x01}, {34816, 20480, 0x06},
                                   {57344, 71680, 0x0b}, {131072, 40960, 0x07}, {174080, 20480, 0x06},
                                   {196608, 20480, 0x06}}));
  ExpectVolumes(image, {{24576, 8192, ""}, {34816, 20480, ""}, {57344, 71680, ""}, {131072, 40960, "LOSTNTFS"},
                        {174080, 20480, ""}, {196608, 20480, ""}});
  EXPECT_TRUE(drive->LostPartitions.empty());
  // The program's own reading of the chain agrees.
  EXPECT_EQ(TreeText(*drive->Root.Children[1]),
            "24576+8192:01F12 34753+20543:05X[34816+20480:06F16 57281+71743:05X[57344+71680:0bF32 131009+41023:05X["
            "131072+40960:07NT 172032+22528:05X[174080+20480:06F16 196545+20543:05X[196608+20480:06F16]]]]] "
            "217088+110592:00-");
}

// A FAT32 volume at 2048 and an NTFS volume at 73728, both wiped in their first sector and
// taken out of the table. FAT32 keeps its backup 6 sectors in; NTFS in the sector behind the
// 40959 it counts.
TEST_F(RecoverOnImages, WipedVolumesAreFoundRestoredAndRecovered) {
  QM_IMAGE(image, "wiped.img", "64M",
           "table 'label: dos\\nunit: sectors\\n2048,71680,c\\n73728,40960,7' fs 1 fat32 WIPED32 fs 2 ntfs WIPEDNT "
           "sector 2048 00 sector 73728 00 lose 2 lose 1");
  auto drive = OpenAndScan(image);
  ASSERT_EQ(drive->LostPartitions.size(), 2u);
  TPartition& fat = *drive->LostPartitions[0];
  TPartition& ntfs = *drive->LostPartitions[1];
  EXPECT_EQ(LostText(*drive), "2048+71680:0bF32 73728+40959:07NT");
  EXPECT_EQ(fat.BootFromBackup, 2054u);
  EXPECT_EQ(ntfs.BootFromBackup, 73728u + 40959u);
  EXPECT_EQ(ntfs.VolumeLabel, "WIPEDNT");
  std::string report;
  BuildCheckReport(*drive, fat, report);
  EXPECT_EQ(report, "Boot Sector: Missing, backup intact (LBA 2054)\rFAT1: OK   FAT2: OK\rRoot Directory: Preview");
  BuildCheckReport(*drive, ntfs, report);
  EXPECT_EQ(report, "Boot Sector: Missing, backup intact (LBA 114687)\rIndex Root: OK\rRoot Directory: Preview");

  // Refusals write nothing: a backup that no longer matches, a place beyond the disk, a backup
  // that is the boot sector itself.
  TSector copy{};
  TPartition stale = fat;
  stale.BootSector[0x47] ^= 0xFF;
  EXPECT_EQ(PlanBootSectorRestore(*drive, stale, copy), BootRestoreResult::BackupChanged);
  TPartition far = fat;
  far.Entry.RelativeSector = drive->Geometry.TotalSectors;
  EXPECT_EQ(PlanBootSectorRestore(*drive, far, copy), BootRestoreResult::OutsideDisk);
  TPartition self = fat;  // a "backup" at the volume's own start is none
  self.BootFromBackup = self.AbsoluteStart();
  EXPECT_EQ(PlanBootSectorRestore(*drive, self, copy), BootRestoreResult::OutsideDisk);
  TPartition stillLost = fat;
  EXPECT_EQ(RecoverLostPartition(*drive, stillLost, true), RecoverResult::Refused);
  EXPECT_EQ(ReadFileBytes(image, 2048 * 512, 512), std::vector<uint8_t>(512, 0));

  // A recovery asked to restore writes the backup over the destroyed first sector.
  const TPartition before = ntfs;
  for (const TPartition& found : std::vector<TPartition>{ntfs, fat}) {
    SCOPED_TRACE(found.AbsoluteStart());
    TPartition* find = drive->LostPartitions.back().get();
    ASSERT_EQ(find->AbsoluteStart(), found.AbsoluteStart());
    EXPECT_EQ(RecoverLostPartition(*drive, *find, true), RecoverResult::Written);
    EXPECT_EQ(ReadFileBytes(image, found.AbsoluteStart() * 512, 512),
              std::vector<uint8_t>(found.BootSector.begin(), found.BootSector.end()));
  }
  // Made before the restore: its first sector is no longer empty.
  EXPECT_EQ(PlanBootSectorRestore(*drive, before, copy), BootRestoreResult::TargetChanged);
  EXPECT_FALSE(drive->Scanning);
  EXPECT_TRUE(drive->LostPartitions.empty());

  ExpectVolumes(image, {{2048, 71680, ""}, {73728, 40960, "WIPEDNT"}});
}

}  // namespace

}  // namespace qm::test
