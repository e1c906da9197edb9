#include "fs/Fat.h"

#include <algorithm>
#include <bit>
#include <unordered_set>

#include "disk/Bytes.h"
#include "fs/FsKind.h"

namespace qm {
namespace {

constexpr uint32_t kFat32Mask = 0x0FFFFFFF;
constexpr uint32_t kFat32Bad = 0x0FFFFFF7;
constexpr uint32_t kFat32EndMin = 0x0FFFFFF8;
// The FAT is read nine sectors at a time, starting at the sector before the one that holds
// the entry asked for whenever that entry opens its sector.
constexpr uint64_t kFatWindowSectors = 9;
// The most bytes of consecutive root clusters read with one transfer.
constexpr uint64_t kRootRunBytes = 1 << 20;

class FatWindow {
 public:
  FatWindow(const TFsVolume& volume, const TFatLayout& layout) : volume_(volume), layout_(layout) {}

  // The FAT entry of `cluster`.
  Outcome Entry(uint32_t cluster, uint32_t& value) {
    const uint64_t byte = uint64_t{cluster} * 4;
    if (!Holds(byte)) {
      const Outcome loaded = Load(byte);
      if (!loaded) return loaded;
      if (!Holds(byte))
        return Outcome::Failed("The FAT holds no entry for cluster " + std::to_string(cluster) + ".", "Read Error");
    }
    value = LoadLE<uint32_t>(&window_[static_cast<size_t>(byte - first_)]);
    return Outcome::Done();
  }

 private:
  bool Holds(uint64_t byte) const { return !window_.empty() && byte >= first_ && byte + 4 <= first_ + window_.size(); }

  Outcome Load(uint64_t byte) {
    const uint64_t bps = layout_.BytesPerSector;
    uint64_t sector = (byte + bps - 1) / bps;
    sector = sector == 0 ? 0 : sector - 1;
    const uint64_t start = sector * bps;
    // Clusters are checked against the FAT's size before they are looked up.
    const uint64_t length = std::min(kFatWindowSectors * bps, layout_.FatBytes - std::min(start, layout_.FatBytes));
    window_.clear();
    const Outcome read = ReadVolumeBytes(volume_, layout_.FatOffset + start, static_cast<size_t>(length), window_);
    if (!read) return read;
    first_ = start;
    return Outcome::Done();
  }

  const TFsVolume& volume_;
  const TFatLayout& layout_;
  std::vector<uint8_t> window_;
  uint64_t first_ = 0;  // the FAT byte the window starts at
};

bool IsDotEntry(std::span<const uint8_t> e) {
  return (e[0] == '.' && e[1] == ' ') || (e[0] == '.' && e[1] == '.' && e[2] == ' ');
}

}  // namespace

bool ReadFatLayout(const TFsVolume& volume, TFatLayout& layout) {
  if (!IsFatKind(volume.Kind)) return false;
  const TBpb& bpb = volume.Bpb;
  TFatLayout l;
  l.Kind = volume.Kind;
  l.BytesPerSector = bpb.BytesPerSector;
  l.SectorsPerCluster = bpb.SectorsPerCluster;
  if (l.BytesPerSector < kDirEntrySize || !std::has_single_bit(l.BytesPerSector)) return false;
  if (l.SectorsPerCluster == 0 || bpb.FatCount == 0) return false;

  const uint64_t bps = l.BytesPerSector;
  const uint64_t partitionBytes = volume.Sectors * 512;
  // The volume is as large as its boot sector says, but never larger than its partition.
  const uint64_t volumeSectors = bpb.TotalSectors16 != 0 ? bpb.TotalSectors16 : bpb.TotalSectors32;
  const uint64_t volumeBytes = volumeSectors == 0 ? partitionBytes : std::min(volumeSectors * bps, partitionBytes);

  const bool fat32 = l.Kind == fkFat32;
  const uint64_t sectorsPerFat = bpb.SectorsPerFat(l.Kind);
  l.FatOffset = uint64_t{bpb.ReservedSectors} * bps;
  l.FatBytes = sectorsPerFat * bps;
  l.ClusterBytes = uint64_t{l.SectorsPerCluster} * bps;
  const uint64_t fatsEnd = l.FatOffset + bpb.FatCount * l.FatBytes;
  if (fat32) {
    if (sectorsPerFat == 0) return false;
    l.DataOffset = fatsEnd;
  } else {
    l.RootOffset = fatsEnd;
    l.RootEntries = bpb.RootEntries;
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
    l.RootCluster = bpb.RootCluster;
    if (!ClusterInVolume(l, l.RootCluster)) return false;
  }
  layout = l;
  return true;
}

bool ClusterInVolume(const TFatLayout& layout, uint32_t cluster) {
  return cluster >= 2 && uint64_t{cluster} - 2 < layout.ClusterCount;
}

Outcome ReadVolumeBytes(const TFsVolume& volume, uint64_t offset, size_t length, std::vector<uint8_t>& out) {
  const uint64_t partitionBytes = volume.Sectors * 512;
  const uint64_t firstSector = offset / 512;
  if (length == 0 || offset > partitionBytes || length > partitionBytes - offset)
    return Outcome::Failed("Byte " + std::to_string(offset) + " of the volume lies outside its partition.",
                           "Read Error", 0, volume.Start + firstSector);
  const uint64_t count = (offset + length - 1) / 512 - firstSector + 1;
  std::vector<uint8_t> sectors(static_cast<size_t>(count) * 512);
  const Outcome read = ReadDiskSectors(volume, volume.Start + WideLba{firstSector}, count, sectors.data());
  if (!read) return read;
  const size_t skip = static_cast<size_t>(offset % 512);
  out.assign(sectors.begin() + static_cast<ptrdiff_t>(skip), sectors.begin() + static_cast<ptrdiff_t>(skip + length));
  return Outcome::Done();
}

Outcome GetClusNumChain(const TFsVolume& volume, const TFatLayout& layout, uint32_t firstCluster, size_t maxClusters,
                        TClusterChain& chain) {
  chain = TClusterChain{};
  if (!ClusterInVolume(layout, firstCluster)) {
    chain.Next = firstCluster;
    return Outcome::Done();
  }
  FatWindow fat(volume, layout);
  // Every cluster enters once: a chain that comes back to one of its own clusters is cut there,
  // however long the loop.
  std::unordered_set<uint32_t> seen;
  uint32_t current = firstCluster;
  chain.Clusters.push_back(current);
  seen.insert(current);
  for (;;) {
    uint32_t next = 0;
    const Outcome read = fat.Entry(current, next);
    if (!read) return read;
    next &= kFat32Mask;
    chain.Next = next;
    if (next == 0 || next >= kFat32EndMin) {
      chain.End = ChainEnd::Marked;
      return Outcome::Done();
    }
    if (next == kFat32Bad) chain.End = ChainEnd::BadCluster;
    else if (!ClusterInVolume(layout, next)) chain.End = ChainEnd::NoCluster;
    else if (!seen.insert(next).second) chain.End = ChainEnd::Loop;
    else if (chain.Clusters.size() >= maxClusters) chain.End = ChainEnd::Limit;
    else {
      chain.Clusters.push_back(next);
      current = next;
      continue;
    }
    return Outcome::Done();
  }
}

size_t DirChainLimit(const TFatLayout& layout) {
  const uint64_t bytes = uint64_t{kMaxDirEntries} * kDirEntrySize;
  if (layout.ClusterBytes == 0) return 1;
  return static_cast<size_t>(std::max<uint64_t>((bytes + layout.ClusterBytes - 1) / layout.ClusterBytes, 1));
}

namespace {

// "65,536": a count with its thousands apart.
std::string Grouped(uint64_t value) {
  std::string digits = std::to_string(value);
  for (size_t at = digits.size(); at > 3;) digits.insert(at -= 3, ",");
  return digits;
}

// What the user is told of a root directory whose chain was cut: where the listing stops and why.
Outcome RootCutNote(const TClusterChain& chain) {
  const std::string last = std::to_string(chain.Clusters.back());
  const std::string where = Grouped(chain.Clusters.size()) + (chain.Clusters.size() == 1 ? " cluster" : " clusters") +
                            ", at cluster " + last;
  std::string text;
  if (chain.End == ChainEnd::Limit) {
    text = "The root directory goes on past " + Grouped(kMaxDirEntries) +
           " entries, the most a directory holds.\rThe listing stops there, after " + where + ".";
  } else {
    std::string why;
    switch (chain.End) {
      case ChainEnd::Loop:
        why = "leads from it back to cluster " + std::to_string(chain.Next) + ", which comes earlier in the chain";
        break;
      case ChainEnd::BadCluster: why = "marks the cluster behind it bad"; break;
      default:
        why = "leads from it to cluster " + std::to_string(chain.Next) + ", which is no cluster of the volume";
        break;
    }
    text = "The root directory's cluster chain breaks off after " + where + ": the FAT " + why +
           ".\rThe listing stops there.";
  }
  return Outcome::Done(text, "Root directory", MsgIcon::Warning);
}

}  // namespace

Outcome ReadRootArea(const TFsVolume& volume, const TFatLayout& layout,
                     const std::function<bool(std::span<const uint8_t>)>& visit) {
  std::vector<uint8_t> area;
  if (layout.Kind != fkFat32) {
    // The root directory fills whole sectors; only its first RootEntries entries count.
    const Outcome read = ReadVolumeBytes(volume, layout.RootOffset, size_t{layout.RootEntries} * kDirEntrySize, area);
    if (read) visit(area);
    return read;
  }
  TClusterChain chain;
  const Outcome chained = GetClusNumChain(volume, layout, layout.RootCluster, DirChainLimit(layout), chain);
  if (!chained) return chained;
  // A directory never holds more than kMaxDirEntries entries; what a damaged cluster size
  // places behind them is not read (it could be the whole volume).
  uint64_t left = uint64_t{kMaxDirEntries} * kDirEntrySize;
  const std::vector<uint32_t>& clusters = chain.Clusters;
  for (size_t i = 0; i < clusters.size() && left > 0;) {
    // Clusters that follow each other on the disk are read at once, as far as kRootRunBytes:
    // a root of small clusters is read in a few transfers instead of one for each.
    size_t end = i + 1;
    while (end < clusters.size() && clusters[end] == clusters[end - 1] + 1 &&
           (end - i + 1) * layout.ClusterBytes <= kRootRunBytes)
      ++end;
    const uint64_t offset = layout.DataOffset + uint64_t{clusters[i] - 2} * layout.ClusterBytes;
    const uint64_t length = std::min((end - i) * layout.ClusterBytes, left);
    const Outcome read = ReadVolumeBytes(volume, offset, static_cast<size_t>(length), area);
    if (!read) return read;
    if (visit(area)) return Outcome::Done();
    left -= length;
    i = end;
  }
  return chain.Ended() || clusters.empty() ? Outcome::Done() : RootCutNote(chain);
}

Outcome ReadFatLabel(const TFsVolume& volume, const TFatLayout& layout, std::string& label) {
  label.clear();
  return ReadRootArea(volume, layout, [&label](std::span<const uint8_t> area) {
    for (size_t at = 0; at + kDirEntrySize <= area.size(); at += kDirEntrySize) {
      const std::span<const uint8_t> e = area.subspan(at, kDirEntrySize);
      const uint8_t attributes = e[11];
      // Long-name parts carry the label bit among theirs; free and deleted entries hold no
      // label, whatever bytes follow their first.
      if (attributes == 0x0F || !(attributes & 0x08) || e[0] == 0 || e[0] == 0xE5) continue;
      if (IsDotEntry(e) || GetU32(e, 28) == 0xFFFFFFFF) continue;
      size_t b = 0, end = 11;
      const auto blank = [](uint8_t c) { return c <= 0x20 || c == 0x7F; };
      while (b < end && blank(e[b])) ++b;
      while (end > b && blank(e[end - 1])) --end;
      label.assign(reinterpret_cast<const char*>(e.data()) + b, end - b);
      return true;
    }
    return false;
  });
}

}  // namespace qm
