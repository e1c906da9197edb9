#include "model/Enumeration.h"

#include <algorithm>
#include <cstdio>

#include "disk/Machine.h"
#include "disk/Disk.h"
#include "model/TableReader.h"
#include "model/Text.h"

namespace qm {
// --- TPhysicalDrives -------------------------------------------------------------------

std::unique_ptr<TPhysicalDrives> CreatePhysicalDrives(std::vector<std::unique_ptr<Disk>> disks, bool listVolumes,
                                                      DriveBuilder build) {
  if (!build) build = CreatePhysicalDrv;
  auto drives = std::make_unique<TPhysicalDrives>();
  // A disk whose geometry is silent is passed over; the others keep their numbers.
  for (std::unique_ptr<Disk>& disk : disks) {
    TDriveGeometry geometry;
    if (disk && disk->QueryGeometry(geometry)) drives->Drives.push_back(build(std::move(disk), geometry));
  }
  if (listVolumes) drives->LogicalDrives = ListLogicalDrives();
  return drives;
}

// --- The system's volumes --------------------------------------------------------------

std::string VolumeSizeText(uint64_t totalBytes) {
  double mib = static_cast<double>(totalBytes) / 1048576.0;
  char text[64];
  if (mib >= 1000.0)
    std::snprintf(text, sizeof text, "%.2f GB", mib / 1024.0);
  else
    std::snprintf(text, sizeof text, "%.2f MB", mib);
  return text;
}

void FillLogiDrive(TLogiDrive& drive, uint64_t totalBytes, const std::string& label, const std::string& fileSystem) {
  drive.TotalBytes = totalBytes;
  drive.SizeText = VolumeSizeText(totalBytes);
  drive.VolumeLabel = TrimBlanks(label).empty() ? "No Name" : label;
  drive.FileSystem = TrimBlanks(fileSystem);
}

std::string SystemFileSystemName(const std::string& type, const std::string& version) {
  // libblkid calls every FAT volume "vfat" and tells the width of its table in VERSION
  // ("FAT12", "FAT16", "FAT32"). The names the clone compares are those of the partition type
  // codes: "FAT" covers the 12- and 16-bit tables, "FAT32" the 32-bit one. A vfat volume of
  // unknown width stays "vfat" and so matches no source. "ntfs" is NTFS; libblkid's other
  // names (ext4, xfs, exfat, swap ...) match no lost partition and stay as they are.
  if (type == "vfat") {
    if (version == "FAT12" || version == "FAT16") return "FAT";
    if (version == "FAT32") return "FAT32";
    return type;
  }
  if (type == "ntfs") return "NTFS";
  return type;
}

std::unique_ptr<TLogiDrive> MakeLogiDrive(const BlockVolume& found) {
  auto volume = std::make_unique<TLogiDrive>();
  volume->Root = found.path;
  volume->DriveType = found.removable ? 2 : 3;
  FillLogiDrive(*volume, found.bytes, found.label, SystemFileSystemName(found.fileSystem, found.version));
  return volume;
}

std::vector<std::unique_ptr<TLogiDrive>> ListLogicalDrives(const std::string& sysClassBlockDir, const std::string& devDir) {
  std::vector<std::unique_ptr<TLogiDrive>> volumes;
  for (const BlockVolume& found : ListBlockVolumes(sysClassBlockDir, devDir)) volumes.push_back(MakeLogiDrive(found));
  return volumes;
}

// --- Volume names of partitions --------------------------------------------------------

void MapDriveLetter(TPhysicalDrv& drive, TPartition& partition) {
  partition.DriveLetter.clear();
  uint8_t type = partition.Entry.SystemId;
  if (type == kTypeEmpty || IsExtendedType(type)) return;
  partition.DriveLetter = PartitionDeviceAt(drive.Io(), partition.AbsoluteStart());
}

}  // namespace qm
