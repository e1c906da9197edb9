#pragma once
// The kernel's list of a disk's partitions (/dev/sdX1, ...), and how to bring it up to date
// one partition at a time when it cannot re-read the whole table: while any partition of the
// disk is mounted or held open, the kernel refuses a full re-read (EBUSY), but it still adds,
// moves and removes the partitions nobody uses.
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace qm {

struct KernelPartition {
  int Number = 0;        // 1-4 the entries of the master boot record, 5 on the logical drives
  uint64_t Start = 0;    // in 512-byte sectors
  uint64_t Sectors = 0;
  bool operator==(const KernelPartition&) const = default;
};

// The partitions the kernel makes of a disk's master boot record and chain of extended boot
// records, read sector by sector through `read` (false: unreadable). Numbering as the kernel's:
// each used entry of the master boot record keeps its slot's number; an extended partition is
// listed with two sectors; the used entries of each extended boot record are numbered on from 5.
// The chain is followed at most 256 tables and never into a table it has read.
std::vector<KernelPartition> PartitionsOfTables(const std::function<bool(uint64_t lba, uint8_t* sector)>& read);

// The partitions the kernel lists now for the block device `device` (from sysfs).
std::vector<KernelPartition> ListedPartitions(dev_t device);

// Removes, resizes and adds partitions of the open block device `fd` (BLKPG) until the
// kernel's list `now` equals `wanted`, as far as it lets itself. Returns the partitions it
// could not change, each with the errno value (EBUSY: in use).
std::vector<std::pair<int, int>> UpdatePartitions(int fd, const std::vector<KernelPartition>& now,
                                                  const std::vector<KernelPartition>& wanted);

}  // namespace qm
