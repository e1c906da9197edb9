#include "disk/SectorIO.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "disk/Host.h"

namespace qm {
namespace {

struct CachedHandle {
  std::unique_ptr<SourceHandle> handle;
  uint8_t drive = 0;
  AccessMode mode = AccessMode::Read;
};

struct SectorLayer {
  std::vector<std::unique_ptr<DriveSource>> drives;
  CachedHandle cached;
  alignas(4096) std::array<uint8_t, kTransferChunk> transfer{};
  int lastError = 0;
  bool started = false;
  bool exitHooked = false;
};

SectorLayer& Layer() {
  static SectorLayer* layer = new SectorLayer;  // outlives every static that may still call us
  return *layer;
}

// Makes sure the cached handle is open for `drive` and `mode`; reopens it otherwise.
SourceHandle* EnsureHandle(uint8_t drive, AccessMode mode) {
  SectorLayer& L = Layer();
  if (L.cached.handle && L.cached.drive == drive && L.cached.mode == mode) return L.cached.handle.get();
  L.cached.handle.reset();
  L.cached.mode = mode;
  DriveSource* source = FindDriveSource(drive);
  if (!source) return nullptr;
  int error = 0;
  L.cached.handle = source->Open(mode, error);
  L.cached.drive = drive;
  if (!L.cached.handle) L.lastError = error != 0 ? error : EIO;
  return L.cached.handle.get();
}

MsgAnswer TransferPrompt(bool write, int error, uint8_t drive, Lba lba, uint16_t count) {
  return MessageBox(TransferErrorText(error, drive, lba, count) + "\r\rAbort, Retry or Ignore?",
                    write ? "Write Error" : "Read Error", MsgButtons::AbortRetryIgnore, MsgIcon::Warning);
}

// A short transfer has no errno of its own: on Linux it means the end of the device.
int ChunkError(const SourceHandle& h, ssize_t moved) {
  const int error = moved < 0 ? h.error() : ENXIO;
  Layer().lastError = error;
  return error;
}

// A run whose byte offsets would not fit a file offset is beyond every disk.
bool ByteOffsetFits(Lba lba, uint16_t count) {
  constexpr Lba kLastSector = static_cast<Lba>(INT64_MAX) / kSectorSize;
  if (lba <= kLastSector && lba + count <= kLastSector) return true;
  Layer().lastError = EINVAL;
  return false;
}

}  // namespace

void SectorIoStartup() {
  SectorLayer& L = Layer();
  L.cached = CachedHandle{};
  L.started = true;
  if (!L.exitHooked) {
    std::atexit(SectorIoShutdown);
    L.exitHooked = true;
  }
}

void SectorIoShutdown() { Layer().cached.handle.reset(); }

uint8_t AttachDrive(std::unique_ptr<DriveSource> source) {
  SectorLayer& L = Layer();
  if (L.drives.size() >= 0x80) return 0;
  L.drives.push_back(std::move(source));
  return static_cast<uint8_t>(kFirstHardDisk + L.drives.size() - 1);
}

void DetachAllDrives() {
  SectorLayer& L = Layer();
  L.cached.handle.reset();
  L.drives.clear();
}

bool WrapDriveSource(uint8_t drive, const std::function<std::unique_ptr<DriveSource>(std::unique_ptr<DriveSource>)>& wrap) {
  SectorLayer& L = Layer();
  if (drive < kFirstHardDisk || drive - kFirstHardDisk >= static_cast<int>(L.drives.size())) return false;
  L.cached.handle.reset();
  std::unique_ptr<DriveSource>& slot = L.drives[drive - kFirstHardDisk];
  slot = wrap(std::move(slot));
  return true;
}

DriveSource* FindDriveSource(uint8_t drive) {
  SectorLayer& L = Layer();
  if (drive < kFirstHardDisk) return nullptr;  // no floppy units on this platform
  size_t index = drive - kFirstHardDisk;
  return index < L.drives.size() ? L.drives[index].get() : nullptr;
}

size_t AttachedDriveCount() { return Layer().drives.size(); }

bool GetDriveGeometry(uint8_t drive, TDriveGeometry& geometry) {
  DriveSource* source = FindDriveSource(drive);
  int error = 0;
  return source && source->QueryGeometry(geometry, error);
}

uint64_t DriveSectorCount(uint8_t drive) {
  DriveSource* source = FindDriveSource(drive);
  return source ? source->SizeBytes() / kSectorSize : 0;
}

namespace {

// The chunked transfer with the Abort/Retry/Ignore policy, from `out` onwards.
bool ReadChunks(SourceHandle& h, uint8_t drive, Lba lba, uint16_t count, uint8_t* out, bool prompt) {
  size_t remaining = size_t{count} * kSectorSize;
  uint64_t offset = lba * kSectorSize;
  SectorLayer& L = Layer();
  while (remaining > 0) {
    size_t chunk = remaining < kTransferChunk ? remaining : kTransferChunk;
    // The transfer buffer starts as the caller's buffer, so that a device that reports a read
    // without delivering data leaves the caller's bytes (zeroes, or a test pattern) unchanged.
    std::memcpy(L.transfer.data(), out, chunk);
    ssize_t moved = h.ReadAt(offset, L.transfer.data(), chunk);
    if (moved != static_cast<ssize_t>(chunk)) {
      const int error = ChunkError(h, moved);
      if (!prompt) return false;
      switch (TransferPrompt(false, error, drive, lba, count)) {
        case MsgAnswer::Retry: continue;
        case MsgAnswer::Ignore: return true;
        default: return false;
      }
    }
    std::memcpy(out, L.transfer.data(), chunk);
    out += chunk;
    offset += chunk;
    remaining -= chunk;
  }
  return true;
}

}  // namespace

bool ReadSectors(uint8_t drive, Lba lba, uint16_t count, void* buffer, bool prompt, bool zeroFill) {
  auto* out = static_cast<uint8_t*>(buffer);
  const size_t length = size_t{count} * kSectorSize;
  SourceHandle* h = EnsureHandle(drive, AccessMode::Read);
  const uint64_t offset = lba * kSectorSize;
  if (!h || !ByteOffsetFits(lba, count)) {
    if (zeroFill) std::memset(out, 0, length);
    return false;
  }
  // A run that reads whole in one call needs neither the chunk loop nor the clearing: every
  // byte of the buffer is overwritten. This keeps a scan at the speed of the disk. Only
  // zero-filling callers get it: a failed attempt may have left bytes in the buffer, which the
  // clearing below then removes.
  if (zeroFill && length > kTransferChunk && h->ReadAt(offset, out, length) == static_cast<ssize_t>(length))
    return true;
  // Otherwise (a short run, or a failure somewhere in a long one) the run is read chunk by
  // chunk, so that a failure is found, prompted and ignored chunk by chunk.
  if (zeroFill) std::memset(out, 0, length);
  return ReadChunks(*h, drive, lba, count, out, prompt);
}

bool WriteSectors(uint8_t drive, Lba lba, uint16_t count, const void* buffer, bool prompt) {
  const auto* in = static_cast<const uint8_t*>(buffer);
  size_t remaining = size_t{count} * kSectorSize;
  SourceHandle* h = EnsureHandle(drive, AccessMode::Write);
  if (!h) return false;
  if (!ByteOffsetFits(lba, count)) return false;
  uint64_t offset = lba * kSectorSize;
  SectorLayer& L = Layer();
  while (remaining > 0) {
    size_t chunk = remaining < kTransferChunk ? remaining : kTransferChunk;
    std::memcpy(L.transfer.data(), in, chunk);
    ssize_t moved = h->WriteAt(offset, L.transfer.data(), chunk);
    if (moved != static_cast<ssize_t>(chunk)) {
      const int error = ChunkError(*h, moved);
      if (!prompt) return false;
      MsgAnswer answer = TransferPrompt(true, error, drive, lba, count);
      if (answer == MsgAnswer::Retry) continue;
      if (answer != MsgAnswer::Ignore) return false;
      // Ignore: the chunk counts as written and the transfer goes on.
    }
    in += chunk;
    offset += chunk;
    remaining -= chunk;
  }
  return true;
}

bool NotifyOS(uint8_t drive) {
  DriveSource* source = FindDriveSource(drive);
  if (source && !source->IsBlockDevice()) return true;  // an image file has no kernel table to refresh
  SourceHandle* h = EnsureHandle(drive, AccessMode::Write);
  if (!h) return false;
  if (!h->RereadPartitions()) {
    MessageBox(SystemErrorText(h->error()) + (h->detail().empty() ? "" : "\r" + h->detail()), "NotifyOS Error",
               MsgButtons::Ok, MsgIcon::Warning);
    return false;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // let udev settle the new partitions
  return true;
}

DriveLock::DriveLock(uint8_t drive) : drive_(drive), error_(ENODEV) {
  if (DriveSource* source = FindDriveSource(drive)) error_ = source->Lock();
}

DriveLock::~DriveLock() {
  if (error_ != 0) return;
  if (DriveSource* source = FindDriveSource(drive_)) source->Unlock();
}

int ProbeWritable(uint8_t drive) {
  DriveSource* source = FindDriveSource(drive);
  if (!source) return ENODEV;
  SectorLayer& L = Layer();
  if (L.cached.handle && L.cached.drive == drive && L.cached.mode == AccessMode::Write) return 0;
  int error = 0;
  std::unique_ptr<SourceHandle> handle = source->Open(AccessMode::Write, error);
  return handle ? 0 : (error != 0 ? error : EIO);
}

int LastIoError() { return Layer().lastError; }
void ClearIoError() { Layer().lastError = 0; }

std::string SystemErrorText(int error) {
  std::string text = std::strerror(error);
  while (!text.empty()) {
    unsigned char c = static_cast<unsigned char>(text.back());
    if (c == ' ' || c == '.' || c < 0x20 || c == 0x7F)
      text.pop_back();
    else
      break;
  }
  return text;
}

std::string TransferErrorText(int error, uint8_t drive, Lba lba, uint32_t count) {
  return "Error:" + SystemErrorText(error) + "\rDrive:" + DriveHex(drive) + "H  LBA:" + std::to_string(lba) +
         "  Blocks:" + std::to_string(count);
}

Outcome TransferFailure(bool write, int error, uint8_t drive, Lba lba, uint32_t count) {
  return Outcome::Failed(TransferErrorText(error, drive, lba, count), write ? "Write Error" : "Read Error", error,
                         lba, MsgIcon::Warning);
}

Outcome DriveSectors::Read(Lba lba, uint32_t count, void* buffer) {
  auto* out = static_cast<uint8_t*>(buffer);
  while (count > 0) {
    const uint16_t run = count > 0xFFFF ? uint16_t{0xFFFF} : static_cast<uint16_t>(count);
    ClearIoError();
    if (!ReadSectors(drive_, lba, run, out, false, false)) return TransferFailure(false, LastIoError(), drive_, lba, run);
    lba += run;
    count -= run;
    out += size_t{run} * kSectorSize;
  }
  return Outcome::Done();
}

std::string DriveHex(uint8_t drive) {
  char buf[3];
  std::snprintf(buf, sizeof buf, "%02X", drive);
  return buf;
}

}  // namespace qm
