#pragma once
// The benchmark's disk image: random bytes with real boot sectors (and their backup copies)
// of small volumes made by mkfs.fat and mkntfs placed at scattered sectors.
#include <cstdint>
#include <string>
#include <vector>

namespace qm::bench {

// A directory made under `parent` that removes itself and everything in it when destroyed,
// and also when the program is interrupted (SIGINT, SIGTERM).
class TempDir {
 public:
  explicit TempDir(const std::string& parent);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  bool ok() const { return !path_.empty(); }
  // Registers a file for removal by the interrupt handler.
  void Track(const std::string& file);

 private:
  std::string path_;
};

struct BenchImage {
  std::string path;
  uint64_t sectors = 0;
  uint32_t volumes = 0;  // boot sectors placed; a scan should find exactly these
  uint32_t backups = 0;  // backup copies placed behind them; a scan should skip these
  std::vector<uint64_t> starts;   // where each placed volume begins, ascending
  std::vector<uint64_t> lengths;  // and the sectors it occupies
};

// Runs a program (looked up on PATH unless it is a path) with stdout and stderr to /dev/null;
// its run time in seconds, or -1 when it could not be started or failed.
double TimeProgram(std::vector<std::string> args);

// Writes an image of `bytes` (a multiple of 512) into `dir`. False, with `error`, when a
// tool fails or the disk is full.
bool MakeBenchImage(TempDir& dir, uint64_t bytes, BenchImage& image, std::string& error);

}  // namespace qm::bench
