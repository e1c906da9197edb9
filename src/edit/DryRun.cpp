#include "edit/DryRun.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "model/DiskData.h"

namespace qm {
namespace {

constexpr size_t kBytesPerLine = 16;
constexpr size_t kEntrySize = 16, kEntries = 4;

std::string Hex(const SectorBytes& bytes, size_t from, size_t to) {
  std::string out;
  char text[4];
  for (size_t i = from; i < to; ++i) {
    std::snprintf(text, sizeof text, "%02x", bytes[i]);
    out += (i == from ? "" : " ") + std::string(text);
  }
  return out;
}

std::string EntryText(const SectorBytes& sector, size_t index) {
  const TPartitionEntry e = DecodeEntry(sector, index);
  if (e.SystemId == 0 && e.RelativeSector == 0 && e.TotalSectors == 0) return "empty";
  char text[96];
  std::snprintf(text, sizeof text, "type %02x, relative start %" PRIu32 ", %" PRIu32 " sectors%s", e.SystemId,
                e.RelativeSector, e.TotalSectors, e.BootIndicator == 0x80 ? ", active" : "");
  return text;
}

bool Signed(const SectorBytes& sector) { return sector[510] == 0x55 && sector[511] == 0xAA; }

}  // namespace

std::vector<std::string> DescribeSectorChange(uint64_t lba, const SectorBytes& before, const SectorBytes& after) {
  std::vector<std::string> lines;
  const std::string head = "sector " + std::to_string(lba) + " ";
  for (size_t i = 0; i < before.size();) {
    if (before[i] == after[i]) {
      ++i;
      continue;
    }
    // A run of changed bytes, cut into lines.
    size_t end = i;
    while (end < before.size() && before[end] != after[end] && end - i < kBytesPerLine) ++end;
    char offset[16];
    std::snprintf(offset, sizeof offset, "0x%03zx", i);
    lines.push_back(head + "offset " + offset + ": " + Hex(before, i, end) + " -> " + Hex(after, i, end));
    i = end;
  }
  if (Signed(before) || Signed(after)) {
    for (size_t n = 0; n < kEntries; ++n) {
      const size_t at = kTableOffset + n * kEntrySize;
      if (std::equal(before.begin() + at, before.begin() + at + kEntrySize, after.begin() + at)) continue;
      lines.push_back(head + "entry " + std::to_string(n + 1) + ": " + EntryText(before, n) + " -> " + EntryText(after, n));
    }
  }
  return lines;
}

}  // namespace qm
