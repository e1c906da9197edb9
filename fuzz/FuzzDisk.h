#pragma once
// What every harness shares: the fuzz input read as a sparse disk image, an in-memory drive
// source over it that stops the run on any transfer outside the image, and a host that
// answers every question with the answer that lets the operation go on.
//
// Input layout (little-endian):
//   u32 image size in sectors (taken modulo kMaxImageSectors, at least 1)
//   u16 first sector of the full scan (fuzz_scan)
//   u8  harness options
//   u8  the logical sector size the disk reports: 512 << (value & 3)
//   then records until the input ends: u32 LBA (modulo the image size), 512 bytes for that
//   sector (a last record cut short is padded with zeros). Sectors that no record names
//   read as zeros.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <map>
#include <vector>

#include "disk/DriveSource.h"
#include "disk/Host.h"
#include "model/PhysicalDrv.h"

namespace qm::fuzz {

constexpr uint32_t kMaxImageSectors = 1u << 17;  // 64 MiB, room for the smallest FAT32 volume
constexpr size_t kHeaderSize = 8;
constexpr size_t kRecordHeader = 4;

struct SparseImage {
  uint64_t Sectors = 1;      // 512-byte blocks
  uint32_t SectorSize = 512; // the logical sector size the disk reports
  std::map<uint64_t, std::array<uint8_t, 512>> Data;  // by LBA
  // When set, the only sectors a write may touch.
  bool WritesLimited = false;
  std::set<uint64_t> WritableSectors;
  uint64_t SectorsWritten = 0;
  // When set, every sector read that holds data is noted (the seed tool keeps only those).
  bool LogReads = false;
  std::set<uint64_t> SectorsRead;
};

struct FuzzInput {
  std::shared_ptr<SparseImage> Image = std::make_shared<SparseImage>();
  uint16_t ScanStart = 0;
  uint8_t Options = 0;
};

// Reads the header and records of `data`; an input shorter than the header is a one-sector
// zero disk.
FuzzInput ParseInput(const uint8_t* data, size_t size);

// The inverse, for the seed tool: the sectors of `image` named by `sectors`.
std::vector<uint8_t> EncodeImage(const SparseImage& image, const std::set<uint64_t>& sectors, uint16_t scanStart,
                                 uint8_t options);

class SparseSource final : public DriveSource {
 public:
  explicit SparseSource(std::shared_ptr<SparseImage> image) : image_(std::move(image)) {}
  const std::string& Path() const override { return path_; }
  bool IsBlockDevice() const override { return false; }
  std::unique_ptr<SourceHandle> Open(AccessMode mode, int& error) override;
  bool QueryGeometry(TDriveGeometry& geometry, int& error) override;

 private:
  std::shared_ptr<SparseImage> image_;
  std::string path_ = "fuzz-image";
};

// Yes, OK and Ignore: every question is answered so that the operation goes on. A message
// that carries a library exception's text stops the run.
class GoAheadHost final : public Host {
 public:
  MsgAnswer MessageBox(const std::string& text, const std::string& caption, MsgButtons buttons, MsgIcon) override;
  long Messages = 0;  // shown so far
};

// The image as drive 0x80 for one run, answered for by a GoAheadHost as a front end answers
// for the disks it opens.
class DriveScope {
 public:
  explicit DriveScope(std::shared_ptr<SparseImage> image);
  DriveScope(const DriveScope&) = delete;
  DriveScope& operator=(const DriveScope&) = delete;
  GoAheadHost& Host() { return host_; }
  // The drive as a front end opens it: its tables read and, with `quickScan`, the start of
  // every gap probed. Null when the image has no geometry.
  std::unique_ptr<TPhysicalDrv> Open(bool quickScan);

 private:
  GoAheadHost host_;
  std::shared_ptr<SparseImage> image_;
};

[[noreturn]] void Fail(const char* what);
// Fails the run when a text the user would be shown carries a library exception's text.
void CheckNoException(const std::string& text, const std::string& caption);

}  // namespace qm::fuzz
