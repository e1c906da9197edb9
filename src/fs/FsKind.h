#pragma once
// The kinds of file system a partition record can hold.
#include <cstdint>

namespace qm {

enum : uint8_t {
  fkFat12 = 0,
  fkFat16 = 1,
  fkFat32 = 2,
  fkNtfs = 3,
  fkHpfs = 4,
  fkLinuxSwap = 10,
  fkLinuxExt2 = 11,
  fkOther = 20,
  fkExtended = 30,
  fkUnallocated = 255,
};

inline bool IsFatKind(uint8_t kind) { return kind == fkFat12 || kind == fkFat16 || kind == fkFat32; }

}  // namespace qm
