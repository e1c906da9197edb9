// The scan range arithmetic behind the scan dialog and `quillmark-cli scan --start-mb/--end-mb`:
// megabyte fields turned into a sector range of a region.
#include "scan/ScanRange.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

namespace qm {
namespace {

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
}  // namespace qm
