#pragma once
// Drive sources for tests: an in-memory disk, and a wrapper that injects faults into chosen
// chunks of another source, counts opens and reports what was written.
#include <cerrno>
#include <cstdint>
#include <map>
#include <optional>
#include <memory>
#include <string>
#include <vector>

#include "disk/DriveSource.h"
#include "disk/SectorReader.h"

namespace qm::test {

// A disk held in memory. Geometry as for image files (255 heads, 63 sectors per track).
class MemorySource : public DriveSource {
 public:
  explicit MemorySource(size_t bytes, std::string path = "memory") : data(std::make_shared<std::vector<uint8_t>>(bytes)), path_(std::move(path)) {}
  // Another source over the same bytes: each drive owns its own disk.
  explicit MemorySource(std::shared_ptr<std::vector<uint8_t>> shared, std::string path = "memory")
      : data(std::move(shared)), path_(std::move(path)) {}
  const std::string& Path() const override { return path_; }
  bool IsBlockDevice() const override { return false; }
  std::unique_ptr<SourceHandle> Open(AccessMode mode, int& error) override;
  bool QueryGeometry(TDriveGeometry& geometry, int& error) override;

  std::shared_ptr<std::vector<uint8_t>> data;  // shared with the test that made it

 private:
  std::string path_;
};

enum class FaultKind {
  Error,  // the call fails with an errno
  Short,  // the call succeeds but moves fewer bytes than asked
};

struct Fault {
  FaultKind kind = FaultKind::Error;
  int error = EIO;
  int times = 1;  // how many attempts fail before the chunk works; -1 forever
};

// Wraps another source. Faults are keyed by the byte offset of the chunk they hit.
class FaultSource : public DriveSource {
 public:
  struct State {
    std::map<uint64_t, Fault> readFaults, writeFaults;
    bool failOpen = false, failReread = false, blockDevice = false;
    bool staleReads = false;  // reads report every byte done but leave the caller's buffer alone
    int opens[2] = {0, 0};  // by AccessMode
    int rereads = 0;        // partition re-reads asked for
    std::vector<uint64_t> readOffsets, writeOffsets;  // every transfer attempted
  };

  explicit FaultSource(std::unique_ptr<DriveSource> inner, std::shared_ptr<State> shared = std::make_shared<State>())
      : inner_(std::move(inner)), state(std::move(shared)) {}
  const std::string& Path() const override { return inner_->Path(); }
  bool IsBlockDevice() const override { return state->blockDevice; }
  std::unique_ptr<SourceHandle> Open(AccessMode mode, int& error) override;
  bool QueryGeometry(TDriveGeometry& geometry, int& error) override { return inner_->QueryGeometry(geometry, error); }

 private:
  std::unique_ptr<DriveSource> inner_;

 public:
  std::shared_ptr<State> state;  // stays valid after the sector layer takes the source
};

// A disk in memory as the file-system readers see it: every read is noted, a read past the
// end fails with ENXIO and one that covers `failAt` with EIO.
class MemorySectors : public SectorReader {
 public:
  explicit MemorySectors(size_t bytes) : data(bytes) {}
  Outcome Read(Lba lba, uint32_t count, void* buffer) override;

  std::vector<uint8_t> data;
  std::vector<Lba> reads;  // the first sector of each read
  std::optional<Lba> failAt;
};

}  // namespace qm::test
