// Volumes whose first sector was wiped, made by sfdisk, mkfs.fat and mkntfs: the scanner finds
// them at their true starts from the backup boot sectors, the restore puts the boot sectors
// back, recovery writes their entries, and fsck.fat and ntfsinfo accept the volumes.
#include <gtest/gtest.h>

#include "disk/SectorIO.h"
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
const char kWipedLayout[] =
    "table 'label: dos\\nunit: sectors\\n2048,71680,c\\n73728,40960,7' fs 1 fat32 WIPED32 fs 2 ntfs WIPEDNT "
    "sector 2048 00 sector 73728 00 lose 2 lose 1";

// The report's lines.
std::vector<std::string> ReportLines(TPhysicalDrv& drive, TPartition& find) {
  std::string report;
  BuildCheckReport(drive, find, report);
  std::vector<std::string> lines;
  for (size_t begin = 0; begin < report.size();) {
    size_t end = std::min(report.find('\r', begin), report.size());
    lines.push_back(report.substr(begin, end - begin));
    begin = end + 1;
  }
  return lines;
}

TEST(BootSectorRestoreOnImages, WipedVolumesAreFoundRestoredAndRecovered) {
  QM_IMAGE(image, "wiped.img", "64M", kWipedLayout);
  DriveRegistryScope registry;
  ScriptedHost host{MsgAnswer::Yes, MsgAnswer::Yes, MsgAnswer::Yes, MsgAnswer::Yes};
  const uint8_t number = registry.AttachImage(image);
  auto drive = ReadDrive(number);
  const TDriveGeometry& g = drive->Geometry;
  ASSERT_TRUE(DetectLostPartitions(*drive, drive->Root, {}, 0, g.TotalSectors, false));

  ASSERT_EQ(drive->LostPartitions.size(), 2u);
  TPartition& fat = *drive->LostPartitions[0];
  TPartition& ntfs = *drive->LostPartitions[1];
  EXPECT_EQ(LostText(*drive), "2048+71680:0bF32 73728+40959:07NT");
  EXPECT_EQ(fat.BootFromBackup, 2054u);
  EXPECT_EQ(ntfs.BootFromBackup, 73728u + 40959u);
  EXPECT_EQ(ntfs.VolumeLabel, "WIPEDNT");
  EXPECT_EQ(ReportLines(*drive, fat), (std::vector<std::string>{"Boot Sector: Missing, backup intact (LBA 2054)",
                                                                "FAT1: OK   FAT2: OK", "Root Directory: Preview"}));
  EXPECT_EQ(ReportLines(*drive, ntfs), (std::vector<std::string>{"Boot Sector: Missing, backup intact (LBA 114687)",
                                                                 "Index Root: OK", "Root Directory: Preview"}));

  // Refusals write nothing: a backup that no longer matches, a place beyond the disk, a backup
  // that is the boot sector itself.
  TPartition stale = fat;
  stale.BootSector[0x47] ^= 0xFF;
  EXPECT_EQ(RestoreBootSector(*drive, stale), BootRestoreResult::BackupChanged);
  TPartition far = fat;
  far.Entry.RelativeSector = g.TotalSectors;
  EXPECT_EQ(RestoreBootSector(*drive, far), BootRestoreResult::OutsideDisk);
  TPartition self = fat;  // a "backup" at the volume's own start is none
  self.BootFromBackup = self.AbsoluteStart();
  EXPECT_EQ(RestoreBootSector(*drive, self), BootRestoreResult::OutsideDisk);
  EXPECT_EQ(ReadFileBytes(image, 2048 * 512, 512), std::vector<uint8_t>(512, 0));

  const TPartition before = ntfs;
  for (TPartition* find : {&fat, &ntfs}) {
    SCOPED_TRACE(find->AbsoluteStart());
    EXPECT_EQ(RestoreBootSector(*drive, *find), BootRestoreResult::Restored);
    EXPECT_EQ(find->BootFromBackup, 0u);
    EXPECT_EQ(ReadFileBytes(image, find->AbsoluteStart() * 512, 512),
              std::vector<uint8_t>(find->BootSector.begin(), find->BootSector.end()));
    EXPECT_EQ(RestoreBootSector(*drive, *find), BootRestoreResult::NotFromBackup);
  }
  TPartition again = before;  // made before the restore: its first sector is no longer empty
  EXPECT_EQ(RestoreBootSector(*drive, again), BootRestoreResult::TargetChanged);
  EXPECT_FALSE(drive->Scanning);

  EXPECT_EQ(RecoverLostPartition(*drive, *drive->LostPartitions[1]), RecoverResult::Written);
  EXPECT_EQ(RecoverLostPartition(*drive, *drive->LostPartitions[0]), RecoverResult::Written);
  EXPECT_TRUE(drive->LostPartitions.empty());
  EXPECT_TRUE(host.messages.empty());

  std::string out;
  EXPECT_EQ(RunOnVolume(image, 2048, 71680, "fsck.fat -n", &out), 0) << out;
  EXPECT_EQ(RunOnVolume(image, 73728, 40960, "ntfsinfo -m", &out), 0) << out;
  EXPECT_NE(out.find("Volume Name: WIPEDNT"), std::string::npos) << out;
}

}  // namespace
}  // namespace qm::test
