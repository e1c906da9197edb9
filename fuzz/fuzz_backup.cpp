// The partition backup file: ReadBackupFile on any bytes, and the restore of a file into an
// empty in-memory disk as Restore and `restore` run it, answered Yes throughout. The restore
// may write only the sectors the file names, and none outside the disk.
//
// Input: the common 8-byte header (image size in sectors; options: bit 0 replaces the file's
// checksum with the right one, so that mutated files get past it; bit 1 runs the restore),
// then the file's bytes.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzDisk.h"
#include "disk/Disk.h"
#include "edit/TableBackup.h"
#include "model/TableReader.h"

using namespace qm;

namespace {

// The file lives in memory; the core opens it by name like any other.
const std::string& BackupFileName() {
  static const std::string name = [] {
    const int fd = memfd_create("fuzz-backup", 0);
    if (fd < 0) fuzz::Fail("memfd_create failed");
    return "/proc/self/fd/" + std::to_string(fd);
  }();
  return name;
}

void WriteFile(const std::vector<uint8_t>& bytes) {
  const int fd = std::stoi(BackupFileName().substr(sizeof "/proc/self/fd/" - 1));
  if (ftruncate(fd, 0) != 0) fuzz::Fail("ftruncate failed");
  if (!bytes.empty() && pwrite(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()))
    fuzz::Fail("pwrite failed");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < fuzz::kHeaderSize) return 0;
  fuzz::FuzzInput input = fuzz::ParseInput(data, fuzz::kHeaderSize);
  std::vector<uint8_t> file(data + fuzz::kHeaderSize, data + size);
  if ((input.Options & 1) && file.size() >= kBackupBlockSize + 4) {
    const size_t blockBytes = (file.size() - 4) / kBackupBlockSize * kBackupBlockSize;
    file.resize(blockBytes);
    const uint32_t crc = CalcCRC32(file.data(), blockBytes);
    for (int i = 0; i < 4; ++i) file.push_back(static_cast<uint8_t>(crc >> (8 * i)));
  }
  WriteFile(file);

  std::string problem;
  const auto blocks = ReadBackupFile(BackupFileName(), problem);
  if (blocks.empty() == problem.empty()) fuzz::Fail("a backup file read neither gave blocks nor said why not");
  if (!(input.Options & 2)) return 0;

  input.Image->WritesLimited = true;
  for (const auto& block : blocks) input.Image->WritableSectors.insert(block.first);
  fuzz::DriveScope scope(input.Image);
  std::unique_ptr<TPhysicalDrv> drive = scope.Open(/*quickScan=*/false);
  if (!drive) return 0;
  const EditResult result = RestorePartitionTable(*drive, BackupFileName());
  if (result == EditResult::Written && input.Image->SectorsWritten < blocks.size())
    fuzz::Fail("a restore said it wrote the file but wrote fewer sectors");
  if ((result == EditResult::Refused || result == EditResult::Cancelled) && input.Image->SectorsWritten != 0)
    fuzz::Fail("a restore that wrote nothing by its own account wrote sectors");
  return 0;
}
