#include "model/DevelopmentInfo.h"

#include <cinttypes>
#include <cstdio>

#include "disk/Chs.h"
#include "model/Text.h"

namespace qm {
namespace {

std::string Format(const char* format, auto... args) {
  char buf[160];
  std::snprintf(buf, sizeof buf, format, args...);
  return buf;
}

void AppendChsLines(std::vector<std::string>& lines, const TDriveGeometry& geometry, uint64_t lba, bool endMarker,
                    unsigned readHead, unsigned readSecCyl) {
  const TChs chs = LbaToChs(geometry, lba, endMarker);
  lines.push_back(Format("read: %x-%x; calc: %x-%x", readHead, readSecCyl, unsigned{chs.Head}, unsigned{chs.SecCyl}));
  lines.push_back(Format("c: %u, h: %u, s: %u", unsigned{chs.Cylinder}, unsigned{chs.Head}, unsigned{chs.Sector}));
}

}  // namespace

uint32_t RecordIdentity(const TPartition* record) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(record));
}

bool Lba2ChsLine(const TDriveGeometry& geometry, std::string_view text, std::string& line) {
  const std::string digits = TrimBlanks(text);
  if (digits.empty() || digits.size() > 20) return false;
  uint64_t lba = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    const auto digit = static_cast<uint64_t>(c - '0');
    if (lba > (UINT64_MAX - digit) / 10) return false;
    lba = lba * 10 + digit;
  }
  // The number typed counts the disk's own sectors.
  const uint64_t blocks = BlocksPerSector(geometry);
  if (lba > UINT64_MAX / blocks) return false;
  const TChs chs = LbaToChs(geometry, lba * blocks, false);
  line = Format("c=$%x h=$%x s=$%x sectcylin=$%x", unsigned{chs.Cylinder}, unsigned{chs.Head}, unsigned{chs.Sector},
                unsigned{chs.SecCyl});
  return true;
}

std::vector<std::string> AllPartitionsLines(const TPhysicalDrv& drive) {
  std::vector<std::string> lines;
  for (const TPartition* record : drive.AllPartitions) {
    if (record == &drive.Root || record->IsGap()) continue;
    const TPartitionEntry& e = record->Entry;
    const uint64_t first = record->AbsoluteStart();
    lines.push_back(Format("$%08" PRIX32 " - %" PRIu64 " - $%x", RecordIdentity(record), first, unsigned{e.SystemId}));
    AppendChsLines(lines, drive.Geometry, first, false, e.StartHead, e.StartSecCyl);
    AppendChsLines(lines, drive.Geometry, first + e.TotalSectors - 1, true, e.EndHead, e.EndSecCyl);
    lines.emplace_back();
  }
  return lines;
}

std::vector<std::string> SiblingLines(const TPartition& partition) {
  std::vector<std::string> lines;
  if (!partition.Parent) return lines;
  for (const TPartition* sibling : partition.Parent->Children) {
    lines.push_back(Format("$%" PRIx32, RecordIdentity(sibling)));
    lines.push_back(Format("%" PRIu64 " - %" PRIu64, sibling->AbsoluteStart(), sibling->AbsoluteEnd() - 1));
  }
  return lines;
}

}  // namespace qm
