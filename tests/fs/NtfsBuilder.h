#pragma once
// Hand-made NTFS file records for the cases no formatting tool produces: a header, attributes
// added in turn, the end marker, and the update sequence that protects each sector on disk.
#include <array>
#include <cstring>
#include <span>
#include <vector>

#include "disk/Bytes.h"
#include "fs/NtfsRecord.h"

namespace qm::test {

// The offset of the first attribute of `type` in a file record, or 0 when it has none.
inline size_t AttributeOffset(std::span<const uint8_t> record, uint32_t type) {
  for (size_t at = GetU16(record, 20); at + 8 <= record.size() && GetU32(record, at) != kAttrEnd;) {
    if (GetU32(record, at) == type) return at;
    const uint32_t length = GetU32(record, at + 4);
    if (length == 0) break;
    at += length;
  }
  return 0;
}

// Puts `usn` at the end of each 512-byte sector of `record` and keeps the bytes it replaced in
// the update sequence array at `usa`.
inline void ProtectRecord(std::span<uint8_t> record, size_t usa, uint16_t usn) {
  const size_t sectors = record.size() / 512;
  StoreLE<uint16_t>(&record[4], static_cast<uint16_t>(usa));
  StoreLE<uint16_t>(&record[6], static_cast<uint16_t>(sectors + 1));
  StoreLE<uint16_t>(&record[usa], usn);
  for (size_t j = 0; j < sectors; ++j) {
    std::copy_n(&record[512 * j + 510], 2, &record[usa + 2 + 2 * j]);
    StoreLE<uint16_t>(&record[512 * j + 510], usn);
  }
}

// A file record of `size` bytes with its update sequence array at 48 and its first attribute
// behind that array, on the next 8-byte boundary (56 in a record of 1024 bytes).
struct RecordBuilder {
  std::vector<uint8_t> b;
  size_t next;
  explicit RecordBuilder(size_t size = kFileRecordSize) : b(size), next((48 + 2 * (size / 512 + 1) + 7) & ~size_t{7}) {
    std::memcpy(b.data(), "FILE", 4);
    StoreLE<uint16_t>(&b[20], static_cast<uint16_t>(next));
    End();
  }
  // A resident attribute whose name is `nameChars` characters "abcd..." in bytes.
  size_t AddResident(uint32_t type, const std::vector<uint8_t>& value, uint16_t nameChars = 0) {
    const size_t at = next, length = (24 + 2 * nameChars + value.size() + 7) & ~size_t{7};
    StoreLE<uint32_t>(&b[at], type);
    StoreLE<uint32_t>(&b[at + 4], static_cast<uint32_t>(length));
    b[at + 9] = static_cast<uint8_t>(nameChars);
    StoreLE<uint32_t>(&b[at + 16], static_cast<uint32_t>(value.size()));
    for (size_t i = 0; i < 2u * nameChars; ++i) b[at + 24 + i] = static_cast<uint8_t>('a' + i);
    std::copy(value.begin(), value.end(), b.begin() + static_cast<long>(at + 24 + 2 * nameChars));
    next = at + length;
    End();
    return at;
  }
  // A non-resident attribute with `name` (UTF-16 bytes) and run list `runs` behind its header.
  size_t AddNonResident(uint32_t type, const std::vector<uint8_t>& runs, const std::vector<uint8_t>& name = {}) {
    const size_t at = next, length = (64 + name.size() + runs.size() + 7) & ~size_t{7};
    StoreLE<uint32_t>(&b[at], type);
    StoreLE<uint32_t>(&b[at + 4], static_cast<uint32_t>(length));
    b[at + 8] = 1;
    b[at + 9] = static_cast<uint8_t>(name.size() / 2);
    StoreLE<uint16_t>(&b[at + 10], 64);
    StoreLE<uint16_t>(&b[at + 32], 64);  // whatever the name: a named attribute's runs follow its name
    std::copy(name.begin(), name.end(), b.begin() + static_cast<long>(at + 64));
    std::copy(runs.begin(), runs.end(), b.begin() + static_cast<long>(at + 64 + name.size()));
    next = at + length;
    End();
    return at;
  }
  void End() { StoreLE<uint32_t>(&b[next], kAttrEnd); }
  void Protect(uint16_t usn = 7) { ProtectRecord(b, 48, usn); }
};

}  // namespace qm::test
