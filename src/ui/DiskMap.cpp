#include "ui/DiskMap.h"

#include <algorithm>
#include <cmath>

#include "model/PartitionRows.h"

namespace qm::ui {

TRect GetMapRect(const TPhysicalDrv& drive, const TPartition& record, int width, int height) {
  TRect r;
  const uint64_t total = ShownSectors(drive);
  if (total == 0) return r;
  const double scale = static_cast<double>(width) / static_cast<double>(total);
  // Halves go to the even neighbour, as the default floating-point rounding mode does. A
  // damaged entry can place a partition far past the end of a small disk: its box is cut at
  // the map's right edge (such a position would not even fit an int).
  const double edge = std::max(width, 0);
  const auto pixel = [&](uint64_t sector) {
    return static_cast<int32_t>(std::clamp(std::nearbyint(static_cast<double>(sector) * scale), 0.0, edge));
  };
  r.Left = pixel(record.AbsoluteStart());
  r.Right = pixel(record.AbsoluteEnd());
  // On a large disk a pixel holds gigabytes: a partition that starts on the disk gets a box
  // at least kMinMapBoxPixels wide, grown to the right, and moved left from the right edge
  // when it would leave the map. Both edges still grow with the record's position, so boxes
  // keep their order (tiny neighbours overlap rather than swap).
  if (record.AbsoluteStart() < total && width > 0) {
    const int32_t least = std::min(kMinMapBoxPixels, width);
    r.Right = std::min(std::max(r.Right, r.Left + least), width);
    r.Left = std::min(r.Left, width - least);
  }
  r.Top = 0;
  r.Bottom = height;
  return r;
}

bool PointInMapRect(int x, int y, const TRect& r) { return x >= r.Left && x <= r.Right && y >= r.Top && y <= r.Bottom; }

}  // namespace qm::ui
