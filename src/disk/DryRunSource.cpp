#include "disk/DryRunSource.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace qm {
namespace {

constexpr uint64_t kSector = 512;

class DryRunHandle final : public SourceHandle {
 public:
  DryRunHandle(std::unique_ptr<SourceHandle> inner, std::shared_ptr<std::map<uint64_t, SectorBytes>> written)
      : inner_(std::move(inner)), written_(std::move(written)) {}


  ssize_t ReadAt(uint64_t offset, uint8_t* buf, size_t len) override {
    const ssize_t n = inner_->ReadAt(offset, buf, len);
    if (n < 0) {
      error_ = inner_->error();
      return n;
    }
    // Bytes of written sectors read as written; only what the disk gave is replaced.
    const uint64_t end = offset + static_cast<uint64_t>(n);
    for (auto it = written_->lower_bound(offset / kSector); it != written_->end() && it->first * kSector < end; ++it) {
      const uint64_t from = std::max(offset, it->first * kSector), to = std::min(end, (it->first + 1) * kSector);
      std::memcpy(buf + (from - offset), it->second.data() + (from - it->first * kSector), to - from);
    }
    return n;
  }

  ssize_t WriteAt(uint64_t offset, const uint8_t* buf, size_t len) override {
    // The sector layer writes whole sectors only.
    if (offset % kSector != 0 || len % kSector != 0) {
      error_ = EINVAL;
      return -1;
    }
    for (size_t done = 0; done < len; done += kSector)
      std::memcpy((*written_)[offset / kSector + done / kSector].data(), buf + done, kSector);
    return static_cast<ssize_t>(len);
  }

  bool RereadPartitions() override { return true; }

 private:
  std::unique_ptr<SourceHandle> inner_;
  std::shared_ptr<std::map<uint64_t, SectorBytes>> written_;
};

}  // namespace

DryRunSource::DryRunSource(std::unique_ptr<DriveSource> inner)
    : inner_(std::move(inner)), written_(std::make_shared<std::map<uint64_t, SectorBytes>>()) {}

std::unique_ptr<SourceHandle> DryRunSource::Open(AccessMode mode, int& error) {
  std::unique_ptr<SourceHandle> handle = inner_->Open(mode, error);
  if (!handle) return nullptr;
  return std::make_unique<DryRunHandle>(std::move(handle), written_);
}

bool DryRunSource::ReadOnDisk(uint64_t lba, SectorBytes& sector, int& error) {
  std::unique_ptr<SourceHandle> handle = inner_->Open(AccessMode::Read, error);
  if (!handle) return false;
  sector.fill(0);
  const ssize_t n = handle->ReadAt(lba * kSector, sector.data(), kSector);
  if (n < 0) error = handle->error();
  return n >= 0;
}

}  // namespace qm
