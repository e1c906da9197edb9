#include "browse/NtfsReader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <span>

#include "disk/Host.h"
#include "disk/Disk.h"
#include "model/FsDetect.h"
#include "model/Text.h"

namespace qm {
namespace {

using Wide = __int128;  // room for cluster × sectors-per-cluster + start without overflow

constexpr const char* kInvalidRoot = "Invalid root directory.";
constexpr uint32_t kEntryLast = 0x02;  // the closing entry of a node: no key, no name
constexpr uint8_t kNameSpaceDos = 2;
constexpr uint64_t kMaxReadSectors = 0xFFFF;

void ShowError(const char* text, const char* caption) { MessageBox(text, caption, MsgButtons::Ok, MsgIcon::Error); }

// The first sector past the disk. A size at the 32-bit cap says only "at least this much":
// the sector layer then finds the end.
Wide DiskEnd(const TPhysicalDrv& drive) {
  const uint32_t total = drive.Geometry.TotalSectors;
  return total < 0xFFFFFFFFu ? Wide{total} : Wide{UINT64_MAX / kSectorSize};
}

uint32_t SectorsPerCluster(const TPartition& partition) { return partition.BootSector[0x0D]; }

TntFile DecodeEntry(std::span<const uint8_t> e) {
  TntFile f;
  f.FileReference = GetU64(e, 0);
  f.EntryLength = GetU16(e, 8);
  f.KeyLength = GetU16(e, 10);
  f.EntryFlags = GetU32(e, 12);
  f.ParentReference = GetU64(e, 16);
  f.CreationTime = GetU64(e, 24);
  f.ModificationTime = GetU64(e, 32);
  f.MftChangeTime = GetU64(e, 40);
  f.AccessTime = GetU64(e, 48);
  f.AllocatedSize = GetU64(e, 56);
  f.RealSize = GetU64(e, 64);
  f.FileFlags = GetU32(e, 72);
  f.ReparseValue = GetU32(e, 76);
  f.NameLength = e[80];
  f.NameSpace = e[81];
  f.Name = TrimBlanks(Utf16LeToUtf8(e.subspan(kNtEntryFixedSize, 2 * size_t{f.NameLength})));
  return f;
}

// Walks the index entries of `area` from `first` to `endUsed` (both offsets into it). Each
// entry is its 16-byte header, then the file-name key; the closing entry is flagged and has
// no key. False when the chain breaks off before its end; the entries before stay listed.
bool AppendEntries(std::span<const uint8_t> area, uint64_t first, uint64_t endUsed, std::vector<TntFile>& list) {
  const uint64_t end = std::min<uint64_t>(endUsed, area.size());
  for (uint64_t pos = first; pos < end;) {
    if (!InBounds(area.size(), pos, 16)) return false;
    if (GetU32(area, pos + 12) & kEntryLast) return true;
    const uint16_t length = GetU16(area, pos + 8);
    if (length < kNtEntryFixedSize || !InBounds(area.size(), pos, length)) return false;
    if (kNtEntryFixedSize + 2 * size_t{area[pos + 80]} > length) return false;
    const auto entry = area.subspan(pos, length);
    if (entry[81] != kNameSpaceDos) list.push_back(DecodeEntry(entry));
    pos += length;
  }
  return true;
}

// An INDX block is valid when its update sequence number (kept at 0x28) ends every sector
// its array covers; the true last two bytes of each sector are then put back from the array
// at 0x2A. Returns the bytes covered, 0 for an invalid block.
size_t FixIndexBlock(std::span<uint8_t> block) {
  if (block.size() < kSectorSize || std::memcmp(block.data(), "INDX", 4) != 0) return 0;
  const uint16_t usn = GetU16(block, 0x28);
  const size_t count = GetU16(block, 6);
  if (count < 2 || (count - 1) * kSectorSize > block.size() || !InBounds(block.size(), 0x2A, 2 * (count - 1)))
    return 0;
  for (size_t j = 0; j + 1 < count; ++j)
    if (GetU16(block, kSectorSize * j + 0x1FE) != usn) return 0;
  for (size_t j = 0; j + 1 < count; ++j) std::copy_n(block.begin() + 0x2A + 2 * j, 2, block.begin() + kSectorSize * j + 0x1FE);
  return (count - 1) * kSectorSize;
}

// What became of one index block: read and listed, read but invalid (its entries up to the
// break are listed), or not read at all (outside the disk, or the read failed).
enum class BlockRead { Listed, Invalid, NotRead };

BlockRead ReadIndexBlock(const TPhysicalDrv& drive, const TPartition& partition, const TRun& block,
                         std::vector<TntFile>& list) {
  const uint64_t spc = SectorsPerCluster(partition);
  if (block.Lcn < 0 || block.Clusters == 0 || block.Clusters > kMaxReadSectors) return BlockRead::NotRead;
  const uint64_t count = block.Clusters * spc;
  if (count == 0 || count > kMaxReadSectors) return BlockRead::NotRead;
  const Wide first = Wide{block.Lcn} * spc + partition.AbsoluteStart();
  if (first + count > DiskEnd(drive)) return BlockRead::NotRead;

  std::vector<uint8_t> buffer(count * kSectorSize);
  if (!drive.Io().ReadSectors(static_cast<Lba>(first), static_cast<uint16_t>(count), buffer.data(), true, true))
    return BlockRead::NotRead;
  const size_t covered = FixIndexBlock(buffer);
  if (covered == 0) return BlockRead::Invalid;
  // The index header follows the 0x18-byte record header; its offsets count from there.
  const std::span<const uint8_t> area(buffer.data(), covered);
  if (!AppendEntries(area, 0x18 + uint64_t{GetU32(area, 0x18)}, 0x18 + uint64_t{GetU32(area, 0x1C)}, list))
    return BlockRead::Invalid;
  return BlockRead::Listed;
}

}  // namespace

bool GetFileFromRun(const TPhysicalDrv& drive, const TPartition& partition, const TRun& block,
                    std::vector<TntFile>& list) {
  const BlockRead read = ReadIndexBlock(drive, partition, block, list);
  if (read == BlockRead::Invalid) ShowError(kInvalidRoot, "GetFileFromRun");
  return read == BlockRead::Listed;
}

bool GetNTFSFileList(TPhysicalDrv& drive, const TPartition& partition, std::vector<TntFile>& list) {
  const TSector& boot = partition.BootSector;
  const uint64_t spc = SectorsPerCluster(partition);
  // Record 5 of the MFT, two sectors a record: 10 sectors into the MFT.
  const Wide rootSector = Wide{GetU64(boot, 0x30)} * spc + partition.AbsoluteStart() + 10;
  if (rootSector + 2 > DiskEnd(drive)) {
    ShowError(kInvalidRoot, "GetNTFSFileList");
    return false;
  }
  std::array<uint8_t, kFileRecordSize> record{};
  if (!drive.Io().ReadSectors(static_cast<Lba>(rootSector), 2, record.data(), true, true)) return false;

  const size_t usa = record[4];
  const uint16_t usn = GetU16(record, usa);
  if (GetU16(record, 0x1FE) != usn || GetU16(record, 0x3FE) != usn) {
    ShowError("Fixup error. Invalid root of B+ Tree.", "GetNTFSFileList");
    return false;
  }
  std::copy_n(record.begin() + usa + 2, 2, record.begin() + 0x1FE);
  std::copy_n(record.begin() + usa + 4, 2, record.begin() + 0x3FE);

  // The index root value: 16 bytes (indexed type, collation, block size, clusters per block
  // at 12), then the index header and the entries that live in the record itself.
  TAttribute root;
  const bool haveRoot = ReadRootAttribute(drive, partition, record, kAttrIndexRoot, root) && root.Data.size() >= 16;
  const uint64_t cpib = haveRoot ? root.Data[12] : 0;
  // Without a usable block size the walk could not advance; blocks smaller than a cluster
  // (a negative value here) are not supported.
  if (cpib == 0 || cpib >= 0x80 || spc == 0 || cpib * spc > kMaxReadSectors) {
    ShowError(kInvalidRoot, "GetNTFSFileList");
    return false;
  }
  TAttribute allocation;
  if (!ReadRootAttribute(drive, partition, record, kAttrIndexAllocation, allocation)) return false;
  trunlist runs;
  if (!GetRunList(allocation.Data, runs)) return false;

  // A root that has grown into blocks keeps its top-level entries here, and those are in no
  // block: without them files would go missing from the list.
  const std::span<const uint8_t> value(root.Data);
  if (value.size() < 32 || !AppendEntries(value, 16 + uint64_t{GetU32(value, 16)}, 16 + uint64_t{GetU32(value, 20)}, list))
    ShowError(kInvalidRoot, "GetNTFSFileList");

  const Wide start = partition.AbsoluteStart();
  const Wide lastCluster = DiskEnd(drive) > start ? (DiskEnd(drive) - start) / Wide{spc} : Wide{0};
  // A damaged run can claim billions of blocks: those past kMaxIndexBlocks are not read, and
  // invalid blocks are reported once, not once each.
  Wide blocksLeft = kMaxIndexBlocks;
  bool invalidReported = false;
  for (const TRun& run : runs) {
    if (blocksLeft == 0) {
      ShowError(kInvalidRoot, "GetNTFSFileList");
      break;
    }
    // Block k covers clusters Lcn + k·cpib onwards; the blocks of the run are those that start
    // before its end, and at least its first one.
    const Wide lcn = run.Lcn;
    const Wide blocks = run.Clusters <= cpib ? Wide{1} : (Wide{run.Clusters} + cpib - 1) / cpib;
    const Wide firstInside = lcn >= 0 ? Wide{0} : (-lcn + cpib - 1) / cpib;
    const Wide endInside = lastCluster - lcn >= 0 ? (lastCluster - lcn) / cpib : Wide{0};
    const Wide from = firstInside;
    const Wide inside = std::min(blocks, endInside);
    const Wide to = std::min(inside, from + blocksLeft);
    for (Wide k = from; k < to; ++k) {
      --blocksLeft;
      if (ReadIndexBlock(drive, partition, TRun{static_cast<int64_t>(lcn + k * cpib), cpib}, list) == BlockRead::Invalid &&
          !invalidReported) {
        ShowError(kInvalidRoot, "GetFileFromRun");
        invalidReported = true;
      }
    }
    if (from > 0 || inside < blocks) ShowError(kInvalidRoot, "GetNTFSFileList");
    if (to < inside) {
      ShowError(kInvalidRoot, "GetNTFSFileList");
      break;
    }
  }
  return true;
}

}  // namespace qm
