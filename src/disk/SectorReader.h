#pragma once
// The one seam through which the file-system readers reach sectors: a run of 512-byte
// sectors at a 64-bit sector number. A failed read says why (errno) and where (the sector).
#include <cstdint>

#include "disk/Geometry.h"
#include "disk/Outcome.h"

namespace qm {

class SectorReader {
 public:
  virtual ~SectorReader() = default;
  // Reads `count` sectors at `lba` into `buffer` (count x 512 bytes). On failure the buffer's
  // contents are unspecified and the outcome names the errno value and the sector.
  virtual Outcome Read(Lba lba, uint32_t count, void* buffer) = 0;
  // Lets whoever answers for the disk handle pending events during a long walk (repaint,
  // Stop).
  virtual void Pump() {}
};

}  // namespace qm
