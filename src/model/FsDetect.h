#pragma once
// Recognising the file system in a boot sector, the volume a partition record holds, and
// volume labels.
#include <cstdint>

#include "disk/SectorReader.h"
#include "fs/Bpb.h"
#include "fs/Volume.h"
#include "model/PhysicalDrv.h"

namespace qm {

// The partition type code for a volume of kind `fsKind` (0x01, 0x06, 0x0B, 0x07), or 0.
uint8_t VolumeTypeCode(uint8_t fsKind);

// The volume of `partition`, its sectors read through `disk`. A disk whose size is at the
// 32-bit cap is "at least this large": reads past the cap are left to the sector layer.
TFsVolume PartitionVolume(const TPhysicalDrv& drive, const TPartition& partition, SectorReader& disk);

// Fills `partition.VolumeLabel` from the file system, starting from the boot sector kept in
// the record: the label entry of a FAT root directory, the volume name of NTFS. Leaves it
// unchanged when no label is found or the sectors cannot be read.
void ReadVolumeLabel(const TPhysicalDrv& drive, TPartition& partition);

}  // namespace qm
