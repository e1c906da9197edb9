#include "scan/BackupBoot.h"

#include "disk/Disk.h"
#include "fs/Volume.h"
#include "model/FsDetect.h"
#include "scan/Scanner.h"

namespace qm {

bool FileSystemConfirmedAt(const TPhysicalDrv& drive, std::span<const uint8_t, 512> boot, uint8_t kind, uint64_t start) {
  SectorReader& disk = drive.Io();
  return FileSystemConfirmed(MakeVolume(disk, start, 0, drive.Geometry.TotalSectors, boot, kind));
}

std::optional<uint64_t> BackupVolumeStart(std::span<const uint8_t, 512> boot, uint8_t kind, uint64_t lba) {
  const TBpb bpb = DecodeBpb(boot, kind);
  uint64_t distance = 0;
  if (kind == fkFat32) {
    distance = bpb.BackupBootSector;
    if (distance == 0xFFFF) return std::nullopt;
  } else if (kind == fkNtfs) {
    distance = bpb.NtfsTotalSectors;
  } else {
    return std::nullopt;
  }
  // In 512-byte blocks; a count from a damaged sector must not wrap on the way.
  const uint64_t blocks = bpb.BlocksPerSector();
  if (distance == 0 || distance > lba / blocks) return std::nullopt;
  distance *= blocks;
  return lba - distance;
}

std::optional<TBackupFind> RecogniseBackup(const TPhysicalDrv& drive, std::span<const uint8_t, 512> sector,
                                           uint8_t kind, uint64_t lba) {
  const std::optional<uint64_t> start = BackupVolumeStart(sector, kind, lba);
  if (!start) return std::nullopt;
  // A boot sector whose own volume is found behind it is a primary, whatever lies in front.
  if (FileSystemConfirmedAt(drive, sector, kind, lba)) return std::nullopt;
  if (!FileSystemConfirmedAt(drive, sector, kind, *start)) return std::nullopt;

  TBackupFind find;
  find.Start = *start;
  SectorReader& disk = drive.Io();
  if (disk.Read(*start, 1, find.Primary.data())) {
    const bool signature = GetU16(find.Primary, 510) == 0xAA55;
    find.PrimaryIntact = signature && DetectFsKind(find.Primary) == kind &&
                         GetVolumeSerial(find.Primary, kind) == GetVolumeSerial(sector, kind);
  }
  if (!find.PrimaryIntact) find.Primary = {};
  return find;
}

}  // namespace qm
