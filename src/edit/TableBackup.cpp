#include "edit/TableBackup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <memory>

#include "disk/Bytes.h"
#include "disk/Host.h"
#include "disk/SectorIO.h"
#include "edit/AutoBackup.h"
#include "edit/Change.h"
#include "edit/Commit.h"
#include "model/TableReader.h"

namespace qm {

namespace {

constexpr size_t kChecksumSize = 4;
// A chain longer than the table walk reads cannot come from a backup; the bound also keeps a
// wrong file (a whole disk image, say) from being read into memory.
constexpr size_t kMaxBackupBlocks = 4096;

constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}
constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

const char* const kInvalidFileText = "Invalid partition backup file.";

std::string DriveTitle(const TPhysicalDrv& drive) {
  std::string title = "Drive " + DriveHex(drive.DriveNumber) + "H";
  if (const DriveSource* source = FindDriveSource(drive.DriveNumber)) title += " (" + source->Path() + ")";
  return title;
}

void ShowRestoreError(const std::string& text) { MessageBox(text, "Restore", MsgButtons::Ok, MsgIcon::Error); }

// Writes `data` to a new file next to `fileName`, then puts it in its place: an old backup of
// that name survives a write that fails half-way.
bool WriteWholeFile(const std::string& fileName, const std::vector<uint8_t>& data, int& error) {
  std::string temporary = fileName + ".XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) {
    error = errno;
    return false;
  }
  ::fchmod(fd, 0644);
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  error = done == data.size() ? 0 : (errno != 0 ? errno : EIO);
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && std::rename(temporary.c_str(), fileName.c_str()) != 0) error = errno;
  if (error != 0) ::unlink(temporary.c_str());
  return error == 0;
}

}  // namespace

uint32_t UpdateCRC32(uint32_t crc, const uint8_t* data, size_t length) {
  for (size_t i = 0; i < length; ++i) crc = kCrcTable[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}

uint32_t CalcCRC32(const uint8_t* data, size_t length) { return UpdateCRC32(0, data, length); }

bool WriteBackupFile(const std::string& fileName, const std::vector<std::pair<uint64_t, TSector>>& blocks, int& error) {
  std::vector<uint8_t> file;
  for (const auto& [lba, sector] : blocks) {
    std::array<uint8_t, 8> where{};
    StoreLE<uint64_t>(where.data(), lba);
    file.insert(file.end(), where.begin(), where.end());
    file.insert(file.end(), sector.begin(), sector.end());
  }
  std::array<uint8_t, kChecksumSize> checksum{};
  StoreLE<uint32_t>(checksum.data(), CalcCRC32(file.data(), file.size()));
  file.insert(file.end(), checksum.begin(), checksum.end());
  return WriteWholeFile(fileName, file, error);
}

bool BackupPartitionTable(TPhysicalDrv& drive, const std::string& fileName) {
  if (!CheckNotBusy(drive)) return false;
  BusyGuard busy(drive);
  std::vector<std::pair<uint64_t, TSector>> blocks;
  for (const TPartition* record : drive.AllPartitions) {
    if (!record->IsExtended()) continue;
    const uint64_t lba = record->AbsoluteStart();
    TSector sector{};
    if (!ReadSectors(drive.DriveNumber, lba, 1, sector.data(), true, true)) return false;
    blocks.emplace_back(lba, sector);
  }
  int error = 0;
  if (!WriteBackupFile(fileName, blocks, error)) {
    MessageBox("Cannot write " + fileName + ": " + SystemErrorText(error) + ".\rNo backup was saved.", "Backup",
               MsgButtons::Ok, MsgIcon::Error);
    return false;
  }
  MessageBox("Partition table saved successfully.", "Backup", MsgButtons::Ok, MsgIcon::Information);
  return true;
}

std::vector<std::pair<uint64_t, TSector>> ReadBackupFile(const std::string& fileName, std::string& problem) {
  std::vector<std::pair<uint64_t, TSector>> blocks;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(fileName.c_str(), "rb"), std::fclose);
  if (!file) {
    problem = "Cannot open " + fileName + ": " + SystemErrorText(errno) + ".";
    return blocks;
  }
  // Up to one byte more than the largest valid file, to tell an oversized file from a full
  // one; read in steps, since a file of a few blocks is the rule.
  const size_t limit = kMaxBackupBlocks * kBackupBlockSize + kChecksumSize + 1;
  std::vector<uint8_t> data;
  while (data.size() < limit) {
    const size_t have = data.size(), want = std::min<size_t>(16 * kBackupBlockSize, limit - have);
    data.resize(have + want);
    const size_t got = std::fread(data.data() + have, 1, want, file.get());
    data.resize(have + got);
    if (got < want) break;
  }
  if (std::ferror(file.get())) {
    problem = "Cannot read " + fileName + ": " + SystemErrorText(errno) + ".";
    return blocks;
  }
  // Exactly whole blocks and a checksum: a truncated file, or one with bytes appended, is not
  // what a backup wrote, and its blocks cannot be trusted.
  problem = kInvalidFileText;
  if (data.size() < kBackupBlockSize + kChecksumSize || (data.size() - kChecksumSize) % kBackupBlockSize != 0) return blocks;
  const size_t count = (data.size() - kChecksumSize) / kBackupBlockSize;
  const size_t blockBytes = count * kBackupBlockSize;
  if (LoadLE<uint32_t>(&data[blockBytes]) != CalcCRC32(data.data(), blockBytes)) return blocks;
  if (LoadLE<uint64_t>(data.data()) != 0) return blocks;  // block 0 is always the master boot record
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* block = &data[i * kBackupBlockSize];
    TSector sector{};
    std::copy_n(block + 8, sector.size(), sector.begin());
    blocks.emplace_back(LoadLE<uint64_t>(block), sector);
  }
  problem.clear();
  return blocks;
}

EditResult RestorePartitionTable(TPhysicalDrv& drive, const std::string& fileName) {
  if (!CheckNotBusy(drive)) return EditResult::Refused;
  // A backup may well be the repair of tables the walk could not read to their end, or of a
  // master boot record that a volume's boot sector has replaced; only a GUID partition table
  // and sectors other than 512 bytes rule a restore out.
  const std::string name = DriveTitle(drive);
  if (drive.IsGpt || drive.Geometry.BytesPerSector != kSectorSize) {
    ShowRestoreError(name + (drive.IsGpt ? " holds a GUID partition table."
                                         : " does not use 512-byte sectors.") +
                     "\rA partition backup file is not written to it.");
    return EditResult::Refused;
  }
  std::string problem;
  const auto blocks = ReadBackupFile(fileName, problem);
  if (blocks.empty()) {
    MessageBox(problem, "Restore", MsgButtons::Ok, MsgIcon::Information);
    return EditResult::Refused;
  }
  for (const auto& [lba, sector] : blocks)
    if (lba >= drive.Geometry.TotalSectors) {
      ShowRestoreError("The backup file holds a table for sector " + std::to_string(lba) + ", beyond the end of " + name +
                       ", which holds " + std::to_string(drive.Geometry.TotalSectors) +
                       " sectors.\rIt was saved from another disk. Nothing was written.");
      return EditResult::Refused;
    }
  if (!CheckDriveWritable(drive)) return EditResult::Refused;
  const std::unique_ptr<DriveLock> lock = LockForWriting(drive.DriveNumber);
  if (!lock) return EditResult::Refused;

  TChange change;
  change.What = "restore of " + fileName;
  for (const auto& [lba, sector] : blocks)
    if (!PlanSector(drive, change, lba, WriteRole::Restore, sector)) return EditResult::Refused;
  std::string question = "You are restoring partition backup file to the current\rphysical drive.\r\rAre you sure?";
  question += "\r\rThe current physical drive is " + name + ", " + std::to_string(drive.Geometry.TotalSectors) +
              " sectors; the file holds " + std::to_string(blocks.size()) + " table sector" +
              (blocks.size() == 1 ? "" : "s") + ".";
  if (drive.WholeDiskVolume) question += "\rSector 0 now holds the boot sector of a volume; it will be replaced.";
  TChangeRun run;
  run.Caption = "Restore";
  run.Failed = "Restoring the partition tables failed.";
  run.Ask = [question] {
    return MessageBox(question, "Restore", MsgButtons::OkCancel, MsgIcon::Information) == MsgAnswer::Ok;
  };
  const EditResult result = ApplyChange(drive, change, KnownVolumes(drive), run);
  if (Succeeded(result))
    MessageBox("Partition table restored successfully.", "Restore", MsgButtons::Ok, MsgIcon::Information);
  return result;
}

}  // namespace qm
