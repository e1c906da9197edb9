// The scanner on disk images made by sfdisk and the formatting tools, with table entries
// removed: backup boot sectors of volumes, the quick scan from the start of each gap, and the
// quick search deep in a gap: volumes placed where partitioning tools place them are found, one
// that is not is left to the full scan, and a search cut short by its deadline or by Stop goes
// on where it stopped.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "disk/DriveSource.h"
#include "model/PartitionRows.h"
#include "scan/OpenDrive.h"
#include "scan/ScanHelpers.h"
#include "scan/Scanner.h"
#include "support/Fixtures.h"

namespace qm::test {
namespace {

// Primaries: FAT12 (lost), FAT16 (kept), FAT32 (lost); logicals: NTFS (lost), FAT16 (kept),
// FAT32 (lost), NTFS (kept). 160 MiB.
const char kLostLayout[] =
    "table 'label: dos\\nunit: sectors\\n2048,8192,1\\n10240,20480,6\\n30720,71680,c\\n102400,,5\\n"
    "104448,20480,7\\n126976,20480,6\\n149504,71680,c\\n223232,20480,7' "
    "fs 1 fat12 LOST12 fs 2 fat16 KEEP16 fs 3 fat32 LOST32 fs 5 ntfs LOGNTFS fs 6 fat16 LOG16 "
    "fs 7 fat32 LOG32 fs 8 ntfs KEEPNTFS lose 7 lose 5 lose 3 lose 1";

// One listed FAT16 partition; behind it, unlisted: an NTFS volume 500 sectors into the gap,
// a FAT16 volume 400 sectors behind the NTFS volume's end, a FAT12 volume deep in the gap.
const char kGapLayout[] =
    "table 'label: dos\\nunit: sectors\\n2048,8192,6' fs 1 fat16 KEEP "
    "fsat 10740 20480 ntfs GAPNTFS fsat 31620 16384 fat16 GAPFAT fsat 100000 8192 fat12 DEEP";

class ScannerOnImages : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    lostImage = MakeImage("scan-lost.img", "160M", kLostLayout);
    gapImage = MakeImage("scan-gap.img", "128M", kGapLayout);
  }

  // The drive as the table reader builds it, without the quick scan, so that each test sees
  // only its own finds.
  std::unique_ptr<TPhysicalDrv> Open(const std::string& image) {
    auto drive = ReadImage(image);
    host.drive = drive.get();
    return drive;
  }

  // The finds (LostText), each a record of its own with the boot sector found on the disk.
  void ExpectFinds(const TPhysicalDrv& drive, const std::string& image, const std::string& finds) {
    EXPECT_EQ(LostText(drive), finds);
    for (const auto& p : drive.LostPartitions) {
      EXPECT_EQ(p->Parent, nullptr);
      auto onDisk = ReadFileBytes(image, p->AbsoluteStart() * 512, 512);
      EXPECT_TRUE(std::equal(p->BootSector.begin(), p->BootSector.end(), onDisk.begin(), onDisk.end()));
    }
    EXPECT_FALSE(drive.Scanning);
  }

  static inline std::string lostImage, gapImage;
  ScanWatchHost host;
};

// A range that begins behind a volume's boot sector meets only its backup: the backup of a
// listed volume is no find, that of a lost one names the volume it belongs to, read from the
// intact boot sector (NTFS counts its sectors without the backup). The same scan again finds
// nothing new. The whole-disk scan of lost volumes: RecoverOnImages, CliScan.
TEST_F(ScannerOnImages, BackupBootSectorsNameTheirVolume) {
  QM_IMAGE(listed, "scan-listed.img", "48M",
           "table 'label: dos\\nunit: sectors\\n2048,71680,c\\n73728,20480,7' fs 1 fat32 LISTED32 fs 2 ntfs LISTEDNT");
  const struct { const std::string& image; int64_t start, sectors; std::string finds; } cases[] = {{listed, 2049, 98304, ""}, {listed, 73729, 98304, ""}, {listed, 94000, 4304, ""},
               {lostImage, 30721, 71680, "30720+71680:0bF32"}, {lostImage, 104449, 20479, "104448+20479:07NT"}};
  for (const auto& c : cases) {
    SCOPED_TRACE("range from " + std::to_string(c.start));
    auto drive = Open(c.image);
    for (int twice = 0; twice < 2; ++twice)
      EXPECT_TRUE(DetectLostPartitions(*drive, drive->Root, {}, c.start, c.sectors, false));
    ExpectFinds(*drive, c.image, c.finds);
    for (const auto& p : drive->LostPartitions) EXPECT_EQ(p->BootFromBackup, 0u);
  }
}

TEST_F(ScannerOnImages, TheQuickScanFollowsFindsThroughTheStartOfAGapOnly) {
  if (gapImage.empty()) return;
  auto drive = Open(gapImage);
  TPartition* gap = drive->Root.Children[1];
  ASSERT_EQ(gap->AbsoluteStart(), 10240u);
  EXPECT_TRUE(AutoScanFreeSpace(*drive, *gap));
  // The NTFS volume's backup boot sector, where the second probe starts, is no third find.
  ExpectFinds(*drive, gapImage, "10740+20479:07NT 31620+16384:06F16");
  // Probes at 10240 (to the find at 10740), at 31219 (to 31620), and a whole probe at 48004.
  EXPECT_EQ(host.processCalls, 501 + 402 + kQuickProbeSectors);
  EXPECT_EQ(drive->LastFound, nullptr);  // the last probe found nothing

  // The FAT12 volume lies too deep for a gap from 60000, but not for one from 99500.
  drive->LostPartitions.clear();
  EXPECT_TRUE(AutoScanFreeSpace(*drive, *AddTableRecord(*drive, kTypeEmpty, 60000, 80000)));
  EXPECT_TRUE(drive->LostPartitions.empty());
  TPartition* near = AddTableRecord(*drive, kTypeEmpty, 99500, 20000);
  // A busy drive and an empty gap are not probed at all.
  drive->Scanning = true;
  EXPECT_TRUE(AutoScanFreeSpace(*drive, *near));
  drive->Scanning = false;
  EXPECT_TRUE(AutoScanFreeSpace(*drive, *AddTableRecord(*drive, kTypeEmpty, 99000, 0)));
  EXPECT_TRUE(drive->LostPartitions.empty());
  EXPECT_TRUE(AutoScanFreeSpace(*drive, *near));
  ExpectFinds(*drive, gapImage, "100000+8192:01F12");
  EXPECT_EQ(drive->LastFound, nullptr);  // it ends inside the gap: the probe behind it went on
  // A find that reaches past the end of its gap ends the quick scan there, and is named.
  drive->LostPartitions.clear();
  EXPECT_TRUE(AutoScanFreeSpace(*drive, *AddTableRecord(*drive, kTypeEmpty, 99500, 8000)));
  ASSERT_NE(drive->LastFound, nullptr);
  EXPECT_EQ(drive->LastFound->AbsoluteStart(), 100000u);
}

// One listed FAT16 partition; in the gap behind it, unlisted: a FAT32 volume on a 1 MiB
// boundary, an NTFS volume right behind its end (on no boundary), a btrfs volume on a
// cylinder boundary (16 x 16065) whose first 64 KiB are a hole of the image file (its
// superblock lies behind them), an ext4 volume one track behind a cylinder boundary (25 x
// 16065 + 63), and a FAT12 volume on no boundary at all.
const char kAlignedLayout[] =
    "table 'label: dos\\nunit: sectors\\n2048,8192,6' fs 1 fat16 KEEP "
    "fsat 131072 71000 fat32 MIB fsat 202072 20480 ntfs BEHIND fsat 257040 65536 btrfs CYL "
    "fsat 401688 32768 ext4 TRACK fsat 500000 8192 fat12 NOWHERE";
constexpr uint64_t kBtrfsStart = 257040;
const std::string kAligned = "131072+71000:0bF32 202072+20479:07NT 257040+65536:83? 401688+32768:83?";

class QuickSearchOnImages : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    image = MakeImage("quick-search.img", "512M", kAlignedLayout);
    if (image.empty()) return;
    const std::string hole = "fallocate -p -o " + std::to_string(kBtrfsStart * 512) + " -l 65536 " + image;
    // The hole must be one the file system keeps: the volume starts on a whole 4 KiB block.
    if (kBtrfsStart % 8 != 0 || std::system(hole.c_str()) != 0) image.clear();
  }
  void SetUp() override {
    if (image.empty()) GTEST_SKIP() << "the image could not be made";
  }
  static inline std::string image;
};

TEST_F(QuickSearchOnImages, FindsWhatPartitioningToolsPlaceInEveryWayItsDisksAreRead) {
  for (const BatchReads how : {BatchReads::Ring, BatchReads::OneByOne}) {
    SetBatchReads(how);
    auto drive = ReadImage(image);
    StartQuickSearch(*drive, GapRanges(*drive));
    ProgressLog progress;
    EXPECT_TRUE(ContinueQuickSearch(*drive, std::nullopt, progress.Callback()));
    EXPECT_EQ(LostText(*drive), kAligned);
    if (drive->LostPartitions.size() == 4) {
      EXPECT_EQ((std::vector<int>{drive->LostPartitions[2]->FsKind, drive->LostPartitions[3]->FsKind}),
                (std::vector<int>{fkBtrfs, fkExt4}));
    }
    EXPECT_TRUE(drive->QuickSearch.Finished());
    EXPECT_EQ(drive->QuickSearch.Unreadable, 0u);
    ASSERT_FALSE(progress.steps.empty());
    EXPECT_EQ(progress.steps.back().Done, progress.steps.back().Total);
    EXPECT_EQ(progress.steps.back().Total, drive->Root.Children[1]->Entry.TotalSectors);
    EXPECT_FALSE(drive->Scanning);
  }
  SetBatchReads(BatchReads::Ring);
  // A range that ends inside a find does not go on behind it.
  auto part = ReadImage(image);
  StartQuickSearch(*part, {{131072, 140000}});
  EXPECT_TRUE(ContinueQuickSearch(*part, std::nullopt, {}));
  EXPECT_EQ(LostText(*part), "131072+71000:0bF32");
}

TEST_F(QuickSearchOnImages, ADeadlineOrStopLeavesItWhereItStoppedAndTheListSaysHowFar) {
  // Opened without time for it, the drive says that the search has not gone far.
  auto disk = std::make_unique<Disk>(std::make_unique<FileSource>(image), kFirstHardDisk);
  TDriveGeometry geometry;
  ASSERT_TRUE(disk->QueryGeometry(geometry));
  auto drive = OpenDrive(std::move(disk), geometry, std::chrono::milliseconds(0));
  EXPECT_EQ(LostText(*drive), "");
  const std::vector<std::string> notes = DriveNotes(*drive);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0], "Quick search: 0.00 % searched, up to sector 10240; the rest is not searched yet.");
  // A deadline that has passed probes nothing.
  EXPECT_TRUE(ContinueQuickSearch(*drive, QuickSearchClock::now(), {}));
  EXPECT_EQ(drive->QuickSearch.Probed, 0u);
  // Stop after the first batch; the search then goes on from there to the same finds.
  int batches = 0;
  const Outcome stopped = ContinueQuickSearch(*drive, std::nullopt, [&](const ScanStep&) {
    if (++batches == 1) drive->StopRequested = true;
  });
  EXPECT_EQ(stopped.Kind, OutcomeKind::Cancelled);
  EXPECT_FALSE(drive->StopRequested);
  EXPECT_FALSE(drive->QuickSearch.Finished());
  const uint64_t probed = drive->QuickSearch.Probed;
  EXPECT_GT(probed, 0u);
  EXPECT_TRUE(ContinueQuickSearch(*drive, std::nullopt, {}));
  EXPECT_EQ(LostText(*drive), kAligned);
  EXPECT_TRUE(drive->QuickSearch.Finished());
  EXPECT_TRUE(DriveNotes(*drive).empty());
  // A busy drive is not searched.
  StartQuickSearch(*drive, {{0, 1048576}});
  drive->Scanning = true;
  EXPECT_TRUE(ContinueQuickSearch(*drive, std::nullopt, {}).failed());
  drive->Scanning = false;
  EXPECT_EQ(drive->QuickSearch.Probed, 0u);
}

TEST(QuickSearchRanges, AreMergedAndCutAtTheDisksEnd) {
  TPhysicalDrv drive(kFirstHardDisk, TDriveGeometry{.TotalSectors = 100000});
  StartQuickSearch(drive, {{90000, 200000}, {10, 20}, {15, 30}, {40, 40}, {100000, 100001}});
  EXPECT_EQ(drive.QuickSearch.Ranges, (std::vector<std::pair<uint64_t, uint64_t>>{{10, 30}, {90000, 100000}}));
  EXPECT_EQ(drive.QuickSearch.Total, 10020u);
  EXPECT_EQ(drive.QuickSearch.Next, 10u);
}

}  // namespace
}  // namespace qm::test
