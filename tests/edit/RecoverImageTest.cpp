// Recovery on a disk image made by sfdisk, mkfs.fat and mkntfs whose volumes were wiped in their
// first sector and taken out of the table: the scanner finds them, the boot sectors come back
// from their backups, recovery writes their entries, and the file system tools accept the result.
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

// A FAT32 volume at 2048 and an NTFS volume at 73728, both wiped in their first sector and
// taken out of the table. FAT32 keeps its backup 6 sectors in; NTFS in the sector behind the
// 40959 it counts.
TEST(RecoverOnImages, WipedVolumesAreFoundRestoredAndRecovered) {
  QM_IMAGE(image, "wiped.img", "64M",
           "table 'label: dos\\nunit: sectors\\n2048,71680,c\\n73728,40960,7' fs 1 fat32 WIPED32 fs 2 ntfs WIPEDNT "
           "sector 2048 00 sector 73728 00 lose 2 lose 1");
  auto drive = ReadImage(image);
  ASSERT_TRUE(DetectLostPartitions(*drive, drive->Root, {}, 0, drive->Geometry.TotalSectors, false));
  ASSERT_EQ(drive->LostPartitions.size(), 2u);
  TPartition& fat = *drive->LostPartitions[0];
  TPartition& ntfs = *drive->LostPartitions[1];
  EXPECT_EQ(LostText(*drive), "2048+71680:0bF32 73728+40959:07NT");
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

  // fsck.fat accepts the FAT32 volume, ntfsinfo reads the NTFS volume's label.
  std::string out;
  EXPECT_EQ(RunOnVolume(image, 2048, 71680, "fsck.fat -n", &out), 0) << out;
  EXPECT_EQ(RunOnVolume(image, 73728, 40960, "ntfsinfo -m", &out), 0) << out;
  EXPECT_NE(out.find("Volume Name: WIPEDNT\n"), std::string::npos) << out;
}

}  // namespace
}  // namespace qm::test
