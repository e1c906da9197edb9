#pragma once
// The arithmetic of the scan range dialog: the track bars' scale for a region, and the
// sector range that the two megabyte fields give. One megabyte is 2048 sectors.
#include <cstdint>
#include <string>

namespace qm {

constexpr int64_t kSectorsPerMB = 2048;

struct TTrackScale {
  int Max = 0;            // the region's size in whole megabytes, rounded up
  int TickFrequency = 1;  // Max div 40, at least 1
  int PageSize = 1;
  std::string EndCaption;  // " End (Max. %d MB) "
};

TTrackScale ScanTrackScale(uint32_t regionSectors);

enum class ScanRangeVerdict {
  Ok,         // StartSector and SectorCount hold the range; the dialog closes
  Exceeded,   // both ends lie at or beyond the region's end
  Empty,      // the range holds no sector; the dialog stays open and says nothing
  BadNumber,  // a field holds something other than a number of megabytes
};

struct TScanRange {
  ScanRangeVerdict Verdict = ScanRangeVerdict::Empty;
  int64_t StartSector = 0;  // counted from the region's first sector
  int64_t SectorCount = 0;
  std::string BadText;  // the field's text when Verdict is BadNumber
};

// A field's value in megabytes: blank (after trimming) counts as 0; otherwise decimal digits
// up to 2,147,483,647. False for anything else.
bool ParseMegabytes(const std::string& text, int64_t& megabytes);

// The range the two fields describe within a region of `regionSectors` sectors. The ends may
// be given in either order; the range is cut at the region's end.
TScanRange ComputeScanRange(const std::string& startText, const std::string& endText, uint32_t regionSectors);

}  // namespace qm
