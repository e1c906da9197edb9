#pragma once
// Reads inside one partition, for the directory readers.
#include <cstdint>
#include <vector>

#include "model/PhysicalDrv.h"

namespace qm {

// Reads `length` bytes at byte `offset` of the partition into `out`. False, with nothing
// read, when any of those bytes lies outside the partition or the sectors cannot be read.
bool ReadPartitionBytes(TPhysicalDrv& drive, const TPartition& partition, uint64_t offset, size_t length,
                        std::vector<uint8_t>& out);

}  // namespace qm
