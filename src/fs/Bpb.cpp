#include "fs/Bpb.h"

#include <algorithm>
#include <cstdint>
#include <string_view>

#include "disk/Bytes.h"
#include "fs/FsKind.h"

namespace qm {
namespace {

// The 8-byte type string at `offset`, compared without case and without the blanks and
// control characters around it.
bool TypeStringIs(std::span<const uint8_t, 512> sector, size_t offset, std::string_view word) {
  const auto blank = [](uint8_t c) { return c <= 0x20 || c == 0x7F; };
  size_t b = offset, e = offset + 8;
  while (b < e && blank(sector[b])) ++b;
  while (e > b && blank(sector[e - 1])) --e;
  if (e - b != word.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    uint8_t c = sector[b + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<uint8_t>(c - 'A' + 'a');
    if (c != static_cast<uint8_t>(word[i])) return false;
  }
  return true;
}

}  // namespace

uint32_t TBpb::SectorsPerFat(uint8_t kind) const { return kind == fkFat32 ? SectorsPerFat32 : SectorsPerFat16; }

uint32_t TBpb::BlocksPerSector() const {
  const bool known = BytesPerSector >= 512 && BytesPerSector <= 4096 && (BytesPerSector & (BytesPerSector - 1)) == 0;
  return known ? BytesPerSector / 512u : 1u;
}

TBpb DecodeBpb(std::span<const uint8_t, 512> s, uint8_t kind) {
  TBpb b;
  b.BytesPerSector = GetU16(s, 0x0B);
  b.SectorsPerCluster = s[0x0D];
  b.ReservedSectors = GetU16(s, 0x0E);
  b.FatCount = s[0x10];
  b.RootEntries = GetU16(s, 0x11);
  b.TotalSectors16 = GetU16(s, 0x13);
  b.Media = s[0x15];
  b.SectorsPerFat16 = GetU16(s, 0x16);
  b.HiddenSectors = GetU32(s, 0x1C);
  b.TotalSectors32 = GetU32(s, 0x20);
  b.SectorsPerFat32 = GetU32(s, 0x24);
  b.RootCluster = GetU32(s, 0x2C);
  b.BackupBootSector = GetU16(s, 0x32);
  b.NtfsTotalSectors = GetU64(s, 0x28);
  b.MftCluster = GetU64(s, 0x30);
  b.ClustersPerMftRecord = static_cast<int8_t>(s[0x40]);
  b.Serial = GetVolumeSerial(s, kind);
  return b;
}

uint32_t GetVolumeSerial(std::span<const uint8_t, 512> sector, uint8_t fsKind) {
  switch (fsKind) {
    case fkFat12:
    case fkFat16:
    case fkHpfs: return GetU32(sector, 0x27);
    case fkFat32: return GetU32(sector, 0x43);
    case fkNtfs: return GetU32(sector, 0x48);
    default: return 0;
  }
}

uint8_t DetectFsKind(std::span<const uint8_t, 512> sector) {
  if (TypeStringIs(sector, 0x36, "fat12")) return fkFat12;
  if (TypeStringIs(sector, 0x36, "fat16")) return fkFat16;
  if (TypeStringIs(sector, 0x52, "fat32")) return fkFat32;
  if (TypeStringIs(sector, 0x03, "ntfs")) return fkNtfs;
  if (TypeStringIs(sector, 0x36, "hpfs")) return fkHpfs;
  return fkUnallocated;
}

uint64_t BootSectorVolumeSize(std::span<const uint8_t, 512> sector, uint8_t fsKind) {
  const TBpb b = DecodeBpb(sector, fsKind);
  uint64_t own = 0;
  switch (fsKind) {
    case fkFat12:
    case fkFat16: own = b.TotalSectors16 != 0 ? b.TotalSectors16 : b.TotalSectors32; break;
    case fkFat32:
    case fkHpfs: own = b.TotalSectors32; break;
    // 64 bits from a damaged sector: a count this large cannot be scaled, and no disk holds it.
    case fkNtfs: own = std::min<uint64_t>(b.NtfsTotalSectors, UINT64_MAX / 8); break;
    default: return 0;
  }
  return own * b.BlocksPerSector();
}

}  // namespace qm
