#include "disk/LoopDevices.h"

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string_view>

#include "disk/DriveSource.h"

namespace qm {
namespace {

// A sysfs attribute is one page at most; a longer line is not what the kernel wrote.
constexpr size_t kMaxAttribute = 4096;

// The first line of a sysfs attribute; empty when it cannot be read or is too long.
std::string ReadAttribute(const std::string& file) {
  std::ifstream in(file);
  std::string line;
  if (!in || !std::getline(in, line) || line.size() >= kMaxAttribute) return {};
  return line;
}

// The backing file the loop device with sysfs folder `dir` names, when it still exists under
// that path: the kernel marks a file unlinked since it was attached with " (deleted)".
std::string BackingFile(const std::string& dir) {
  const std::string path = ReadAttribute(dir + "/loop/backing_file");
  constexpr std::string_view kDeleted = " (deleted)";
  if (path.empty() || path.front() != '/') return {};
  if (path.size() >= kDeleted.size() && path.compare(path.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0)
    return {};
  return path;
}

// The device number of a sysfs "MAJ:MIN" line.
bool ParseDeviceNumber(const std::string& text, dev_t& device) {
  unsigned maj = 0, min = 0;
  char end = 0;
  if (std::sscanf(text.c_str(), "%u:%u%c", &maj, &min, &end) != 2) return false;
  device = makedev(maj, min);
  return true;
}

bool SameFile(const std::string& path, const struct stat& file) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st {};
  const bool same = ::fstat(fd, &st) == 0 && st.st_dev == file.st_dev && st.st_ino == file.st_ino;
  ::close(fd);
  return same;
}

// The loop devices whose backing file is `file`, by the nodes under /dev that carry their
// device numbers.
std::vector<std::string> LoopDevicesOver(const struct stat& file) {
  std::vector<std::string> nodes;
  std::error_code error;
  for (std::filesystem::directory_iterator it("/sys/block", error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.rfind("loop", 0) != 0) continue;
    const std::string dir = it->path().string();
    const std::string backing = BackingFile(dir);
    if (backing.empty() || !SameFile(backing, file)) continue;
    dev_t device = 0;
    struct stat node {};
    const std::string path = "/dev/" + name;
    if (ParseDeviceNumber(ReadAttribute(dir + "/dev"), device) && ::stat(path.c_str(), &node) == 0 &&
        S_ISBLK(node.st_mode) && node.st_rdev == device)
      nodes.push_back(path);
  }
  return nodes;
}

}  // namespace

std::vector<std::string> LoopLinkedPaths(const struct stat& st) {
  if (S_ISBLK(st.st_mode)) {
    std::string backing = BackingFile(SysfsBlockDir(st.st_rdev));
    if (backing.empty()) return {};
    return {backing};
  }
  if (S_ISREG(st.st_mode)) return LoopDevicesOver(st);
  return {};
}

}  // namespace qm
