#pragma once
// What a dry run shows of a sector it would change.
#include <cstdint>
#include <string>
#include <vector>

#include "disk/DryRunSource.h"

namespace qm {

// The changed bytes of sector `lba`, sixteen at most a line, in hexadecimal:
//   sector LBA offset 0xOFF: OLD -> NEW
// then, when the sector is a partition table (it ends in 55 AA before or after), each table
// entry that changes, decoded:
//   sector LBA entry N: OLD -> NEW
// where an entry reads "empty" or "type 06, relative start 2048, 10240 sectors[, active]".
// No lines when nothing changes.
std::vector<std::string> DescribeSectorChange(uint64_t lba, const SectorBytes& before, const SectorBytes& after);

}  // namespace qm
