#include "support/NtfsBytes.h"

#include <algorithm>
#include <cstring>

#include "disk/Bytes.h"

namespace qm::test {
namespace {

constexpr uint16_t kUsn = 0x0BAD;

void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) { StoreLE<uint16_t>(b.data() + at, v); }
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) { StoreLE<uint32_t>(b.data() + at, v); }
void Put64(std::vector<uint8_t>& b, size_t at, uint64_t v) { StoreLE<uint64_t>(b.data() + at, v); }

void Append(std::vector<uint8_t>& to, const std::vector<uint8_t>& bytes) { to.insert(to.end(), bytes.begin(), bytes.end()); }

std::vector<uint8_t> ClosingEntry() {
  std::vector<uint8_t> e(16);
  Put16(e, 8, 16);
  Put32(e, 12, 2);
  return e;
}

std::vector<uint8_t> Entries(const std::vector<NtName>& names) {
  std::vector<uint8_t> out;
  for (const NtName& n : names) Append(out, NtIndexEntry(n));
  Append(out, ClosingEntry());
  return out;
}

// Puts the update sequence number at the end of each 512-byte sector of `record` and keeps the
// bytes it replaced in the array at `usa`.
void ProtectRecord(std::vector<uint8_t>& record, size_t usa) {
  const size_t sectors = record.size() / 512;
  Put16(record, 4, static_cast<uint16_t>(usa));
  Put16(record, 6, static_cast<uint16_t>(sectors + 1));
  Put16(record, usa, kUsn);
  for (size_t j = 0; j < sectors; ++j) {
    std::copy_n(record.begin() + static_cast<long>(512 * j + 510), 2, record.begin() + static_cast<long>(usa + 2 + 2 * j));
    Put16(record, 512 * j + 510, kUsn);
  }
}

}  // namespace

std::vector<uint8_t> NtIndexEntry(const NtName& n) {
  const size_t key = 0x42 + 2 * n.name.size();
  std::vector<uint8_t> e((16 + key + 7) / 8 * 8);
  Put64(e, 0, 0x0001000000000040ull);
  Put16(e, 8, static_cast<uint16_t>(e.size()));
  Put16(e, 10, static_cast<uint16_t>(key));
  Put64(e, 16, 0x0005000000000005ull);
  Put64(e, 24, 0x01D0000000000000ull);
  Put64(e, 56, (n.size + 4095) / 4096 * 4096);
  Put64(e, 64, n.size);
  Put32(e, 72, n.fileFlags);
  e[80] = static_cast<uint8_t>(n.name.size());
  e[81] = n.nameSpace;
  for (size_t i = 0; i < n.name.size(); ++i) e[82 + 2 * i] = static_cast<uint8_t>(n.name[i]);
  return e;
}

uint64_t NtfsLayout::RootRecordOffset() const { return (start + mftCluster * sectorsPerCluster + 10) * 512; }

uint64_t NtfsLayout::BlockOffset(int64_t cluster) const {
  return (start + static_cast<uint64_t>(cluster) * sectorsPerCluster) * 512;
}

void WriteNtfsVolume(std::vector<uint8_t>& disk, const NtfsLayout& l) {
  std::vector<uint8_t> boot(512);
  std::memcpy(boot.data() + 3, "NTFS    ", 8);
  boot[0x0D] = l.sectorsPerCluster;
  Put64(boot, 0x30, l.mftCluster);
  Put16(boot, 510, 0xAA55);
  std::copy(boot.begin(), boot.end(), disk.begin() + static_cast<long>(l.start * 512));

  // Root record: header, index root (resident, unnamed), index allocation (non-resident,
  // named $I30), end marker.
  std::vector<uint8_t> rec(1024);
  std::memcpy(rec.data(), "FILE", 4);
  Put16(rec, 20, 0x38);
  std::vector<uint8_t> attrs;
  {
    std::vector<uint8_t> value(32);
    Put32(value, 0, 0x30);
    Put32(value, 8, static_cast<uint32_t>(l.BlockBytes()));
    value[12] = l.clustersPerBlock;
    const auto entries = Entries(l.rootEntries);
    Put32(value, 16, 16);
    Put32(value, 20, static_cast<uint32_t>(16 + entries.size()));
    Put32(value, 24, static_cast<uint32_t>(16 + entries.size()));
    value[28] = 1;  // has blocks below
    Append(value, entries);
    std::vector<uint8_t> a(24);
    Put32(a, 0, 0x90);
    Put32(a, 4, static_cast<uint32_t>((24 + value.size() + 7) / 8 * 8));
    Put32(a, 16, static_cast<uint32_t>(value.size()));
    Put16(a, 20, 24);
    Append(a, value);
    a.resize(GetU32(a, 4));
    Append(attrs, a);
  }
  {
    std::vector<uint8_t> a(72);
    Put32(a, 0, 0xA0);
    a[8] = 1;
    a[9] = 4;
    Put16(a, 10, 64);
    Put16(a, 32, 72);
    const char16_t name[] = u"$I30";
    for (size_t i = 0; i < 4; ++i) a[64 + 2 * i] = static_cast<uint8_t>(name[i]);
    Append(a, l.runList);
    a.resize((a.size() + 7) / 8 * 8);
    Put32(a, 4, static_cast<uint32_t>(a.size()));
    Append(attrs, a);
  }
  Append(attrs, {0xFF, 0xFF, 0xFF, 0xFF});
  std::copy(attrs.begin(), attrs.end(), rec.begin() + 0x38);
  ProtectRecord(rec, 0x30);
  std::copy(rec.begin(), rec.end(), disk.begin() + static_cast<long>(l.RootRecordOffset()));

  for (const auto& [cluster, names] : l.blocks) {
    std::vector<uint8_t> block(l.BlockBytes());
    std::memcpy(block.data(), "INDX", 4);
    const auto entries = Entries(names);
    Put32(block, 0x18, 0x28);  // entries at 0x40
    Put32(block, 0x1C, static_cast<uint32_t>(0x28 + entries.size()));
    Put32(block, 0x20, static_cast<uint32_t>(block.size() - 0x18));
    std::copy(entries.begin(), entries.end(), block.begin() + 0x40);
    ProtectRecord(block, 0x28);
    std::copy(block.begin(), block.end(), disk.begin() + static_cast<long>(l.BlockOffset(cluster)));
  }
}

size_t NtAttributeOffset(const std::vector<uint8_t>& disk, const NtfsLayout& layout, uint32_t type) {
  const size_t rec = layout.RootRecordOffset();
  size_t at = GetU16(disk, rec + 20);
  while (at < 1024 && GetU32(disk, rec + at) != type && GetU32(disk, rec + at) != 0xFFFFFFFF)
    at += GetU32(disk, rec + at + 4);
  return at;
}

}  // namespace qm::test
