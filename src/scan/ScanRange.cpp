#include "scan/ScanRange.h"

#include <cstdio>

namespace qm {

TTrackScale ScanTrackScale(uint32_t regionSectors) {
  TTrackScale scale;
  scale.Max = static_cast<int>((static_cast<int64_t>(regionSectors) + kSectorsPerMB - 1) / kSectorsPerMB);
  scale.TickFrequency = scale.Max / 40;
  if (scale.TickFrequency < 1) scale.TickFrequency = 1;
  scale.PageSize = scale.TickFrequency;
  char caption[48];
  std::snprintf(caption, sizeof caption, " End (Max. %d MB) ", scale.Max);
  scale.EndCaption = caption;
  return scale;
}

bool ParseMegabytes(const std::string& text, int64_t& megabytes) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) {
    megabytes = 0;
    return true;
  }
  size_t last = text.find_last_not_of(" \t");
  int64_t value = 0;
  for (size_t i = first; i <= last; ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
    if (value > 2147483647) return false;
  }
  megabytes = value;
  return true;
}

TScanRange ComputeScanRange(const std::string& startText, const std::string& endText, uint32_t regionSectors) {
  TScanRange range;
  int64_t startMB = 0, endMB = 0;
  if (!ParseMegabytes(startText, startMB)) {
    range.Verdict = ScanRangeVerdict::BadNumber;
    range.BadText = startText;
    return range;
  }
  if (!ParseMegabytes(endText, endMB)) {
    range.Verdict = ScanRangeVerdict::BadNumber;
    range.BadText = endText;
    return range;
  }
  const int64_t start = startMB * kSectorsPerMB;
  const int64_t end = endMB * kSectorsPerMB;
  const int64_t size = regionSectors;
  if (start >= size && end >= size) {
    range.Verdict = ScanRangeVerdict::Exceeded;
    return range;
  }
  if (start < end) {
    range.StartSector = start;
    range.SectorCount = end - start;
  } else {
    range.StartSector = end;
    range.SectorCount = start - end;
  }
  if (size - range.StartSector < range.SectorCount) range.SectorCount = size - range.StartSector;
  range.Verdict = range.SectorCount > 0 ? ScanRangeVerdict::Ok : ScanRangeVerdict::Empty;
  return range;
}

}  // namespace qm
