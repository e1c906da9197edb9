// Speed of the lost-partition scanner, in three parts:
//  1. the full-disk scan against `dd bs=1M` (run as a program) and plain 1 MiB preads of the
//     same image, with the page cache warm and cold;
//  2. the quick scan of ten gaps run when a drive is opened;
//  3. `quillmark-cli list` of small images whose single gap is full of one-sector volumes
//     (4, 8 and 16 MiB), which shows whether the cost of a find grows with the finds.
//
//   quillmark-bench [SIZE_MIB [PARENT_DIR]]
//
// Makes a random image of SIZE_MIB (at least 2048) under PARENT_DIR ($TMPDIR or /tmp by
// default) with real boot sectors placed in it. "Cold" means the image's pages were dropped
// from the page cache with posix_fadvise(POSIX_FADV_DONTNEED) right before the run: only this
// image leaves the cache, so the machine's other users keep theirs. The images are removed at
// the end.
#include <fcntl.h>
#include <unistd.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "BenchImage.h"
#include "disk/Bytes.h"
#include "disk/Host.h"
#include "disk/Disk.h"
#include "scan/Scanner.h"

namespace qm::bench {
namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from, Clock::time_point to) { return std::chrono::duration<double>(to - from).count(); }

// Behaves like the desktop host during a scan: it handles the window's events only when
// 15 ms have passed since the last time. With `everyCall` it reads the clock on every pump;
// otherwise on every 64th pump, as the desktop host does (64 sectors take microseconds, far
// below 15 ms).
class RateLimitedHost final : public Host {
 public:
  explicit RateLimitedHost(bool everyCall) : mask_(everyCall ? 0 : 63) {}
  MsgAnswer MessageBox(const std::string& text, const std::string& caption, MsgButtons buttons, MsgIcon) override {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    return SafeAnswer(buttons);
  }
  void ProcessMessages() override {
    if (++calls_ & mask_) return;
    const Clock::time_point now = Clock::now();
    if (now - last_ < std::chrono::milliseconds(15)) return;
    last_ = now;
    ++pumps;
  }
  long pumps = 0;

 private:
  uint32_t mask_;
  uint32_t calls_ = 0;
  Clock::time_point last_{};
};

// A host whose pump does nothing at all: the scanner's own cost.
class SilentHost final : public Host {
 public:
  MsgAnswer MessageBox(const std::string&, const std::string&, MsgButtons buttons, MsgIcon) override {
    return SafeAnswer(buttons);
  }
};

// Reads the whole image with `blockBytes` preads.
double PlainRead(const std::string& path, uint64_t bytes, size_t blockBytes, uint64_t& checksum) {
  int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return -1;
  std::vector<uint8_t> buffer(blockBytes);
  const Clock::time_point start = Clock::now();
  for (uint64_t at = 0; at < bytes; at += blockBytes) {
    const size_t length = static_cast<size_t>(std::min<uint64_t>(blockBytes, bytes - at));
    if (::pread(fd, buffer.data(), length, static_cast<off_t>(at)) != static_cast<ssize_t>(length)) {
      ::close(fd);
      return -1;
    }
    checksum += buffer[length - 1];  // keeps the reads from being optimised away
  }
  const double elapsed = Seconds(start, Clock::now());
  ::close(fd);
  return elapsed;
}

double Dd(const std::string& path) {
  return TimeProgram({"dd", "if=" + path, "of=/dev/null", "bs=1M", "status=none"});
}

// An image with no partition table whose one gap, from sector 63 to the end, holds a FAT12
// boot sector claiming one sector in every sector, each with a serial of its own: every
// sector is a find. No formatting tool makes such a disk, so its sectors are made here.
bool MakeFindsImage(const std::string& path, uint64_t mib) {
  const uint64_t sectors = mib * 2048;
  std::vector<uint8_t> disk(sectors * 512);
  for (uint64_t lba = 63; lba < sectors; ++lba) {
    uint8_t* s = disk.data() + lba * 512;
    s[0] = 0xEB, s[1] = 0x3C, s[2] = 0x90;
    StoreLE<uint16_t>(s + 0x0B, 512);
    s[0x0D] = 1;
    StoreLE<uint16_t>(s + 0x0E, 1);
    StoreLE<uint16_t>(s + 0x13, 1);
    StoreLE<uint32_t>(s + 0x27, static_cast<uint32_t>(0x10000000 + lba));
    std::memcpy(s + 0x36, "FAT12   ", 8);
    s[510] = 0x55, s[511] = 0xAA;
  }
  FILE* out = std::fopen(path.c_str(), "wb");
  if (!out) return false;
  const bool ok = std::fwrite(disk.data(), 1, disk.size(), out) == disk.size();
  return std::fclose(out) == 0 && ok;
}

// Drops the image's pages from the page cache, so that the next run reads from the disk.
void DropFromCache(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return;
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  ::close(fd);
}

// The sector layer alone: the same blocks through ReadSectors, as the scan reads them.
double SectorLayerRead(Disk& disk, uint64_t sectors, uint64_t& checksum) {
  std::vector<uint8_t> buffer(512000);
  const Clock::time_point start = Clock::now();
  for (uint64_t at = 0; at < sectors; at += 1000) {
    const uint16_t count = static_cast<uint16_t>(std::min<uint64_t>(1000, sectors - at));
    if (!disk.ReadSectors(at, count, buffer.data(), true, true)) return -1;
    checksum += buffer[511];
  }
  return Seconds(start, Clock::now());
}

double Scan(TPhysicalDrv& drive, uint64_t sectors, size_t& finds) {
  drive.LostPartitions.clear();
  long progressCalls = 0;
  const ScanProgress progress = [&progressCalls](const ScanStep&) { ++progressCalls; };
  const Clock::time_point start = Clock::now();
  if (const Outcome scanned = DetectLostPartitions(drive, drive.Root, progress, 0, static_cast<int64_t>(sectors), false);
      scanned.failed())
    std::fprintf(stderr, "scan: %s\n", scanned.Line().c_str());
  const double elapsed = Seconds(start, Clock::now());
  finds = drive.LostPartitions.size();
  return elapsed;
}

// The quick scan run when a drive is opened, over ten gaps: each begins 2048 sectors (1 MiB)
// in front of a placed volume and reaches well behind it, so that each gap costs a probe up
// to the volume and a whole probe behind it, as an aligned layout with lost tables does.
double QuickScanTenGaps(TPhysicalDrv& drive, const BenchImage& image, size_t& finds) {
  std::vector<std::unique_ptr<TPartition>> gaps;
  for (size_t i = 0; i < image.starts.size() && gaps.size() < 10; ++i) {
    if (image.starts[i] < 2048) continue;
    auto gap = std::make_unique<TPartition>();
    gap->Entry.RelativeSector = static_cast<uint32_t>(image.starts[i] - 2048);
    gap->Entry.TotalSectors = static_cast<uint32_t>(2048 + image.lengths[i] + 2 * kQuickProbeSectors);
    gap->FsKind = fkUnallocated;
    gaps.push_back(std::move(gap));
  }
  drive.LostPartitions.clear();
  const Clock::time_point start = Clock::now();
  for (auto& gap : gaps)
    if (const Outcome scanned = AutoScanFreeSpace(drive, *gap); scanned.failed())
      std::fprintf(stderr, "quick scan: %s\n", scanned.Line().c_str());
  const double elapsed = Seconds(start, Clock::now());
  finds = drive.LostPartitions.size();
  return elapsed;
}

double ClockCostNs() {
  const int calls = 10'000'000;
  Clock::rep sink = 0;
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < calls; ++i) sink += Clock::now().time_since_epoch().count() & 1;
  const double elapsed = Seconds(start, Clock::now());
  if (sink == -1) std::puts("");
  return elapsed / calls * 1e9;
}

// The machine is shared: the least disturbed round is the best estimate of each variant.
double Best(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

std::string Rounds(const std::vector<double>& v) {
  std::string text;
  char one[32];
  for (double x : v) {
    std::snprintf(one, sizeof one, " %.3f", x);
    text += one;
  }
  return text;
}

}  // namespace
}  // namespace qm::bench

int main(int argc, char** argv) {
  using namespace qm;
  using namespace qm::bench;

  uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 2048;
  if (mib < 2048) mib = 2048;
  const char* tmp = std::getenv("TMPDIR");
  const std::string parent = argc > 2 ? argv[2] : (tmp && *tmp ? tmp : "/tmp");

  TempDir dir(parent);
  if (!dir.ok()) {
    std::fprintf(stderr, "quillmark-bench: cannot make a directory under %s\n", parent.c_str());
    return 1;
  }
  BenchImage image;
  std::string error;
  std::printf("making a %llu MiB image under %s ...\n", static_cast<unsigned long long>(mib), dir.Path().c_str());
  if (!MakeBenchImage(dir, mib << 20, image, error)) {
    std::fprintf(stderr, "quillmark-bench: %s\n", error.c_str());
    return 1;
  }

  const uint64_t bytes = image.sectors * 512;
  const double megabytes = static_cast<double>(bytes) / 1e6;
  uint64_t checksum = 0;
  PlainRead(image.path, bytes, 1 << 20, checksum);  // warms the page cache

  auto disk = std::make_unique<Disk>(std::make_unique<FileSource>(image.path), kFirstHardDisk);
  TDriveGeometry geometry;
  if (!disk->QueryGeometry(geometry)) {
    std::fprintf(stderr, "quillmark-bench: cannot open %s\n", image.path.c_str());
    return 1;
  }
  TPhysicalDrv drive(std::move(disk), geometry);

  // Rounds interleaved, so that every variant sees the same state of the machine.
  const int rounds = 5;
  std::vector<double> dds, reads, smallReads, layerReads, scans, clockScans, silentScans, quickScans;
  size_t finds = 0, clockFinds = 0, silentFinds = 0, quickFinds = 0;
  long pumps = 0;
  for (int r = 0; r < rounds; ++r) {
    dds.push_back(Dd(image.path));
    reads.push_back(PlainRead(image.path, bytes, 1 << 20, checksum));
    smallReads.push_back(PlainRead(image.path, bytes, 512000, checksum));
    layerReads.push_back(SectorLayerRead(drive.Io(), image.sectors, checksum));
    {
      RateLimitedHost host(false);
      UserHostScope scope(drive.Io(), host);
      scans.push_back(Scan(drive, image.sectors, finds));
      pumps = host.pumps;
    }
    {
      RateLimitedHost host(true);
      UserHostScope scope(drive.Io(), host);
      clockScans.push_back(Scan(drive, image.sectors, clockFinds));
    }
    {
      SilentHost host;
      UserHostScope scope(drive.Io(), host);
      silentScans.push_back(Scan(drive, image.sectors, silentFinds));
    }
    {
      RateLimitedHost host(false);
      UserHostScope scope(drive.Io(), host);
      quickScans.push_back(QuickScanTenGaps(drive, image, quickFinds));
    }
  }

  // Cold: each run starts with the image out of the page cache.
  const int coldRounds = 3;
  std::vector<double> coldDds, coldReads, coldScans;
  size_t coldFinds = 0;
  for (int r = 0; r < coldRounds; ++r) {
    DropFromCache(image.path);
    coldDds.push_back(Dd(image.path));
    DropFromCache(image.path);
    coldReads.push_back(PlainRead(image.path, bytes, 1 << 20, checksum));
    DropFromCache(image.path);
    RateLimitedHost host(false);
    UserHostScope scope(drive.Io(), host);
    coldScans.push_back(Scan(drive, image.sectors, coldFinds));
  }

  const double dd = Best(dds), read = Best(reads), smallRead = Best(smallReads), layer = Best(layerReads);
  const double scan = Best(scans), clockScan = Best(clockScans), silent = Best(silentScans);
  const double coldDd = Best(coldDds), coldRead = Best(coldReads), coldScan = Best(coldScans);
  if (dd <= 0 || read <= 0 || smallRead <= 0 || layer <= 0 || coldDd <= 0 || coldRead <= 0) {
    std::fprintf(stderr, "quillmark-bench: reading the image failed\n");
    return 1;
  }
  const double clockNs = ClockCostNs();
  auto rate = [megabytes](double s) { return megabytes / s; };
  std::printf("image                 %.0f MB scanned; %u volumes and %u backup copies placed\n", megabytes,
              image.volumes, image.backups);
  std::printf("page cache warm:\n");
  std::printf("  dd bs=1M            %7.3f s %8.1f MB/s  (the program, to /dev/null)\n", dd, rate(dd));
  std::printf("  pread 1 MiB         %7.3f s %8.1f MB/s\n", read, rate(read));
  std::printf("  pread 512000        %7.3f s %8.1f MB/s\n", smallRead, rate(smallRead));
  std::printf("  ReadSectors alone   %7.3f s %8.1f MB/s  (1000-sector calls through the sector layer)\n", layer,
              rate(layer));
  std::printf("  scan                %7.3f s %8.1f MB/s  (rate-limited host, clock every 64 pumps; %ld pumps, %zu finds)\n",
              scan, rate(scan), pumps, finds);
  std::printf("  scan, clock per pump%7.3f s %8.1f MB/s  (steady_clock read on every pump; %zu finds)\n", clockScan,
              rate(clockScan), clockFinds);
  std::printf("  scan, idle pump     %7.3f s %8.1f MB/s  (%zu finds)\n", silent, rate(silent), silentFinds);
  std::printf("  ratio scan / dd     %7.3f  (target at most 1.05)\n", scan / dd);
  std::printf("  ratio scan / pread 1 MiB %.3f\n", scan / read);
  std::printf("page cache cold (posix_fadvise DONTNEED on the image before each run):\n");
  std::printf("  dd bs=1M            %7.3f s %8.1f MB/s\n", coldDd, rate(coldDd));
  std::printf("  pread 1 MiB         %7.3f s %8.1f MB/s\n", coldRead, rate(coldRead));
  std::printf("  scan                %7.3f s %8.1f MB/s  (%zu finds)\n", coldScan, rate(coldScan), coldFinds);
  std::printf("  ratio scan / dd     %7.3f  (target at most 1.05)\n", coldScan / coldDd);
  std::printf("  ratio scan / pread 1 MiB %.3f\n", coldScan / coldRead);
  std::printf("steady_clock read     %7.1f ns a call, %.3f s for one read per sector\n", clockNs,
              clockNs * 1e-9 * static_cast<double>(image.sectors));
  std::printf("quick scan, ten gaps  %7.2f ms  (%zu finds; page cache warm; target under 50 ms)\n",
              Best(quickScans) * 1e3, quickFinds);
  std::printf("best of %d warm and %d cold rounds; all rounds (s):\n", rounds, coldRounds);
  std::printf("  dd          %s\n  pread 1 MiB %s\n  pread 512000%s\n  ReadSectors %s\n  scan        %s\n"
              "  clock scan  %s\n  idle scan   %s\n  quick scan  %s\n  cold dd     %s\n  cold pread  %s\n"
              "  cold scan   %s\n",
              Rounds(dds).c_str(), Rounds(reads).c_str(), Rounds(smallReads).c_str(), Rounds(layerReads).c_str(),
              Rounds(scans).c_str(), Rounds(clockScans).c_str(), Rounds(silentScans).c_str(),
              Rounds(quickScans).c_str(), Rounds(coldDds).c_str(), Rounds(coldReads).c_str(),
              Rounds(coldScans).c_str());

  bool ok = finds == image.volumes && clockFinds == image.volumes && silentFinds == image.volumes &&
            coldFinds == image.volumes;
  if (!ok) std::fprintf(stderr, "quillmark-bench: the scan found %zu volumes, %u were placed\n", finds, image.volumes);

  // `list` of a gap full of finds: the time per find must not grow with their number.
  std::printf("quillmark-cli list, one gap full of one-sector volumes (warm, best of 3):\n");
  for (uint64_t small : {4, 8, 16}) {
    const std::string path = dir.Path() + "/finds-" + std::to_string(small) + ".img";
    dir.Track(path);
    if (!MakeFindsImage(path, small)) {
      std::fprintf(stderr, "quillmark-bench: cannot write %s\n", path.c_str());
      return 1;
    }
    std::vector<double> lists;
    for (int r = 0; r < 3; ++r) lists.push_back(TimeProgram({QM_CLI_PATH, "list", path}));
    const double list = Best(lists);
    const uint64_t found = small * 2048 - 63;
    std::printf("  %2llu MiB  %6llu finds  %7.3f s  (%.2f us a find)\n", static_cast<unsigned long long>(small),
                static_cast<unsigned long long>(found), list, list * 1e6 / static_cast<double>(found));
    if (list < 0) ok = false;
    std::remove(path.c_str());
  }
  return ok ? 0 : 1;
}
