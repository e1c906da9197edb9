#pragma once
// Where the records of a drive stand on a disk map: a box as wide as the share of the disk the
// record holds (at least kMinMapBoxPixels), as tall as the map.
#include <cstdint>

#include "model/PhysicalDrv.h"

namespace qm::ui {

struct TRect {
  int32_t Left = 0, Top = 0, Right = 0, Bottom = 0;
};

// A box of the upper map and the record it stands for.
struct TMapBox {
  TPartition* Record = nullptr;
  TRect Rect;
};

// The narrowest box a partition on the disk is drawn as, however small its share.
constexpr int32_t kMinMapBoxPixels = 4;

// Proportional rectangle of a record on a map `width` x `height` pixels.
TRect GetMapRect(const TPhysicalDrv& drive, const TPartition& record, int width, int height);
// Inclusive hit test: a point on a shared boundary hits both neighbours.
bool PointInMapRect(int x, int y, const TRect& rect);

}  // namespace qm::ui
