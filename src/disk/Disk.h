#pragma once
// One disk as this program works on it: its source (an image file or a block device), the
// handle it keeps open, its transfer buffer, its lock, the reason of its last failure and the
// host that answers its questions. Its transfers may be called from two threads at once. The
// drive model owns one per drive, so that two disks are worked on at once without sharing
// anything. Every transfer is a run of 512-byte sectors at a 64-bit LBA, moved in 64 KiB
// chunks; the handle stays open for one access mode, and a use in the other mode reopens it.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <vector>
#include <string>

#include "disk/DriveSource.h"
#include "disk/Geometry.h"
#include "disk/Host.h"
#include "disk/Outcome.h"
#include "disk/SectorReader.h"

namespace qm {

constexpr uint8_t kFirstHardDisk = 0x80;
constexpr size_t kTransferChunk = 65536;

class Disk final : public SectorReader {
 public:
  // `number` is the name the user sees ("80H"); a disk without a source fails every call
  // with ENODEV.
  Disk(std::unique_ptr<DriveSource> source, uint8_t number);
  ~Disk() override;
  Disk(const Disk&) = delete;
  Disk& operator=(const Disk&) = delete;

  uint8_t Number() const { return number_; }
  // The source's path; empty without a source.
  const std::string& Path() const;
  bool HasSource() const { return source_ != nullptr; }
  bool IsBlockDevice() const { return source_ && source_->IsBlockDevice(); }
  // Who answers the questions about this disk (its transfer errors, the questions before a
  // change) and pumps events during its long loops; DefaultHost() until a front end sets its
  // own. `host` must outlive its use here.
  Host& UserHost() const { return *host_; }
  void SetUserHost(Host& host) { host_ = &host; }
  void Pump() override { host_->ProcessMessages(); }

  // Puts `wrap(source)` in the place of the source, closing the open handle (the dry run).
  void WrapSource(const std::function<std::unique_ptr<DriveSource>(std::unique_ptr<DriveSource>)>& wrap);

  // Closes the open handle; the next transfer opens it again. A program that keeps disks
  // listed between its actions lets them go this way: a loop device detached meanwhile is
  // taken away by the kernel only once nobody holds it open.
  void CloseHandle();

  // The source's geometry; an image's logical sector size is the one set below, if any.
  bool QueryGeometry(TDriveGeometry& geometry);
  // The logical sector size of an image file (which has none of its own; its tables tell it
  // at best): 0 lets the source decide. A block device keeps the size it reports.
  void SetImageSectorSize(uint32_t bytes) { imageSectorSize_ = bytes; }
  // The size in 512-byte sectors, 64-bit (the geometry's count stops at 0xFFFFFFFF); 0 when
  // unknown.
  uint64_t SectorCount();

  // Reads `count` sectors at `lba` into `buffer` (count x 512 bytes). With `zeroFill` the
  // buffer is cleared first; with `prompt` a failed chunk asks Abort/Retry/Ignore.
  bool ReadSectors(Lba lba, uint16_t count, void* buffer, bool prompt, bool zeroFill);
  // Writes `count` sectors; with `prompt` a failed chunk asks Abort/Retry/Ignore.
  bool WriteSectors(Lba lba, uint16_t count, const void* buffer, bool prompt);
  // Reads many short runs at once (SourceHandle::ReadBatch), without asking: each run is
  // `Count` sectors at `Lba` into `Buffer`, Ok when it was read whole. False when the disk
  // could not be opened (every run then fails).
  struct SectorRun {
    Lba At = 0;
    uint32_t Count = 0;
    uint8_t* Buffer = nullptr;
    bool Ok = false;
  };
  bool ReadRuns(std::span<SectorRun> runs);
  // Where the source keeps data, in sectors (SourceHandle::DataFrom, HoleFrom): the first
  // sector at or after `lba` that may hold data (UINT64_MAX: none), and the first sector from
  // which on `lba`'s data run is all hole (UINT64_MAX: not known). Every sector may hold data
  // when the source cannot tell or cannot be opened.
  Lba DataFrom(Lba lba);
  Lba HoleFrom(Lba lba);
  // Reads without asking; a failure names the errno value and the sector.
  Outcome Read(Lba lba, uint32_t count, void* buffer) override;
  // The errno value of the last open or transfer that failed (0: none since the last
  // ClearIoError), so that a failed operation can say why.
  int LastIoError() const { return lastError_; }
  void ClearIoError() { lastError_ = 0; }

  // Tells the kernel that the partition table changed; true at once for an image file.
  Outcome NotifyOS();
  // 0 when the disk can be opened for writing now, else the errno value (EROFS, EACCES, or
  // EWOULDBLOCK when another program holds its lock). Nothing is written.
  int ProbeWritable();
  // The source's exclusive lock, taken without waiting; nested calls count. 0 or the errno.
  int Lock();
  void Unlock();

 private:
  SourceHandle* EnsureHandle(AccessMode mode);
  bool ByteOffsetFits(Lba lba, uint16_t count);
  bool ReadChunks(SourceHandle& h, Lba lba, uint16_t count, uint8_t* out, bool prompt,
                  std::unique_lock<std::mutex>& held);

  // One transfer at a time: a scan may read on a thread of its own while the window reads a
  // sector to show it. It is let go while a failed transfer asks the user, whose answer comes
  // from the window's thread.
  std::mutex io_;
  std::unique_ptr<DriveSource> source_;
  std::unique_ptr<SourceHandle> handle_;
  AccessMode mode_ = AccessMode::Read;
  struct alignas(4096) TransferBuffer {
    std::array<uint8_t, kTransferChunk> bytes;
  };
  std::unique_ptr<TransferBuffer> transfer_;
  std::vector<SourceHandle::BatchRead> batch_;  // ReadRuns' requests, kept for their memory
  std::vector<SectorRun*> batchRuns_;
  int lastError_ = 0;
  uint32_t imageSectorSize_ = 0;
  uint8_t number_;
  Host* host_ = &DefaultHost();
};

// The size of `disk` in 512-byte sectors, 64-bit: the geometry's count, or, where that stops at
// 0xFFFFFFFF (a disk of 2 TiB or more), the source's own size when it is larger. A disk of
// exactly 2^32 sectors holds one sector more than the geometry can count.
uint64_t WholeDiskSectors(Disk& disk, const TDriveGeometry& geometry);

// Lets `host` answer for `disk` for the life of this object, then the host it had before.
class UserHostScope {
 public:
  UserHostScope(Disk& disk, Host& host) : disk_(disk), previous_(disk.UserHost()) { disk.SetUserHost(host); }
  ~UserHostScope() { disk_.SetUserHost(previous_); }
  UserHostScope(const UserHostScope&) = delete;
  UserHostScope& operator=(const UserHostScope&) = delete;

 private:
  Disk& disk_;
  Host& previous_;
};

// Holds other programs off a disk while this one reads its tables, asks, writes and reads
// them back: the disk's exclusive lock, tried without waiting. Holds nest. `error()` is 0 when
// held, else the errno value (EWOULDBLOCK: another program holds it).
class DriveLock {
 public:
  explicit DriveLock(Disk& disk);
  ~DriveLock();
  DriveLock(const DriveLock&) = delete;
  DriveLock& operator=(const DriveLock&) = delete;
  bool held() const { return error_ == 0; }
  int error() const { return error_; }

 private:
  Disk& disk_;
  int error_;
};

// The system's text for an errno value, trimmed of trailing blanks, control characters and
// full stops.
std::string SystemErrorText(int error);
// "80" for 0x80: two upper-case hexadecimal digits.
std::string DriveHex(uint8_t drive);

// "Error:REASON\rDrive:80H  LBA:SECTOR  Blocks:COUNT", the sector in full 64 bits; and the
// failed outcome of a read or write that carries it, under "Read Error" or "Write Error".
std::string TransferErrorText(int error, uint8_t drive, Lba lba, uint32_t count);
Outcome TransferFailure(bool write, int error, uint8_t drive, Lba lba, uint32_t count);

}  // namespace qm
