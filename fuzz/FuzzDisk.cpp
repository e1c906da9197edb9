#include "FuzzDisk.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "browse/FatDir.h"
#include "disk/Disk.h"
#include "edit/AutoBackup.h"
#include "model/TableReader.h"
#include "scan/OpenDrive.h"

namespace qm::fuzz {
namespace {

uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

void PutLe32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

class SparseHandle final : public SourceHandle {
 public:
  SparseHandle(std::shared_ptr<SparseImage> image, AccessMode mode) : image_(std::move(image)), mode_(mode) {}

  ssize_t ReadAt(uint64_t offset, uint8_t* buf, size_t len) override {
    if (mode_ != AccessMode::Read) return Error(EBADF);
    const uint64_t end = image_->Sectors * 512;
    if (offset >= end) return 0;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(len, end - offset));
    // Zeros first, then the few sectors that hold data: a scan reads thousands of sectors.
    std::memset(buf, 0, n);
    for (auto it = image_->Data.lower_bound(offset / 512); it != image_->Data.end() && it->first * 512 < offset + n; ++it) {
      const uint64_t from = std::max(offset, it->first * 512), to = std::min(offset + n, it->first * 512 + 512);
      std::memcpy(buf + (from - offset), it->second.data() + (from - it->first * 512), static_cast<size_t>(to - from));
      if (image_->LogReads) image_->SectorsRead.insert(it->first);
    }
    return static_cast<ssize_t>(n);
  }

  ssize_t WriteAt(uint64_t offset, const uint8_t* buf, size_t len) override {
    if (mode_ != AccessMode::Write) return Error(EBADF);
    if (len == 0) return 0;
    if (offset + len > image_->Sectors * 512 || offset + len < offset) Fail("write outside the image");
    for (size_t done = 0; done < len;) {
      const uint64_t at = offset + done;
      const uint64_t sector = at / 512;
      if (image_->WritesLimited && !image_->WritableSectors.count(sector)) Fail("write to a sector the operation does not own");
      const size_t within = static_cast<size_t>(at % 512);
      const size_t piece = std::min(len - done, 512 - within);
      auto [it, fresh] = image_->Data.try_emplace(sector);
      if (fresh) it->second.fill(0);
      std::memcpy(it->second.data() + within, buf + done, piece);
      done += piece;
      ++image_->SectorsWritten;
    }
    return static_cast<ssize_t>(len);
  }

  bool RereadPartitions() override { return true; }

  // The sectors that hold data are those the input gives; the rest is hole, as in a sparse
  // image file, so that the quick search passes over it as it does there.
  uint64_t DataFrom(uint64_t offset) override {
    const auto it = image_->Data.lower_bound(offset / 512);
    return it == image_->Data.end() ? UINT64_MAX : std::max(offset, it->first * 512);
  }
  uint64_t HoleFrom(uint64_t offset) override {
    uint64_t sector = offset / 512;
    for (auto it = image_->Data.find(sector); it != image_->Data.end() && it->first == sector; ++it) ++sector;
    return std::max(offset, sector * 512);
  }

 private:
  ssize_t Error(int e) {
    error_ = e;
    return -1;
  }
  std::shared_ptr<SparseImage> image_;
  AccessMode mode_;
};

// A change made by a harness (a restore) keeps no record, and the state folder that every
// change checks before its questions is one of the process's own under the temporary folder,
// removed at its end: nothing lands in the user's ~/.local/state.
const bool kStateOfOurOwn = [] {
  SetAutomaticBackups(false);
  const char* tmp = std::getenv("TMPDIR");
  static std::string folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/quillmark-fuzz-state-XXXXXX";
  if (!::mkdtemp(folder.data()) || ::setenv("XDG_STATE_HOME", folder.c_str(), 1) != 0) Fail("no state folder");
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  });
  return true;
}();

}  // namespace

void Fail(const char* what) {
  std::fprintf(stderr, "fuzz: %s\n", what);
  std::abort();
}

FuzzInput ParseInput(const uint8_t* data, size_t size) {
  FuzzInput input;
  if (size < kHeaderSize) return input;
  input.Image->Sectors = std::max<uint32_t>(1, Le32(data) % kMaxImageSectors);
  input.ScanStart = static_cast<uint16_t>(data[4] | data[5] << 8);
  input.Options = data[6];
  input.Image->SectorSize = 512u << (data[7] & 3);
  for (size_t at = kHeaderSize; at + kRecordHeader < size; at += kRecordHeader + 512) {
    const uint64_t lba = Le32(data + at) % input.Image->Sectors;
    auto& sector = input.Image->Data[lba];
    sector.fill(0);
    const size_t n = std::min<size_t>(512, size - at - kRecordHeader);
    std::memcpy(sector.data(), data + at + kRecordHeader, n);
  }
  return input;
}

std::vector<uint8_t> EncodeImage(const SparseImage& image, const std::set<uint64_t>& sectors, uint16_t scanStart,
                                 uint8_t options) {
  std::vector<uint8_t> out;
  PutLe32(out, static_cast<uint32_t>(image.Sectors));
  out.push_back(static_cast<uint8_t>(scanStart));
  out.push_back(static_cast<uint8_t>(scanStart >> 8));
  out.push_back(options);
  out.push_back(static_cast<uint8_t>(image.SectorSize >= 4096 ? 3 : image.SectorSize >= 2048 ? 2 : image.SectorSize >= 1024 ? 1 : 0));
  for (uint64_t lba : sectors) {
    auto it = image.Data.find(lba);
    if (it == image.Data.end()) continue;
    PutLe32(out, static_cast<uint32_t>(lba));
    out.insert(out.end(), it->second.begin(), it->second.end());
  }
  return out;
}

std::unique_ptr<SourceHandle> SparseSource::Open(AccessMode mode, int&) { return std::make_unique<SparseHandle>(image_, mode); }

bool SparseSource::QueryGeometry(TDriveGeometry& geometry, int&) {
  geometry = TDriveGeometry{};
  FillGeometryFromSize(geometry, image_->Sectors * 512);
  geometry.BytesPerSector = image_->SectorSize;
  geometry.MediaClass = kMediaFixed;
  return true;
}

void CheckNoException(const std::string& text, const std::string& caption) {
  // The routines that catch run-time errors give them to the user; a library exception
  // reaching a message means a value from the disk was trusted (an index, a size).
  for (const char* mark : {"std::", "vector::", "basic_string", "max_size", "Unknown error"})
    if (text.find(mark) != std::string::npos) {
      std::fprintf(stderr, "fuzz: %s: %s\n", caption.c_str(), text.c_str());
      Fail("an exception reached the user");
    }
}

MsgAnswer GoAheadHost::MessageBox(const std::string& text, const std::string& caption, MsgButtons buttons, MsgIcon) {
  ++Messages;
  CheckNoException(text, caption);
  switch (buttons) {
    case MsgButtons::Ok: return MsgAnswer::Ok;
    case MsgButtons::OkCancel: return MsgAnswer::Ok;
    case MsgButtons::YesNo:
    case MsgButtons::YesNoCancel: return MsgAnswer::Yes;
    case MsgButtons::AbortRetryIgnore: return MsgAnswer::Ignore;
  }
  return MsgAnswer::Ok;
}

DriveScope::DriveScope(std::shared_ptr<SparseImage> image) : image_(std::move(image)) {}

std::unique_ptr<TPhysicalDrv> DriveScope::Open(bool quickScan) {
  auto disk = std::make_unique<Disk>(std::make_unique<SparseSource>(image_), kFirstHardDisk);
  disk->SetUserHost(host_);
  TDriveGeometry geometry;
  if (!disk->QueryGeometry(geometry)) return nullptr;
  return quickScan ? OpenDrive(std::move(disk), geometry) : CreatePhysicalDrv(std::move(disk), geometry);
}

}  // namespace qm::fuzz
