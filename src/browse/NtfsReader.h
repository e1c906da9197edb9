#pragma once
// The root directory of an NTFS volume, read straight from the disk: the root's MFT record
// (record 5), its index root and index allocation, and every index block of the allocation in
// disk order. Works from nothing but the volume's place and its boot sector, so lost volumes
// list as well as table entries.
#include <cstdint>
#include <string>
#include <vector>

#include "disk/Outcome.h"
#include "fs/Volume.h"

namespace qm {

// The fixed part of a file-name index entry: the 16-byte entry header and the file-name key up
// to its name.
constexpr size_t kNtEntryFixedSize = 82;
// The most index blocks a root listing reads: 64 MiB of the usual 4 KiB blocks, room for
// hundreds of thousands of names. A run list that claims more is damaged.
constexpr uint32_t kMaxIndexBlocks = 16384;

// One index entry of the root directory: the fields as they lie in the entry, then the name.
struct TntFile {
  uint64_t FileReference = 0;  // record number in the low 48 bits, sequence number above
  uint16_t EntryLength = 0;
  uint16_t KeyLength = 0;
  uint32_t EntryFlags = 0;
  uint64_t ParentReference = 0;
  uint64_t CreationTime = 0;  // file times: 100 ns units since 1601, UTC
  uint64_t ModificationTime = 0;
  uint64_t MftChangeTime = 0;
  uint64_t AccessTime = 0;
  uint64_t AllocatedSize = 0;
  uint64_t RealSize = 0;
  uint32_t FileFlags = 0;  // 0x10000000 marks a directory
  uint32_t ReparseValue = 0;
  uint8_t NameLength = 0;  // UTF-16 characters
  uint8_t NameSpace = 0;   // 0 POSIX, 1 Win32, 2 DOS, 3 Win32 and DOS
  std::string Name;        // UTF-8, trimmed of blanks and control characters
};

// Appends the root directory of the NTFS `volume` to `list`: the entries kept in the index
// root, then those of every index block of the allocation, in run order, leaving out DOS-only
// names. Failed, with nothing listed, when the root record lies past the disk, cannot be read
// or fails its update sequence test ("Fixup error. Invalid root of B+ Tree."), when it has no
// usable index root (missing, or a clusters-per-block value that is 0 or negative) or no index
// allocation, and when a sector cannot be read. Done with a message, the first one met, when
// part of the root could not be listed: a block that is not an "INDX" record, fails its
// update sequence or whose entries break off ("GetFileFromRun"), a run whose blocks lie
// outside the disk, more than kMaxIndexBlocks blocks ("GetNTFSFileList").
Outcome GetNTFSFileList(const TFsVolume& volume, std::vector<TntFile>& list);

}  // namespace qm
