#include "support/TreeImage.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "disk/Crc32.h"
#include "support/Fixtures.h"

namespace qm::test {

bool MakeTreeImage(const std::string& kind, TreeImage& image) {
  // Made once per kind and process; a failure's reason is kept for the next test that asks.
  static std::map<std::string, std::pair<int, TreeImage>> made;
  if (!made.count(kind)) {
    const std::string dir = FreshPath("tree-" + kind);
    std::string out, why;
    const int status = RunCommand(std::string(QM_SOURCE_DIR) + "/tools/tree-image " + kind + " " + ShellQuote(dir) +
                                      " 2>" + ShellQuote(dir + ".err"), &out);
    RunCommand("cat " + ShellQuote(dir + ".err"), &why);
    made[kind] = {status, {dir + "/disk.img", status == 0 ? dir + "/tree" : why, dir + "/deleted", status == 0 ? std::stoull(out) : 0}};
  }
  const auto& [status, result] = made[kind];
  if (status == 77) MissingTool(result.Tree);
  else if (status != 0) ADD_FAILURE() << "tools/tree-image " << kind << " failed (" << status << "): " << result.Tree;
  else image = result;
  return status == 0;
}

std::map<std::string, std::string> DescribeTree(const std::string& root) {
  namespace fs = std::filesystem;
  std::map<std::string, std::string> tree;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    const std::string path = it->path().lexically_relative(root).string();
    struct stat st {};
    ::lstat(it->path().c_str(), &st);
    if (S_ISDIR(st.st_mode)) {
      tree[path] = "d";
    } else if (S_ISLNK(st.st_mode)) {
      tree[path] = "l " + fs::read_symlink(it->path()).string();
    } else {
      // The blocks that hold anything but zeros, with their places: a sparse file and a full
      // one of the same bytes describe alike, and a 4 GiB hole costs nothing to read.
      uint32_t crc = 0;
      const int fd = ::open(it->path().c_str(), O_RDONLY | O_CLOEXEC);
      std::vector<uint8_t> block(4096);
      for (off_t data = ::lseek(fd, 0, SEEK_DATA); data >= 0; data = ::lseek(fd, data, SEEK_DATA)) {
        const off_t hole = ::lseek(fd, data, SEEK_HOLE);
        for (off_t at = data / 4096 * 4096; at < hole; at += 4096) {
          const ssize_t got = ::pread(fd, block.data(), block.size(), at);
          if (got <= 0) break;
          const std::span<const uint8_t> bytes(block.data(), static_cast<size_t>(got));
          if (std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; })) continue;
          const uint64_t place = static_cast<uint64_t>(at);
          crc = Crc32Update(crc, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(&place), sizeof place));
          crc = Crc32Update(crc, bytes);
        }
        data = hole;
      }
      ::close(fd);
      tree[path] = "f " + std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_sec) + " " + std::to_string(crc);
    }
  }
  return tree;
}

}  // namespace qm::test
