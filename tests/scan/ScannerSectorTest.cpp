// The scanner on hand-made disks: the cases no formatting tool produces (absurd sizes, equal
// serials, hand-placed backup copies, errors) and the bounds of the scan range; where a backup
// boot sector's volume starts, and what confirms a FAT32 volume behind a boot sector. The scan
// range arithmetic behind the scan dialog and `quillmark-cli scan --start-mb/--end-mb`:
// megabyte fields turned into a sector range of a region.
#include <filesystem>
#include <gtest/gtest.h>

#include <new>
#include <tuple>
#include <vector>

#include "disk/Disk.h"
#include "scan/BackupBoot.h"
#include "scan/ScanRange.h"
#include "scan/ScanHelpers.h"
#include "scan/Scanner.h"
#include "support/Fixtures.h"
#include "support/Sources.h"

namespace qm::test {
namespace {

constexpr uint32_t kDiskSectors = 8192;  // 4 MiB

class ScannerOnMemoryDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    disk = std::make_shared<std::vector<uint8_t>>(size_t{kDiskSectors} * 512);
    faults = std::make_shared<FaultSource::State>();
  }

  // The drive as the table reader would build it for a disk with an empty table.
  std::unique_ptr<TPhysicalDrv> Drive() {
    auto drive = BareDrive(std::make_unique<FaultSource>(std::make_unique<MemorySource>(disk), faults));
    host.drive = drive.get();
    return drive;
  }

  ScanWatchHost host;
  std::shared_ptr<std::vector<uint8_t>> disk;
  std::shared_ptr<FaultSource::State> faults;
};

struct Boot { uint64_t lba; uint8_t kind; uint64_t total; uint32_t serial; };

// Boot sectors placed by hand, one whole-disk scan, and what it lists: each find as
// start+size:type and its file system (TreeText's codes), the type code following the file
// system.
TEST_F(ScannerOnMemoryDisk, WhatAWholeDiskScanListsOfHandPlacedBootSectors) {
  const struct { const char* what; std::vector<Boot> boots; const char* finds; } cases[] = {
      {"absurd sizes never become records",
       {{100, fkFat16, 0, 1},                          // no sectors at all
        {200, fkFat32, 0xFFFFFFFF, 2},                 // the end wraps 32 bits
        {300, fkNtfs, 0x100000100ULL, 3},              // the low half alone would look sane
        {400, fkFat12, kDiskSectors - 400 + 1, 4},     // one sector past the disk
        {500, fkFat12, kDiskSectors - 500, 5},         // ends on the disk's last sector
        {600, fkFat16, 70000, 6},                      // a 32-bit total beyond the disk
        {700, fkFat16, 3000, 7}},                      // a 16-bit total
       "500+7692:01F12 700+3000:06F16"},
      // Backups that follow their primary as the tools place them are skipped (RecoverOnImages,
      // ScannerOnImages); volumes right behind one another are not backups.
      {"an HPFS volume right behind a FAT volume",
       {{5000, fkHpfs, 100, 0xCAFE0003}, {5002, fkFat16, 100, 0xCAFE0004}, {5003, fkHpfs, 100, 0xCAFE0005}},
       "5000+100:07HP 5002+100:06F16 5003+100:07HP"},
      // Two volumes formatted in the same second, or a volume and its clone, carry one serial:
      // only a sector at the first one's backup place is a copy of it.
      {"volumes sharing a serial are each found",
       {{100, fkNtfs, 999, 0xD0D0},
        {1099, fkNtfs, 999, 0xD0D0},  // its backup
        {1200, fkNtfs, 999, 0xD0D0},  // a clone right behind it
        {2300, fkFat16, 100, 0xD1D1},
        {2400, fkFat16, 100, 0xD1D1},  // FAT16 keeps no backup boot sector
        {3000, fkFat32, 500, 0xD2D2},
        {3007, fkFat32, 500, 0xD2D2}},  // not at the backup place the first one names
       "100+999:07NT 1200+999:07NT 2300+100:06F16 2400+100:06F16 3000+500:0bF32 3007+500:0bF32"},
      {"no serial is reserved: a first candidate with serial 0", {{100, fkFat16, 50, 0}}, "100+50:06F16"},
      {"a copy is found when another candidate lies between",
       {{100, fkFat32, 3000, 0xCAFE0001}, {103, fkFat16, 50, 0xBEEF}, {106, fkFat32, 3000, 0xCAFE0001}},
       "100+3000:0bF32 103+50:06F16 106+3000:0bF32"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::fill(disk->begin(), disk->end(), uint8_t{0});
    for (const Boot& b : c.boots) PutBootSector(*disk, b.lba, b.kind, b.total, b.serial);
    auto drive = Drive();
    EXPECT_TRUE(DetectLostPartitions(*drive, drive->Root, {}, 0, kDiskSectors, false));
    EXPECT_EQ(LostText(*drive), c.finds);
    EXPECT_TRUE(host.messages.empty());
  }
}

TEST_F(ScannerOnMemoryDisk, FatSizeFallsBackToThe32BitTotalAndOnlySignedTypedSectorsCount) {
  PutBootSector(*disk, 10, fkFat12, 0, 0x2001);
  StoreLE<uint32_t>(disk->data() + 10 * 512 + 0x20, 1234);  // the 16-bit total is 0
  PutBootSector(*disk, 20, fkFat16, 100, 0x3001, /*signature=*/false);
  (*disk)[30 * 512 + 510] = 0x55, (*disk)[30 * 512 + 511] = 0xAA;  // signature, but no type string
  PutBootSector(*disk, 40, fkFat16, 100, 0x3003);
  (*disk)[40 * 512 + 511] = 0xAB;
  auto drive = Drive();
  EXPECT_TRUE(DetectLostPartitions(*drive, drive->Root, {}, 0, 1, false));
  EXPECT_EQ(LostText(*drive), "10+1234:01F12");
}

// The range a scan reads: from a start on the disk's last sector just that sector, from one
// further nothing; a count rounded up to whole blocks and cut at the disk's end, the last block
// 192 sectors long; an offset counted from the region's start. Bad ranges and a busy drive
// read nothing at all.
TEST_F(ScannerOnMemoryDisk, TheRangeIsWholeBlocksFromTheRegionCutAtTheDisksEnd) {
  PutBootSector(*disk, 1999, fkFat16, 10, 0xC1);
  PutBootSector(*disk, 2600, fkFat16, 10, 0xC2);
  PutBootSector(*disk, 8000, fkFat12, 10, 0xC3);             // in the short last block
  PutBootSector(*disk, kDiskSectors - 1, fkFat12, 1, 0xC4);  // the disk's last sector
  auto drive = Drive();
  ProgressLog progress;
  EXPECT_TRUE(DetectLostPartitions(*drive, drive->Root, progress.Callback(), kDiskSectors - 1, 5000, false));
  EXPECT_EQ(host.processCalls, 1);
  EXPECT_EQ(LostText(*drive), "8191+1:01F12");
  EXPECT_FALSE(DetectLostPartitions(*drive, drive->Root, progress.Callback(), kDiskSectors, 5000, false));
  EXPECT_EQ(progress.values, (std::vector<int>{0, 0, 0}));
  for (const auto& [start, count] : std::vector<std::pair<int64_t, int64_t>>{{-1, 1000}, {0, 0}, {0, -5}, {INT64_MAX, 1000}})
    EXPECT_FALSE(DetectLostPartitions(*drive, drive->Root, {}, start, count, false)) << start << " " << count;
  EXPECT_FALSE(drive->Scanning);
  drive->Scanning = drive->StopRequested = true;
  progress.values.clear();
  faults->readOffsets.clear();
  EXPECT_FALSE(DetectLostPartitions(*drive, drive->Root, progress.Callback(), 0, 1000, false));
  EXPECT_TRUE(drive->Scanning && drive->StopRequested);
  EXPECT_TRUE(progress.values.empty() && faults->readOffsets.empty());
  EXPECT_EQ(host.processCalls, 1);
  drive->Scanning = drive->StopRequested = false;

  EXPECT_TRUE(DetectLostPartitions(*drive, drive->Root, {}, 0, 1001, false));  // two blocks
  EXPECT_EQ(host.processCalls, 1 + 2000);
  EXPECT_EQ(LostText(*drive), "1999+10:06F16 8191+1:01F12");
  TPartition* gap = AddTableRecord(*drive, kTypeEmpty, 2000, 3000);
  EXPECT_TRUE(DetectLostPartitions(*drive, *gap, {}, 500, 1000, false));
  EXPECT_EQ(LostText(*drive), "1999+10:06F16 2600+10:06F16 8191+1:01F12");
  EXPECT_EQ(host.processCalls, 1 + 3000);
  // The whole disk: every sector probed once, never a read past its end, the bar at the share
  // of the nine blocks done before each, then back at 0.
  host.processCalls = 0;
  EXPECT_TRUE(DetectLostPartitions(*drive, drive->Root, progress.Callback(), 0, kDiskSectors, false));
  EXPECT_EQ(host.processCalls, kDiskSectors);
  EXPECT_EQ(LostText(*drive), "1999+10:06F16 2600+10:06F16 8000+10:01F12 8191+1:01F12");
  EXPECT_EQ(progress.values, (std::vector<int>{0, 11, 22, 33, 44, 56, 67, 78, 89, 0}));
  for (uint64_t offset : faults->readOffsets) EXPECT_LT(offset, uint64_t{kDiskSectors} * 512);
  EXPECT_TRUE(DetectLostPartitions(*drive, drive->Root, {}, 0, INT64_MAX, false));
  EXPECT_EQ(host.processCalls, 2 * kDiskSectors);
  EXPECT_EQ(host.callsWhileIdle, 0);
}

// A block that cannot be read (its prompt answered Abort) or an error thrown inside the scan ends
// the scan there, a failure that says why and where and shows nothing. A run that fails is read
// again block by block, so the block in front of the bad one is still scanned.
TEST_F(ScannerOnMemoryDisk, AReadErrorOrAnErrorFailsTheScanAtItsBlock) {
  PutBootSector(*disk, 500, fkFat16, 10, 0x51);
  PutBootSector(*disk, 1500, fkFat16, 10, 0x52);
  const ScanProgress outOfMemory = [](const ScanStep& step) { if (step.Done == 1000) throw std::bad_alloc(); };
  const Fault bad{FaultKind::Error, EIO, -1};
  for (const bool badSectors : {false, true}) {
    // Sectors 1000 and 1024 are bad: every read that covers one of them fails.
    if (badSectors) faults->readFaults = {{1000 * 512, bad}, {1024 * 512, bad}};
    auto drive = Drive();
    const Outcome scanned =
        DetectLostPartitions(*drive, drive->Root, badSectors ? ScanProgress{} : outOfMemory, 0, kDiskSectors, false);
    EXPECT_EQ(scanned.Text, badSectors ? "The scan stopped at a read error: the rest of the range was not searched."
                                       : "std::bad_alloc");
    EXPECT_EQ(scanned.Errno, badSectors ? EIO : ENOMEM);
    EXPECT_TRUE(scanned.failed() && scanned.Caption == "Scan" && scanned.Sector == Lba{1000});
    EXPECT_EQ(LostText(*drive), "500+10:06F16");
    EXPECT_EQ(host.messages.size(), badSectors ? 1u : 0u);  // the read error's own prompt
  }
}

// On a 64 GiB disk one per cent is 671,089 sectors, many seconds of reading: every block still
// reports how many sectors of the whole are done, so what the user sees moves from the start.
// Stop ends a scan at the next sector.
// A disk of exactly 2 TiB is scanned to its last sector, 2^32 - 1, one past what its 32-bit
// geometry counts; a larger one up to there, the last sector a table can address.
TEST(ScannerOnOtherDisks, ALargeDiskReportsEveryBlockWithinTheFirstPerCent) {
  for (const uint64_t size : {uint64_t{64} << 21, uint64_t{1} << 32, (uint64_t{1} << 32) + 2048}) {
    SCOPED_TRACE(size);
    const uint64_t end = std::min(size, uint64_t{1} << 32);
    const std::string image = FreshPath("large.img");
    ASSERT_EQ(RunCommand("truncate -s " + std::to_string(size * 512) + " " + ShellQuote(image)), 0);
    ScanWatchHost host;
    auto drive = BareImage(image);
    host.drive = drive.get();
    host.stopAfter = 3500;
    ProgressLog progress;
    const struct { int64_t start, count; uint64_t total; } cases[] = {
        {0, INT64_MAX, end}, {1500, 4096, 5000}, {int64_t(end) - 1200, 5000, 1200}};
    for (const auto& c : cases) {
      progress.steps.clear();
      host.processCalls = 0;
      drive->StopRequested = true;  // a Stop pressed while no scan ran does not count
      const bool stopped = c.total > 3500;  // Stop arrives at sector 3500 and ends the scan there
      EXPECT_EQ(DetectLostPartitions(*drive, drive->Root, progress.Callback(), c.start, c.count, false).Kind,
                stopped ? OutcomeKind::Cancelled : OutcomeKind::Done);
      EXPECT_EQ(host.processCalls, std::min<uint64_t>(c.total, 3500));
      EXPECT_FALSE(drive->StopRequested || drive->Scanning);
      std::vector<std::pair<uint64_t, uint64_t>> steps;
      for (const ScanStep& step : progress.steps) steps.emplace_back(step.Done, step.Total);
      using Steps = decltype(steps);
      const uint64_t t = c.total;
      EXPECT_EQ(steps, (stopped ? Steps{{0, t}, {1000, t}, {2000, t}, {3000, t}, {0, 0}} : Steps{{0, t}, {1000, t}, {0, 0}}))
          << c.start;
    }
    std::filesystem::remove(image);
  }
}

TEST(NewPartitionStart, OnlyVolumesBlock) {
  TPhysicalDrv drive(0x80, TDriveGeometry{.TotalSectors = 100000});  // Root starts at 0 with type 0x05
  AddTableRecord(drive, kTypeEmpty, 10, 90);
  AddTableRecord(drive, kTypeExtended, 100, 900);
  AddTableRecord(drive, kTypeExtendedLba, 200, 900);
  TPartition* logical = AddTableRecord(drive, 0x07, 300, 100);
  logical->BaseLBA = 1000;  // a logical drive counts at its absolute start
  for (uint64_t lba : {uint64_t{0}, uint64_t{10}, uint64_t{100}, uint64_t{200}, uint64_t{300}, 1300 + (uint64_t{1} << 32)})
    EXPECT_TRUE(IsNewPartitionStart(lba, drive.AllPartitions)) << lba;
  EXPECT_FALSE(IsNewPartitionStart(1300, drive.AllPartitions));
}

TEST(BackupVolumeStart, CountsBackFromTheCopyByItsOwnFields) {
  // backupAt is FAT32's field; NTFS counts back by its total.
  const struct { uint8_t kind; uint64_t total; uint16_t backupAt; uint64_t lba; std::optional<uint64_t> start; } cases[] = {
      {fkFat32, 5000, 6, 106, 100},      {fkFat32, 5000, 6, 6, 0},
      {fkFat32, 5000, 6, 5, {}},         // it would start before the disk
      {fkFat32, 5000, 0, 106, {}},       // no backup named
      {fkFat32, 5000, 0xFFFF, 106, {}},  // "none"
      {fkNtfs, 999, 0, 1099, 100},       {fkNtfs, 0, 0, 1099, {}},
      {fkFat16, 5000, 6, 106, {}},       // FAT16 keeps no backup
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> disk(512);
    PutBootSector(disk, 0, c.kind, c.total, 1);
    if (c.kind == fkFat32) StoreLE<uint16_t>(disk.data() + 0x32, c.backupAt);
    const std::span<const uint8_t, 512> boot(disk.data(), 512);
    EXPECT_EQ(BackupVolumeStart(boot, c.kind, c.lba), c.start) << int{c.kind} << " at " << c.lba;
  }
}

TEST(FileSystemConfirmedAt, Fat32NeedsItsMediaDescriptorAtTheStartOfTheFirstFat) {
  auto memory = std::make_unique<MemorySource>(size_t{4096} * 512);
  std::vector<uint8_t>& disk = *memory->data;
  auto drive = BareDrive(std::move(memory));
  PutBootSector(disk, 100, fkFat32, 3000, 1);
  const std::span<const uint8_t, 512> boot(disk.data() + 100 * 512, 512);
  // Reserved sectors (0x0E), media descriptor (0x15), and the FAT's entry 0 behind them.
  const struct { uint16_t reserved; uint8_t media, entry0; bool confirmed; } cases[] = {
      {32, 0xF8, 0xF8, true}, {32, 0xF8, 0xF0, false}, {32, 0x00, 0x00, false}, {0, 0xF8, 0xF8, false}};
  for (const auto& c : cases) {
    StoreLE<uint16_t>(disk.data() + 100 * 512 + 0x0E, c.reserved);
    disk[100 * 512 + 0x15] = c.media;
    StoreLE<uint32_t>(disk.data() + (100 + c.reserved) * 512, 0x0FFFFF00u | c.entry0);
    EXPECT_EQ(FileSystemConfirmedAt(*drive, boot, fkFat32, 100), c.confirmed) << c.reserved << " " << int{c.media};
    StoreLE<uint32_t>(disk.data() + 132 * 512, 0);
  }
}

// The scan dialog's track bar, and the CLI's default end: the region rounded up to whole
// megabytes, a tick and a page every 40th of it.
TEST(ScanTrackScale, RoundsTheRegionUpToWholeMegabytes) {
  for (const auto& [sectors, max, tick] : std::vector<std::tuple<uint32_t, int, int>>{
           {0, 0, 1}, {2048, 1, 1}, {2049, 2, 1}, {40 * 2048 - 1, 40, 1}, {80 * 2048, 80, 2}, {1000000, 489, 12},
           {0xFFFFFFFFu, 2097152, 52428}}) {
    const TTrackScale scale = ScanTrackScale(sectors);
    EXPECT_EQ(std::tuple(scale.Max, scale.TickFrequency, scale.PageSize), std::tuple(max, tick, tick)) << sectors;
  }
  EXPECT_EQ(ScanTrackScale(1000000).EndCaption, " End (Max. 489 MB) ");
}

TEST(ComputeScanRange, FieldsBecomeASectorRangeOfTheRegion) {
  constexpr auto Ok = ScanRangeVerdict::Ok;
  const struct { const char *start, *end; uint32_t region; ScanRangeVerdict verdict; int64_t first, count; } cases[] = {
      {"100", "50", 0xFFFFFFFFu, Ok, 102400, 102400},  // the ends in either order
      {"50", "100", 0xFFFFFFFFu, Ok, 102400, 102400},
      {"0", "600", 1000000, Ok, 0, 1000000},                 // an end beyond the region is cut there
      {"600", "100", 1000000, Ok, 204800, 1000000 - 204800},  // a start beyond runs to its end
      {"", "3", 1000000, Ok, 0, 3 * 2048},                   // a blank start is 0
      {" 5 ", "0", 1000000, Ok, 0, 5 * 2048},
      {"0", "1", 2048, Ok, 0, 2048},
      // 1,048,576 MB is 2^31 sectors: a 32-bit product would turn negative there.
      {"1048577", "2000000", 0xFFFFFFFFu, Ok, int64_t{1048577} * 2048, int64_t{2000000 - 1048577} * 2048},
      {"2097151", "2147483647", 0xFFFFFFFFu, Ok, int64_t{2097151} * 2048, 0xFFFFFFFFll - int64_t{2097151} * 2048},
      {"600", "700", 1000000, ScanRangeVerdict::Exceeded, 0, 0},
      {"1", "1", 2048, ScanRangeVerdict::Exceeded, 0, 0},  // an end at the region's size is past it
      {"0", "0", 1000000, ScanRangeVerdict::Empty, 0, 0},
      {"0", "", 1000000, ScanRangeVerdict::Empty, 0, 0},
      {"  ", " \t", 1000000, ScanRangeVerdict::Empty, 0, 0},
      {"7", "7", 1000000, ScanRangeVerdict::Empty, 0, 0},
      {"-1", "5", 1000000, ScanRangeVerdict::BadNumber, 0, 0},
      {"1 0", "0", 1000000, ScanRangeVerdict::BadNumber, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.start) + " .. " + c.end);
    const TScanRange r = ComputeScanRange(c.start, c.end, c.region);
    EXPECT_EQ(r.Verdict, c.verdict);
    if (c.verdict != Ok) continue;
    EXPECT_EQ(r.StartSector, c.first);
    EXPECT_EQ(r.SectorCount, c.count);
  }
  // Text that is no number is named in the refusal.
  EXPECT_EQ(ComputeScanRange("12a", "5", 1000000).BadText, "12a");
  const TScanRange big = ComputeScanRange("1", "2147483648", 1000000);
  EXPECT_EQ(big.Verdict, ScanRangeVerdict::BadNumber);
  EXPECT_EQ(big.BadText, "2147483648");
}

}  // namespace

}  // namespace qm::test
