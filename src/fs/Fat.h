#pragma once
// FAT12, FAT16 and FAT32 volumes: where the FATs, the root directory and the clusters lie,
// cluster chains, the root directory's entries as they lie on the disk, and the volume label.
// Every number comes from the disk: each is checked before it places a read, and no read
// reaches past the partition.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "disk/Outcome.h"
#include "fs/Volume.h"

namespace qm {

constexpr size_t kDirEntrySize = 32;
// The most entries a directory holds (2 MiB of them); the root walk reads no further.
constexpr uint32_t kMaxDirEntries = 65536;

// What the boot sector says about where things lie, checked against the partition. All
// offsets are bytes from the partition's first sector.
struct TFatLayout {
  uint8_t Kind = 0;  // fkFat12, fkFat16 or fkFat32
  uint32_t BytesPerSector = 0;
  uint32_t SectorsPerCluster = 0;
  uint64_t FatOffset = 0;    // the first FAT
  uint64_t FatBytes = 0;     // one FAT
  uint64_t RootOffset = 0;   // FAT12/16: the root directory
  uint32_t RootEntries = 0;  // FAT12/16
  uint64_t DataOffset = 0;   // cluster 2
  uint64_t ClusterBytes = 0;
  uint32_t ClusterCount = 0;  // clusters 2 .. ClusterCount + 1 exist
  uint32_t RootCluster = 0;   // FAT32
};

// The layout of a FAT volume. False for another kind and for a boot sector that cannot
// describe a readable volume: a sector size below 32 bytes or not a power of two, no sectors
// per cluster, no FATs, a root directory that does not lie inside the partition, a FAT32
// root cluster that is no cluster of the volume.
bool ReadFatLayout(const TFsVolume& volume, TFatLayout& layout);
// Whether `cluster` numbers a cluster of the volume (2 .. ClusterCount + 1).
bool ClusterInVolume(const TFatLayout& layout, uint32_t cluster);

// Reads `length` bytes at byte `offset` of the partition into `out`. Failed, with nothing
// read, when any of those bytes lies outside the partition or the sectors cannot be read.
Outcome ReadVolumeBytes(const TFsVolume& volume, uint64_t offset, size_t length, std::vector<uint8_t>& out);

// How the walk of a cluster chain ended: at a free entry or an end mark (0x0FFFFFF8 and
// above, in the low 28 bits), which is how a sound chain ends; or cut, the FAT naming a next
// cluster that is not followed: one beyond the limit of the walk, one the chain holds already
// (a loop), the bad-cluster mark, or a number that is no cluster of the volume.
enum class ChainEnd { Marked, Limit, Loop, BadCluster, NoCluster };

// A cluster chain through the first FAT, how it ended, and the value the FAT gave behind its
// last cluster (the next cluster a cut chain does not follow). A first cluster that is no
// cluster of the volume gives no clusters, NoCluster and that number.
struct TClusterChain {
  std::vector<uint32_t> Clusters;
  ChainEnd End = ChainEnd::NoCluster;
  uint32_t Next = 0;
  bool Ended() const { return End == ChainEnd::Marked; }
};
// Follows the FAT32 chain from `firstCluster` for at most `maxClusters` clusters. Failed only
// when a FAT sector cannot be read; the clusters before stay in `chain`.
Outcome GetClusNumChain(const TFsVolume& volume, const TFatLayout& layout, uint32_t firstCluster, size_t maxClusters,
                        TClusterChain& chain);

// The clusters that hold kMaxDirEntries entries: as far as a directory's chain is followed.
size_t DirChainLimit(const TFatLayout& layout);

// Hands the root directory to `visit` a piece at a time (FAT12/16: the whole root area, its
// first RootEntries entries; FAT32: the clusters of the root's chain, a run of consecutive
// ones at a time), at most kMaxDirEntries entries in all; `visit` returns true to stop. Failed
// when a sector cannot be read. Done with a note for the user when a FAT32 root's chain is cut
// before its end mark (it goes on past kMaxDirEntries entries, loops, or leads to a bad or
// invalid cluster): the text names the cluster where the listing stops.
Outcome ReadRootArea(const TFsVolume& volume, const TFatLayout& layout,
                     const std::function<bool(std::span<const uint8_t>)>& visit);

// The text of the root directory's volume-label entry, its padding blanks removed; empty when
// there is none.
Outcome ReadFatLabel(const TFsVolume& volume, const TFatLayout& layout, std::string& label);

}  // namespace qm
