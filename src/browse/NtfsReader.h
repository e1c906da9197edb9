#pragma once
// The root directory of an NTFS volume, read straight from the disk: the root's MFT record
// (record 5), its index root and index allocation, and every index block of the allocation in
// disk order. Works from nothing but the partition record and its boot sector, so lost
// volumes list as well as table entries.
#include <cstdint>
#include <string>
#include <vector>

#include "model/NtfsRunList.h"
#include "model/PhysicalDrv.h"

namespace qm {

constexpr uint32_t kAttrIndexAllocation = 0xA0;
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

// Reads the index block at `block.Lcn` (`block.Clusters` clusters) and appends its entries to
// `list`, leaving out DOS-only names. A block that is not an "INDX" record or whose update
// sequence does not match in every sector is reported ("Invalid root directory.") and adds
// nothing; a block whose entries break off (an entry of length 0, an entry or name reaching
// past its entry or the block) keeps the entries before the break and is reported the same
// way. False then, and when the block lies outside the volume's disk or cannot be read.
bool GetFileFromRun(const TPhysicalDrv& drive, const TPartition& partition, const TRun& block,
                    std::vector<TntFile>& list);

// Appends the root directory of the NTFS volume of `partition` to `list`: the entries kept in
// the index root, then those of every index block of the allocation, in run order. False,
// with nothing listed, when the root record fails its update sequence test or lies past the
// disk, when it has no usable index root (missing, or a clusters-per-block value that is 0 or
// negative), when it has no index allocation, or when the run list cannot be decoded. Blocks
// of a run that lie outside the disk are not read; the run is reported once. At most
// kMaxIndexBlocks blocks are read, and invalid blocks are reported once per listing.
bool GetNTFSFileList(TPhysicalDrv& drive, const TPartition& partition, std::vector<TntFile>& list);

}  // namespace qm
