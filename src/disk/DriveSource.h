#pragma once
// A drive source is where the sectors of one disk come from: an image file or a Linux block
// device. The disk object (Disk.h) opens a handle on it per access mode and keeps it; the
// layers above talk to the disk, never to its source.
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "disk/Geometry.h"

namespace qm {

enum class AccessMode { Read, Write };

class SourceHandle {
 public:
  virtual ~SourceHandle() = default;
  // Transfers up to `len` bytes at byte `offset`. Returns the number of bytes moved, or -1
  // with error() set. Fewer bytes than asked (the end of an image) is not an error here.
  virtual ssize_t ReadAt(uint64_t offset, uint8_t* buf, size_t len) = 0;
  virtual ssize_t WriteAt(uint64_t offset, const uint8_t* buf, size_t len) = 0;
  // Reads every request of `batch`, in any order and possibly at once, each as ReadAt would
  // (Moved is what ReadAt returns; error() holds the errno value of a failed one). This one
  // reads them one after the other.
  struct BatchRead {
    uint64_t Offset = 0;
    uint8_t* Buffer = nullptr;
    size_t Length = 0;
    ssize_t Moved = 0;
  };
  virtual void ReadBatch(std::span<BatchRead> batch) {
    for (BatchRead& read : batch) read.Moved = ReadAt(read.Offset, read.Buffer, read.Length);
  }
  // Where a sparse image file keeps data (its holes read as zeros): the first byte at or after
  // `offset` that may hold data (UINT64_MAX: none up to the end), and the first byte at or
  // after `offset` that lies in a hole (UINT64_MAX: not known). A source that cannot tell
  // says that every byte may hold data.
  virtual uint64_t DataFrom(uint64_t offset) { return offset; }
  virtual uint64_t HoleFrom(uint64_t) { return UINT64_MAX; }
  // Asks the kernel to re-read the partition table; true at once for an image file. When the
  // kernel can only be told part of it, detail() says which partitions it keeps as they were.
  virtual bool RereadPartitions() = 0;
  int error() const { return error_; }
  const std::string& detail() const { return detail_; }

 protected:
  int error_ = 0;
  std::string detail_;
};

class DriveSource {
 public:
  virtual ~DriveSource() = default;
  virtual const std::string& Path() const = 0;
  virtual bool IsBlockDevice() const = 0;
  // Opens a new handle; nullptr on failure, with the errno value in `error`.
  virtual std::unique_ptr<SourceHandle> Open(AccessMode mode, int& error) = 0;
  // Fills the geometry; false (with `error`) when the source cannot be queried.
  virtual bool QueryGeometry(TDriveGeometry& geometry, int& error) = 0;
  // The whole size in bytes, beyond what the 32-bit sector count of the geometry holds;
  // 0 when unknown.
  virtual uint64_t SizeBytes() { return 0; }
  // Holds other programs off the source: an exclusive advisory lock, taken without waiting.
  // Nested calls count; each successful Lock needs one Unlock. Returns 0, or the errno value
  // (EWOULDBLOCK when another program holds the lock). Sources that no other program can
  // reach need no lock.
  virtual int Lock() { return 0; }
  virtual void Unlock() {}
};

// Image files and block devices, through open/pread/pwrite. Write handles use O_SYNC so that
// table writes reach the medium, and hold the source's lock (a BSD flock, as partitioning
// tools take it) for as long as they are open: udev does not probe a half-written table, and
// two copies of this program never write the same tables at once. The lock of a loop device
// also takes the file behind it, and that of an image file every loop device attached to it:
// a program that holds either name holds off writes through the other. It is all or nothing.
class FileSource final : public DriveSource {
 public:
  explicit FileSource(std::string path);
  ~FileSource() override;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;
  const std::string& Path() const override { return path_; }
  bool IsBlockDevice() const override;
  std::unique_ptr<SourceHandle> Open(AccessMode mode, int& error) override;
  bool QueryGeometry(TDriveGeometry& geometry, int& error) override;
  uint64_t SizeBytes() override;
  int Lock() override;
  void Unlock() override;

 private:
  std::string path_;
  // Open while lockDepth_ > 0: the source's own, then those of the other names of its sectors
  // (a loop device and the file behind it). flock works per open file, so one set for all holds.
  std::vector<int> lockFds_;
  int lockDepth_ = 0;
};

// How the handles of image files and block devices read a batch: all at once through one
// io_uring (the default where the kernel offers it; a disk then sees many requests together
// and orders them), or one pread after the other. A choice for measuring both.
enum class BatchReads { Ring, OneByOne };
void SetBatchReads(BatchReads how);

// Geometry conventions shared by every source: 255 heads and 63 sectors per track unless the
// device tells otherwise; TotalSectors capped at 0xFFFFFFFF (the MBR cannot address more).
// The sysfs folder of a block device, e.g. /sys/dev/block/8:16.
std::string SysfsBlockDir(dev_t device);

void FillGeometryFromSize(TDriveGeometry& geometry, uint64_t bytes, uint32_t heads = 255, uint32_t sectorsPerTrack = 63);

}  // namespace qm
