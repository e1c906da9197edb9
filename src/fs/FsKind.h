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
  fkLinuxSwap = 10,  // a 0x82 entry whose contents are not recognised
  fkLinuxExt2 = 11,  // a 0x83 entry whose contents are not recognised
  fkOther = 20,
  // Recognised from their own superblocks.
  fkExt2 = 40,
  fkExt3 = 41,
  fkExt4 = 42,
  fkExfat = 43,
  fkBtrfs = 44,
  fkXfs = 45,
  fkSwap = 46,
  fkExtended = 30,
  fkUnallocated = 255,
};

inline bool IsFatKind(uint8_t kind) { return kind == fkFat12 || kind == fkFat16 || kind == fkFat32; }
// The kinds recognised from a superblock rather than from a boot sector's BPB.
inline bool IsSuperblockKind(uint8_t kind) { return kind >= fkExt2 && kind <= fkSwap; }

}  // namespace qm
