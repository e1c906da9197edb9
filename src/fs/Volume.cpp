#include "fs/Volume.h"

#include <array>
#include <cerrno>
#include <cstring>

#include "disk/Bytes.h"
#include "disk/Disk.h"
#include "fs/FsKind.h"

namespace qm {

TFsVolume MakeVolume(SectorReader& disk, Lba start, uint64_t sectors, uint64_t diskSectors,
                     std::span<const uint8_t, 512> boot, uint8_t kind) {
  TFsVolume v;
  v.Disk = &disk;
  v.Start = start;
  v.Sectors = sectors;
  v.DiskSectors = diskSectors;
  v.Kind = kind;
  v.Bpb = DecodeBpb(boot, kind);
  return v;
}

WideLba VolumeSectorLba(const TFsVolume& volume, uint64_t sector) {
  return WideLba{volume.Start} + WideLba{sector} * volume.Bpb.BlocksPerSector();
}

uint64_t ClusterBlocks(const TFsVolume& volume) {
  return uint64_t{volume.Bpb.SectorsPerCluster} * volume.Bpb.BlocksPerSector();
}

Outcome ReadDiskSectors(const TFsVolume& volume, WideLba lba, uint64_t count, uint8_t* buffer) {
  if (count == 0 || count > 0xFFFFFFFFu || lba >= volume.DiskSectors || count > volume.DiskSectors - lba) {
    const Lba at = lba > UINT64_MAX ? UINT64_MAX : static_cast<Lba>(lba);
    // Told as the sector layer tells a read past the end of a device.
    return Outcome::Failed("Error:" + SystemErrorText(ENXIO) + "\rLBA:" + std::to_string(at) +
                               "  Blocks:" + std::to_string(count),
                           "Read Error", ENXIO, at, MsgIcon::Warning);
  }
  return volume.Disk->Read(static_cast<Lba>(lba), static_cast<uint32_t>(count), buffer);
}

bool FileSystemConfirmed(const TFsVolume& volume) {
  std::array<uint8_t, 512> sector{};
  const TBpb& bpb = volume.Bpb;
  if (volume.Kind == fkFat32) {
    // Entry 0 of the FAT holds the media descriptor in its low byte, all other bits set.
    if (bpb.ReservedSectors == 0 || bpb.Media < 0xF0) return false;
    if (!ReadDiskSectors(volume, VolumeSectorLba(volume, bpb.ReservedSectors), 1, sector.data())) return false;
    return (GetU32(sector, 0) & 0x0FFFFFFFu) == (0x0FFFFF00u | bpb.Media);
  }
  if (volume.Kind == fkNtfs) {
    const uint64_t perCluster = ClusterBlocks(volume);
    const WideLba mft = WideLba{bpb.MftCluster} * perCluster + volume.Start;
    if (perCluster == 0 || !ReadDiskSectors(volume, mft, 1, sector.data())) return false;
    return std::memcmp(sector.data(), "FILE", 4) == 0;
  }
  return false;
}

}  // namespace qm
