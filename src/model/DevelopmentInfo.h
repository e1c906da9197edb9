#pragma once
// The read-outs of the development box: the CHS address of a sector, every partition's first
// and last sector in CHS as its table entry holds them beside what the geometry gives, and the
// records that share a partition's parent.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "model/PhysicalDrv.h"

namespace qm {

// A number that tells records apart, shown in the debug columns and the development box.
uint32_t RecordIdentity(const TPartition* record);

// "c=$400 h=$0 s=$1 sectcylin=$ffc1": cylinder, head, sector and packed word of `lba` as the
// first sector of a partition would have them. False when `text` (blanks around it allowed)
// is no decimal sector number.
bool Lba2ChsLine(const TDriveGeometry& geometry, std::string_view text, std::string& line);

// Five lines and an empty one per record after Root that is no gap:
//   $<identity> - <first sector> - $<type>
//   read: <start head>-<start sec/cyl>; calc: <head>-<sec/cyl>
//   c: <cylinder>, h: <head>, s: <sector>
// and the same two for the last sector against the end fields.
std::vector<std::string> AllPartitionsLines(const TPhysicalDrv& drive);

// Two lines per record of the partition's parent ("$<identity>", "<first> - <last>"); none for
// a record without parent.
std::vector<std::string> SiblingLines(const TPartition& partition);

}  // namespace qm
