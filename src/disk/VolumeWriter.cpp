#include "disk/VolumeWriter.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>


namespace qm {

namespace fs = std::filesystem;

std::string ResolvedPath(const std::string& path) {
  std::error_code ec;
  fs::path p = fs::absolute(path, ec);
  if (ec) p = path;
  // A last link is followed by hand: the system's own resolution stops at one that points to
  // nothing, and that is where a new file would go.
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
    const fs::path to = fs::read_symlink(p, ec);
    if (ec) break;
    p = to.is_absolute() ? to : p.parent_path() / to;
  }
  // The folders on the way that exist are resolved as the system does (a link, then ".."); the
  // rest by the names alone.
  fs::path resolved = fs::weakly_canonical(p, ec);
  if (ec) resolved = p.lexically_normal();
  std::string text = resolved.string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

VolumeTargetInfo InspectVolumeTarget(const std::string& path) {
  VolumeTargetInfo info;
  info.resolved = ResolvedPath(path);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    info.error = errno;
    info.kind = errno == ENOENT ? VolumeTargetKind::Missing : VolumeTargetKind::Unreachable;
    info.danglingLink = errno == ENOENT && ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
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

std::unique_ptr<VolumeWriter> VolumeWriter::CreateTemporary(const std::string& path, const struct stat* replaced,
                                                           int& error) {
  const fs::path target(path);
  fs::path folder = target.parent_path();
  if (folder.empty()) folder = ".";
  // Short enough for any file system's longest name.
  const std::string stem = "." + target.filename().string().substr(0, 200) + ".quillmark-";
  uint64_t seed = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                  (static_cast<uint64_t>(::getpid()) << 32);
  for (int attempt = 0; attempt < 100; ++attempt) {
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    char suffix[8];
    std::snprintf(suffix, sizeof suffix, "%06x", static_cast<unsigned>(seed >> 40) & 0xFFFFFFu);
    const std::string temporary = (folder / (stem + suffix)).string();
    // A new image gets the permissions a new file gets; a replacing one those of the old.
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) {
      error = errno;
      return nullptr;
    }
    std::unique_ptr<VolumeWriter> writer(new VolumeWriter(path, fd, false, 0));
    writer->temporary_ = temporary;
    writer->replaces_ = replaced != nullptr;
    error = 0;
    if (replaced) {
      // The owner where the system lets us (it goes first: a change of owner clears the
      // set-user-ID bits); the permission bits always, unless they are already the same (a
      // file system without them).
      const mode_t mode = replaced->st_mode & 07777;
      (void)!::fchown(fd, replaced->st_uid, replaced->st_gid);
      if (::fchmod(fd, mode) != 0) {
        error = errno;
        struct stat now {};
        if (::fstat(fd, &now) == 0 && (now.st_mode & 07777) == mode) error = 0;
      }
    }
    return error == 0 ? std::move(writer) : nullptr;  // a writer that goes removes its file
  }
  error = EEXIST;
  return nullptr;
}

VolumeWriter::~VolumeWriter() {
  ::close(fd_);
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
}

int VolumeWriter::Replace() {
  if (temporary_.empty()) return 0;
  // The old file is what the user keeps when the machine fails before the cache is written
  // back: it goes only once the new one is on the medium.
  if (replaces_ && ::fdatasync(fd_) != 0) return error_ = errno;
  if (replaces_) {
    if (::rename(temporary_.c_str(), path_.c_str()) != 0) return error_ = errno;
  } else if (::renameat2(AT_FDCWD, temporary_.c_str(), AT_FDCWD, path_.c_str(), RENAME_NOREPLACE) != 0) {
    // A file system that cannot promise it is asked first instead.
    if (errno != EINVAL && errno != ENOSYS) return error_ = errno;
    struct stat st {};
    if (::lstat(path_.c_str(), &st) == 0) return error_ = EEXIST;
    if (::rename(temporary_.c_str(), path_.c_str()) != 0) return error_ = errno;
  }
  temporary_.clear();
  return 0;
}

bool VolumeWriter::WriteVolumeSectors(Lba lba, uint32_t count, const void* buffer) {
  const auto* in = static_cast<const uint8_t*>(buffer);
  const size_t length = size_t{count} * kSectorSize;
  constexpr Lba kLastSector = static_cast<Lba>(INT64_MAX) / kSectorSize;
  failedAt_ = lba;
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
      failedAt_ = lba + done / kSectorSize;
      return false;
    }
    if (n == 0) {  // the end of a device: nothing more goes in
      error_ = ENOSPC;
      failedAt_ = lba + done / kSectorSize;
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
