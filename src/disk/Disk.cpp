#include "disk/Disk.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <thread>

#include "disk/Host.h"

namespace qm {
namespace {

MsgAnswer TransferPrompt(Host& host, bool write, int error, uint8_t drive, Lba lba, uint16_t count) {
  return host.MessageBox(TransferErrorText(error, drive, lba, count) + "\r\rAbort, Retry or Ignore?",
                    write ? "Write Error" : "Read Error", MsgButtons::AbortRetryIgnore, MsgIcon::Warning);
}

// A short transfer has no errno of its own: on Linux it means the end of the device.
int ChunkError(const SourceHandle& h, ssize_t moved) { return moved < 0 ? h.error() : ENXIO; }

const std::string kNoPath;

}  // namespace

Disk::Disk(std::unique_ptr<DriveSource> source, uint8_t number)
    : source_(std::move(source)), transfer_(std::make_unique<TransferBuffer>()), number_(number) {}

Disk::~Disk() = default;

const std::string& Disk::Path() const { return source_ ? source_->Path() : kNoPath; }

void Disk::WrapSource(const std::function<std::unique_ptr<DriveSource>(std::unique_ptr<DriveSource>)>& wrap) {
  const std::lock_guard<std::mutex> held(io_);
  handle_.reset();
  source_ = wrap(std::move(source_));
}

void Disk::CloseHandle() {
  const std::lock_guard<std::mutex> held(io_);
  handle_.reset();
}

bool Disk::QueryGeometry(TDriveGeometry& geometry) {
  int error = 0;
  if (!source_ || !source_->QueryGeometry(geometry, error)) return false;
  if (imageSectorSize_ != 0 && !source_->IsBlockDevice()) geometry.BytesPerSector = imageSectorSize_;
  // Cylinders count the disk's own sectors, as heads and sectors per track do.
  const uint64_t perCylinder = uint64_t{geometry.Heads} * geometry.SectorsPerTrack * BlocksPerSector(geometry);
  if (perCylinder != 0) geometry.Cylinders = static_cast<uint32_t>(geometry.TotalSectors / perCylinder);
  return true;
}

uint64_t Disk::SectorCount() { return source_ ? source_->SizeBytes() / kSectorSize : 0; }

uint64_t WholeDiskSectors(Disk& disk, const TDriveGeometry& geometry) {
  if (geometry.TotalSectors != 0xFFFFFFFFu) return geometry.TotalSectors;
  return std::max<uint64_t>(geometry.TotalSectors, disk.SectorCount());
}

// Makes sure the handle is open for `mode`; reopens it otherwise.
SourceHandle* Disk::EnsureHandle(AccessMode mode) {
  if (handle_ && mode_ == mode) return handle_.get();
  handle_.reset();
  mode_ = mode;
  if (!source_) {
    lastError_ = ENODEV;
    return nullptr;
  }
  int error = 0;
  handle_ = source_->Open(mode, error);
  if (!handle_) lastError_ = error != 0 ? error : EIO;
  return handle_.get();
}

// A run whose byte offsets would not fit a file offset is beyond every disk.
bool Disk::ByteOffsetFits(Lba lba, uint16_t count) {
  constexpr Lba kLastSector = static_cast<Lba>(INT64_MAX) / kSectorSize;
  if (lba <= kLastSector && lba + count <= kLastSector) return true;
  lastError_ = EINVAL;
  return false;
}

// The chunked transfer with the Abort/Retry/Ignore policy, from `out` onwards.
bool Disk::ReadChunks(SourceHandle& h, Lba lba, uint16_t count, uint8_t* out, bool prompt,
                      std::unique_lock<std::mutex>& held) {
  size_t remaining = size_t{count} * kSectorSize;
  uint64_t offset = lba * kSectorSize;
  uint8_t* transfer = transfer_->bytes.data();
  while (remaining > 0) {
    size_t chunk = remaining < kTransferChunk ? remaining : kTransferChunk;
    // The transfer buffer starts as the caller's buffer, so that a device that reports a read
    // without delivering data leaves the caller's bytes (zeroes, or a test pattern) unchanged.
    std::memcpy(transfer, out, chunk);
    ssize_t moved = h.ReadAt(offset, transfer, chunk);
    if (moved != static_cast<ssize_t>(chunk)) {
      lastError_ = ChunkError(h, moved);
      if (!prompt) return false;
      const int error = lastError_;
      held.unlock();
      const MsgAnswer answer = TransferPrompt(*host_, false, error, number_, lba, count);
      held.lock();
      switch (answer) {
        case MsgAnswer::Retry: continue;
        case MsgAnswer::Ignore: return true;
        default: return false;
      }
    }
    std::memcpy(out, transfer, chunk);
    out += chunk;
    offset += chunk;
    remaining -= chunk;
  }
  return true;
}

bool Disk::ReadSectors(Lba lba, uint16_t count, void* buffer, bool prompt, bool zeroFill) {
  auto* out = static_cast<uint8_t*>(buffer);
  const size_t length = size_t{count} * kSectorSize;
  std::unique_lock<std::mutex> held(io_);
  SourceHandle* h = EnsureHandle(AccessMode::Read);
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
  return ReadChunks(*h, lba, count, out, prompt, held);
}

bool Disk::WriteSectors(Lba lba, uint16_t count, const void* buffer, bool prompt) {
  const auto* in = static_cast<const uint8_t*>(buffer);
  size_t remaining = size_t{count} * kSectorSize;
  std::unique_lock<std::mutex> held(io_);
  SourceHandle* h = EnsureHandle(AccessMode::Write);
  if (!h || !ByteOffsetFits(lba, count)) return false;
  uint64_t offset = lba * kSectorSize;
  uint8_t* transfer = transfer_->bytes.data();
  while (remaining > 0) {
    size_t chunk = remaining < kTransferChunk ? remaining : kTransferChunk;
    std::memcpy(transfer, in, chunk);
    ssize_t moved = h->WriteAt(offset, transfer, chunk);
    if (moved != static_cast<ssize_t>(chunk)) {
      lastError_ = ChunkError(*h, moved);
      if (!prompt) return false;
      const int error = lastError_;
      held.unlock();
      const MsgAnswer answer = TransferPrompt(*host_, true, error, number_, lba, count);
      held.lock();
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

bool Disk::ReadRuns(std::span<SectorRun> runs) {
  const std::lock_guard<std::mutex> held(io_);
  SourceHandle* h = EnsureHandle(AccessMode::Read);
  for (SectorRun& run : runs) run.Ok = false;
  if (!h) return false;
  batch_.clear();
  batchRuns_.clear();
  for (SectorRun& run : runs) {
    if (run.Count == 0 || run.Count > 0xFFFF || !ByteOffsetFits(run.At, static_cast<uint16_t>(run.Count))) continue;
    batch_.push_back({run.At * kSectorSize, run.Buffer, size_t{run.Count} * kSectorSize, 0});
    batchRuns_.push_back(&run);
  }
  h->ReadBatch(batch_);
  for (size_t i = 0; i < batch_.size(); ++i) {
    batchRuns_[i]->Ok = batch_[i].Moved == static_cast<ssize_t>(batch_[i].Length);
    if (!batchRuns_[i]->Ok) lastError_ = ChunkError(*h, batch_[i].Moved);
  }
  return true;
}

Lba Disk::DataFrom(Lba lba) {
  const std::lock_guard<std::mutex> held(io_);
  SourceHandle* h = EnsureHandle(AccessMode::Read);
  if (!h || lba > UINT64_MAX / kSectorSize) return lba;
  const uint64_t at = h->DataFrom(lba * kSectorSize);
  return at == UINT64_MAX ? UINT64_MAX : std::max(lba, at / kSectorSize);  // the sector that holds it
}

Lba Disk::HoleFrom(Lba lba) {
  const std::lock_guard<std::mutex> held(io_);
  SourceHandle* h = EnsureHandle(AccessMode::Read);
  if (!h || lba > UINT64_MAX / kSectorSize) return UINT64_MAX;
  const uint64_t at = h->HoleFrom(lba * kSectorSize);
  return at == UINT64_MAX ? UINT64_MAX : (at + kSectorSize - 1) / kSectorSize;  // a sector that holds data is no hole
}

Outcome Disk::Read(Lba lba, uint32_t count, void* buffer) {
  auto* out = static_cast<uint8_t*>(buffer);
  while (count > 0) {
    const uint16_t run = count > 0xFFFF ? uint16_t{0xFFFF} : static_cast<uint16_t>(count);
    ClearIoError();
    if (!ReadSectors(lba, run, out, false, false)) return TransferFailure(false, lastError_, number_, lba, run);
    lba += run;
    count -= run;
    out += size_t{run} * kSectorSize;
  }
  return Outcome::Done();
}

Outcome Disk::NotifyOS() {
  if (source_ && !source_->IsBlockDevice()) return Outcome::Done();  // an image file has no kernel table to refresh
  {
    const std::lock_guard<std::mutex> held(io_);
    SourceHandle* h = EnsureHandle(AccessMode::Write);
    if (!h) return Outcome::Failed(SystemErrorText(lastError_), "NotifyOS Error", lastError_, {}, MsgIcon::Warning);
    if (!h->RereadPartitions())
      return Outcome::Failed(SystemErrorText(h->error()) + (h->detail().empty() ? "" : "\r" + h->detail()),
                             "NotifyOS Error", h->error(), {}, MsgIcon::Warning);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // let udev settle the new partitions
  return Outcome::Done();
}

int Disk::ProbeWritable() {
  if (!source_) return ENODEV;
  const std::lock_guard<std::mutex> held(io_);
  if (handle_ && mode_ == AccessMode::Write) return 0;
  int error = 0;
  std::unique_ptr<SourceHandle> handle = source_->Open(AccessMode::Write, error);
  return handle ? 0 : (error != 0 ? error : EIO);
}

int Disk::Lock() { return source_ ? source_->Lock() : ENODEV; }

void Disk::Unlock() {
  if (source_) source_->Unlock();
}

DriveLock::DriveLock(Disk& disk) : disk_(disk), error_(disk.Lock()) {}

DriveLock::~DriveLock() {
  if (error_ == 0) disk_.Unlock();
}

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

std::string DriveHex(uint8_t drive) {
  char buf[3];
  std::snprintf(buf, sizeof buf, "%02X", drive);
  return buf;
}

std::string TransferErrorText(int error, uint8_t drive, Lba lba, uint32_t count) {
  return "Error:" + SystemErrorText(error) + "\rDrive:" + DriveHex(drive) + "H  LBA:" + std::to_string(lba) +
         "  Blocks:" + std::to_string(count);
}

Outcome TransferFailure(bool write, int error, uint8_t drive, Lba lba, uint32_t count) {
  return Outcome::Failed(TransferErrorText(error, drive, lba, count), write ? "Write Error" : "Read Error", error,
                         lba, MsgIcon::Warning);
}

}  // namespace qm
