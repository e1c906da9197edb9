#include <fcntl.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <liburing.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>
#include <vector>

#include "disk/DriveSource.h"
#include "disk/KernelPartitions.h"
#include "disk/LoopDevices.h"

namespace qm {
namespace {

std::atomic<BatchReads> batchReads{BatchReads::Ring};

// Requests in flight at once: enough for a disk to order its seeks, little memory.
constexpr unsigned kRingDepth = 64;

class FdHandle final : public SourceHandle {
 public:
  // `lockOwner` is released when the handle closes (write handles hold the source's lock).
  FdHandle(int fd, bool block, DriveSource* lockOwner = nullptr) : fd_(fd), block_(block), lockOwner_(lockOwner) {}
  ~FdHandle() override {
    if (ring_) io_uring_queue_exit(&*ring_);
    ::close(fd_);
    if (lockOwner_) lockOwner_->Unlock();
  }

  ssize_t ReadAt(uint64_t offset, uint8_t* buf, size_t len) override {
    return Transfer(len, [&](size_t done) { return ::pread(fd_, buf + done, len - done, static_cast<off_t>(offset + done)); });
  }

  void ReadBatch(std::span<BatchRead> batch) override {
    if (batchReads.load() != BatchReads::Ring || !Ring()) return SourceHandle::ReadBatch(batch);
    size_t queued = 0, completed = 0;
    unsigned inFlight = 0;
    while (completed < batch.size()) {
      while (queued < batch.size() && inFlight < kRingDepth) {
        io_uring_sqe* sqe = io_uring_get_sqe(&*ring_);
        if (!sqe) break;
        BatchRead& read = batch[queued];
        io_uring_prep_read(sqe, fd_, read.Buffer, static_cast<unsigned>(read.Length), read.Offset);
        io_uring_sqe_set_data64(sqe, queued);
        ++queued;
        ++inFlight;
      }
      // A signal (Ctrl+C on the command line) interrupts the wait, not the reads.
      int waited = io_uring_submit_and_wait(&*ring_, 1);
      while (waited == -EINTR) waited = io_uring_submit_and_wait(&*ring_, 1);
      if (waited < 0) {
        // The ring failed as a whole (it never has here): it is given up, which lets the
        // kernel finish what is in flight, and the batch is read again one by one.
        io_uring_queue_exit(&*ring_);
        ring_.reset();
        ringFailed_ = true;
        return SourceHandle::ReadBatch(batch);
      }
      io_uring_cqe* cqe = nullptr;
      unsigned head = 0, seen = 0;
      io_uring_for_each_cqe(&*ring_, head, cqe) {
        BatchRead& read = batch[io_uring_cqe_get_data64(cqe)];
        // A short or failed answer is read again the plain way, which says why.
        read.Moved = cqe->res == static_cast<int>(read.Length) ? cqe->res : ReadAt(read.Offset, read.Buffer, read.Length);
        ++seen;
      }
      io_uring_cq_advance(&*ring_, seen);
      completed += seen;
      inFlight -= seen;
    }
  }

  uint64_t DataFrom(uint64_t offset) override {
    if (block_ || offset > static_cast<uint64_t>(INT64_MAX)) return offset;
    const off_t at = ::lseek(fd_, static_cast<off_t>(offset), SEEK_DATA);
    if (at >= 0) return static_cast<uint64_t>(at);
    return errno == ENXIO ? UINT64_MAX : offset;  // ENXIO: only holes from there to the end
  }

  uint64_t HoleFrom(uint64_t offset) override {
    if (block_ || offset > static_cast<uint64_t>(INT64_MAX)) return UINT64_MAX;
    const off_t at = ::lseek(fd_, static_cast<off_t>(offset), SEEK_HOLE);
    return at >= 0 ? static_cast<uint64_t>(at) : UINT64_MAX;
  }

  ssize_t WriteAt(uint64_t offset, const uint8_t* buf, size_t len) override {
    return Transfer(len, [&](size_t done) { return ::pwrite(fd_, buf + done, len - done, static_cast<off_t>(offset + done)); });
  }

  bool RereadPartitions() override {
    if (!block_) return true;
    detail_.clear();
    // A kernel that re-read the table lists its partitions now. It may also refuse: busy (a
    // partition is mounted or held open), or not able to read tables at all (a loop device
    // without partition scanning, a kernel without this table format). Its list is then
    // brought up to date one partition at a time.
    const int whole = ::ioctl(fd_, BLKRRPART) == 0 ? 0 : errno;
    struct stat st{};
    if (::fstat(fd_, &st) != 0) {
      error_ = whole;
      return whole == 0;
    }
    // Write handles are opened write-only: the tables are read through a reading handle of the
    // same device.
    const int reader = ::open(("/proc/self/fd/" + std::to_string(fd_)).c_str(), O_RDONLY | O_CLOEXEC);
    const auto read = [reader](uint64_t lba, uint8_t* sector) {
      return reader >= 0 && ::pread(reader, sector, 512, static_cast<off_t>(lba * 512)) == 512;
    };
    const std::vector<KernelPartition> wanted = PartitionsOfTables(read);
    if (reader >= 0) ::close(reader);
    const std::vector<KernelPartition> listed = ListedPartitions(st.st_rdev);
    if (listed == wanted) return true;
    const auto failed = UpdatePartitions(fd_, listed, wanted);
    if (failed.empty()) return true;
    error_ = whole != 0 ? whole : failed.front().second;
    std::string names;
    for (const auto& [number, error] : failed)
      names += (names.empty() ? "" : ", ") + std::to_string(number) + " (" + std::strerror(error) + ")";
    detail_ = "The system could not re-read the whole partition table and keeps its old view of partition" +
              std::string(failed.size() == 1 ? " " : "s ") + names +
              ": it shows the new layout of " + (failed.size() == 1 ? "that partition" : "those partitions") +
              " after a reboot, or once nothing uses the disk and the table is read again.";
    return false;
  }

 private:
  // Repeats the call until `len` bytes moved, the end is reached (0) or an error comes.
  template <typename Op>
  ssize_t Transfer(size_t len, Op op) {
    size_t done = 0;
    while (done < len) {
      ssize_t n = op(done);
      if (n < 0) {
        if (errno == EINTR) continue;
        error_ = errno;
        return -1;
      }
      if (n == 0) break;
      done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
  }

  // The handle's ring, made at its first batch; none when the kernel has no io_uring (or
  // forbids it), and the batches are then read one by one.
  bool Ring() {
    if (ring_ || ringFailed_) return ring_.has_value();
    ring_.emplace();
    if (io_uring_queue_init(kRingDepth, &*ring_, 0) != 0) {
      ring_.reset();
      ringFailed_ = true;
    }
    return ring_.has_value();
  }

  int fd_;
  bool block_;
  DriveSource* lockOwner_;
  std::optional<io_uring> ring_;
  bool ringFailed_ = false;
};

}  // namespace

void SetBatchReads(BatchReads how) { batchReads.store(how); }

namespace {

bool SysfsRemovable(dev_t rdev) {
  std::ifstream in(SysfsBlockDir(rdev) + "/removable");
  int value = 0;
  return (in >> value) && value == 1;
}

bool IsDiskFileType(mode_t mode) { return S_ISREG(mode) || S_ISBLK(mode); }

// Opens an image file or a block device, and nothing else. A FIFO would block open() until a
// writer came, and a character device (a terminal, a tape) may act on being opened, so the type
// is looked at before the open; the open itself does not block, and the type is checked once
// more on what was really opened, in case the name was swapped in between. -1 with `error`
// (ENODEV for a file of another type) otherwise.
int OpenDiskFile(const std::string& path, int flags, int& error) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    error = errno;
    return -1;
  }
  if (!IsDiskFileType(st.st_mode)) {
    error = ENODEV;
    return -1;
  }
  int fd = ::open(path.c_str(), flags | O_NONBLOCK);
  if (fd < 0) {
    error = errno;
    return -1;
  }
  error = 0;
  if (::fstat(fd, &st) != 0) {
    error = errno;
  } else if (!IsDiskFileType(st.st_mode)) {
    error = ENODEV;
  } else {
    int now = ::fcntl(fd, F_GETFL);
    if (now == -1 || ::fcntl(fd, F_SETFL, now & ~O_NONBLOCK) != 0) error = errno;
  }
  if (error != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// The logical sector size an image was made for, as far as its tables tell: a GPT header
// behind a protective entry stands in the image's second logical sector. 512 when nothing
// says otherwise (an image of a master boot record alone does not tell).
uint32_t ImageSectorSize(int fd) {
  std::array<uint8_t, 4096 + 8> head{};
  const ssize_t got = ::pread(fd, head.data(), head.size(), 0);
  if (got < static_cast<ssize_t>(kSectorSize) || head[510] != 0x55 || head[511] != 0xAA) return kSectorSize;
  bool protective = false;
  for (size_t i = 0; i < 4; ++i) protective = protective || head[0x1BE + 16 * i + 4] == 0xEE;
  if (!protective) return kSectorSize;
  for (uint32_t size = 512; size <= 4096; size *= 2)
    if (static_cast<size_t>(got) >= size + 8 && std::memcmp(head.data() + size, "EFI PART", 8) == 0) return size;
  return kSectorSize;
}

}  // namespace

std::string SysfsBlockDir(dev_t rdev) {
  return "/sys/dev/block/" + std::to_string(major(rdev)) + ":" + std::to_string(minor(rdev));
}

void FillGeometryFromSize(TDriveGeometry& g, uint64_t bytes, uint32_t heads, uint32_t sectorsPerTrack) {
  uint64_t sectors = bytes / kSectorSize;
  g.TotalSectors = sectors > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(sectors);
  g.Heads = heads;
  g.SectorsPerTrack = sectorsPerTrack;
  uint64_t perCylinder = uint64_t{heads} * sectorsPerTrack;
  g.Cylinders = perCylinder ? static_cast<uint32_t>(g.TotalSectors / perCylinder) : 0;
}

FileSource::FileSource(std::string path) : path_(std::move(path)) {}

FileSource::~FileSource() {
  for (int fd : lockFds_) ::close(fd);
}

int FileSource::Lock() {
  if (lockDepth_ > 0) {
    ++lockDepth_;
    return 0;
  }
  // The source itself must open; each other name of its sectors is locked when it opens
  // (a path in sysfs may be stale, and then nobody writes through it either).
  std::vector<int> held;
  const auto take = [&held](const std::string& path, bool required) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return required ? errno : 0;
    held.push_back(fd);
    return ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
  };
  int error = take(path_, true);
  struct stat st {};
  if (error == 0 && ::fstat(held.front(), &st) != 0) error = errno;
  if (error == 0)
    for (const std::string& other : LoopLinkedPaths(st))
      if ((error = take(other, false)) != 0) break;
  if (error != 0) {
    for (int fd : held) ::close(fd);
    return error;
  }
  lockFds_ = std::move(held);
  lockDepth_ = 1;
  return 0;
}

void FileSource::Unlock() {
  if (lockDepth_ == 0 || --lockDepth_ > 0) return;
  for (int fd : lockFds_) ::close(fd);  // closing the last descriptor of an open file releases its flock
  lockFds_.clear();
}

bool FileSource::IsBlockDevice() const {
  struct stat st {};
  return ::stat(path_.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
}

std::unique_ptr<SourceHandle> FileSource::Open(AccessMode mode, int& error) {
  int flags = (mode == AccessMode::Read ? O_RDONLY : O_WRONLY | O_SYNC) | O_CLOEXEC;
  int fd = OpenDiskFile(path_, flags, error);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    error = errno;
    ::close(fd);
    return nullptr;
  }
  bool block = S_ISBLK(st.st_mode);
  if (mode == AccessMode::Write) {
    if (int locked = Lock(); locked != 0) {
      error = locked;
      ::close(fd);
      return nullptr;
    }
    return std::make_unique<FdHandle>(fd, block, this);
  }
  return std::make_unique<FdHandle>(fd, block);
}

bool FileSource::QueryGeometry(TDriveGeometry& g, int& error) {
  int fd = OpenDiskFile(path_, O_RDONLY | O_CLOEXEC, error);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0;
  if (!ok) error = errno;
  g = TDriveGeometry{};
  if (ok && S_ISREG(st.st_mode)) {
    FillGeometryFromSize(g, static_cast<uint64_t>(st.st_size));
    g.BytesPerSector = ImageSectorSize(fd);
    g.MediaClass = kMediaFixed;
  } else if (ok && S_ISBLK(st.st_mode)) {
    uint64_t bytes = 0;
    int logical = 0;
    if (::ioctl(fd, BLKGETSIZE64, &bytes) != 0 || ::ioctl(fd, BLKSSZGET, &logical) != 0) {
      error = errno;
      ok = false;
    } else {
      struct hd_geometry geo {};
      bool hasGeo = ::ioctl(fd, HDIO_GETGEO, &geo) == 0 && geo.heads != 0 && geo.sectors != 0;
      FillGeometryFromSize(g, bytes, hasGeo ? geo.heads : 255, hasGeo ? geo.sectors : 63);
      g.BytesPerSector = static_cast<uint32_t>(logical);
      bool removable = SysfsRemovable(st.st_rdev);
      g.MediaClass = removable ? kMediaRemovable : kMediaFixed;
    }
  } else if (ok) {
    error = ENODEV;
    ok = false;
  }
  ::close(fd);
  return ok;
}

uint64_t FileSource::SizeBytes() {
  int error = 0;
  int fd = OpenDiskFile(path_, O_RDONLY | O_CLOEXEC, error);
  if (fd < 0) return 0;
  struct stat st {};
  uint64_t bytes = 0;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
    bytes = static_cast<uint64_t>(st.st_size);
  else if (S_ISBLK(st.st_mode) && ::ioctl(fd, BLKGETSIZE64, &bytes) != 0)
    bytes = 0;
  ::close(fd);
  return bytes;
}

}  // namespace qm
