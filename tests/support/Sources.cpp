#include "support/Sources.h"

#include <algorithm>
#include <cstring>

#include "disk/Disk.h"

namespace qm::test {
namespace {

class MemoryHandle : public SourceHandle {
 public:
  MemoryHandle(std::shared_ptr<std::vector<uint8_t>> data, AccessMode mode) : data_(std::move(data)), mode_(mode) {}
  ssize_t ReadAt(uint64_t offset, uint8_t* buf, size_t len) override {
    if (mode_ != AccessMode::Read) return Fail(EBADF);
    size_t n = offset >= data_->size() ? 0 : std::min(len, data_->size() - static_cast<size_t>(offset));
    std::memcpy(buf, data_->data() + offset, n);
    return static_cast<ssize_t>(n);
  }
  ssize_t WriteAt(uint64_t offset, const uint8_t* buf, size_t len) override {
    if (mode_ != AccessMode::Write) return Fail(EBADF);
    if (offset >= data_->size()) return Fail(ENOSPC);
    size_t n = std::min(len, data_->size() - static_cast<size_t>(offset));
    std::memcpy(data_->data() + offset, buf, n);
    return static_cast<ssize_t>(n);
  }
  bool RereadPartitions() override { return true; }

 private:
  ssize_t Fail(int e) {
    error_ = e;
    return -1;
  }
  std::shared_ptr<std::vector<uint8_t>> data_;
  AccessMode mode_;
};

class FaultHandle : public SourceHandle {
 public:
  FaultHandle(std::unique_ptr<SourceHandle> inner, std::shared_ptr<FaultSource::State> state)
      : inner_(std::move(inner)), state_(std::move(state)) {}
  ssize_t ReadAt(uint64_t offset, uint8_t* buf, size_t len) override {
    state_->readOffsets.push_back(offset);
    if (state_->staleReads) return static_cast<ssize_t>(len);
    if (ssize_t r; Inject(state_->readFaults, offset, len, r)) {
      if (r > 0) inner_->ReadAt(offset, buf, static_cast<size_t>(r));
      return r;
    }
    return inner_->ReadAt(offset, buf, len);
  }
  ssize_t WriteAt(uint64_t offset, const uint8_t* buf, size_t len) override {
    state_->writeOffsets.push_back(offset);
    if (ssize_t r; Inject(state_->writeFaults, offset, len, r)) return r;
    return inner_->WriteAt(offset, buf, len);
  }
  bool RereadPartitions() override {
    ++state_->rereads;
    if (state_->failReread) {
      error_ = EBUSY;
      return false;
    }
    return inner_->RereadPartitions();
  }

 private:
  bool Inject(std::map<uint64_t, Fault>& faults, uint64_t offset, size_t len, ssize_t& result) {
    // A transfer longer than a chunk that covers a faulted chunk fails as a bad sector fails
    // every read that covers it, without using up one of the chunk's failures.
    if (len > kTransferChunk) {
      for (auto it = faults.lower_bound(offset); it != faults.end() && it->first < offset + len; ++it)
        if (it->second.times != 0) {
          error_ = it->second.error ? it->second.error : EIO;
          result = -1;
          return true;
        }
      return false;
    }
    auto it = faults.find(offset);
    if (it == faults.end() || it->second.times == 0) return false;
    if (it->second.times > 0) --it->second.times;
    if (it->second.kind == FaultKind::Error) error_ = it->second.error;
    result = it->second.kind == FaultKind::Error ? -1 : static_cast<ssize_t>(len / 2);
    return true;
  }
  std::unique_ptr<SourceHandle> inner_;
  std::shared_ptr<FaultSource::State> state_;
};

}  // namespace

std::unique_ptr<SourceHandle> MemorySource::Open(AccessMode mode, int&) { return std::make_unique<MemoryHandle>(data, mode); }

bool MemorySource::QueryGeometry(TDriveGeometry& g, int&) {
  g = TDriveGeometry{};
  FillGeometryFromSize(g, data->size());
  g.BytesPerSector = 512;
  g.MediaClass = kMediaFixed;
  return true;
}

std::unique_ptr<SourceHandle> FaultSource::Open(AccessMode mode, int& error) {
  ++state->opens[static_cast<int>(mode)];
  if (state->failOpen) {
    error = EACCES;
    return nullptr;
  }
  auto inner = inner_->Open(mode, error);
  if (!inner) return nullptr;
  return std::make_unique<FaultHandle>(std::move(inner), state);
}

Outcome MemorySectors::Read(Lba lba, uint32_t count, void* buffer) {
  reads.push_back(lba);
  if (failAt && *failAt >= lba && *failAt - lba < count) return Outcome::Failed("Error:EIO", "Read Error", EIO, *failAt);
  if (lba > data.size() / 512 || count > data.size() / 512 - lba)
    return Outcome::Failed("Error:ENXIO", "Read Error", ENXIO, lba);
  std::memcpy(buffer, data.data() + lba * 512, size_t{count} * 512);
  return Outcome::Done();
}

}  // namespace qm::test
