#pragma once
// The machine's disks and volumes as Linux shows them (sysfs, libblkid): which sources become
// drives, the block volumes that hold a file system, and the partition device that starts at
// a sector of a disk. Everything above this layer sees disks and plain records.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "disk/Disk.h"

namespace qm {

// --- Drive sources ---------------------------------------------------------------------

// Whole disks are sd*, vd*, hd*, nvme<N>n<M> and mmcblk<N>; loop, ram, zram, dm and the
// partition devices (nvme0n1p1, mmcblk0p1) are not.
bool IsWholeDiskName(std::string_view name);
// Device paths (/dev/sda, ...) of the whole disks listed in `sysBlockDir`, in name order.
std::vector<std::string> ListMachineDisks(const std::string& sysBlockDir = "/sys/block");

// Opens `path` for reading and asks its size. False with the reason when it cannot serve as
// a drive: the system's error text ("No such file or directory", "Permission denied"), or
// "not a disk image or block device", "the image is empty", or that it holds less than one
// sector.
bool ProbeDriveSource(const std::string& path, std::string& reason);

// Makes `disks` the drives to work on, numbered 0x80, 0x81, ...: the named images in the order
// given, every one of which must open (false at the first that does not, with "cannot open
// PATH: REASON" in `error`, no disks); or, when none is named, the machine's whole disks in
// name order, skipping those that cannot be opened (false, with the first reason and the way
// out in `error`, when none can).
bool OpenDriveSources(const std::vector<std::string>& images, std::vector<std::unique_ptr<Disk>>& disks,
                      std::string& error, const std::string& sysBlockDir = "/sys/block");
// A drive source that could not be opened, and why.
struct UnopenedSource {
  std::string path, reason;
};
// Every path that opens becomes a disk, numbered from `firstNumber` on in the order given; each
// one that does not is named in `unopened` with its reason. A file named twice (by any of its
// names, or as the loop device over it) becomes one disk. At most as many disks as drive
// numbers are left; the rest are named as unopened.
std::vector<std::unique_ptr<Disk>> OpenEverySource(const std::vector<std::string>& paths,
                                                   std::vector<UnopenedSource>& unopened,
                                                   uint8_t firstNumber = kFirstHardDisk);
// Which file or device a drive is, in words for the user: "Image file /srv/disk.img",
// "Device /dev/sdb, ACME Spinner 2000" (vendor and model as the kernel shows them), "Loop
// device /dev/loop3 over /srv/disk.img". `sysClassBlockDir` holds the devices' sysfs folders.
std::string SourceDescription(const std::string& path, const std::string& sysClassBlockDir = "/sys/class/block");

// A disk for each path, numbered from `firstNumber` on, without trying them: a path that no
// longer opens fails its reads, and the drive list passes it over.
std::vector<std::unique_ptr<Disk>> DisksOf(const std::vector<std::string>& paths, uint8_t firstNumber = kFirstHardDisk);

// --- The system's volumes --------------------------------------------------------------

// A block volume of the machine that holds a file system (a partition, or a whole disk
// formatted without a table).
struct BlockVolume {
  std::string path;  // /dev/sdb1
  bool removable = false;
  uint64_t bytes = 0;
  std::string label, fileSystem;  // as libblkid reports them; empty when unknown
  std::string version;            // libblkid's VERSION: "FAT12", "FAT16", "FAT32" for vfat
};

// The volumes listed in `sysClassBlockDir`, in device name order; `devDir` holds their nodes.
std::vector<BlockVolume> ListBlockVolumes(const std::string& sysClassBlockDir = "/sys/class/block",
                                          const std::string& devDir = "/dev");

// What libblkid finds on the block device `path`: its size, and label, file system and
// version when it holds a file system. False when it cannot be opened.
bool ProbeBlockVolume(const std::string& path, BlockVolume& volume);

// What libblkid finds in the `size` bytes at byte `offset` of `path` (an image file or a
// disk): the file system's type ("ext4", "exfat", "btrfs", "xfs", "swap" ...), label and UUID,
// empty when it finds none. False when `path` cannot be opened.
struct ProbedVolume {
  std::string type, label, uuid;
};
bool ProbeVolumeAt(const std::string& path, uint64_t offset, uint64_t size, ProbedVolume& volume);

// --- Sources and targets ---------------------------------------------------------------

// True when writing to `target` could change the bytes of the drive source `source`: the same
// file (by inode, so links and other names count), the same disk (a partition of it, or the
// whole disk of a partition), a loop device over the image, or an image file kept on a file
// system of the source disk.
bool TargetStoresSource(const std::string& source, const std::string& target);

// True when `target` is the very file of the drive source `source`: the same inode (links and
// other names count), or the file behind the loop device `source` (or `target`). A file that
// merely lives on a file system of the source disk is not.
bool TargetIsSourceFile(const std::string& source, const std::string& target);

// --- Partition devices -----------------------------------------------------------------

// The partition device below the disk's sysfs directory (e.g. /sys/block/sdb) whose `start`
// is `absoluteStart` (512-byte sectors); empty when none. Names are tried in name order.
std::string FindPartitionDeviceAt(const std::string& diskSysfsDir, uint64_t absoluteStart);

// The kernel's name of the partition device of `disk` (a block device) that starts at
// `absoluteStart`, e.g. "sdb1"; empty for image files and when there is none.
std::string PartitionDeviceAt(const Disk& disk, uint64_t absoluteStart);

}  // namespace qm
