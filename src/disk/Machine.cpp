#include "disk/Machine.h"

#include <blkid/blkid.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>
#include <system_error>
#include <utility>

#include "disk/Disk.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

bool StartsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

bool AllDigits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "sda", "vdb", "hdc", "sdaa": a prefix then lower-case letters only (sda1 is a partition).
bool LettersAfter(std::string_view name, std::string_view prefix) {
  if (!StartsWith(name, prefix) || name.size() == prefix.size()) return false;
  std::string_view rest = name.substr(prefix.size());
  return std::all_of(rest.begin(), rest.end(), [](char c) { return c >= 'a' && c <= 'z'; });
}

// Directory entries in name order; an unreadable directory gives none.
std::vector<std::string> SortedEntries(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
    names.push_back(it->path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// A decimal number from a sysfs attribute file.
bool ReadSysfsNumber(const std::string& path, uint64_t& value) {
  std::ifstream in(path);
  unsigned long long v = 0;
  if (!(in >> v)) return false;
  value = v;
  return true;
}

bool PathExists(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

// What libblkid finds on one volume.
struct VolumeProbe {
  bool opened = false;
  bool hasFileSystem = false;
  uint64_t bytes = 0;
  std::string label, type, version, uuid;
};

// Probes `path` whole, or only the `size` bytes at `offset` when `size` is not 0.
VolumeProbe ProbeVolume(const std::string& path, uint64_t offset = 0, uint64_t size = 0) {
  VolumeProbe result;
  blkid_probe pr = nullptr;
  int fd = -1;
  if (size == 0) {
    pr = blkid_new_probe_from_filename(path.c_str());
  } else if ((fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC)) >= 0) {
    pr = blkid_new_probe();
    if (pr && blkid_probe_set_device(pr, fd, static_cast<blkid_loff_t>(offset), static_cast<blkid_loff_t>(size)) != 0) {
      blkid_free_probe(pr);
      pr = nullptr;
    }
  }
  if (!pr) {  // no permission, no medium, gone
    if (fd >= 0) ::close(fd);
    return result;
  }
  result.opened = true;
  blkid_probe_enable_superblocks(pr, 1);
  blkid_probe_set_superblocks_flags(pr, BLKID_SUBLKS_LABEL | BLKID_SUBLKS_TYPE | BLKID_SUBLKS_USAGE |
                                            BLKID_SUBLKS_VERSION | BLKID_SUBLKS_UUID);
  blkid_loff_t bytes = blkid_probe_get_size(pr);
  result.bytes = bytes > 0 ? static_cast<uint64_t>(bytes) : 0;
  if (blkid_do_safeprobe(pr) == 0) {
    const char* value = nullptr;
    const auto text = [&](const char* name) {
      return blkid_probe_lookup_value(pr, name, &value, nullptr) == 0 && value ? std::string(value) : std::string();
    };
    const std::string usage = text("USAGE");
    // Swap is "other" to libblkid, not a file system, and no volume of the machine's list;
    // a probe at an offset names it all the same.
    result.type = text("TYPE");
    if (usage == "filesystem" || result.type == "swap") {
      result.hasFileSystem = usage == "filesystem";
      result.label = text("LABEL");
      result.version = text("VERSION");
      result.uuid = text("UUID");
    } else {
      result.type.clear();
    }
  }
  blkid_free_probe(pr);
  if (fd >= 0) ::close(fd);
  return result;
}

bool HasPartitionChildren(const std::string& deviceDir) {
  for (const std::string& child : SortedEntries(deviceDir))
    if (PathExists(deviceDir + "/" + child + "/partition")) return true;
  return false;
}

// The whole disk a block device belongs to: itself, or for a partition the device of the
// folder above it in sysfs (/sys/dev/block/8:17/.. is sda).
dev_t WholeDiskOf(dev_t device) {
  const std::string dir = SysfsBlockDir(device);
  if (!PathExists(dir + "/partition")) return device;
  std::ifstream in(dir + "/../dev");
  unsigned majorNumber = 0, minorNumber = 0;
  char colon = 0;
  if (in >> majorNumber >> colon >> minorNumber && colon == ':') return makedev(majorNumber, minorNumber);
  return device;
}

// Where the bytes behind a path live. Files are named by device and inode, disks by their
// device number; `fsDisks` are the disks whose file system holds a file.
struct Storage {
  std::set<std::pair<uint64_t, uint64_t>> files;
  std::set<uint64_t> disks, fsDisks;
};

Storage StorageOf(const std::string& path) {
  Storage storage;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    // A file yet to be made goes to the file system of its folder.
    const std::string folder = fs::path(path).parent_path().string();
    if (errno == ENOENT && ::stat(folder.empty() ? "." : folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
        PathExists(SysfsBlockDir(st.st_dev)))
      storage.fsDisks.insert(WholeDiskOf(st.st_dev));
    return storage;
  }
  if (S_ISREG(st.st_mode)) {
    storage.files.insert({st.st_dev, st.st_ino});
    // A file system on a disk has that disk's partition as its device; others (tmpfs, btrfs
    // subvolumes, network file systems) have a number no sysfs folder answers to.
    if (PathExists(SysfsBlockDir(st.st_dev))) storage.fsDisks.insert(WholeDiskOf(st.st_dev));
  } else if (S_ISBLK(st.st_mode)) {
    const dev_t disk = WholeDiskOf(st.st_rdev);
    storage.disks.insert(disk);
    // A loop device's bytes are those of its backing file.
    std::ifstream in(SysfsBlockDir(disk) + "/loop/backing_file");
    std::string backing;
    struct stat file {};
    if (std::getline(in, backing) && ::stat(backing.c_str(), &file) == 0) storage.files.insert({file.st_dev, file.st_ino});
  }
  return storage;
}

template <typename T>
bool Meet(const std::set<T>& a, const std::set<T>& b) {
  return std::any_of(a.begin(), a.end(), [&](const T& x) { return b.count(x) != 0; });
}

}  // namespace

// --- Drive sources ---------------------------------------------------------------------

bool IsWholeDiskName(std::string_view name) {
  if (LettersAfter(name, "sd") || LettersAfter(name, "vd") || LettersAfter(name, "hd")) return true;
  if (StartsWith(name, "nvme")) {  // nvme<controller>n<namespace>; nvme0 alone is the controller
    std::string_view rest = name.substr(4);
    size_t n = rest.find('n');
    return n != std::string_view::npos && AllDigits(rest.substr(0, n)) && AllDigits(rest.substr(n + 1));
  }
  if (StartsWith(name, "mmcblk")) return AllDigits(name.substr(6));  // mmcblk0boot0, mmcblk0p1 are not
  return false;
}

std::vector<std::string> ListMachineDisks(const std::string& sysBlockDir) {
  std::vector<std::string> disks;
  for (const std::string& name : SortedEntries(sysBlockDir)) {
    // A loop device is a disk while a file is attached to it (it has a size then); zram and
    // ram disks hold no partition tables.
    uint64_t size = 0;
    const bool attachedLoop = name.size() > 4 && StartsWith(name, "loop") && AllDigits(name.substr(4)) &&
                              ReadSysfsNumber(sysBlockDir + "/" + name + "/size", size) && size > 0;
    if (IsWholeDiskName(name) || attachedLoop) disks.push_back("/dev/" + name);
  }
  return disks;
}

bool ProbeDriveSource(const std::string& path, std::string& reason) {
  FileSource source(path);
  int error = 0;
  auto handle = source.Open(AccessMode::Read, error);
  TDriveGeometry geometry;
  if (!handle || !source.QueryGeometry(geometry, error)) {
    reason = error == ENODEV ? "not a disk image or block device" : SystemErrorText(error);
    return false;
  }
  if (geometry.TotalSectors == 0) {
    struct stat st {};
    bool empty = ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0;
    reason = empty ? "the image is empty" : "too small to hold a partition table (less than one sector)";
    return false;
  }
  return true;
}

bool OpenDriveSources(const std::vector<std::string>& images, std::vector<std::unique_ptr<Disk>>& disks,
                      std::string& error, const std::string& sysBlockDir) {
  disks.clear();
  error.clear();
  auto add = [&](const std::string& path) {
    disks.push_back(std::make_unique<Disk>(std::make_unique<FileSource>(path),
                                           static_cast<uint8_t>(kFirstHardDisk + disks.size())));
  };
  if (!images.empty()) {
    if (images.size() > 0x80) {
      error = "too many drives: at most 128 can be named";
      return false;
    }
    for (const std::string& path : images) {
      std::string reason;
      if (!ProbeDriveSource(path, reason)) {
        error = "cannot open " + path + ": " + reason;
        return false;
      }
    }
    for (const std::string& path : images) add(path);
    return true;
  }

  const std::vector<std::string> machine = ListMachineDisks(sysBlockDir);
  std::string firstFailure;
  for (const std::string& path : machine) {
    std::string reason;
    if (ProbeDriveSource(path, reason)) {
      if (disks.size() >= 0x80) break;  // drive numbers 80H to FFH are all given
      add(path);
    } else if (firstFailure.empty()) {
      firstFailure = path + ": " + reason;
    }
  }
  if (!disks.empty()) return true;
  if (machine.empty())
    error = "this machine shows no disks; name a disk image to work on";
  else
    error = "no disk can be opened (" + firstFailure + (::geteuid() == 0 ? "); name a disk image" : "); run as root, or name a disk image");
  return false;
}

// --- The system's volumes --------------------------------------------------------------

std::vector<BlockVolume> ListBlockVolumes(const std::string& sysClassBlockDir, const std::string& devDir) {
  std::vector<BlockVolume> volumes;
  for (const std::string& name : SortedEntries(sysClassBlockDir)) {
    // RAM disks and optical drives are not disks a volume can be cloned onto.
    if (StartsWith(name, "ram") || StartsWith(name, "zram") || StartsWith(name, "sr")) continue;
    std::string dir = sysClassBlockDir + "/" + name;
    bool isPartition = PathExists(dir + "/partition");
    uint64_t sectors = 0;
    ReadSysfsNumber(dir + "/size", sectors);
    // An extended partition shows as a device of one or two sectors holding its table.
    if (isPartition && sectors <= 2) continue;
    // A whole disk counts only when it is formatted without a table; an empty reader or an
    // unused loop device has no size.
    if (!isPartition && (sectors == 0 || HasPartitionChildren(dir))) continue;

    BlockVolume volume;
    volume.path = devDir + "/" + name;
    VolumeProbe probe = ProbeVolume(volume.path);
    if (probe.opened && !probe.hasFileSystem) continue;
    if (!probe.opened && !isPartition) continue;  // nothing known about it
    uint64_t removable = 0;
    ReadSysfsNumber(isPartition ? dir + "/../removable" : dir + "/removable", removable);
    volume.removable = removable == 1;
    // A partition that cannot be read (no permission, no medium) keeps its record with what
    // sysfs tells of its size and nothing else.
    volume.bytes = probe.opened && probe.bytes ? probe.bytes : sectors * 512;
    volume.label = probe.label;
    volume.fileSystem = probe.type;
    volume.version = probe.version;
    volumes.push_back(std::move(volume));
  }
  return volumes;
}

bool ProbeBlockVolume(const std::string& path, BlockVolume& volume) {
  const VolumeProbe probe = ProbeVolume(path);
  if (!probe.opened) return false;
  volume = BlockVolume{};
  volume.path = path;
  volume.bytes = probe.bytes;
  volume.label = probe.label;
  volume.fileSystem = probe.type;
  volume.version = probe.version;
  return true;
}

bool ProbeVolumeAt(const std::string& path, uint64_t offset, uint64_t size, ProbedVolume& volume) {
  const VolumeProbe probe = ProbeVolume(path, offset, size == 0 ? 1 : size);
  if (!probe.opened) return false;
  volume = ProbedVolume{probe.type, probe.label, probe.uuid};
  return true;
}

// --- Sources and targets ---------------------------------------------------------------

bool TargetStoresSource(const std::string& source, const std::string& target) {
  const Storage s = StorageOf(source), t = StorageOf(target);
  return Meet(s.files, t.files) || Meet(s.disks, t.disks) || Meet(s.disks, t.fsDisks) || Meet(s.fsDisks, t.disks);
}

bool TargetIsSourceFile(const std::string& source, const std::string& target) {
  return Meet(StorageOf(source).files, StorageOf(target).files);
}

// --- Partition devices -----------------------------------------------------------------

std::string FindPartitionDeviceAt(const std::string& diskSysfsDir, uint64_t absoluteStart) {
  for (const std::string& name : SortedEntries(diskSysfsDir)) {
    std::string dir = diskSysfsDir + "/" + name;
    uint64_t start = 0;
    if (PathExists(dir + "/partition") && ReadSysfsNumber(dir + "/start", start) && start == absoluteStart) return name;
  }
  return {};
}

std::vector<std::unique_ptr<Disk>> OpenEverySource(const std::vector<std::string>& paths,
                                                   std::vector<UnopenedSource>& unopened, uint8_t firstNumber) {
  std::vector<std::unique_ptr<Disk>> disks;
  std::vector<std::string> opened;
  unsigned number = firstNumber;
  for (const std::string& path : paths) {
    const bool twice = std::any_of(opened.begin(), opened.end(),
                                   [&](const std::string& earlier) { return TargetIsSourceFile(earlier, path); });
    if (twice) continue;
    std::string reason;
    if (number > 0xFF) {
      unopened.push_back({path, "no drive number is left (at most 128 drives)"});
    } else if (!ProbeDriveSource(path, reason)) {
      unopened.push_back({path, reason});
    } else {
      disks.push_back(std::make_unique<Disk>(std::make_unique<FileSource>(path), static_cast<uint8_t>(number++)));
      opened.push_back(path);
    }
  }
  return disks;
}

namespace {

// The first line of a sysfs attribute, without the blanks around it; empty when there is none.
std::string SysfsText(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  const size_t first = line.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return line.substr(first, line.find_last_not_of(" \t") - first + 1);
}

}  // namespace

std::string SourceDescription(const std::string& path, const std::string& sysClassBlockDir) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return "Image file " + path;
  std::error_code ec;
  const std::string name = fs::canonical(path, ec).filename().string();
  const std::string dir = sysClassBlockDir + "/" + name;
  const std::string backing = SysfsText(dir + "/loop/backing_file");
  if (!backing.empty()) return "Loop device " + path + " over " + backing;
  std::string model = SysfsText(dir + "/device/vendor");
  const std::string product = SysfsText(dir + "/device/model");
  if (!product.empty()) model += (model.empty() ? "" : " ") + product;
  return "Device " + path + (model.empty() ? "" : ", " + model);
}

std::vector<std::unique_ptr<Disk>> DisksOf(const std::vector<std::string>& paths, uint8_t firstNumber) {
  std::vector<std::unique_ptr<Disk>> disks;
  for (const std::string& path : paths) {
    if (firstNumber + disks.size() > 0xFF) break;
    disks.push_back(std::make_unique<Disk>(std::make_unique<FileSource>(path), static_cast<uint8_t>(firstNumber + disks.size())));
  }
  return disks;
}

std::string PartitionDeviceAt(const Disk& disk, uint64_t absoluteStart) {
  if (!disk.HasSource()) return {};
  struct stat st {};
  if (::stat(disk.Path().c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return {};  // image files have no volumes
  return FindPartitionDeviceAt(SysfsBlockDir(st.st_rdev), absoluteStart);
}

}  // namespace qm
