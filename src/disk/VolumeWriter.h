#pragma once
// Writing whole sectors into the target of a clone: a block volume of the machine (a
// partition, or a disk formatted without a table), or a regular file that receives an image of
// the copied partition. Sector numbers count from the target's first byte. The target stays
// open from the checks before the user is asked to the end of the copy, so that nobody can
// mount it in between.
#include <cstdint>
#include <memory>
#include <string>

#include "disk/Geometry.h"

namespace qm {

enum class VolumeTargetKind {
  Missing,      // nothing by that name: a new image file
  BlockDevice,
  File,         // an existing regular file
  Other,        // a directory, a FIFO, a character device ...
  Unreachable,  // cannot be looked at (a folder on the way denies it); `error` says why
};

struct VolumeTargetInfo {
  VolumeTargetKind kind = VolumeTargetKind::Missing;
  uint64_t bytes = 0;  // the length of a file; block devices are measured when opened
  int error = 0;
};

// What `path` names now, following symbolic links.
VolumeTargetInfo InspectVolumeTarget(const std::string& path);

class VolumeWriter {
 public:
  // Opens an existing block device or regular file for writing. A block device is opened
  // exclusively: the kernel refuses that (EBUSY) while it is mounted, a swap area, part of an
  // array, or held by another exclusive opener. ENODEV for anything but those two kinds.
  static std::unique_ptr<VolumeWriter> OpenExisting(const std::string& path, int& error);
  // Creates a new regular file; EEXIST when something appeared under the name meanwhile.
  static std::unique_ptr<VolumeWriter> Create(const std::string& path, int& error);

  ~VolumeWriter();
  VolumeWriter(const VolumeWriter&) = delete;
  VolumeWriter& operator=(const VolumeWriter&) = delete;

  const std::string& Path() const { return path_; }
  bool IsFile() const { return !block_; }
  // A block device's size in bytes, or a file's length when it was opened.
  uint64_t Bytes() const { return bytes_; }

  // Writes `count` sectors at sector `lba` of the target. A failed write is told through the
  // host ("Error writing data:" with the system's error number, the target and the sectors)
  // and gives false; a short write gives false without a message. error() keeps the reason.
  bool WriteVolumeSectors(Lba lba, uint32_t count, const void* buffer);
  // Sets a file's length (sparse where nothing was written); 0 or the errno value.
  int SetFileLength(uint64_t bytes);
  // Makes everything written reach the medium; 0 or the errno value.
  int Flush();
  int error() const { return error_; }

 private:
  VolumeWriter(std::string path, int fd, bool block, uint64_t bytes)
      : path_(std::move(path)), fd_(fd), block_(block), bytes_(bytes) {}

  std::string path_;
  int fd_;
  bool block_;
  uint64_t bytes_;
  int error_ = 0;
};

// The free bytes a new or replaced file can use in the folder that holds `path` (what an
// unprivileged writer may use); false when the folder cannot be asked.
bool FreeBytesFor(const std::string& path, uint64_t& bytes, int& error);

}  // namespace qm
