// Speed of copying files out of a volume, against the file systems' own tools on the same
// volume image, and of listing a folder of 100,000 entries.
//
//   quillmark-copy-bench [PARENT_DIR [PART...]]     PART: fat32 ntfs ext4 list (default: all)
//
// Each volume (FAT32, NTFS, ext4; 1.2 GiB, no partition table) holds ~1 GiB of random bytes:
// 60 files of 16 MiB and 256 of 256 KiB in two folders. Each way is timed three times,
// interleaved, with the image in the page cache and the output removed and synced between
// runs; the best time counts:
//   fat32  quillmark-cli copy  vs  mcopy -s -m
//   ntfs   quillmark-cli copy  vs  ntfscat, one run per file (and, as root, cp -a from an
//          ntfs-3g mount, the mount and unmount inside the timed run)
//   ext4   quillmark-cli copy  vs  debugfs -R "rdump / DIR"
// Then a folder of 100,000 empty files on ext4, NTFS and exFAT (made through a mount, as root;
// exfat-fuse takes about ten minutes to make it): `ls --recursive` end to end, and the core's
// List alone.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "BenchImage.h"
#include "browse/VolumeTree.h"
#include "disk/Disk.h"
#include "disk/Machine.h"

namespace qm::bench {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr int kRounds = 3;
constexpr uint64_t kVolumeBytes = 1200ull << 20;

int Shell(const std::string& command) { return std::system(command.c_str()); }

double TimeShell(const std::string& command) { return TimeProgram({"sh", "-c", command}); }

// The files, made once: big/NN.bin (16 MiB each) and small/NNN.bin (256 KiB each).
bool MakeSourceFiles(const std::string& dir) {
  fs::create_directories(dir + "/big");
  fs::create_directories(dir + "/small");
  std::vector<uint64_t> block((16u << 20) / 8);
  uint64_t state = 0x5EED;
  auto fill = [&](size_t words) {
    for (size_t i = 0; i < words; ++i) {
      state ^= state << 13, state ^= state >> 7, state ^= state << 17;
      block[i] = state;
    }
  };
  for (int i = 0; i < 60; ++i) {
    fill(block.size());
    std::ofstream(dir + "/big/" + std::to_string(i) + ".bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size() * 8));
  }
  for (int i = 0; i < 256; ++i) {
    fill((256u << 10) / 8);
    std::ofstream(dir + "/small/" + std::to_string(i) + ".bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(block.data()), 256 << 10);
  }
  return true;
}

std::string Q(const std::string& s) { return "'" + s + "'"; }

bool MakeVolume(const std::string& kind, const std::string& files, const std::string& image) {
  const std::string sbin = "PATH=\"$PATH:/usr/sbin:/sbin\" ";
  if (Shell("truncate -s " + std::to_string(kVolumeBytes) + " " + Q(image)) != 0) return false;
  if (kind == "fat32")
    return Shell(sbin + "mkfs.fat -F 32 " + Q(image) + " >/dev/null && MTOOLS_SKIP_CHECK=1 mcopy -s -m -i " + Q(image) +
                 " " + Q(files + "/big") + " " + Q(files + "/small") + " ::") == 0;
  if (kind == "ext4") return Shell(sbin + "mkfs.ext4 -q -b 4096 -d " + Q(files) + " " + Q(image)) == 0;
  // NTFS: ntfscp writes into existing folders only, so every file goes into the root.
  if (Shell(sbin + "mkntfs -q -F -Q " + Q(image) + " >/dev/null 2>&1") != 0) return false;
  return Shell("cd " + Q(files) + " && for f in big/*.bin small/*.bin; do " + sbin + "ntfscp -q " + Q(image) +
               " \"$f\" \"$(echo $f | tr / _)\" || exit 1; done") == 0;
}

struct Way {
  std::string name;
  std::string command;  // a shell command that writes into OUT
  double best = 1e9;
};

void Race(const std::string& kind, const std::string& out, std::vector<Way>& ways, uint64_t bytes) {
  for (int round = 0; round < kRounds; ++round)
    for (Way& way : ways) {
      Shell("rm -rf " + Q(out) + " && mkdir " + Q(out) + " && sync");
      const double t = TimeShell(way.command);
      if (t < 0) {
        std::printf("  %-6s %-28s failed: %s\n", kind.c_str(), way.name.c_str(), way.command.c_str());
        way.best = -1;
        continue;
      }
      if (way.best > 0) way.best = std::min(way.best, t);
    }
  for (const Way& way : ways)
    if (way.best > 0)
      std::printf("  %-6s %-28s %7.3f s  %7.1f MB/s  (%.2fx of the first)\n", kind.c_str(), way.name.c_str(), way.best,
                  static_cast<double>(bytes) / 1e6 / way.best, ways[0].best / way.best);
}

// Makes `image`, a volume of `kind` whose folder "folder" holds 100,000 empty files, through
// a mount of it (as root): the file systems' own makers take minutes for a folder that large.
bool MakeManyEntries(const std::string& kind, const std::string& image, const std::string& mnt) {
  const std::string sbin = "PATH=\"$PATH:/usr/sbin:/sbin\" ";
  std::string mount;
  if (kind == "ext4") {
    mount = "truncate -s 512M " + Q(image) + " && " + sbin + "mkfs.ext4 -q -N 120000 " + Q(image) + " && mount -o loop " +
            Q(image) + " " + Q(mnt);
  } else if (kind == "ntfs") {
    mount = "truncate -s 1G " + Q(image) + " && " + sbin + "mkntfs -q -F -Q " + Q(image) + " >/dev/null && ntfs-3g " +
            Q(image) + " " + Q(mnt);
  } else {  // exFAT: its FUSE driver mounts block devices only
    mount = "truncate -s 512M " + Q(image) + " && " + sbin + "mkfs.exfat " + Q(image) + " >/dev/null && " + sbin +
            "mount.exfat-fuse \"$(losetup -f --show " + Q(image) + ")\" " + Q(mnt) + " >/dev/null 2>&1";
  }
  if (Shell(mount) != 0) return false;
  const int made = Shell("mkdir " + Q(mnt + "/folder") + " && cd " + Q(mnt + "/folder") +
                         " && seq -f 'entry-%06g.txt' 1 100000 | xargs touch");
  Shell("umount " + Q(mnt));
  if (kind == "exfat") Shell("losetup -j " + Q(image) + " -O NAME -n | xargs -r -n1 losetup -d");
  return made == 0;
}

void ListBench(TempDir& dir, const std::string& cli, const std::string& kind) {
  const std::string mnt = dir.Path() + "/many", image = dir.Path() + "/many-" + kind + ".img";
  fs::create_directories(mnt);
  dir.Track(image);
  if (::geteuid() != 0) {
    std::printf("  %-6s skipped: the folder is made through a mount, which needs root\n", kind.c_str());
    return;
  }
  if (!MakeManyEntries(kind, image, mnt)) {
    std::printf("  %-6s the 100,000 entries cannot be made here\n", kind.c_str());
    return;
  }
  Shell("cat " + Q(image) + " >/dev/null");
  double cliBest = 1e9;
  for (int round = 0; round < kRounds; ++round)
    cliBest = std::min(cliBest, TimeProgram({cli, "ls", "--recursive", "--at", "0", image}));
  Disk disk(std::make_unique<FileSource>(image), kFirstHardDisk);
  Outcome why;
  double coreBest = 1e9;
  size_t count = 0;
  for (int round = 0; round < kRounds; ++round) {
    const auto start = Clock::now();
    auto tree = TVolumeTree::Open(disk, fs::file_size(image) / 512, 0, 0, why);
    TTreeEntry folder;
    std::vector<TTreeEntry> entries;
    if (!tree || !tree->Find("folder", folder) || !tree->List(folder.Inode, false, entries)) {
      std::printf("  %-6s the folder cannot be listed: %s\n", kind.c_str(), why.Line().c_str());
      return;
    }
    count = entries.size();
    coreBest = std::min(coreBest, std::chrono::duration<double>(Clock::now() - start).count());
  }
  std::printf("  %-6s folder of %zu entries: List (open + find + list) %.3f s; `ls --recursive` end to end %.3f s\n",
              kind.c_str(), count, coreBest, cliBest);
  Shell("rm -f " + Q(image));
}

int Run(const std::string& parent, const std::vector<std::string>& parts) {
  auto wanted = [&](const std::string& part) { return parts.empty() || std::find(parts.begin(), parts.end(), part) != parts.end(); };
  TempDir dir(parent);
  if (!dir.ok()) {
    std::fprintf(stderr, "cannot make a folder in %s\n", parent.c_str());
    return 1;
  }
  const std::string files = dir.Path() + "/files", out = dir.Path() + "/out";
  const std::string cli = QM_CLI_PATH;
  if (wanted("fat32") || wanted("ntfs") || wanted("ext4")) MakeSourceFiles(files);
  const uint64_t bytes = 60ull * (16 << 20) + 256ull * (256 << 10);
  std::printf("Copying %.1f MiB in %d files out of a volume image (best of %d, page cache warm):\n",
              static_cast<double>(bytes) / (1 << 20), 316, kRounds);
  const std::string env = "XDG_STATE_HOME=" + Q(dir.Path() + "/state") + " ";
  for (const std::string kind : {"fat32", "ntfs", "ext4"}) {
    if (!wanted(kind)) continue;
    const std::string image = dir.Path() + "/" + kind + ".img";
    dir.Track(image);
    if (!MakeVolume(kind, files, image)) {
      std::printf("  %-6s the volume cannot be made here (a tool is missing)\n", kind.c_str());
      continue;
    }
    Shell("cat " + Q(image) + " >/dev/null");
    std::vector<Way> ways{{"quillmark-cli copy", env + Q(cli) + " copy --at 0 --to " + Q(out) + " " + Q(image)}};
    if (kind == "fat32") ways.push_back({"mcopy -s -m", "MTOOLS_SKIP_CHECK=1 mcopy -s -m -n -i " + Q(image) + " ::big ::small " + Q(out)});
    if (kind == "ext4") ways.push_back({"debugfs rdump", "PATH=\"$PATH:/usr/sbin\" debugfs -R " + Q("rdump / " + out) + " " + Q(image)});
    if (kind == "ntfs") {
      ways.push_back({"ntfscat per file", "cd " + Q(out) + " && for n in $(seq 0 59); do ntfscat " + Q(image) +
                                              " big_$n.bin > big_$n.bin; done && for n in $(seq 0 255); do ntfscat " +
                                              Q(image) + " small_$n.bin > small_$n.bin; done"});
      // ntfscat refuses a mounted volume: the mount is made and taken down inside its own run.
      if (::geteuid() == 0 && ::access("/dev/fuse", F_OK) == 0) {
        const std::string mnt = dir.Path() + "/mnt";
        fs::create_directories(mnt);
        ways.push_back({"ntfs-3g mount + cp -a", "ntfs-3g -o ro " + Q(image) + " " + Q(mnt) + " && cp -a " + Q(mnt) +
                                                     "/. " + Q(out) + "; umount " + Q(mnt)});
      }
    }
    Race(kind, out, ways, bytes);
    Shell("rm -f " + Q(image));
  }
  Shell("rm -rf " + Q(out) + " " + Q(files));
  if (wanted("list")) {
    std::printf("Listing a folder of 100,000 entries:\n");
    for (const char* kind : {"ext4", "ntfs", "exfat"}) ListBench(dir, cli, kind);
  }
  return 0;
}

}  // namespace
}  // namespace qm::bench

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  return qm::bench::Run(argc > 1 ? argv[1] : "/tmp", std::vector<std::string>(argv + std::min(argc, 2), argv + argc));
}
