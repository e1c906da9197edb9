#pragma once
// The FAT root directory listing: the entries of a FAT12, FAT16 or FAT32 root directory worth
// showing, with their long names. Works from the volume's place and its boot sector alone, so
// lost partitions read the same as listed ones. Only the root directory is read.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "disk/Bytes.h"
#include "disk/Outcome.h"
#include "fs/Fat.h"
#include "fs/FsKind.h"

namespace qm {

// A 32-byte short directory entry, as it lies on the disk:
//   0  base name (8, space padded; 0xE5 first = deleted, 0x00 first = free)
//   8  extension (3)   11 attributes   12 case flags (0x08 base, 0x10 extension lower case)
//   14 creation time   16 creation date   20 first cluster high half (FAT32)
//   26 first cluster low half   28 file size
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

// Lists the root directory (at most its first kMaxDirEntries entries): a record for every
// entry worth showing, appended to `list`. A FAT32 root whose chain is cut (it goes on past
// kMaxDirEntries entries, loops, or leads to a bad or invalid cluster) gives what was read up
// to the cut, and is Done with a note that says where the listing stops. Failed when a sector
// cannot be read.
Outcome EnumDir(const TFsVolume& volume, const TFatLayout& layout, TMidEntryList& list);

}  // namespace qm
