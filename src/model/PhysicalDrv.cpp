#include "model/PhysicalDrv.h"

#include <algorithm>

#include "disk/Disk.h"
#include "fs/LinuxFs.h"

namespace qm {

const char* FsKindName(uint8_t kind) {
  switch (kind) {
    case fkFat12: return "FAT12";
    case fkFat16: return "FAT16";
    case fkFat32: return "FAT32";
    case fkNtfs: return "NTFS";
    case fkHpfs: return "HPFS";
    case fkLinuxSwap: return "Linux Swap";
    case fkLinuxExt2: return "Linux Ext2";
    case fkExtended: return "---";
    case fkExt2:
    case fkExt3:
    case fkExt4:
    case fkExfat:
    case fkBtrfs:
    case fkXfs:
    case fkSwap: return SuperblockKindName(kind);
    default: return "Unknown";
  }
}

int ComparePartitionStart(const TPartition* a, const TPartition* b) {
  uint64_t x = a->AbsoluteStart(), y = b->AbsoluteStart();
  return x < y ? -1 : (x > y ? 1 : 0);
}

void SortByStart(std::vector<TPartition*>& list) {
  std::stable_sort(list.begin(), list.end(),
                   [](const TPartition* a, const TPartition* b) { return ComparePartitionStart(a, b) < 0; });
}

TPhysicalDrv::TPhysicalDrv(std::unique_ptr<Disk> disk, const TDriveGeometry& geometry)
    : DriveNumber(disk->Number()), Geometry(geometry), disk_(std::move(disk)) {
  Root.Entry.SystemId = kTypeExtended;
  Root.Entry.TotalSectors = geometry.TotalSectors;
  AllPartitions.push_back(&Root);
  DiskSectors = WholeDiskSectors(*disk_, geometry);
}

TPhysicalDrv::TPhysicalDrv(uint8_t driveNumber, const TDriveGeometry& geometry)
    : TPhysicalDrv(std::make_unique<Disk>(nullptr, driveNumber), geometry) {}

TPhysicalDrv::~TPhysicalDrv() {
  // The records go before the disk: nothing reads through a record while the drive goes.
  FreeTableRecords();
}

TPartition* TPhysicalDrv::AdoptRecord(std::unique_ptr<TPartition> record) {
  TPartition* raw = record.get();
  owned_.push_back(std::move(record));
  AllPartitions.push_back(raw);
  return raw;
}

void TPhysicalDrv::FreeTableRecords() {
  AllPartitions.assign(1, &Root);
  Root.Children.clear();
  DirtyTables.clear();
  while (!owned_.empty()) owned_.pop_back();  // last to first
}

uint64_t AddressableBlocks(const TPhysicalDrv& drive) {
  return std::min<uint64_t>(std::max<uint64_t>(drive.Geometry.TotalSectors, drive.DiskSectors), uint64_t{1} << 32);
}

uint64_t SectorOfBlock(const TPhysicalDrv& drive, Lba block) { return block / BlocksPerSector(drive.Geometry); }

std::optional<Lba> BlockOfSector(const TPhysicalDrv& drive, uint64_t sector) {
  const uint64_t blocks = BlocksPerSector(drive.Geometry);
  if (sector > UINT64_MAX / blocks) return std::nullopt;
  return sector * blocks;
}

bool IsNestedExtended(const TPhysicalDrv& drive, const TPartition& record) {
  return record.IsExtended() && &record != &drive.Root && record.Parent != &drive.Root;
}

TPhysicalDrv* TPhysicalDrives::FindDrive(uint8_t driveNumber) const {
  for (const auto& d : Drives)
    if (d->DriveNumber == driveNumber) return d.get();
  return nullptr;
}

}  // namespace qm
