#include "model/FsDetect.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "disk/Disk.h"
#include "disk/Machine.h"
#include "fs/LinuxFs.h"
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
    case fkHpfs:
    case fkExfat: return 0x07;
    case fkExt2:
    case fkExt3:
    case fkExt4:
    case fkBtrfs:
    case fkXfs: return kTypeLinux;
    case fkSwap: return kTypeLinuxSwap;
    default: return 0;
  }
}

namespace {

// The identity as the system writes it: a UUID in its usual form, the serial of exFAT as two
// groups of four hexadecimal digits.
std::string IdentityText(uint8_t kind, const std::array<uint8_t, 16>& id) {
  char text[40];
  if (kind == fkExfat) {
    std::snprintf(text, sizeof text, "%02X%02X-%02X%02X", id[3], id[2], id[1], id[0]);
    return text;
  }
  std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", id[0], id[1],
                id[2], id[3], id[4], id[5], id[6], id[7], id[8], id[9], id[10], id[11], id[12], id[13], id[14], id[15]);
  return text;
}

bool SameFamily(const std::string& probed, uint8_t kind) {
  switch (kind) {
    case fkExt2:
    case fkExt3:
    case fkExt4: return probed.rfind("ext", 0) == 0;
    case fkExfat: return probed == "exfat";
    case fkBtrfs: return probed == "btrfs";
    case fkXfs: return probed == "xfs";
    case fkSwap: return probed == "swap";
    default: return false;
  }
}

}  // namespace

std::optional<TRecognisedVolume> RecogniseSuperblockCopy(const TPhysicalDrv& drive, Lba at, const TSuperblockHint& hint) {
  const uint64_t diskBlocks = std::max<uint64_t>(drive.Geometry.TotalSectors, drive.DiskSectors);
  const std::optional<TSuperblockVolume> copy = ReadSuperblockCopy(drive.Io(), at, hint, diskBlocks);
  if (!copy) return std::nullopt;
  return TRecognisedVolume{copy->Kind, copy->Blocks, TrimBlanks(copy->Label), IdentityText(copy->Kind, copy->Identity)};
}

std::optional<TRecognisedVolume> RecogniseSuperblockVolume(const TPhysicalDrv& drive, Lba start) {
  const uint64_t diskBlocks = std::max<uint64_t>(drive.Geometry.TotalSectors, drive.DiskSectors);
  const std::optional<TSuperblockVolume> own = ReadSuperblockVolume(drive.Io(), start, diskBlocks);
  if (!own) return std::nullopt;
  TRecognisedVolume volume{own->Kind, own->Blocks, TrimBlanks(own->Label), IdentityText(own->Kind, own->Identity)};
  ProbedVolume probe;
  if (!drive.Io().Path().empty() &&
      ProbeVolumeAt(drive.Io().Path(), start * kSectorSize, own->Blocks * kSectorSize, probe)) {
    if (!SameFamily(probe.type, own->Kind)) return std::nullopt;
    if (!probe.label.empty()) volume.Label = probe.label;
    if (!probe.uuid.empty()) volume.Uuid = probe.uuid;
  }
  return volume;
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
