// The destination check: which block devices the destination's file system rests on, read
// from sysfs, compared with the source.
#include "browse/CopyDestination.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>

#include "disk/Disk.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

constexpr int kMaxStackDepth = 8;  // device mapper over RAID over partitions ... is never deeper

std::string SysfsOf(dev_t device) {
  return "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

// The device number in a sysfs "dev" file ("8:1").
bool ReadDevFile(const fs::path& file, dev_t& device) {
  std::ifstream in(file);
  unsigned maj = 0, min = 0;
  char colon = 0;
  if (!(in >> maj >> colon >> min) || colon != ':') return false;
  device = makedev(maj, min);
  return true;
}

// The file behind a loop device, as sysfs names it; empty for any other device.
std::string LoopBackingFile(dev_t device) {
  std::ifstream in(SysfsOf(device) + "/loop/backing_file");
  std::string path;
  std::getline(in, path);
  return path;
}

// `device`, the whole disk of a partition, and every device below a mapped or RAID device.
void CollectUnderlying(dev_t device, std::set<dev_t>& found, int depth) {
  if (depth > kMaxStackDepth || !found.insert(device).second) return;
  std::error_code ec;
  const fs::path dir = fs::canonical(SysfsOf(device), ec);
  if (ec) return;
  if (fs::exists(dir / "partition", ec)) {
    dev_t whole = 0;
    if (ReadDevFile(dir.parent_path() / "dev", whole)) CollectUnderlying(whole, found, depth + 1);
  }
  // A loop device over another block device (a mount with an offset inside a loop device).
  struct stat backing {};
  const std::string file = LoopBackingFile(device);
  if (!file.empty() && ::stat(file.c_str(), &backing) == 0 && S_ISBLK(backing.st_mode))
    CollectUnderlying(backing.st_rdev, found, depth + 1);
  for (const auto& slave : fs::directory_iterator(dir / "slaves", ec)) {
    dev_t below = 0;
    if (ReadDevFile(fs::canonical(slave.path(), ec) / "dev", below)) CollectUnderlying(below, found, depth + 1);
  }
}

Outcome Refusal(const std::string& sourcePath, const std::string& why) {
  return Outcome::Failed("The destination folder lies on " + sourcePath + " (" + why +
                             "): files are never copied onto the disk they are read from.",
                         "Copy", EXDEV);
}

}  // namespace

Outcome CheckDestinationOffSource(int folderFd, const std::string& sourcePath) {
  struct stat folder {};
  if (::fstat(folderFd, &folder) != 0)
    return Outcome::Failed("The destination folder cannot be examined: " + SystemErrorText(errno), "Copy", errno);
  struct stat source {};
  if (::stat(sourcePath.c_str(), &source) != 0)
    return Outcome::Failed(sourcePath + " cannot be examined: " + SystemErrorText(errno), "Copy", errno);

  std::set<dev_t> below;
  CollectUnderlying(folder.st_dev, below, 0);
  if (S_ISBLK(source.st_mode)) {
    if (below.count(source.st_rdev))
      return Refusal(sourcePath, folder.st_dev == source.st_rdev ? "its file system is on that device"
                                                                 : "its file system is on a part of that device");
    return Outcome::Done();
  }
  for (dev_t device : below) {
    const std::string backing = LoopBackingFile(device);
    if (backing.empty()) continue;
    struct stat file {};
    const bool same = ::stat(backing.c_str(), &file) == 0 ? file.st_dev == source.st_dev && file.st_ino == source.st_ino
                                                          : backing == sourcePath;
    if (same) return Refusal(sourcePath, "its file system is on a loop device attached to that image");
  }
  return Outcome::Done();
}

}  // namespace qm
