#include "model/FsDetect.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>

#include "disk/Host.h"
#include "disk/Disk.h"
#include "model/NtfsRunList.h"
#include "model/Text.h"

namespace qm {
namespace {

FatLabelReader g_fatLabelReader = nullptr;

bool TypeStringIs(std::span<const uint8_t, 512> sector, size_t offset, std::string_view word) {
  std::string text(reinterpret_cast<const char*>(sector.data() + offset), 8);
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return TrimBlanks(text) == word;
}

void CopyBytes(std::vector<uint8_t>& to, std::span<const uint8_t> record, size_t start, size_t length) {
  to.assign(record.begin() + static_cast<ptrdiff_t>(start), record.begin() + static_cast<ptrdiff_t>(start + length));
}

bool ReadAttributeUnguarded(std::span<uint8_t, kFileRecordSize> B, uint32_t type, TAttribute& attr) {
  // Update sequence fix-up: the true last two bytes of each sector are kept in the array.
  size_t u = B[4];
  std::copy_n(B.begin() + u + 2, 2, B.begin() + 510);
  std::copy_n(B.begin() + u + 4, 2, B.begin() + 1022);

  size_t offset = GetU16(B, 20);
  size_t previous = 0;
  uint32_t headerType = 0;
  for (;;) {
    if (offset > 1008) return false;
    headerType = GetU32(B, offset);
    previous = offset;
    offset = (offset + GetU16(B, offset + 4)) & 0xFFFF;
    if (offset > 1020) return false;
    uint32_t next = GetU32(B, offset);
    // A zero length, or one that steps backwards, would walk the same attributes forever.
    if (offset <= previous || next == kAttrEnd) break;
    if (headerType == type) break;
  }
  if (headerType != type) return false;

  size_t a = previous;
  attr.TypeCode = GetU32(B, a);
  attr.AttrLength = GetU32(B, a + 4);
  attr.FormInfo = GetU32(B, a + 8);
  attr.FlagsAndId = GetU32(B, a + 12);
  attr.ResidentHeader.reset();
  attr.NonResidentHeader.reset();
  attr.Name.clear();
  attr.Data.clear();
  const size_t nameChars = B[a + 9];
  const long length = GetU16(B, a + 4);
  const auto fits = [](long start, long len) { return start >= 0 && len >= 0 && start + len <= 1024; };

  if (B[a + 8] != 0) {
    if (a >= 961) return false;
    std::array<uint8_t, 48> header;
    std::copy_n(B.begin() + a + 16, 48, header.begin());
    attr.NonResidentHeader = header;
    long start, runLength;
    if (nameChars == 0) {
      start = static_cast<long>(a) + 64;
      runLength = length - 64;
      if ((attr.FlagsAndId & 0xFFFF) == 0x0001) {
        long runOffset = GetU16(B, a + 32);
        start = static_cast<long>(a) + runOffset;
        runLength = length - runOffset;
      }
    } else {
      if (!fits(static_cast<long>(a) + 64, 2 * static_cast<long>(nameChars))) return false;
      CopyBytes(attr.Name, B, a + 64, 2 * nameChars);
      start = static_cast<long>(a + 64 + 2 * nameChars);
      runLength = length - 64 - 2 * static_cast<long>(nameChars);
    }
    if (!fits(start, runLength)) return false;
    CopyBytes(attr.Data, B, static_cast<size_t>(start), static_cast<size_t>(runLength));
    return true;
  }

  if (a >= 1001) return false;
  std::array<uint8_t, 8> header;
  std::copy_n(B.begin() + a + 16, 8, header.begin());
  attr.ResidentHeader = header;
  long start = static_cast<long>(a) + 24;
  if (nameChars > 0) {
    if (!fits(start, 2 * static_cast<long>(nameChars))) return false;
    CopyBytes(attr.Name, B, a + 24, 2 * nameChars);
    start += 2 * static_cast<long>(nameChars);
  }
  long valueLength = LoadLE<uint16_t>(header.data());
  if (!fits(start, valueLength)) return false;
  CopyBytes(attr.Data, B, static_cast<size_t>(start), static_cast<size_t>(valueLength));
  return true;
}

}  // namespace

uint64_t BootSectorVolumeSize(std::span<const uint8_t, 512> sector, uint8_t fsKind) {
  switch (fsKind) {
    case fkFat12:
    case fkFat16: {
      const uint64_t small = GetU16(sector, 0x13);
      return small != 0 ? small : GetU32(sector, 0x20);
    }
    case fkFat32:
    case fkHpfs: return GetU32(sector, 0x20);
    case fkNtfs: return GetU64(sector, 0x28);
    default: return 0;
  }
}

uint8_t VolumeTypeCode(uint8_t fsKind) {
  switch (fsKind) {
    case fkFat12: return 0x01;
    case fkFat16: return 0x06;
    case fkFat32: return 0x0B;
    case fkNtfs:
    case fkHpfs: return 0x07;
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

bool ReadAttribute(std::span<uint8_t, kFileRecordSize> record, uint32_t type, TAttribute& attribute) {
  try {
    return ReadAttributeUnguarded(record, type, attribute);
  } catch (const std::exception& e) {
    MessageBox(e.what(), "Read Attribute", MsgButtons::Ok, MsgIcon::Error);
    return false;
  }
}

namespace {

constexpr uint64_t kRootRecord = 5, kRecordNumberMask = 0xFFFFFFFFFFFF;
// An attribute list holds one small entry per attribute; a root's list is a few hundred bytes.
constexpr uint64_t kMaxAttributeListBytes = 64 * 1024;

// Sectors [lba, lba + count) of the volume at `partition`, when they lie on the disk.
bool ReadVolumeSectors(TPhysicalDrv& drive, unsigned __int128 lba, uint64_t count, uint8_t* buffer) {
  if (count == 0 || count > 0xFFFF || lba + count > drive.Geometry.TotalSectors) return false;
  return drive.Io().ReadSectors(static_cast<Lba>(lba), static_cast<uint16_t>(count), buffer, true, true);
}

// The value of an attribute list: resident in the record, or in the clusters its runs name.
bool AttributeListValue(TPhysicalDrv& drive, const TPartition& partition, const TAttribute& list,
                        std::vector<uint8_t>& value) {
  if (!list.NonResident()) {
    value = list.Data;
    return true;
  }
  const uint64_t size = GetU64(*list.NonResidentHeader, 32);  // the real size, at 0x30 of the attribute
  const uint64_t spc = partition.BootSector[0x0D];
  trunlist runs;
  if (size > kMaxAttributeListBytes || spc == 0 || !GetRunList(list.Data, runs)) return false;
  for (const TRun& run : runs) {
    if (value.size() >= size) break;
    if (run.Lcn < 0 || run.Clusters * spc > kMaxAttributeListBytes / kSectorSize) return false;
    const size_t at = value.size();
    value.resize(at + run.Clusters * spc * kSectorSize);
    const unsigned __int128 lba = static_cast<unsigned __int128>(run.Lcn) * spc + partition.AbsoluteStart();
    if (!ReadVolumeSectors(drive, lba, run.Clusters * spc, value.data() + at)) return false;
  }
  if (value.size() < size) return false;
  value.resize(size);
  return true;
}

}  // namespace

bool ReadRootAttribute(TPhysicalDrv& drive, const TPartition& partition, std::span<uint8_t, kFileRecordSize> record,
                       uint32_t type, TAttribute& attribute) {
  if (ReadAttribute(record, type, attribute)) return true;
  TAttribute list;
  std::vector<uint8_t> entries;
  if (!ReadAttribute(record, kAttrAttributeList, list) || !AttributeListValue(drive, partition, list, entries))
    return false;

  // Each entry: the attribute's type, the entry's length, ..., the file record holding it at 0x10.
  constexpr size_t kEntryHeader = 0x1A;
  for (size_t pos = 0; InBounds(entries.size(), pos, kEntryHeader);) {
    const uint16_t length = GetU16(entries, pos + 4);
    if (length < kEntryHeader) return false;
    const uint64_t number = GetU64(entries, pos + 0x10) & kRecordNumberMask;
    if (GetU32(entries, pos) != type || number == kRootRecord) {
      pos += length;
      continue;
    }
    const TSector& boot = partition.BootSector;
    const unsigned __int128 lba = static_cast<unsigned __int128>(GetU64(boot, 0x30)) * boot[0x0D] +
                                  partition.AbsoluteStart() + 2 * static_cast<unsigned __int128>(number);
    std::array<uint8_t, kFileRecordSize> extension{};
    if (!ReadVolumeSectors(drive, lba, 2, extension.data())) return false;
    const size_t usa = extension[4];  // as ReadAttribute reads it
    if (std::memcmp(extension.data(), "FILE", 4) != 0 || (GetU64(extension, 0x20) & kRecordNumberMask) != kRootRecord ||
        GetU16(extension, 510) != GetU16(extension, usa) || GetU16(extension, 1022) != GetU16(extension, usa))
      return false;
    return ReadAttribute(extension, type, attribute);
  }
  return false;
}

void SetFatLabelReader(FatLabelReader reader) { g_fatLabelReader = reader; }

bool ReadVolumeLabel(TPhysicalDrv& drive, TPartition& partition) {
  // The boot sector was read when the record was made; reading it again would only ask a
  // second time about a sector that failed the first time.
  const TSector& boot = partition.BootSector;
  const uint32_t first = static_cast<uint32_t>(partition.AbsoluteStart());

  if (partition.FsKind == fkFat12 || partition.FsKind == fkFat16 || partition.FsKind == fkFat32) {
    std::string label;
    if (g_fatLabelReader && g_fatLabelReader(drive, partition, label)) partition.VolumeLabel = TrimBlanks(label);
    return true;
  }
  if (partition.FsKind != fkNtfs) return true;

  // The volume file is record 3 of the MFT: two sectors a record, so 6 sectors in.
  const uint32_t sectorsPerCluster = boot[0x0D];
  const uint32_t mftCluster = GetU32(boot, 0x30);
  const uint32_t lba = first + sectorsPerCluster * mftCluster + 6;
  if (drive.Geometry.TotalSectors < 2 || lba >= drive.Geometry.TotalSectors - 2) return true;
  std::array<uint8_t, kFileRecordSize> record{};
  if (!drive.Io().ReadSectors(lba, 2, record.data(), true, true)) return true;
  TAttribute name;
  if (!ReadAttribute(record, kAttrVolumeName, name) || name.Data.empty()) return true;
  partition.VolumeLabel = Utf16LeToUtf8(name.Data);
  return true;
}

}  // namespace qm
