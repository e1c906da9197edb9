#pragma once
// The machine's drives and volumes: which sources become drives, the list of the system's
// volumes, and the system's name of the volume behind each partition.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "disk/Machine.h"
#include "model/PhysicalDrv.h"

namespace qm {

// --- TPhysicalDrives -------------------------------------------------------------------

// Builds the drive list from the disks: every disk whose geometry answers becomes a drive
// that owns it, made by `build` (by default its tables read and volumes named; the scanner's
// OpenDrive also quick-scans its gaps); then the machine's volumes (unless `listVolumes` is
// false: a front end that never shows them need not open them).
using DriveBuilder = std::function<std::unique_ptr<TPhysicalDrv>(std::unique_ptr<Disk> disk, const TDriveGeometry& geometry)>;
std::unique_ptr<TPhysicalDrives> CreatePhysicalDrives(std::vector<std::unique_ptr<Disk>> disks, bool listVolumes = true,
                                                      DriveBuilder build = nullptr);

// --- The system's volumes --------------------------------------------------------------

// The size text of a volume: "%.2f GB" of GiB when it holds 1000 MiB or more, else
// "%.2f MB" of MiB.
std::string VolumeSizeText(uint64_t totalBytes);
// Completes a volume record from what the system reported: size text, label ("No Name"
// when empty or blank, otherwise as reported), file-system name trimmed.
void FillLogiDrive(TLogiDrive& drive, uint64_t totalBytes, const std::string& label, const std::string& fileSystem);
// The name of a file system as the clone's match expects it, from libblkid's TYPE and
// VERSION: "FAT" for FAT12 and FAT16, "FAT32", "NTFS"; every other name as libblkid gives it.
std::string SystemFileSystemName(const std::string& type, const std::string& version);
// The record of one block volume: Root is its device path.
std::unique_ptr<TLogiDrive> MakeLogiDrive(const BlockVolume& volume);
// One record per block volume of the machine that holds a file system (partitions, and
// whole disks formatted without a table), in device name order. `sysClassBlockDir` is where
// the block devices are listed; `devDir` where their nodes are.
std::vector<std::unique_ptr<TLogiDrive>> ListLogicalDrives(const std::string& sysClassBlockDir = "/sys/class/block",
                                                           const std::string& devDir = "/dev");

// --- Volume names of partitions --------------------------------------------------------

// Sets `partition.DriveLetter` to the kernel's name of the partition device that starts at
// the same sector of the same disk (e.g. "sdb1"); image files have none.
void MapDriveLetter(TPhysicalDrv& drive, TPartition& partition);
}  // namespace qm
