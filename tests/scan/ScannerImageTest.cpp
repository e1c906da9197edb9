// The scanner on disk images made by sfdisk, mkfs.fat and mkntfs, with table entries removed:
// the whole-disk scan, find-first mode, a failing read, labels and the quick scan.
#include <gtest/gtest.h>

#include <algorithm>

#include "disk/SectorIO.h"
#include "model/FsDetect.h"
#include "model/TableReader.h"
#include "scan/ScanHelpers.h"
#include "scan/OpenDrive.h"
#include "scan/Scanner.h"
#include "support/Fixtures.h"
#include "support/Sources.h"

namespace qm::test {
namespace {

// Primaries: FAT12 (lost), FAT16 (kept), FAT32 (lost); logicals: NTFS (lost), FAT16 (kept),
// FAT32 (lost), NTFS (kept).
const char kLostLayout[] =
    "table 'label: dos\\nunit: sectors\\n2048,8192,1\\n10240,20480,6\\n30720,71680,c\\n102400,,5\\n"
    "104448,20480,7\\n126976,20480,6\\n149504,71680,c\\n223232,20480,7' "
    "fs 1 fat12 LOST12 fs 2 fat16 KEEP16 fs 3 fat32 LOST32 fs 5 ntfs LOGNTFS fs 6 fat16 LOG16 "
    "fs 7 fat32 LOG32 fs 8 ntfs KEEPNTFS lose 7 lose 5 lose 3 lose 1";
constexpr uint32_t kLostDiskSectors = 327680;  // 160 MiB

// One listed FAT16 partition; behind it, unlisted: an NTFS volume 500 sectors into the gap,
// a FAT16 volume 400 sectors behind the NTFS volume's end, a FAT12 volume deep in the gap.
const char kGapLayout[] =
    "table 'label: dos\\nunit: sectors\\n2048,8192,6' fs 1 fat16 KEEP "
    "fsat 10740 20480 ntfs GAPNTFS fsat 31620 16384 fat16 GAPFAT fsat 100000 8192 fat12 DEEP";

// Two listed volumes that keep backup boot sectors: FAT32 six sectors in, NTFS in its last
// sector.
const char kListedLayout[] =
    "table 'label: dos\\nunit: sectors\\n2048,71680,c\\n73728,20480,7' fs 1 fat32 LISTED32 fs 2 ntfs LISTEDNT";

class ScannerOnImages : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    lostImage = MakeImage("scan-lost.img", "160M", kLostLayout);
    gapImage = MakeImage("scan-gap.img", "128M", kGapLayout);
    listedImage = MakeImage("scan-listed.img", "48M", kListedLayout);
  }

  // The drive as the table reader builds it, without the quick scan, so that each test sees
  // only its own finds.
  std::unique_ptr<TPhysicalDrv> OpenDrive(uint8_t number) {
    TDriveGeometry g;
    EXPECT_TRUE(GetDriveGeometry(number, g));
    auto drive = CreatePhysicalDrv(number, g);
    EXPECT_GT(drive->AllPartitions.size(), 1u);
    drive->LastFound = nullptr;
    host.drive = drive.get();
    host.processCalls = 0;
    return drive;
  }

  // The finds (LostText), each a record of its own with the boot sector found on the disk.
  void ExpectFinds(const TPhysicalDrv& drive, const std::string& image, const std::string& finds) {
    EXPECT_EQ(LostText(drive), finds);
    for (const auto& p : drive.LostPartitions) {
      EXPECT_EQ(p->BaseLBA, 0u);
      EXPECT_EQ(p->Parent, nullptr);
      auto onDisk = ReadFileBytes(image, p->AbsoluteStart() * 512, 512);
      EXPECT_TRUE(std::equal(p->BootSector.begin(), p->BootSector.end(), onDisk.begin(), onDisk.end()));
    }
  }

  static inline std::string lostImage, gapImage, listedImage;
  DriveRegistryScope registry;
  ScanWatchHost host;
};

// NTFS counts its sectors without the backup boot sector.
const std::string kLost12 = "2048+8192:01F12", kLost32 = "30720+71680:0bF32", kLostNtfs = "104448+20479:07NT";
const std::string kAllLost = kLost12 + " " + kLost32 + " " + kLostNtfs + " 149504+71680:0bF32";
const std::string kGapFinds = "10740+20479:07NT 31620+16384:06F16";

TEST_F(ScannerOnImages, AWholeDiskScanFindsEachLostVolumeOnce) {
  ASSERT_FALSE(lostImage.empty());
  auto drive = OpenDrive(registry.AttachImage(lostImage));
  ASSERT_EQ(uint64_t{drive->Geometry.TotalSectors}, kLostDiskSectors);
  ProgressLog progress;

  EXPECT_TRUE(DetectLostPartitions(*drive, drive->Root, progress.Callback(), 0, kLostDiskSectors, false));

  ExpectFinds(*drive, lostImage, kAllLost);
  if (drive->LostPartitions.size() > 2) {
    EXPECT_EQ(drive->LostPartitions[2]->VolumeLabel, "LOGNTFS");
  }
  EXPECT_TRUE(host.messages.empty());
  EXPECT_FALSE(drive->Scanning);

  // Every sector of the disk is pumped once, with the drive marked busy.
  EXPECT_EQ(host.processCalls, kLostDiskSectors);
  EXPECT_EQ(host.callsWhileIdle, 0);

  // The bar shows the share of blocks finished before each one, then returns to 0.
  ASSERT_EQ(progress.values.size(), 329u);
  EXPECT_EQ(progress.values.front(), 0);
  EXPECT_EQ(progress.values[326], 99);
  EXPECT_TRUE(std::is_sorted(progress.values.begin(), progress.values.end() - 1));
  EXPECT_EQ(progress.values.back(), 0);

  // The same scan again finds nothing new.
  EXPECT_TRUE(DetectLostPartitions(*drive, drive->Root, {}, 0, kLostDiskSectors, false));
  ExpectFinds(*drive, lostImage, kAllLost);
}

TEST_F(ScannerOnImages, FindFirstEndsAtEachFindInTurn) {
  ASSERT_FALSE(lostImage.empty());
  auto drive = OpenDrive(registry.AttachImage(lostImage));
  ProgressLog progress;

  EXPECT_TRUE(DetectLostPartitions(*drive, drive->Root, progress.Callback(), 0, kLostDiskSectors, true));
  ASSERT_NE(drive->LastFound, nullptr);
  EXPECT_EQ(drive->LastFound->AbsoluteStart(), 2048u);
  EXPECT_EQ(host.processCalls, 2049);

  EXPECT_TRUE(DetectLostPartitions(*drive, drive->Root, progress.Callback(), 2049, kLostDiskSectors, true));
  ASSERT_NE(drive->LastFound, nullptr);
  EXPECT_EQ(drive->LastFound->AbsoluteStart(), 30720u);
  ExpectFinds(*drive, lostImage, kLost12 + " " + kLost32);
  EXPECT_TRUE(progress.values.empty());
  EXPECT_FALSE(drive->Scanning);
}

TEST_F(ScannerOnImages, AFailingBlockEndsTheScanWithTheEarlierFinds) {
  ASSERT_FALSE(lostImage.empty());
  auto faulty = std::make_unique<FaultSource>(std::make_unique<FileSource>(lostImage));
  // A bad sector at 144000, a few blocks in front of the volume at 149504.
  faulty->state->readFaults[144000ull * 512] = Fault{FaultKind::Error, EIO, -1};
  auto drive = OpenDrive(registry.Attach(std::move(faulty)));

  EXPECT_TRUE(DetectLostPartitions(*drive, drive->Root, {}, 0, kLostDiskSectors, false));

  ExpectFinds(*drive, lostImage, kLost12 + " " + kLost32 + " " + kLostNtfs);
  EXPECT_EQ(host.Captions(), (std::vector<std::string>{"Read Error"}));
  EXPECT_FALSE(drive->Scanning);
}

// Stands in for the root directory reader: it marks the drive busy while it runs and clears
// the mark when done, and takes the label from the boot sector's own copy of it.
bool BpbLabelReader(TPhysicalDrv& drive, TPartition& partition, std::string& label) {
  drive.Scanning = true;
  const size_t at = partition.FsKind == fkFat32 ? 0x47 : 0x2B;
  label.assign(reinterpret_cast<const char*>(partition.BootSector.data() + at), 11);
  drive.Scanning = false;
  return true;
}

TEST_F(ScannerOnImages, AFatLabelReadLeavesTheScanMarkedBusy) {
  ASSERT_FALSE(lostImage.empty());
  auto drive = OpenDrive(registry.AttachImage(lostImage));
  SetFatLabelReader(BpbLabelReader);
  struct Uninstall {
    ~Uninstall() { SetFatLabelReader(nullptr); }
  } uninstall;

  EXPECT_TRUE(DetectLostPartitions(*drive, drive->Root, {}, 0, kLostDiskSectors, false));

  ASSERT_EQ(drive->LostPartitions.size(), 4u);
  EXPECT_EQ(drive->LostPartitions[0]->VolumeLabel, "LOST12");
  EXPECT_EQ(drive->LostPartitions[1]->VolumeLabel, "LOST32");
  if (drive->LostPartitions.size() > 2) {
    EXPECT_EQ(drive->LostPartitions[2]->VolumeLabel, "LOGNTFS");
  }
  EXPECT_EQ(drive->LostPartitions[3]->VolumeLabel, "LOG32");
  EXPECT_EQ(host.callsWhileIdle, 0);
  EXPECT_FALSE(drive->Scanning);

  // A scan started from inside the pump while the first one runs is refused.
  drive->LostPartitions.clear();
  bool nestedResult = true;
  struct NestingHost : ScanWatchHost {
    bool* result = nullptr;
    void ProcessMessages() override {
      ScanWatchHost::ProcessMessages();
      if (processCalls == 3000) *result = DetectLostPartitions(*drive, drive->Root, {}, 0, 1000, false);
    }
  } nesting;
  nesting.drive = drive.get();
  nesting.result = &nestedResult;
  EXPECT_TRUE(DetectLostPartitions(*drive, drive->Root, {}, 0, 4000, false));
  EXPECT_FALSE(nestedResult);  // 3000 lies behind the find at 2048 and its label read
  EXPECT_EQ(drive->LostPartitions.size(), 1u);
}

TEST_F(ScannerOnImages, BackupsOfListedVolumesAreNoFindsWhereverTheRangeStarts) {
  ASSERT_FALSE(listedImage.empty());
  auto drive = OpenDrive(registry.AttachImage(listedImage));
  // Ranges that begin behind each primary boot sector, so that only the backup is met.
  for (int64_t start : {2049, 73729, 94000}) {
    SCOPED_TRACE("range from " + std::to_string(start));
    EXPECT_TRUE(DetectLostPartitions(*drive, drive->Root, {}, start, 98304, false));
    EXPECT_TRUE(drive->LostPartitions.empty());
  }
}

TEST_F(ScannerOnImages, ACopyMetBehindItsIntactPrimaryNamesTheVolumeItBelongsTo) {
  ASSERT_FALSE(lostImage.empty());
  auto drive = OpenDrive(registry.AttachImage(lostImage));
  // The ranges begin one sector behind the FAT32 and the NTFS volume's boot sector.
  const struct {
    int64_t start, sectors;
    const std::string& find;
  } volumes[] = {{30720, 71680, kLost32}, {104448, 20479, kLostNtfs}};
  for (const auto& v : volumes) {
    SCOPED_TRACE("range from " + std::to_string(v.start + 1));
    drive->LostPartitions.clear();
    EXPECT_TRUE(DetectLostPartitions(*drive, drive->Root, {}, v.start + 1, v.sectors, false));
    ExpectFinds(*drive, lostImage, v.find);
    if (!drive->LostPartitions.empty()) {
      EXPECT_EQ(drive->LostPartitions[0]->BootFromBackup, 0u);
    }
  }
}

TEST_F(ScannerOnImages, BuildingADriveProbesTheStartOfEveryGap) {
  ASSERT_FALSE(gapImage.empty());
  const uint8_t number = registry.AttachImage(gapImage);
  TDriveGeometry g;
  ASSERT_TRUE(GetDriveGeometry(number, g));
  auto drive = qm::OpenDrive(number, g);
  ExpectFinds(*drive, gapImage, kGapFinds);
  EXPECT_FALSE(drive->Scanning);
}

TEST_F(ScannerOnImages, TheQuickScanFollowsFindsThroughAGap) {
  ASSERT_FALSE(gapImage.empty());
  auto drive = OpenDrive(registry.AttachImage(gapImage));
  auto gap = std::find_if(drive->AllPartitions.begin(), drive->AllPartitions.end(),
                          [](const TPartition* p) { return p->IsGap() && p->AbsoluteStart() == 10240; });
  ASSERT_NE(gap, drive->AllPartitions.end());

  AutoScanFreeSpace(*drive, **gap);

  // The NTFS volume's backup boot sector, where the second probe starts, is no third find.
  ExpectFinds(*drive, gapImage, kGapFinds);
  EXPECT_EQ(drive->LostPartitions[0]->VolumeLabel, "GAPNTFS");
  // Probes at 10240 (to the find at 10740), at 31219 (to 31620), and a whole probe at 48004.
  EXPECT_EQ(host.processCalls, 501 + 402 + kQuickProbeSectors);
  EXPECT_FALSE(drive->Scanning);
  EXPECT_EQ(drive->LastFound, nullptr);  // the last probe found nothing
}

TEST_F(ScannerOnImages, TheQuickScanLooksOnlyAtTheStartOfAGap) {
  ASSERT_FALSE(gapImage.empty());
  auto drive = OpenDrive(registry.AttachImage(gapImage));
  TPartition* far = AddTableRecord(*drive, kTypeEmpty, 60000, 80000);
  TPartition* near = AddTableRecord(*drive, kTypeEmpty, 99500, 20000);

  AutoScanFreeSpace(*drive, *far);
  EXPECT_TRUE(drive->LostPartitions.empty());

  AutoScanFreeSpace(*drive, *near);
  ExpectFinds(*drive, gapImage, "100000+8192:01F12");

  // A busy drive is not probed at all.
  drive->LostPartitions.clear();
  drive->Scanning = true;
  host.processCalls = 0;
  AutoScanFreeSpace(*drive, *near);
  EXPECT_TRUE(drive->LostPartitions.empty());
  EXPECT_EQ(host.processCalls, 0);
  EXPECT_TRUE(drive->Scanning);
}

}  // namespace
}  // namespace qm::test
