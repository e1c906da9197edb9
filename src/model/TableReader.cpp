#include "model/TableReader.h"

namespace qm {

std::unique_ptr<TPhysicalDrv> CreatePhysicalDrv(uint8_t driveNumber, const TDriveGeometry& geometry) {
  return std::make_unique<TPhysicalDrv>(driveNumber, geometry);
}
void ReadPartitionTable(TPhysicalDrv&, TPartition&) {}
void InitPartitionRecord(TPhysicalDrv&, TPartition&, TPartition*, const TPartitionEntry&) {}
void FindPrimaryGaps(TPhysicalDrv&) {}
void FindLogicalGaps(TPhysicalDrv&) {}
void RereadTables(TPhysicalDrv&) {}

}  // namespace qm
