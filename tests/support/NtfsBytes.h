#pragma once
// A small NTFS volume made by hand, for the damaged cases no tool makes: a boot sector, the
// root directory's MFT record (index root with its own entries, index allocation with a run
// list) and the INDX blocks the runs point to, each with a working update sequence.
#include <cstdint>
#include <string>
#include <vector>

namespace qm::test {

struct NtName {
  std::string name;        // ASCII
  uint8_t nameSpace = 1;   // Win32
  uint64_t size = 0;
  uint32_t fileFlags = 0;  // 0x10000000 for a directory
};

// One file-name index entry; an empty list of names makes no entries.
std::vector<uint8_t> NtIndexEntry(const NtName& n);

struct NtfsLayout {
  uint64_t start = 64;      // first sector of the volume
  uint8_t sectorsPerCluster = 2;
  uint64_t mftCluster = 4;  // root record at start + 8 + 10
  uint8_t clustersPerBlock = 2;
  std::vector<NtName> rootEntries;                // kept in the index root itself
  std::vector<uint8_t> runList;                   // the allocation's mapping pairs
  std::vector<std::pair<int64_t, std::vector<NtName>>> blocks;  // cluster and entries of each block

  uint64_t RootRecordOffset() const;                // byte offset in the disk
  uint64_t BlockOffset(int64_t cluster) const;      // byte offset in the disk
  uint64_t BlockBytes() const { return uint64_t{clustersPerBlock} * sectorsPerCluster * 512; }
};

// Writes the volume into `disk` (which must be large enough).
void WriteNtfsVolume(std::vector<uint8_t>& disk, const NtfsLayout& layout);

// The byte offset, inside the root record, of the first attribute of type `type`.
size_t NtAttributeOffset(const std::vector<uint8_t>& disk, const NtfsLayout& layout, uint32_t type);

}  // namespace qm::test
