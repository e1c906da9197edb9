#include "BenchImage.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "disk/Bytes.h"

namespace qm::bench {
namespace {

// The interrupt handler may only call async-signal-safe functions, so the paths it removes
// are kept in fixed buffers.
char g_trackedFiles[4][512];
char g_trackedDir[512];

extern "C" void RemoveOnSignal(int signal) {
  for (auto& file : g_trackedFiles)
    if (file[0]) ::unlink(file);
  if (g_trackedDir[0]) ::rmdir(g_trackedDir);
  ::_exit(128 + signal);
}

void CopyPath(char (&to)[512], const std::string& path) {
  std::strncpy(to, path.c_str(), sizeof to - 1);
  to[sizeof to - 1] = '\0';
}

uint64_t SplitMix64(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

using Sector = std::array<uint8_t, 512>;

bool ReadSector(const std::string& file, uint64_t lba, Sector& out) {
  int fd = ::open(file.c_str(), O_RDONLY);
  if (fd < 0) return false;
  bool ok = ::pread(fd, out.data(), out.size(), static_cast<off_t>(lba * 512)) == static_cast<ssize_t>(out.size());
  ::close(fd);
  return ok;
}

// One sample volume: its boot sector, the backup copy if the layout keeps one, and where
// that copy lies relative to the boot sector.
struct Sample {
  Sector boot{}, backup{};
  uint64_t backupOffset = 0;  // 0: no backup
  size_t serialOffset = 0;
  uint64_t sectors = 0;       // the extent the volume occupies on the disk
};

bool MakeSample(const std::string& dir, const std::string& name, const std::string& command, uint64_t sectors,
                size_t serialOffset, uint64_t backupOffset, Sample& sample, std::string& error) {
  const std::string file = dir + "/" + name;
  const std::string full = "cd '" + dir + "' && " + command + " >/dev/null 2>&1";
  if (std::system(full.c_str()) != 0) {
    error = "could not run: " + command + " (needs dosfstools and ntfs-3g)";
    return false;
  }
  bool ok = ReadSector(file, 0, sample.boot) && (backupOffset == 0 || ReadSector(file, backupOffset, sample.backup));
  std::filesystem::remove(file);
  if (!ok) {
    error = "could not read the boot sector of " + name;
    return false;
  }
  sample.backupOffset = backupOffset;
  sample.serialOffset = serialOffset;
  sample.sectors = sectors;
  return true;
}

bool WriteAll(int fd, const uint8_t* data, size_t length, uint64_t offset) {
  while (length > 0) {
    ssize_t n = ::pwrite(fd, data, length, static_cast<off_t>(offset));
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

}  // namespace

double TimeProgram(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  ::posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  const int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  if (spawned != 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TempDir::TempDir(const std::string& parent) {
  std::string pattern = parent + "/quillmark-bench-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!::mkdtemp(buffer.data())) return;
  path_ = buffer.data();
  CopyPath(g_trackedDir, path_);
  std::signal(SIGINT, RemoveOnSignal);
  std::signal(SIGTERM, RemoveOnSignal);
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
  for (auto& file : g_trackedFiles) file[0] = '\0';
  g_trackedDir[0] = '\0';
}

void TempDir::Track(const std::string& file) {
  for (auto& slot : g_trackedFiles)
    if (!slot[0]) {
      CopyPath(slot, file);
      return;
    }
}

bool MakeBenchImage(TempDir& dir, uint64_t bytes, BenchImage& image, std::string& error) {
  // mkfs.fat -C counts KiB; mkntfs puts its backup boot sector in the last sector.
  std::array<Sample, 4> samples;
  if (!MakeSample(dir.Path(), "f12", "mkfs.fat -F 12 -C f12 4096", 8192, 0x27, 0, samples[0], error) ||
      !MakeSample(dir.Path(), "f16", "mkfs.fat -F 16 -C f16 32768", 65536, 0x27, 0, samples[1], error) ||
      !MakeSample(dir.Path(), "f32", "mkfs.fat -F 32 -s 1 -C f32 40000", 80000, 0x43, 6, samples[2], error) ||
      !MakeSample(dir.Path(), "ntfs", "truncate -s 20M ntfs && mkntfs -Q -F -q ntfs", 40960, 0x48, 40959, samples[3],
                  error))
    return false;

  image.path = dir.Path() + "/disk.img";
  image.sectors = bytes / 512;
  dir.Track(image.path);
  int fd = ::open(image.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) {
    error = "cannot create " + image.path + ": " + std::strerror(errno);
    return false;
  }

  std::vector<uint64_t> chunk(1 << 20);  // 8 MiB
  uint64_t state = 0x5157494C4C4D4152ULL;
  bool ok = true;
  for (uint64_t done = 0; ok && done < bytes;) {
    for (auto& word : chunk) word = SplitMix64(state);
    const size_t length = static_cast<size_t>(std::min<uint64_t>(chunk.size() * 8, bytes - done));
    ok = WriteAll(fd, reinterpret_cast<const uint8_t*>(chunk.data()), length, done);
    done += length;
  }

  // Volumes spread over the disk, off the block grid, each copy with a serial of its own so
  // that only its own backup repeats it.
  const uint32_t perKind = 8;
  const uint64_t stride = image.sectors / (4 * perKind + 1);
  for (uint32_t i = 0; ok && i < 4 * perKind; ++i) {
    Sample& s = samples[i % 4];
    const uint64_t lba = stride * (i + 1) + (i * 337) % 1000;
    if (lba + s.sectors > image.sectors) break;
    StoreLE<uint32_t>(s.boot.data() + s.serialOffset, 0x51000000u + i);
    ok = WriteAll(fd, s.boot.data(), 512, lba * 512);
    ++image.volumes;
    image.starts.push_back(lba);
    image.lengths.push_back(s.sectors);
    if (ok && s.backupOffset) {
      StoreLE<uint32_t>(s.backup.data() + s.serialOffset, 0x51000000u + i);
      ok = WriteAll(fd, s.backup.data(), 512, (lba + s.backupOffset) * 512);
      ++image.backups;
    }
  }
  if (!ok) error = "writing " + image.path + " failed: " + std::strerror(errno);
  if (::close(fd) != 0 && ok) {
    error = "closing " + image.path + " failed: " + std::strerror(errno);
    ok = false;
  }
  return ok;
}

}  // namespace qm::bench
