#pragma once
// Recognising the file system in a boot sector, the volume a partition record holds, and
// volume labels.
#include <cstdint>
#include <optional>
#include <string>

#include "disk/SectorReader.h"
#include "fs/Bpb.h"
#include "fs/LinuxFs.h"
#include "fs/Volume.h"
#include "model/PhysicalDrv.h"

namespace qm {

// The partition type code for a volume of kind `fsKind` (0x01, 0x06, 0x0B, 0x07), or 0.
uint8_t VolumeTypeCode(uint8_t fsKind);

// The volume of `partition`, its sectors read through `disk`. A disk whose size is at the
// 32-bit cap is "at least this large": reads past the cap are left to the sector layer.
TFsVolume PartitionVolume(const TPhysicalDrv& drive, const TPartition& partition, SectorReader& disk);

// A volume recognised by its superblock (ext2/3/4, exFAT, btrfs, XFS, Linux swap).
struct TRecognisedVolume {
  uint8_t Kind = 0;
  uint64_t Blocks = 0;  // its size in 512-byte blocks, as its own superblock counts it
  std::string Label, Uuid;
};

// The volume whose superblock lies at the start of block `start`, or none. libblkid, probing
// the disk's source at that offset, confirms the kind and gives the label and UUID as the
// system shows them; where the source cannot be probed (it is no file), the superblock's own
// fields stand.
std::optional<TRecognisedVolume> RecogniseSuperblockVolume(const TPhysicalDrv& drive, Lba start);

// The volume a backup superblock at block `at` describes (see ReadSuperblockCopy), for a
// volume whose primary superblock is gone; libblkid cannot confirm it there.
std::optional<TRecognisedVolume> RecogniseSuperblockCopy(const TPhysicalDrv& drive, Lba at, const TSuperblockHint& hint);

// Fills `partition.VolumeLabel` from the file system, starting from the boot sector kept in
// the record: the label entry of a FAT root directory, the volume name of NTFS. Leaves it
// unchanged when no label is found or the sectors cannot be read.
void ReadVolumeLabel(const TPhysicalDrv& drive, TPartition& partition);

}  // namespace qm
