#include "browse/NtfsReader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <span>

#include "disk/Bytes.h"
#include "fs/NtfsRecord.h"
#include "fs/NtfsRunList.h"
#include "model/Text.h"

namespace qm {
namespace {

using Wide = __int128;  // room for cluster × blocks-per-cluster + start without overflow

constexpr const char* kInvalidRoot = "Invalid root directory.";
constexpr const char* kListCaption = "NTFS root directory";
constexpr const char* kBlockCaption = "NTFS root directory index";
constexpr uint32_t kEntryLast = 0x02;  // the closing entry of a node: no key, no name
constexpr uint8_t kNameSpaceDos = 2;
constexpr uint64_t kMaxReadSectors = 0xFFFF;  // disk sectors (512 bytes) of one index block

Outcome Invalid(const char* caption) { return Outcome::Failed(kInvalidRoot, caption); }

// The first part of a listing that went wrong, told once when the listing ends.
class Trouble {
 public:
  void Note(const char* caption) {
    if (first_.Text.empty()) first_ = Outcome::Done(kInvalidRoot, caption, MsgIcon::Error);
  }
  Outcome Result() const { return first_; }

 private:
  Outcome first_ = Outcome::Done();
};

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

// Reads the index block of `clusters` clusters at cluster `lcn`, which lies on the disk, and
// lists its entries. False for a block that is no "INDX" record, fails its update sequence or
// whose entries break off (those before the break are listed).
Outcome ReadIndexBlock(const TFsVolume& volume, Wide lcn, uint64_t clusters, std::vector<TntFile>& list, bool& valid) {
  const uint64_t perCluster = ClusterBlocks(volume);
  const uint64_t count = clusters * perCluster;
  std::vector<uint8_t> buffer(count * kSectorSize);
  const Outcome read =
      ReadDiskSectors(volume, static_cast<WideLba>(lcn * perCluster + volume.Start), count, buffer.data());
  if (!read) return read;
  const size_t covered = std::memcmp(buffer.data(), "INDX", 4) == 0 ? FixUpRecord(buffer) : 0;
  // The index header follows the 0x18-byte record header; its offsets count from there.
  const std::span<const uint8_t> area(buffer.data(), covered);
  valid = covered >= 0x20 &&
          AppendEntries(area, 0x18 + uint64_t{GetU32(area, 0x18)}, 0x18 + uint64_t{GetU32(area, 0x1C)}, list);
  return Outcome::Done();
}

}  // namespace

Outcome GetNTFSFileList(const TFsVolume& volume, std::vector<TntFile>& list) {
  // Clusters are counted in the disk's 512-byte blocks, whatever the volume's sector size.
  const uint64_t perCluster = ClusterBlocks(volume);
  TFileRecord record;
  Outcome failure;
  switch (ReadMftRecord(volume, kRootRecord, record, &failure)) {
    case RecordRead::Sound: break;
    case RecordRead::OutsideDisk: return Invalid(kListCaption);
    case RecordRead::Unreadable: return failure;
    case RecordRead::Damaged: return Outcome::Failed("Fixup error. Invalid root of B+ Tree.", kListCaption);
  }

  // The index root value: 16 bytes (indexed type, collation, block size, clusters per block
  // at 12), then the index header and the entries that live in the record itself.
  TAttribute root;
  const bool haveRoot =
      ReadRecordAttribute(volume, record, kRootRecord, kAttrIndexRoot, root) && root.Data.size() >= 16;
  const uint64_t cpib = haveRoot ? root.Data[12] : 0;
  // Without a usable block size the walk could not advance; blocks smaller than a cluster
  // (a negative value here) are not supported.
  if (cpib == 0 || cpib >= 0x80 || perCluster == 0 || cpib * perCluster > kMaxReadSectors) return Invalid(kListCaption);
  TAttribute allocation;
  if (!ReadRecordAttribute(volume, record, kRootRecord, kAttrIndexAllocation, allocation)) return Invalid(kListCaption);

  // A root that has grown into blocks keeps its top-level entries here, and those are in no
  // block: without them files would go missing from the list.
  Trouble trouble;
  const std::span<const uint8_t> value(root.Data);
  if (value.size() < 32 || !AppendEntries(value, 16 + uint64_t{GetU32(value, 16)}, 16 + uint64_t{GetU32(value, 20)}, list))
    trouble.Note(kListCaption);

  const Wide start = volume.Start, diskEnd = volume.DiskSectors;
  const Wide lastCluster = diskEnd > start ? (diskEnd - start) / Wide{perCluster} : Wide{0};
  // A damaged run can claim billions of blocks: those past kMaxIndexBlocks are not read.
  Wide blocksLeft = kMaxIndexBlocks;
  for (const TRun& run : GetRunList(allocation.Data)) {
    if (blocksLeft == 0) {
      trouble.Note(kListCaption);
      break;
    }
    // Block k covers clusters Lcn + k·cpib onwards; the blocks of the run are those that start
    // before its end, and at least its first one. Only those wholly on the disk are read.
    const Wide lcn = run.Lcn;
    const Wide blocks = run.Clusters <= cpib ? Wide{1} : (Wide{run.Clusters} + cpib - 1) / cpib;
    const Wide from = lcn >= 0 ? Wide{0} : (-lcn + cpib - 1) / cpib;
    const Wide endInside = lastCluster - lcn >= 0 ? (lastCluster - lcn) / cpib : Wide{0};
    const Wide inside = std::min(blocks, endInside);
    const Wide to = std::min(inside, from + blocksLeft);
    for (Wide k = from; k < to; ++k) {
      --blocksLeft;
      bool valid = false;
      const Outcome read = ReadIndexBlock(volume, lcn + k * cpib, cpib, list, valid);
      if (!read) return read;
      if (!valid) trouble.Note(kBlockCaption);
    }
    if (from > 0 || inside < blocks) trouble.Note(kListCaption);
    if (to < inside) {
      trouble.Note(kListCaption);
      break;
    }
  }
  return trouble.Result();
}

}  // namespace qm
