#pragma once
// Writing whole sectors into the target of a clone: a block volume of the machine (a
// partition, or a disk formatted without a table), or a regular file that receives an image of
// the copied partition. Sector numbers count from the target's first byte. A volume stays
// open from the checks before the user is asked to the end of the copy, so that nobody can
// mount it in between. An image file is written under a temporary name beside it and takes
// its own name only when the copy is complete.
#include <sys/stat.h>

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
  // What the name stands for: absolute, symbolic links followed (a last one also when what it
  // points to does not exist), "." and ".." taken away.
  std::string resolved;
  bool danglingLink = false;  // Missing because the name is a symbolic link to nothing
};

// What `path` names now, following symbolic links.
VolumeTargetInfo InspectVolumeTarget(const std::string& path);

// `path` made absolute, symbolic links followed (a last one also when what it points to does
// not exist), "." and ".." taken away, as the system would resolve it.
std::string ResolvedPath(const std::string& path);

class VolumeWriter {
 public:
  // Opens an existing block device or regular file for writing. A block device is opened
  // exclusively: the kernel refuses that (EBUSY) while it is mounted, a swap area, part of an
  // array, or held by another exclusive opener. ENODEV for anything but those two kinds.
  static std::unique_ptr<VolumeWriter> OpenExisting(const std::string& path, int& error);
  // Creates a new regular file under a hidden temporary name (".NAME.quillmark-XXXXXX") in
  // the folder of `path`, the file that Replace() gives `path`'s name. `replaced` is the file
  // that now has the name, when there is one: the new file takes its owner (as far as the
  // system lets it) and its permission bits. Without Replace() the temporary file is removed
  // when the writer goes.
  static std::unique_ptr<VolumeWriter> CreateTemporary(const std::string& path, const struct stat* replaced,
                                                       int& error);

  ~VolumeWriter();
  VolumeWriter(const VolumeWriter&) = delete;
  VolumeWriter& operator=(const VolumeWriter&) = delete;

  // The target's name; for a temporary file, the name it is to take.
  const std::string& Path() const { return path_; }
  bool IsFile() const { return !block_; }
  // A block device's size in bytes, or a file's length when it was opened.
  uint64_t Bytes() const { return bytes_; }

  // Writes `count` sectors at sector `lba` of the target. False when they cannot all be
  // written: error() keeps the reason (ENOSPC at the end of a device) and failedAt() the
  // sector where writing stopped. The caller tells the user, once.
  bool WriteVolumeSectors(Lba lba, uint32_t count, const void* buffer);
  // Sets a file's length (sparse where nothing was written); 0 or the errno value.
  int SetFileLength(uint64_t bytes);
  // Makes everything written reach the medium; 0 or the errno value.
  int Flush();
  // Gives a temporary file its name: a file it replaces is kept until the new one has reached
  // the medium, and is then replaced in one step; a new one takes the name only while nothing
  // else has it (EEXIST). 0 or the errno value; nothing to do for any other writer.
  int Replace();
  int error() const { return error_; }
  Lba failedAt() const { return failedAt_; }

 private:
  VolumeWriter(std::string path, int fd, bool block, uint64_t bytes)
      : path_(std::move(path)), fd_(fd), block_(block), bytes_(bytes) {}

  std::string path_;
  int fd_;
  bool block_;
  uint64_t bytes_;
  int error_ = 0;
  Lba failedAt_ = 0;
  std::string temporary_;  // the temporary file's name until Replace()
  bool replaces_ = false;  // the temporary file is to replace an existing one
};

// The free bytes a new file can use in the folder that holds `path` (what an unprivileged
// writer may use); false when the folder cannot be asked.
bool FreeBytesFor(const std::string& path, uint64_t& bytes, int& error);

}  // namespace qm
