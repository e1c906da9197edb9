// Speed of cloning a 1 GiB lost partition into an image file on the same file system, against
// `dd bs=1M` over the same range, with the source in the page cache (read once before).
//
//   quillmark-clone-bench [PARENT_DIR]
//
// The source is an image of 1 GiB + 1 MiB whose FAT32 volume at sector 2048 (made by mkfs.fat,
// no table entry pointing to it) is filled with random bytes behind its file allocation
// tables, so that no run reads holes. Each way is timed five times, interleaved, each run
// after a sync, and the best time counts:
//   dd            dd bs=1M into a new file, left in the page cache as the clone leaves it
//   dd+fdatasync  the same with conv=fdatasync, for the disk's own speed
//   clone         PrepareClone + CloneLostPartition in this process (checks and copy)
//   cli           quillmark-cli clone --yes end to end (start-up, quick scan, copy)
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchImage.h"
#include "disk/Machine.h"
#include "disk/Host.h"
#include "disk/Disk.h"
#include "edit/Clone.h"
#include "scan/OpenDrive.h"

namespace qm::bench {
namespace {

using Clock = std::chrono::steady_clock;
constexpr uint64_t kStart = 2048, kSectors = 2097152;  // 1 GiB from 1 MiB on
constexpr int kRounds = 5;

double Since(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

// The 1 GiB volume filled with random bytes from its 8th MiB on (its tables stay as made).
bool FillWithRandom(const std::string& image) {
  const int fd = ::open(image.c_str(), O_WRONLY);
  if (fd < 0) return false;
  std::vector<uint64_t> block((1u << 20) / 8);
  uint64_t state = 0x5EED;
  bool ok = true;
  for (uint64_t at = (kStart + 16384) * 512; ok && at < (kStart + kSectors) * 512; at += block.size() * 8) {
    for (uint64_t& word : block) {
      state ^= state << 13, state ^= state >> 7, state ^= state << 17;
      word = state;
    }
    ok = ::pwrite(fd, block.data(), block.size() * 8, static_cast<off_t>(at)) == static_cast<ssize_t>(block.size() * 8);
  }
  return ::close(fd) == 0 && ok;
}

double CloneInProcess(const std::string& source, const std::string& out) {
  auto disk = std::make_unique<Disk>(std::make_unique<FileSource>(source), kFirstHardDisk);
  TDriveGeometry g;
  if (!disk->QueryGeometry(g)) return -1;
  std::unique_ptr<TPhysicalDrv> drive = OpenDrive(std::move(disk), g);
  TPartition* lost = nullptr;
  for (auto& p : drive->LostPartitions)
    if (p->AbsoluteStart() == kStart) lost = p.get();
  if (!lost) return -1;
  const Clock::time_point start = Clock::now();
  Outcome refusal;
  std::unique_ptr<TClonePlan> plan = PrepareClone(*drive, *lost, out, refusal);
  if (!plan || CloneLostPartition(*drive, *plan, nullptr).Result != CloneResult::Copied) return -1;
  return Since(start);
}

}  // namespace
}  // namespace qm::bench

int main(int argc, char** argv) {
  using namespace qm::bench;
  const char* tmp = std::getenv("TMPDIR");
  TempDir dir(argc > 1 ? argv[1] : tmp ? tmp : "/tmp");
  if (!dir.ok()) return 1;
  const std::string source = dir.Path() + "/clone-source.img", out = dir.Path() + "/clone-out.img";
  dir.Track(source);
  dir.Track(out);
  std::printf("Making a 1 GiB lost FAT32 volume of random bytes ...\n");
  std::fflush(stdout);
  if (TimeProgram({QM_SOURCE_DIR "/tools/mkimage", source, "1025M", "fsat", "2048", "2097152", "fat32", "BIG"}) < 0 ||
      !FillWithRandom(source) || TimeProgram({"cat", source}) < 0) {
    std::fprintf(stderr, "cannot make the source image in %s\n", dir.Path().c_str());
    return 1;
  }

  const char* names[] = {"dd bs=1M", "dd bs=1M conv=fdatasync", "clone (in process)", "quillmark-cli clone"};
  double best[4] = {1e9, 1e9, 1e9, 1e9};
  const std::vector<std::string> dd = {"dd", "if=" + source, "of=" + out, "bs=1M", "skip=1", "count=1024", "status=none"};
  std::vector<std::string> ddSync = dd;
  ddSync.push_back("conv=fdatasync");
  // Each run starts with nothing left to write back from the one before.
  auto settle = [&] {
    ::unlink(out.c_str());
    ::sync();
  };
  for (int round = 0; round < kRounds; ++round) {
    double times[4];
    settle();
    times[0] = TimeProgram(dd);
    settle();
    times[1] = TimeProgram(ddSync);
    settle();
    times[2] = CloneInProcess(source, out);
    settle();
    times[3] = TimeProgram({QM_CLI_PATH, "clone", "--at", "2048", "--to", out, "--yes", source});
    settle();
    for (int i = 0; i < 4; ++i) {
      if (times[i] < 0) {
        std::fprintf(stderr, "%s failed\n", names[i]);
        return 1;
      }
      best[i] = std::min(best[i], times[i]);
    }
  }
  std::printf("Clone of 1 GiB into a new file on the same file system, warm page cache, best of %d:\n", kRounds);
  for (int i = 0; i < 4; ++i)
    std::printf("  %-26s %6.3f s  %7.1f MiB/s  %.2f x dd\n", names[i], best[i], 1024 / best[i], best[0] / best[i]);
  return 0;
}
