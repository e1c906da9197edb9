// The quick search on a disk image made by the formatting tools: volumes placed where
// partitioning tools place them are found deep in a gap, one that is not is left to the full
// scan, and a search cut short by its deadline or by Stop goes on where it stopped.
#include <gtest/gtest.h>

#include <cstdlib>

#include "disk/DriveSource.h"
#include "model/PartitionRows.h"
#include "scan/OpenDrive.h"
#include "scan/ScanHelpers.h"
#include "scan/Scanner.h"
#include "support/Fixtures.h"

namespace qm::test {
namespace {

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

class QuickSearch : public ::testing::Test {
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

TEST_F(QuickSearch, FindsWhatPartitioningToolsPlaceInEveryWayItsDisksAreRead) {
  for (const BatchReads how : {BatchReads::Ring, BatchReads::OneByOne}) {
    SetBatchReads(how);
    auto drive = ReadImage(image);
    StartQuickSearch(*drive, GapRanges(*drive));
    ProgressLog progress;
    EXPECT_TRUE(ContinueQuickSearch(*drive, std::nullopt, progress.Callback()));
    EXPECT_EQ(LostText(*drive), kAligned);
    if (drive->LostPartitions.size() == 4) {
      EXPECT_EQ(std::vector<int>({drive->LostPartitions[2]->FsKind, drive->LostPartitions[3]->FsKind}),
                std::vector<int>({fkBtrfs, fkExt4}));
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
  // The FAT12 volume on no boundary is a volume all the same: the full scan finds it.
  auto drive = ReadImage(image);
  EXPECT_TRUE(DetectLostPartitions(*drive, drive->Root, {}, 0, 1048576, false));
  EXPECT_EQ(LostText(*drive), kAligned + " 500000+8192:01F12");
}

TEST_F(QuickSearch, ADeadlineOrStopLeavesItWhereItStoppedAndTheListSaysHowFar) {
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
