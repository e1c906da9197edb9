#include "disk/VolumeWriter.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "disk/Host.h"

namespace qm {

VolumeTargetInfo InspectVolumeTarget(const std::string& path) {
  VolumeTargetInfo info;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    info.error = errno;
    info.kind = errno == ENOENT ? VolumeTargetKind::Missing : VolumeTargetKind::Unreachable;
    return info;
  }
  if (S_ISBLK(st.st_mode)) {
    info.kind = VolumeTargetKind::BlockDevice;
  } else if (S_ISREG(st.st_mode)) {
    info.kind = VolumeTargetKind::File;
    info.bytes = static_cast<uint64_t>(st.st_size);
  } else {
    info.kind = VolumeTargetKind::Other;
  }
  return info;
}

std::unique_ptr<VolumeWriter> VolumeWriter::OpenExisting(const std::string& path, int& error) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    error = errno;
    return nullptr;
  }
  // Only these two kinds: a FIFO would block the open, a character device may act on it.
  if (!S_ISBLK(st.st_mode) && !S_ISREG(st.st_mode)) {
    error = ENODEV;
    return nullptr;
  }
  const bool block = S_ISBLK(st.st_mode);
  // O_EXCL on a block device is the kernel's own in-use test: it fails with EBUSY while a file
  // system is mounted from it (or any partition of it, for a whole disk).
  int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK | (block ? O_EXCL : 0));
  if (fd < 0) {
    error = errno;
    return nullptr;
  }
  // The name may have been swapped between the look and the open: judge what was opened.
  uint64_t bytes = 0;
  error = 0;
  if (::fstat(fd, &st) != 0) {
    error = errno;
  } else if (S_ISBLK(st.st_mode) != block || (!block && !S_ISREG(st.st_mode))) {
    error = ENODEV;
  } else if (block) {
    if (::ioctl(fd, BLKGETSIZE64, &bytes) != 0) error = errno;
  } else {
    bytes = static_cast<uint64_t>(st.st_size);
  }
  if (error == 0) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags == -1 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) error = errno;
  }
  if (error != 0) {
    ::close(fd);
    return nullptr;
  }
  return std::unique_ptr<VolumeWriter>(new VolumeWriter(path, fd, block, bytes));
}

std::unique_ptr<VolumeWriter> VolumeWriter::Create(const std::string& path, int& error) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = errno;
    return nullptr;
  }
  error = 0;
  return std::unique_ptr<VolumeWriter>(new VolumeWriter(path, fd, false, 0));
}

VolumeWriter::~VolumeWriter() { ::close(fd_); }

bool VolumeWriter::WriteVolumeSectors(Lba lba, uint32_t count, const void* buffer) {
  const auto* in = static_cast<const uint8_t*>(buffer);
  const size_t length = size_t{count} * kSectorSize;
  constexpr Lba kLastSector = static_cast<Lba>(INT64_MAX) / kSectorSize;
  if (lba > kLastSector || lba + count > kLastSector) {
    error_ = EINVAL;
    return false;
  }
  const uint64_t offset = lba * kSectorSize;
  size_t done = 0;
  while (done < length) {
    const ssize_t n = ::pwrite(fd_, in + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error_ = errno;
      MessageBox("Error writing data:\r\nError code:" + std::to_string(error_) + "\r\n" + "Drive:" + path_ +
                     "   Sector Number:" + std::to_string(lba) + "   Blocks:" + std::to_string(count),
                 "Error", MsgButtons::Ok, MsgIcon::Error);
      return false;
    }
    if (n == 0) {  // the end of a device: nothing more goes in
      error_ = ENOSPC;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

int VolumeWriter::SetFileLength(uint64_t bytes) {
  if (block_) return 0;
  if (::ftruncate(fd_, static_cast<off_t>(bytes)) != 0) return error_ = errno;
  return 0;
}

int VolumeWriter::Flush() {
  if (::fdatasync(fd_) != 0) return error_ = errno;
  return 0;
}

bool FreeBytesFor(const std::string& path, uint64_t& bytes, int& error) {
  std::filesystem::path folder = std::filesystem::path(path).parent_path();
  if (folder.empty()) folder = ".";
  struct statvfs fs {};
  if (::statvfs(folder.c_str(), &fs) != 0) {
    error = errno;
    return false;
  }
  bytes = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
  return true;
}

}  // namespace qm
