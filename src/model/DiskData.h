#pragma once
// On-disk records shared by the model, the editors and the browsers.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "disk/Bytes.h"
#include "disk/Geometry.h"

namespace qm {

// One 16-byte partition-table entry, exactly as on disk (little-endian). Every field lies at
// its natural alignment, so the record needs no packing to match the disk.
struct TPartitionEntry {
  uint8_t BootIndicator = 0;  // 0x80 active
  uint8_t StartHead = 0;
  uint16_t StartSecCyl = 0;
  uint8_t SystemId = 0;       // type code
  uint8_t EndHead = 0;
  uint16_t EndSecCyl = 0;
  uint32_t RelativeSector = 0;
  uint32_t TotalSectors = 0;
};
static_assert(sizeof(TPartitionEntry) == 16);
static_assert(offsetof(TPartitionEntry, SystemId) == 4 && offsetof(TPartitionEntry, EndSecCyl) == 6 &&
              offsetof(TPartitionEntry, RelativeSector) == 8 && offsetof(TPartitionEntry, TotalSectors) == 12);

// The largest sector number a table entry holds. Every sector number that goes into an entry
// is checked against it once, where the entry is filled.
constexpr Lba kLast32BitLba = 0xFFFFFFFF;
inline bool FitsTableField(Lba value) { return value <= kLast32BitLba; }

// A table entry counts the disk's own sectors; the model counts 512-byte blocks (Lba). These
// convert an entry's place and size between the two, `blocks` being the blocks of one sector
// of the disk. False, with the entry as it was, when the place does not fit 32 bits in blocks,
// or does not fall on a whole sector of the disk.
inline bool EntryToBlocks(TPartitionEntry& e, uint32_t blocks) {
  const uint64_t start = uint64_t{e.RelativeSector} * blocks, size = uint64_t{e.TotalSectors} * blocks;
  if (!FitsTableField(start) || !FitsTableField(size)) return false;
  e.RelativeSector = static_cast<uint32_t>(start);
  e.TotalSectors = static_cast<uint32_t>(size);
  return true;
}
inline bool EntryToSectors(TPartitionEntry& e, uint32_t blocks) {
  if (blocks == 0 || e.RelativeSector % blocks != 0 || e.TotalSectors % blocks != 0) return false;
  e.RelativeSector /= blocks;
  e.TotalSectors /= blocks;
  return true;
}

using TSector = std::array<uint8_t, 512>;

// Layout of a partition-table sector (master or extended boot record).
constexpr size_t kTableOffset = 0x1BE;
constexpr size_t kTableEntries = 4;
constexpr size_t kSignatureOffset = 510;
constexpr uint16_t kTableSignature = 0xAA55;

constexpr uint8_t kActiveFlag = 0x80;
constexpr uint8_t kTypeEmpty = 0x00;
constexpr uint8_t kTypeExtended = 0x05;
constexpr uint8_t kTypeExtendedLba = 0x0F;
constexpr uint8_t kTypeLinuxSwap = 0x82;
constexpr uint8_t kTypeLinux = 0x83;
constexpr uint8_t kTypeGptProtective = 0xEE;

inline bool IsExtendedType(uint8_t type) { return type == kTypeExtended || type == kTypeExtendedLba; }

inline TPartitionEntry DecodeEntry(std::span<const uint8_t> sector, size_t index) {
  const uint8_t* p = sector.subspan(kTableOffset + 16 * index, 16).data();
  TPartitionEntry e;
  e.BootIndicator = p[0];
  e.StartHead = p[1];
  e.StartSecCyl = LoadLE<uint16_t>(p + 2);
  e.SystemId = p[4];
  e.EndHead = p[5];
  e.EndSecCyl = LoadLE<uint16_t>(p + 6);
  e.RelativeSector = LoadLE<uint32_t>(p + 8);
  e.TotalSectors = LoadLE<uint32_t>(p + 12);
  return e;
}

inline void EncodeEntry(std::span<uint8_t> sector, size_t index, const TPartitionEntry& e) {
  uint8_t* p = sector.subspan(kTableOffset + 16 * index, 16).data();
  p[0] = e.BootIndicator;
  p[1] = e.StartHead;
  StoreLE<uint16_t>(p + 2, e.StartSecCyl);
  p[4] = e.SystemId;
  p[5] = e.EndHead;
  StoreLE<uint16_t>(p + 6, e.EndSecCyl);
  StoreLE<uint32_t>(p + 8, e.RelativeSector);
  StoreLE<uint32_t>(p + 12, e.TotalSectors);
}

inline bool HasTableSignature(std::span<const uint8_t> sector) {
  return sector.size() >= 512 && GetU16(sector, kSignatureOffset) == kTableSignature;
}

}  // namespace qm
