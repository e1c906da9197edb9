// Where a FAT volume keeps its FAT, root directory and clusters, and how a cluster chain is
// followed. Every number here comes from the disk: each is checked before it places a read,
// and no read reaches past the partition.
#include <algorithm>
#include <bit>
#include <exception>
#include <unordered_set>

#include "browse/FatDir.h"
#include "browse/FatRead.h"
#include "disk/Host.h"
#include "disk/Disk.h"

namespace qm {

bool ReadPartitionBytes(TPhysicalDrv& drive, const TPartition& partition, uint64_t offset, size_t length,
                        std::vector<uint8_t>& out) {
  const uint64_t partitionBytes = uint64_t{partition.Entry.TotalSectors} * kSectorSize;
  if (length == 0 || offset > partitionBytes || length > partitionBytes - offset) return false;
  const uint64_t firstSector = offset / kSectorSize;
  const uint64_t lastSector = (offset + length - 1) / kSectorSize;
  const uint64_t count = lastSector - firstSector + 1;
  if (count > 0xFFFF) return false;
  std::vector<uint8_t> sectors(static_cast<size_t>(count) * kSectorSize);
  if (!drive.Io().ReadSectors(partition.AbsoluteStart() + firstSector, static_cast<uint16_t>(count),
                   sectors.data(), true, true))
    return false;
  const size_t skip = static_cast<size_t>(offset % kSectorSize);
  out.assign(sectors.begin() + static_cast<ptrdiff_t>(skip),
             sectors.begin() + static_cast<ptrdiff_t>(skip + length));
  return true;
}

bool ReadFatLayout(const TPartition& partition, TFatLayout& layout) {
  const TSector& boot = partition.BootSector;
  if (partition.FsKind != fkFat12 && partition.FsKind != fkFat16 && partition.FsKind != fkFat32) return false;
  TFatLayout l;
  l.Kind = partition.FsKind;
  l.BytesPerSector = GetU16(boot, 0x0B);
  l.SectorsPerCluster = boot[0x0D];
  const uint64_t reserved = GetU16(boot, 0x0E);
  const uint64_t fats = boot[0x10];
  if (l.BytesPerSector < kDirEntrySize || !std::has_single_bit(l.BytesPerSector)) return false;
  if (l.SectorsPerCluster == 0 || fats == 0) return false;

  const uint64_t bps = l.BytesPerSector;
  const uint64_t partitionBytes = uint64_t{partition.Entry.TotalSectors} * kSectorSize;
  // The volume is as large as its boot sector says, but never larger than its partition.
  uint64_t volumeSectors = GetU16(boot, 0x13);
  if (volumeSectors == 0) volumeSectors = GetU32(boot, 0x20);
  const uint64_t volumeBytes = volumeSectors == 0 ? partitionBytes : std::min(volumeSectors * bps, partitionBytes);

  const bool fat32 = l.Kind == fkFat32;
  const uint64_t sectorsPerFat = fat32 ? GetU32(boot, 0x24) : GetU16(boot, 0x16);
  l.FatOffset = reserved * bps;
  l.FatBytes = sectorsPerFat * bps;
  l.ClusterBytes = uint64_t{l.SectorsPerCluster} * bps;
  const uint64_t fatsEnd = l.FatOffset + fats * l.FatBytes;
  if (fat32) {
    if (sectorsPerFat == 0) return false;
    l.DataOffset = fatsEnd;
  } else {
    l.RootOffset = fatsEnd;
    l.RootEntries = GetU16(boot, 0x11);
    if (l.RootEntries == 0) return false;
    const uint64_t rootSectors = (uint64_t{l.RootEntries} * kDirEntrySize + bps - 1) / bps;
    l.DataOffset = l.RootOffset + rootSectors * bps;
    if (l.RootOffset + uint64_t{l.RootEntries} * kDirEntrySize > partitionBytes) return false;
  }

  // A chain cannot hold more clusters than the volume has, nor more than one FAT can number.
  uint64_t clusters = volumeBytes > l.DataOffset ? (volumeBytes - l.DataOffset) / l.ClusterBytes : 0;
  const uint64_t fatEntries = fat32 ? l.FatBytes / 4 : l.Kind == fkFat16 ? l.FatBytes / 2 : l.FatBytes * 2 / 3;
  clusters = std::min(clusters, fatEntries > 2 ? fatEntries - 2 : 0);
  l.ClusterCount = static_cast<uint32_t>(std::min<uint64_t>(clusters, 0x0FFFFFF5));

  if (fat32) {
    l.RootCluster = GetU32(boot, 0x2C);
    if (!ClusterInVolume(l, l.RootCluster)) return false;
  }
  layout = l;
  return true;
}

namespace {

constexpr uint32_t kFat32Mask = 0x0FFFFFFF;
constexpr uint32_t kFat32Bad = 0x0FFFFFF7;
constexpr uint32_t kFat32EndMin = 0x0FFFFFF8;
// The FAT is read nine sectors at a time, starting at the sector before the one that holds
// the entry asked for whenever that entry opens its sector.
constexpr uint64_t kFatWindowSectors = 9;

class FatWindow {
 public:
  FatWindow(TPhysicalDrv& drive, const TPartition& partition, const TFatLayout& layout)
      : drive_(drive), partition_(partition), layout_(layout) {}

  // The FAT entry of `cluster`; false when its sectors cannot be read.
  bool Entry(uint32_t cluster, uint32_t& value) {
    const uint64_t byte = uint64_t{cluster} * 4;
    if (!Holds(byte) && !Load(byte)) return false;
    value = LoadLE<uint32_t>(&window_[static_cast<size_t>(byte - first_)]);
    return true;
  }

 private:
  bool Holds(uint64_t byte) const { return !window_.empty() && byte >= first_ && byte + 4 <= first_ + window_.size(); }

  bool Load(uint64_t byte) {
    const uint64_t bps = layout_.BytesPerSector;
    uint64_t sector = (byte + bps - 1) / bps;
    sector = sector == 0 ? 0 : sector - 1;
    const uint64_t start = sector * bps;
    if (start >= layout_.FatBytes) return false;
    const uint64_t length = std::min(kFatWindowSectors * bps, layout_.FatBytes - start);
    window_.clear();
    if (!ReadPartitionBytes(drive_, partition_, layout_.FatOffset + start, static_cast<size_t>(length), window_))
      return false;
    first_ = start;
    return Holds(byte);
  }

  TPhysicalDrv& drive_;
  const TPartition& partition_;
  const TFatLayout& layout_;
  std::vector<uint8_t> window_;
  uint64_t first_ = 0;  // the FAT byte the window starts at
};

bool FollowChain(TPhysicalDrv& drive, const TPartition& partition, const TFatLayout& layout, uint32_t firstCluster,
                 std::vector<uint32_t>& chain) {
  chain.clear();
  if (!ClusterInVolume(layout, firstCluster)) return false;
  const size_t limit = std::min<size_t>(kMaxChainClusters, layout.ClusterCount);
  FatWindow fat(drive, partition, layout);
  std::unordered_set<uint32_t> seen;
  uint32_t current = firstCluster;
  chain.push_back(current);
  seen.insert(current);
  for (;;) {
    uint32_t next = 0;
    if (!fat.Entry(current, next)) return false;
    next &= kFat32Mask;
    if (next == 0 || next >= kFat32EndMin) return true;
    if (next == kFat32Bad || !ClusterInVolume(layout, next) || !seen.insert(next).second) return false;
    if (chain.size() >= limit) return false;
    chain.push_back(next);
    current = next;
  }
}

}  // namespace

bool ClusterInVolume(const TFatLayout& layout, uint32_t cluster) {
  return cluster >= 2 && uint64_t{cluster} - 2 < layout.ClusterCount;
}

bool GetClusNumChain(TPhysicalDrv& drive, const TPartition& partition, const TFatLayout& layout,
                     uint32_t firstCluster, std::vector<uint32_t>& chain) {
  try {
    return FollowChain(drive, partition, layout, firstCluster, chain);
  } catch (const std::exception& e) {
    MessageBox(e.what(), "GetClusNumChain", MsgButtons::Ok, MsgIcon::Error);
    return false;
  }
}

}  // namespace qm
