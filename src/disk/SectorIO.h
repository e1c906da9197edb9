#pragma once
// The sector layer: the only place that touches a drive. Drives are named by BIOS drive
// numbers (0x80 = first hard disk); every transfer is a run of 512-byte sectors at a 64-bit
// LBA, moved in 64 KiB chunks through one transfer buffer, over one cached handle: the last
// drive and access mode used keep theirs open, any other use reopens it.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "disk/DriveSource.h"
#include "disk/Geometry.h"
#include "disk/Outcome.h"
#include "disk/SectorReader.h"

namespace qm {

constexpr uint8_t kFirstHardDisk = 0x80;
constexpr size_t kTransferChunk = 65536;

// Start-up and shut-down of the layer. Start-up hooks shut-down into process exit.
void SectorIoStartup();
void SectorIoShutdown();

// Drive registry: sources become 0x80, 0x81, ... in the order they are attached.
uint8_t AttachDrive(std::unique_ptr<DriveSource> source);
void DetachAllDrives();
DriveSource* FindDriveSource(uint8_t drive);
// Puts `wrap(source)` in the place of `drive`'s source (closing its cached handle). False when
// no such drive is attached.
bool WrapDriveSource(uint8_t drive, const std::function<std::unique_ptr<DriveSource>(std::unique_ptr<DriveSource>)>& wrap);
size_t AttachedDriveCount();

bool GetDriveGeometry(uint8_t drive, TDriveGeometry& geometry);
// The drive's size in 512-byte sectors, 64-bit (the geometry's count stops at 0xFFFFFFFF);
// 0 when unknown.
uint64_t DriveSectorCount(uint8_t drive);
// Reads `count` sectors at `lba` into `buffer` (count x 512 bytes). With `zeroFill` the
// buffer is cleared first; with `prompt` a failed chunk asks Abort/Retry/Ignore.
bool ReadSectors(uint8_t drive, Lba lba, uint16_t count, void* buffer, bool prompt, bool zeroFill);
// Writes `count` sectors; with `prompt` a failed chunk asks Abort/Retry/Ignore.
bool WriteSectors(uint8_t drive, Lba lba, uint16_t count, const void* buffer, bool prompt);
// The errno value of the last open or transfer that failed (0: none since the last
// ClearIoError), so that a failed operation can say why.
int LastIoError();
void ClearIoError();

// Tells the kernel that the partition table of `drive` changed.
bool NotifyOS(uint8_t drive);

// Holds other programs off `drive` while this one reads its tables, asks, writes and reads
// them back: an exclusive lock on the source, tried without waiting. Holds nest. `error()`
// is 0 when held, else the errno value (EWOULDBLOCK: another program holds it).
class DriveLock {
 public:
  explicit DriveLock(uint8_t drive);
  ~DriveLock();
  DriveLock(const DriveLock&) = delete;
  DriveLock& operator=(const DriveLock&) = delete;
  bool held() const { return error_ == 0; }
  int error() const { return error_; }

 private:
  uint8_t drive_;
  int error_;
};

// 0 when `drive` can be opened for writing now, else the errno value (EROFS, EACCES, or
// EWOULDBLOCK when another program holds its lock). Nothing is written.
int ProbeWritable(uint8_t drive);

// The system's text for an errno value, trimmed of trailing blanks, control characters and
// full stops.
std::string SystemErrorText(int error);
// "80" for 0x80: two upper-case hexadecimal digits.
std::string DriveHex(uint8_t drive);

// "Error:REASON\rDrive:80H  LBA:SECTOR  Blocks:COUNT", the sector in full 64 bits; and the
// failed outcome of a read or write that carries it, under "Read Error" or "Write Error".
std::string TransferErrorText(int error, uint8_t drive, Lba lba, uint32_t count);
Outcome TransferFailure(bool write, int error, uint8_t drive, Lba lba, uint32_t count);

// The sectors of an attached drive, for readers that take any sector source.
class DriveSectors final : public SectorReader {
 public:
  explicit DriveSectors(uint8_t drive) : drive_(drive) {}
  Outcome Read(Lba lba, uint32_t count, void* buffer) override;

 private:
  uint8_t drive_;
};

}  // namespace qm
