// Speed of the quick search, in three parts:
//  1. `quillmark-cli list` (the quick search at open, 0.25 s per disk) on images made by the
//     formatting tools with lost volumes deep in gaps: how long it takes and how many it finds;
//  2. `quillmark-cli scan --quick` of a 2 TiB sparse image with a FAT32 volume at sector 2^31:
//     as an image file (its holes are passed over) and, as root, through a read-only loop
//     device (a block device: every position is read), against reading the disk whole;
//  3. batches through io_uring against one pread after the other, over the whole of a 4 GiB
//     image of random bytes (no holes: every position is read), with the page cache cold (the
//     image's pages dropped with posix_fadvise) and warm.
//
//   quillmark-quick-bench [PARENT_DIR]
//
// The images are sparse and removed at the end; PARENT_DIR is $TMPDIR or /tmp by default.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "BenchImage.h"
#include "disk/Disk.h"
#include "disk/DriveSource.h"
#include "scan/OpenDrive.h"
#include "scan/Scanner.h"

namespace qm::bench {
namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

std::string Shell(const std::string& command) {
  std::string out;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
    ::pclose(pipe);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

bool MakeImage(const std::string& path, const std::string& size, const std::string& steps) {
  const std::string command = std::string(QM_SOURCE_DIR) + "/tools/mkimage '" + path + "' " + size + " " + steps +
                              " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

// The lost volumes `command` (list, or scan with its options) shows, counted from its JSON.
int LostCount(const std::string& source, const std::string& command = "list") {
  const std::string json = Shell(std::string(QM_CLI_PATH) + " " + command + " --json '" + source + "' 2>/dev/null");
  int count = 0;
  for (size_t at = json.find("\"Lost partition\""); at != std::string::npos; at = json.find("\"Lost partition\"", at + 1))
    ++count;
  return count;
}

// The best of `runs` runs of the command line program.
double BestRun(std::vector<std::string> args, int runs) {
  double best = -1;
  for (int i = 0; i < runs; ++i) {
    const double t = TimeProgram(args);
    if (t >= 0 && (best < 0 || t < best)) best = t;
  }
  return best;
}

// A read-only loop device over `image`, detached at the end; empty when none can be made.
class LoopDevice {
 public:
  explicit LoopDevice(const std::string& image) {
    if (::geteuid() == 0) path_ = Shell("losetup -f --show -r '" + image + "' 2>/dev/null");
  }
  ~LoopDevice() {
    if (!path_.empty()) std::system(("losetup -d " + path_).c_str());
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// Drops the file's pages from the page cache, so that the next run reads from the disk.
void DropFromCache(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return;
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  ::close(fd);
}

// The quick search of sectors [first, end) of `source` in this process, with batches read as
// `how` says; its time, and the finds in `found`.
double SearchInProcess(const std::string& source, uint64_t first, uint64_t end, BatchReads how, size_t& found) {
  SetBatchReads(how);
  auto disk = std::make_unique<Disk>(std::make_unique<FileSource>(source), kFirstHardDisk);
  TDriveGeometry geometry;
  if (!disk->QueryGeometry(geometry)) return -1;
  auto drive = OpenDrive(std::move(disk), geometry, std::chrono::milliseconds(0));
  const auto start = Clock::now();
  StartQuickSearch(*drive, {{first, end}});
  const Outcome ended = ContinueQuickSearch(*drive, std::nullopt, {});
  const double took = Since(start);
  SetBatchReads(BatchReads::Ring);
  found = drive->LostPartitions.size();
  return ended ? took : -1;
}

int Run(const std::string& parent) {
  TempDir dir(parent);
  if (!dir.ok()) {
    std::fprintf(stderr, "cannot make a folder under %s\n", parent.c_str());
    return 1;
  }
  const std::string cli = QM_CLI_PATH;
  std::printf("Quick search at open (`list`, best of 5, with the start of the program):\n");
  const struct {
    const char* name;
    const char* size;
    const char* steps;
    int lost;
  } disks[] = {
      {"2 GiB: FAT16 at 1 GiB (a 1 MiB boundary), NTFS at cylinder 200 + 63", "2G",
       "table 'label: dos\\nstart=2048, size=204800, type=c' fs 1 fat32 "
       "fsat 2097152 131072 fat16 LOSTFAT fsat 3213063 204800 ntfs LOSTNTFS",
       2},
      {"512 MiB: four volumes from 64 MiB behind the last partition", "512M",
       "table 'label: dos\\nstart=2048, size=65536, type=6' fs 1 fat16 "
       "fsat 198656 40960 fat16 A fsat 239616 40960 ntfs B fsat 280576 71680 fat32 C fsat 352256 40960 ext4 D",
       4},
      {"2 TiB: FAT32 at sector 2^31, in the middle of a gap", "2T",
       "table 'label: dos\\nstart=2048, size=204800, type=c' fs 1 fat32 fsat 2147483648 262144 fat32 DEEP", 1},
  };
  std::string twoTiB;
  for (const auto& d : disks) {
    const std::string image = dir.Path() + "/quick-" + d.size + ".img";
    dir.Track(image);
    if (!MakeImage(image, d.size, d.steps)) {
      std::printf("  %s: the image could not be made\n", d.name);
      continue;
    }
    if (std::string(d.size) == "2T") twoTiB = image;
    const double t = BestRun({cli, "list", image}, 5);
    std::printf("  %-68s %7.3f s  %d of %d found\n", d.name, t, LostCount(image), d.lost);
    LoopDevice loop(image);
    if (!loop.Path().empty() && std::string(d.size) != "2T") {
      const double onDevice = BestRun({cli, "list", loop.Path()}, 5);
      std::printf("  %-68s %7.3f s  %d of %d found\n", "  the same through a loop device (every position read)", onDevice,
                  LostCount(loop.Path()), d.lost);
    }
  }
  if (twoTiB.empty()) return 1;

  std::printf("\n`scan --quick` of the 2 TiB disk (whole disk):\n");
  const double imageTime = BestRun({cli, "scan", "--quick", twoTiB}, 3);
  std::printf("  image file (holes passed over)                %8.2f s  %d of 1 found\n", imageTime,
              LostCount(twoTiB, "--quick-search-ms 0 scan --quick"));
  LoopDevice loop(twoTiB);
  if (loop.Path().empty()) {
    std::printf("  (not root: the loop-device figures are left out)\n");
    return 0;
  }
  const double deviceTime = TimeProgram({cli, "scan", "--quick", loop.Path()});
  std::printf("  loop device (every position read, io_uring)   %8.2f s\n", deviceTime);
  // Reading the disk whole: 32 GiB read with dd, scaled to 2 TiB.
  const double ddPart = TimeProgram({"dd", "if=" + loop.Path(), "of=/dev/null", "bs=1M", "count=32768"});
  std::printf("  dd bs=1M of the loop device, 32 GiB x 64     %8.2f s (estimated)\n", ddPart * 64);

  return 0;
}

int CompareBatches(TempDir& dir) {
  BenchImage image;
  std::string error;
  if (!MakeBenchImage(dir, 4ull << 30, image, error)) {
    std::printf("the random image could not be made: %s\n", error.c_str());
    return 1;
  }
  std::printf("\nBatches over a 4 GiB image of random bytes (%u volumes placed off the grid; none is aligned):\n",
              image.volumes);
  for (const bool cold : {true, false}) {
    for (const BatchReads how : {BatchReads::Ring, BatchReads::OneByOne}) {
      double best = -1;
      size_t found = 0;
      for (int run = 0; run < (cold ? 1 : 3); ++run) {
        if (cold) DropFromCache(image.path);
        const double t = SearchInProcess(image.path, 0, image.sectors, how, found);
        if (t >= 0 && (best < 0 || t < best)) best = t;
      }
      std::printf("  %-4s %-40s %8.3f s  (%zu found)\n", cold ? "cold" : "warm",
                  how == BatchReads::Ring ? "io_uring, 64 in flight" : "one pread after the other", best, found);
    }
  }
  return 0;
}

}  // namespace
}  // namespace qm::bench

int main(int argc, char** argv) {
  const char* tmp = std::getenv("TMPDIR");
  const std::string parent = argc > 1 ? argv[1] : (tmp && *tmp ? tmp : "/tmp");
  const int sparse = qm::bench::Run(parent);
  qm::bench::TempDir dir(parent);
  return dir.ok() ? std::max(sparse, qm::bench::CompareBatches(dir)) : 1;
}
