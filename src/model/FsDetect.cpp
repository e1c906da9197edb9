#include "model/FsDetect.h"

#include "disk/Disk.h"
#include "fs/Fat.h"
#include "fs/NtfsRecord.h"
#include "model/Text.h"

namespace qm {

uint8_t VolumeTypeCode(uint8_t fsKind) {
  switch (fsKind) {
    case fkFat12: return 0x01;
    case fkFat16: return 0x06;
    case fkFat32: return 0x0B;
    case fkNtfs:
    case fkHpfs: return 0x07;
    default: return 0;
  }
}

TFsVolume PartitionVolume(const TPhysicalDrv& drive, const TPartition& partition, SectorReader& disk) {
  const uint32_t total = drive.Geometry.TotalSectors;
  const uint64_t diskSectors = total < 0xFFFFFFFFu ? uint64_t{total} : UINT64_MAX / kSectorSize;
  return MakeVolume(disk, partition.AbsoluteStart(), partition.Entry.TotalSectors, diskSectors, partition.BootSector,
                    partition.FsKind);
}

void ReadVolumeLabel(const TPhysicalDrv& drive, TPartition& partition) {
  // The boot sector was read when the record was made; only what it points to is read here.
  SectorReader& disk = drive.Io();
  const TFsVolume volume = PartitionVolume(drive, partition, disk);
  if (IsFatKind(partition.FsKind)) {
    TFatLayout layout;
    std::string label;
    if (ReadFatLayout(volume, layout) && ReadFatLabel(volume, layout, label).ok() && !label.empty())
      partition.VolumeLabel = TrimBlanks(label);
  } else if (partition.FsKind == fkNtfs) {
    const std::vector<uint8_t> name = ReadNtfsLabel(volume);
    if (!name.empty()) partition.VolumeLabel = Utf16LeToUtf8(name);
  }
}

}  // namespace qm
