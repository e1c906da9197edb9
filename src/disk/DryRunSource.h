#pragma once
// A dry run of a change: every check and every step up to the write runs as it would, but what
// would be written is kept in memory instead. Reads see those sectors, so that the tables read
// back afterwards show the layout the change would make. Nothing reaches the disk, and the
// kernel is not asked to re-read a table that did not change.
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "disk/DriveSource.h"

namespace qm {

using SectorBytes = std::array<uint8_t, 512>;

class DryRunSource final : public DriveSource {
 public:
  explicit DryRunSource(std::unique_ptr<DriveSource> inner);
  const std::string& Path() const override { return inner_->Path(); }
  bool IsBlockDevice() const override { return inner_->IsBlockDevice(); }
  // A write handle is opened on the disk as well, so that a disk the real run could not open
  // for writing (read-only, held by another program) is refused here too; it writes nothing.
  std::unique_ptr<SourceHandle> Open(AccessMode mode, int& error) override;
  bool QueryGeometry(TDriveGeometry& geometry, int& error) override { return inner_->QueryGeometry(geometry, error); }
  uint64_t SizeBytes() override { return inner_->SizeBytes(); }
  int Lock() override { return inner_->Lock(); }
  void Unlock() override { inner_->Unlock(); }

  // Every sector written, by LBA, as the disk would hold it now.
  const std::map<uint64_t, SectorBytes>& Written() const { return *written_; }
  // The sector as the disk holds it. False, with `error`, when it cannot be read.
  bool ReadOnDisk(uint64_t lba, SectorBytes& sector, int& error);

 private:
  std::unique_ptr<DriveSource> inner_;
  std::shared_ptr<std::map<uint64_t, SectorBytes>> written_;
};

}  // namespace qm
