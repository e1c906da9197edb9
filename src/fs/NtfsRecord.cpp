#include "fs/NtfsRecord.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "disk/Bytes.h"
#include "fs/NtfsRunList.h"

namespace qm {
namespace {

constexpr uint64_t kRecordNumberMask = 0xFFFFFFFFFFFF;
// An attribute list holds one small entry per attribute; a directory's list is a few hundred
// bytes.
constexpr uint64_t kMaxAttributeListBytes = 64 * 1024;

void CopyBytes(std::vector<uint8_t>& to, std::span<const uint8_t> record, size_t start, size_t length) {
  to.assign(record.begin() + static_cast<ptrdiff_t>(start), record.begin() + static_cast<ptrdiff_t>(start + length));
}

// The value of an attribute list: resident in the record, or in the clusters its runs name.
bool AttributeListValue(const TFsVolume& volume, const TAttribute& list, std::vector<uint8_t>& value) {
  if (!list.NonResident()) {
    value = list.Data;
    return true;
  }
  const uint64_t size = GetU64(*list.NonResidentHeader, 32);  // the real size, at 0x30 of the attribute
  const uint64_t perCluster = ClusterBlocks(volume);
  if (size > kMaxAttributeListBytes || perCluster == 0) return false;
  for (const TRun& run : GetRunList(list.Data)) {
    if (value.size() >= size) break;
    // Run lengths are at most 32 bits wide and a cluster at most 255 × 8 blocks: no wrap.
    const uint64_t blocks = run.Clusters * perCluster;
    if (run.Lcn < 0 || blocks > kMaxAttributeListBytes / 512) return false;
    const size_t at = value.size();
    value.resize(at + blocks * 512);
    const WideLba lba = static_cast<WideLba>(run.Lcn) * perCluster + volume.Start;
    if (!ReadDiskSectors(volume, lba, blocks, value.data() + at)) return false;
  }
  if (value.size() < size) return false;
  value.resize(size);
  return true;
}

}  // namespace

size_t FixUpRecord(std::span<uint8_t> record) {
  if (record.size() < 8) return 0;
  const size_t usa = GetU16(record, 4);
  const size_t count = GetU16(record, 6);
  if (count < 2 || (count - 1) * 512 > record.size() || !InBounds(record.size(), usa, 2 * count)) return 0;
  const uint16_t usn = GetU16(record, usa);
  for (size_t j = 0; j + 1 < count; ++j)
    if (GetU16(record, 512 * j + 510) != usn) return 0;
  for (size_t j = 0; j + 1 < count; ++j)
    std::copy_n(record.begin() + static_cast<ptrdiff_t>(usa + 2 + 2 * j), 2,
                record.begin() + static_cast<ptrdiff_t>(512 * j + 510));
  return (count - 1) * 512;
}

size_t FileRecordBytes(const TBpb& bpb) {
  const uint64_t sectorBytes = uint64_t{bpb.BlocksPerSector()} * 512;
  const int field = bpb.ClustersPerMftRecord;
  uint64_t bytes = 0;
  if (field < 0)
    bytes = field >= -31 ? uint64_t{1} << -field : 0;
  else
    bytes = static_cast<uint64_t>(field) * bpb.SectorsPerCluster * sectorBytes;
  if (bytes >= kFileRecordSize && bytes <= kMaxFileRecordSize && std::has_single_bit(bytes)) return bytes;
  return std::max<uint64_t>(kFileRecordSize, sectorBytes);
}

RecordRead ReadMftRecord(const TFsVolume& volume, uint64_t number, TFileRecord& record, Outcome* failure) {
  const size_t bytes = FileRecordBytes(volume.Bpb);
  const uint64_t blocks = bytes / 512;
  record.assign(bytes, 0);
  const WideLba lba = static_cast<WideLba>(volume.Bpb.MftCluster) * ClusterBlocks(volume) + volume.Start +
                      blocks * static_cast<WideLba>(number);
  if (lba >= volume.DiskSectors || volume.DiskSectors - lba < blocks) return RecordRead::OutsideDisk;
  const Outcome read = ReadDiskSectors(volume, lba, blocks, record.data());
  if (!read) {
    if (failure) *failure = read;
    return RecordRead::Unreadable;
  }
  if (std::memcmp(record.data(), "FILE", 4) != 0 || FixUpRecord(record) != bytes) return RecordRead::Damaged;
  return RecordRead::Sound;
}

bool ReadAttribute(std::span<const uint8_t> B, uint32_t type, TAttribute& attr) {
  const size_t size = B.size();
  if (size < kFileRecordSize || size > kMaxFileRecordSize) return false;
  size_t offset = GetU16(B, 20);
  size_t previous = 0;
  uint32_t headerType = 0;
  for (;;) {
    // Room for an attribute header; then for the type of the attribute after it.
    if (offset > size - 16) return false;
    headerType = GetU32(B, offset);
    previous = offset;
    offset = (offset + GetU16(B, offset + 4)) & 0xFFFF;
    if (offset > size - 4) return false;
    const uint32_t next = GetU32(B, offset);
    // A zero length, or one that steps backwards, would walk the same attributes forever.
    if (offset <= previous || next == kAttrEnd) break;
    if (headerType == type) break;
  }
  if (headerType != type) return false;

  const size_t a = previous;
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
  const long end = static_cast<long>(size);
  const auto fits = [end](long start, long len) { return start >= 0 && len >= 0 && start + len <= end; };

  if (B[a + 8] != 0) {
    if (a + 64 > size) return false;  // the non-resident header
    std::array<uint8_t, 48> header;
    std::copy_n(B.begin() + a + 16, 48, header.begin());
    attr.NonResidentHeader = header;
    long start, runLength;
    if (nameChars == 0) {
      start = static_cast<long>(a) + 64;
      runLength = length - 64;
      if ((attr.FlagsAndId & 0xFFFF) == 0x0001) {
        const long runOffset = GetU16(B, a + 32);
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

  if (a + 24 > size) return false;  // the resident header
  std::array<uint8_t, 8> header;
  std::copy_n(B.begin() + a + 16, 8, header.begin());
  attr.ResidentHeader = header;
  long start = static_cast<long>(a) + 24;
  if (nameChars > 0) {
    if (!fits(start, 2 * static_cast<long>(nameChars))) return false;
    CopyBytes(attr.Name, B, a + 24, 2 * nameChars);
    start += 2 * static_cast<long>(nameChars);
  }
  const long valueLength = LoadLE<uint16_t>(header.data());
  if (!fits(start, valueLength)) return false;
  CopyBytes(attr.Data, B, static_cast<size_t>(start), static_cast<size_t>(valueLength));
  return true;
}

bool ReadRecordAttribute(const TFsVolume& volume, std::span<const uint8_t> record, uint64_t number,
                         uint32_t type, TAttribute& attribute) {
  if (ReadAttribute(record, type, attribute)) return true;
  TAttribute list;
  std::vector<uint8_t> entries;
  if (!ReadAttribute(record, kAttrAttributeList, list) || !AttributeListValue(volume, list, entries)) return false;

  // Each entry: the attribute's type, the entry's length, ..., the file record holding it at 0x10.
  constexpr size_t kEntryHeader = 0x1A;
  for (size_t pos = 0; InBounds(entries.size(), pos, kEntryHeader);) {
    const uint16_t length = GetU16(entries, pos + 4);
    if (length < kEntryHeader) return false;
    const uint64_t holder = GetU64(entries, pos + 0x10) & kRecordNumberMask;
    if (GetU32(entries, pos) != type || holder == number) {
      pos += length;
      continue;
    }
    TFileRecord extension;
    if (ReadMftRecord(volume, holder, extension) != RecordRead::Sound ||
        (GetU64(extension, 0x20) & kRecordNumberMask) != number)
      return false;
    return ReadAttribute(extension, type, attribute);
  }
  return false;
}

std::vector<uint8_t> ReadNtfsLabel(const TFsVolume& volume) {
  TFileRecord record;
  TAttribute name;
  if (ReadMftRecord(volume, kVolumeRecord, record) != RecordRead::Sound || !ReadAttribute(record, kAttrVolumeName, name))
    return {};
  return name.Data;
}

}  // namespace qm
