#pragma once
// The short health report of a partition: boot sector, both FAT copies or the NTFS root
// index. Lines are separated by "\r".
#include <cstdint>
#include <string>
#include <vector>

#include "model/PhysicalDrv.h"

namespace qm {

// For a lost find the report ends with notes: the partitions of the list it overlaps (with what
// to do instead of a recovery, which refuses it), and that it lies inside a GPT disk.
void BuildCheckReport(TPhysicalDrv& drive, TPartition& partition, std::string& report);

// The row numbers (as the partition list numbers its "Partitions" group, from 1), ascending,
// of every partition in the tables that `find` collides with as recover sees it: it shares a
// sector with a partition, or straddles the bounds of the extended partition or one of its
// extended boot records (named by the logical drive held there, or by the extended partition
// when it holds none). Empty when none.
std::vector<int> OverlappedPartitionRows(const TPhysicalDrv& drive, const TPartition& find);

// The first and last usable LBA of a GPT disk, from the copy of its GUID partition table in
// use; the whole disk after sector 0 when neither copy is usable.
struct TSectorSpan {
  uint64_t First = 0, Last = 0;
};
TSectorSpan GptUsableArea(const TPhysicalDrv& drive);

// True on a GPT disk for a find that starts inside its usable area, where a partition can be
// recovered only into the GUID partition table.
bool InsideGptArea(const TPhysicalDrv& drive, const TPartition& find);

}  // namespace qm
