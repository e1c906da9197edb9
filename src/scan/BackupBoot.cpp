#include "scan/BackupBoot.h"

#include <cstring>

#include "disk/Disk.h"
#include "model/FsDetect.h"
#include "scan/Scanner.h"

namespace qm {
namespace {

bool ReadQuietly(const TPhysicalDrv& drive, uint64_t lba, TSector& sector) {
  if (lba >= drive.Geometry.TotalSectors) return false;
  return drive.Io().ReadSectors(lba, 1, sector.data(), false, true);
}

}  // namespace

bool FileSystemConfirmedAt(const TPhysicalDrv& drive, std::span<const uint8_t, 512> boot, uint8_t kind, uint64_t start) {
  TSector sector{};
  if (kind == fkFat32) {
    // Entry 0 of the FAT holds the media descriptor in its low byte, all other bits set.
    const uint16_t reserved = GetU16(boot, 0x0E);
    const uint8_t media = boot[0x15];
    if (reserved == 0 || media < 0xF0) return false;
    if (!ReadQuietly(drive, start + reserved, sector)) return false;
    return (GetU32(sector, 0) & 0x0FFFFFFFu) == (0x0FFFFF00u | media);
  }
  if (kind == fkNtfs) {
    const uint64_t perCluster = boot[0x0D];
    const uint64_t mftCluster = GetU64(boot, 0x30);
    const uint64_t disk = drive.Geometry.TotalSectors;
    if (perCluster == 0 || start >= disk || mftCluster > (disk - start) / perCluster) return false;
    if (!ReadQuietly(drive, start + perCluster * mftCluster, sector)) return false;
    return std::memcmp(sector.data(), "FILE", 4) == 0;
  }
  return false;
}

std::optional<uint64_t> BackupVolumeStart(std::span<const uint8_t, 512> boot, uint8_t kind, uint64_t lba) {
  uint64_t distance = 0;
  if (kind == fkFat32) {
    distance = GetU16(boot, 0x32);
    if (distance == 0xFFFF) return std::nullopt;
  } else if (kind == fkNtfs) {
    distance = GetU64(boot, 0x28);
  } else {
    return std::nullopt;
  }
  if (distance == 0 || distance > lba) return std::nullopt;
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
  if (drive.Io().ReadSectors(*start, 1, find.Primary.data(), false, true)) {
    const bool signature = GetU16(find.Primary, 510) == 0xAA55;
    find.PrimaryIntact = signature && DetectFsKind(find.Primary) == kind &&
                         GetVolumeSerial(find.Primary, kind) == GetVolumeSerial(sector, kind);
  }
  return find;
}

}  // namespace qm
