#pragma once
// The FAT root directory reader: lists the root directory of a FAT12, FAT16 or FAT32
// partition straight from the disk (list mode), or finds its volume label (label mode). Works
// from the partition record and its boot-sector copy alone, so lost partitions read the same
// as listed ones. Only the root directory is read.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "disk/Bytes.h"
#include "model/PhysicalDrv.h"

namespace qm {

// A 32-byte short directory entry, as it lies on the disk:
//   0  base name (8, space padded; 0xE5 first = deleted, 0x00 first = free)
//   8  extension (3)   11 attributes   12 case flags (0x08 base, 0x10 extension lower case)
//   14 creation time   16 creation date   20 first cluster high half (FAT32)
//   26 first cluster low half   28 file size
constexpr size_t kDirEntrySize = 32;
using TRawDirEntry = std::array<uint8_t, kDirEntrySize>;
static_assert(sizeof(TRawDirEntry) == kDirEntrySize);

constexpr uint8_t kAttrVolumeLabel = 0x08;
constexpr uint8_t kAttrDirectory = 0x10;
constexpr uint8_t kAttrLongName = 0x0F;
constexpr uint8_t kDeletedMark = 0xE5;
constexpr uint8_t kCaseLowerBase = 0x08;
constexpr uint8_t kCaseLowerExt = 0x10;

inline uint8_t EntryAttributes(const TRawDirEntry& e) { return e[11]; }
inline uint8_t EntryCaseFlags(const TRawDirEntry& e) { return e[12]; }
inline uint16_t EntryCreationTime(const TRawDirEntry& e) { return LoadLE<uint16_t>(&e[14]); }
inline uint16_t EntryCreationDate(const TRawDirEntry& e) { return LoadLE<uint16_t>(&e[16]); }
inline uint32_t EntryFileSize(const TRawDirEntry& e) { return LoadLE<uint32_t>(&e[28]); }
inline uint32_t EntryFirstCluster(const TRawDirEntry& e) {
  return static_cast<uint32_t>(LoadLE<uint16_t>(&e[20])) << 16 | LoadLE<uint16_t>(&e[26]);
}
// The base name and the extension with their padding blanks removed.
std::string EntryBaseName(const TRawDirEntry& e);
std::string EntryExtension(const TRawDirEntry& e);

// One listed root-directory entry. FAT12/16 volumes give TMidEntry records, FAT32 volumes
// TMidEntry32; both have one layout.
struct TMidEntry {
  TRawDirEntry RawEntry{};  // as read, except that the name may be rewritten in lower case
  std::string LongName;     // UTF-8; empty when the entry has no long name
  uint32_t DirCluster = 0;  // 0 for a FAT12/16 root, the root cluster on FAT32
  uint8_t Deleted = 0;      // 1 when the first name byte is 0xE5
  TMidEntry* ParentEntry = nullptr;  // always none: only root entries are read
};
struct TMidEntry32 : TMidEntry {};
static_assert(offsetof(TMidEntry, RawEntry) == 0);
static_assert(sizeof(TMidEntry32) == sizeof(TMidEntry));

using TMidEntryList = std::vector<std::unique_ptr<TMidEntry>>;

// True when attribute bit 0x10 (directory) is clear.
bool IsFileEntry(const TMidEntry& entry);

// The sort order of a finished list: by DirCluster, then by the lower-case base name followed
// by "." and the extension, byte by byte. Negative, 0 or positive.
int CompareMidEntries(const TMidEntry& a, const TMidEntry& b);
void SortMidEntries(TMidEntryList& list);

// The long-name assembler's state between entries of one directory.
struct TLongNameState {
  std::u16string Name;  // the characters gathered so far, in name order
  int Checksum = -1;    // the checksum byte of the run, -1 outside a run
  int NextSequence = 0; // the sequence number the next part must carry; 0 after the last part
  bool Broken = false;  // a part came out of order: the run names nothing
};

// Feeds one entry to the long-name assembler. 0: not a long-name entry (the state is left
// as it is, for the short entry that ends the run; the caller resets it then); 1: a long-name entry that starts a new run; 2: one that
// continues the run.
int CollectLongName(const TRawDirEntry& entry, TLongNameState& state);

// The checksum a long name's parts carry for the short entry they belong to.
uint8_t ShortNameChecksum(const TRawDirEntry& entry);

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

// Reads the layout from the partition's boot-sector copy. False for a boot sector that
// cannot describe a readable volume: a sector size below 32 bytes or not a power of two, no
// sectors per cluster, no FATs, a root directory that does not lie inside the partition, a
// FAT32 root cluster that is no cluster of the volume.
bool ReadFatLayout(const TPartition& partition, TFatLayout& layout);
// Whether `cluster` numbers a cluster of the volume (2 .. ClusterCount + 1).
bool ClusterInVolume(const TFatLayout& layout, uint32_t cluster);

// Follows a FAT32 cluster chain through the first FAT from `firstCluster`. The chain holds at
// most 512 clusters and never more than the volume has; it ends at a free entry, an end mark
// (0x0FFFFFF8 and above, in the low 28 bits), a bad-cluster mark, or a number that is no
// cluster of the volume. True when it ended at a free entry or an end mark; false when it was
// cut, looped back, pointed outside the volume or a FAT sector could not be read.
bool GetClusNumChain(TPhysicalDrv& drive, const TPartition& partition, const TFatLayout& layout,
                     uint32_t firstCluster, std::vector<uint32_t>& chain);
constexpr size_t kMaxChainClusters = 512;
// The most entries a directory holds (2 MiB of them); the root walk reads no further.
constexpr uint32_t kMaxDirEntries = 65536;

// Reads the root directory, at most its first kMaxDirEntries entries. List mode (`list`
// given): appends a record for every entry worth showing. Label mode (`list` null): stops at the first volume-label entry and puts its text,
// trimmed, into `label`. True when the walk ended normally or a label was found; false when
// the boot sector describes no readable volume, a directory read failed, the root chain was
// empty or an error was reported ("EnumDir").
bool EnumDir(TPhysicalDrv& drive, const TPartition& partition, TMidEntryList* list, std::string* label);

// The FAT volume label as the partition list shows it: true and `label` set when the root
// directory holds a label entry. Holds the drive busy while it reads.
bool ReadFatVolumeLabel(TPhysicalDrv& drive, TPartition& partition, std::string& label);

// Lets ReadVolumeLabel read FAT labels through this reader. Called once at start-up.
void InstallFatLabelReader();

}  // namespace qm
