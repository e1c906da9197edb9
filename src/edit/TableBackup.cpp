#include "edit/TableBackup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <map>
#include <memory>
#include <set>

#include "disk/Bytes.h"
#include "disk/Crc32.h"
#include "disk/Host.h"
#include "disk/Machine.h"
#include "disk/Disk.h"
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


const char* const kInvalidFileText = "Invalid partition backup file.";

Outcome RestoreRefusal(const std::string& text) { return Outcome::Failed(text, "Restore"); }

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

using Blocks = std::vector<std::pair<uint64_t, TSector>>;

// Closes a descriptor when it goes out of scope.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// What a name that is no regular file names, for the messages that refuse it.
std::string FileKind(mode_t mode) {
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  return "no regular file";
}

// Other programs mark an extended partition with 0x85 too; a chain through it is a chain.
bool IsChainEntry(uint8_t type) { return IsExtendedType(type) || type == 0x85; }

// A table of a backup file that the file's own chain reaches, and the start of the extended
// partition its extended entries count from (those of the master boot record are absolute).
struct ChainTable {
  uint64_t lba;
  const TSector* sector;
  uint64_t extendedBase;
};

// The tables of a backup file as the table reader would walk them on a disk that held the
// file's sectors: the master boot record, the extended boot record at the start of each
// extended partition it lists, and from each of those the one every extended entry names at the
// extended partition's start plus its relative start (the reader counts from the last extended
// entry of the master boot record). A chain that comes back to a table already reached, or
// names a sector the file does not hold, ends there.
std::vector<ChainTable> FileChain(const Blocks& blocks) {
  std::map<uint64_t, const TSector*> held;
  for (const auto& [lba, sector] : blocks) held.emplace(lba, &sector);
  std::vector<ChainTable> chain;
  std::set<uint64_t> reached;
  auto enter = [&](uint64_t lba, uint64_t base) {
    const auto it = held.find(lba);
    if (it != held.end() && reached.insert(lba).second) chain.push_back({lba, it->second, base});
  };
  enter(0, 0);
  if (chain.empty()) return chain;
  uint64_t extendedBase = 0;
  for (size_t i = 0; i < kTableEntries; ++i) {
    const TPartitionEntry entry = DecodeEntry(*chain.front().sector, i);
    if (IsChainEntry(entry.SystemId)) extendedBase = entry.RelativeSector;
  }
  // `chain` grows while it is walked; each sector enters once, so the walk ends.
  for (size_t t = 0; t < chain.size(); ++t) {
    const ChainTable table = chain[t];
    for (size_t i = 0; i < kTableEntries; ++i) {
      const TPartitionEntry entry = DecodeEntry(*table.sector, i);
      if (!IsChainEntry(entry.SystemId)) continue;
      enter((table.lba == 0 ? 0 : extendedBase) + entry.RelativeSector, extendedBase);
    }
  }
  return chain;
}

}  // namespace

uint32_t UpdateCRC32(uint32_t crc, const uint8_t* data, size_t length) { return Crc32Update(crc, {data, length}); }

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

std::string CheckBackupTarget(const TPhysicalDrv& drive, const std::string& fileName, bool& replacesBackup) {
  replacesBackup = false;
  struct stat st {};
  if (::stat(fileName.c_str(), &st) != 0) {
    if (errno == ENOENT) return "";
    return "Cannot use " + fileName + ": " + SystemErrorText(errno) + ".";
  }
  // The file is replaced by renaming a new one over it: the disk's own image, or a device
  // node, would be gone, whatever its name says.
  if (drive.Io().HasSource() && TargetIsSourceFile(drive.Io().Path(), fileName))
    return fileName + " holds the disk " + drive.Io().Path() + " itself.";
  if (!S_ISREG(st.st_mode)) return fileName + " is " + FileKind(st.st_mode) + ": a backup is saved in a regular file only.";
  std::string problem;
  if (ReadBackupFile(fileName, problem).empty())
    return fileName + " exists and is not a partition backup file; it is not replaced.\r" + problem;
  replacesBackup = true;
  return "";
}

Outcome BackupPartitionTable(TPhysicalDrv& drive, const std::string& fileName) {
  if (Outcome busy = CheckNotBusy(drive); !busy) return busy;
  // The file holds the chain of the master boot record in 512-byte sectors: of a GUID
  // partition table it would keep the protective entry alone, and no restore takes it back to
  // a disk of larger sectors. A file that looks like a backup and is none is worse than none.
  if (drive.IsGpt || drive.Geometry.BytesPerSector != kSectorSize)
    return Outcome::Failed(DriveTitle(drive) +
                               (drive.IsGpt ? " holds a GUID partition table, which a partition backup file does not hold."
                                            : " does not use 512-byte sectors, which a partition backup file does not hold.") +
                               "\rNo backup was saved.",
                           "Backup");
  bool replacesBackup = false;
  if (const std::string refusal = CheckBackupTarget(drive, fileName, replacesBackup); !refusal.empty())
    return Outcome::Failed(refusal + "\rNo backup was saved.", "Backup");
  if (replacesBackup && drive.Io().UserHost().MessageBox(fileName + " holds a partition backup already.\rReplace it with the tables of " +
                                       DriveTitle(drive) + "?",
                                   "Backup", MsgButtons::YesNo, MsgIcon::Question) != MsgAnswer::Yes)
    return Outcome::Cancelled();
  BusyGuard busy(drive);
  std::vector<std::pair<uint64_t, TSector>> blocks;
  for (const TPartition* record : drive.AllPartitions) {
    if (!record->IsExtended()) continue;
    const uint64_t lba = record->AbsoluteStart();
    TSector sector{};
    if (!drive.Io().ReadSectors(lba, 1, sector.data(), true, true))
      return Outcome::Failed("The partition table at sector " + std::to_string(lba) + " cannot be read (" +
                                 LastIoReason(drive.Io()) + ").\rNo backup was saved.",
                             "Backup", drive.Io().LastIoError(), lba);
    blocks.emplace_back(lba, sector);
  }
  int error = 0;
  if (!WriteBackupFile(fileName, blocks, error))
    return Outcome::Failed("Cannot write " + fileName + ": " + SystemErrorText(error) + ".\rNo backup was saved.",
                           "Backup", error);
  return Outcome::Done("Partition table saved successfully.", "Backup");
}

std::vector<std::pair<uint64_t, TSector>> ReadBackupFile(const std::string& fileName, std::string& problem) {
  std::vector<std::pair<uint64_t, TSector>> blocks;
  // Opened without waiting and looked at before anything is read: a FIFO would hold the
  // program until a writer came, and a device may act on being read.
  const FileDescriptor file(::open(fileName.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (file.get() < 0 || ::fstat(file.get(), &st) != 0) {
    problem = "Cannot open " + fileName + ": " + SystemErrorText(errno) + ".";
    return blocks;
  }
  if (!S_ISREG(st.st_mode)) {
    problem = fileName + " is " + FileKind(st.st_mode) + ", not a partition backup file.";
    return blocks;
  }
  // Up to one byte more than the largest valid file, to tell an oversized file from a full
  // one; read in steps, since a file of a few blocks is the rule.
  const size_t limit = kMaxBackupBlocks * kBackupBlockSize + kChecksumSize + 1;
  std::vector<uint8_t> data;
  while (data.size() < limit) {
    const size_t have = data.size(), want = std::min<size_t>(16 * kBackupBlockSize, limit - have);
    data.resize(have + want);
    const ssize_t got = ::read(file.get(), data.data() + have, want);
    if (got < 0 && errno == EINTR) {
      data.resize(have);
      continue;
    }
    if (got < 0) {
      problem = "Cannot read " + fileName + ": " + SystemErrorText(errno) + ".";
      return blocks;
    }
    data.resize(have + static_cast<size_t>(got));
    if (got == 0) break;
  }
  // Exactly whole blocks and a checksum: a truncated file, or one with bytes appended, is not
  // what a backup wrote, and its blocks cannot be trusted. Each refusal says which it is.
  const auto invalid = [&problem](const std::string& why) { problem = std::string(kInvalidFileText) + "\r" + why; };
  const std::string size = std::to_string(data.size()) + (data.size() == 1 ? " byte" : " bytes");
  if (data.size() >= limit) {
    invalid(fileName + " is larger than any partition backup file, which holds at most " +
            std::to_string(kMaxBackupBlocks) + " table sectors.");
    return blocks;
  }
  if (data.size() < kBackupBlockSize + kChecksumSize) {
    invalid(fileName + " is " + size + " long: too short to hold one table sector and the checksum.");
    return blocks;
  }
  if ((data.size() - kChecksumSize) % kBackupBlockSize != 0) {
    invalid(fileName + " is " + size + " long, which is no whole number of " + std::to_string(kBackupBlockSize) +
            "-byte blocks and the " + std::to_string(kChecksumSize) +
            "-byte checksum: it was cut short or has bytes appended.");
    return blocks;
  }
  const size_t count = (data.size() - kChecksumSize) / kBackupBlockSize;
  const size_t blockBytes = count * kBackupBlockSize;
  if (LoadLE<uint32_t>(&data[blockBytes]) != CalcCRC32(data.data(), blockBytes)) {
    invalid(fileName + " fails its checksum: its blocks are not those the backup saved.");
    return blocks;
  }
  // Block 0 is always the master boot record.
  if (const uint64_t first = LoadLE<uint64_t>(data.data()); first != 0) {
    invalid(fileName + " starts with sector " + std::to_string(first) + " instead of sector 0, the master boot record.");
    return blocks;
  }
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* block = &data[i * kBackupBlockSize];
    TSector sector{};
    std::copy_n(block + 8, sector.size(), sector.begin());
    blocks.emplace_back(LoadLE<uint64_t>(block), sector);
  }
  problem.clear();
  return blocks;
}

std::string CheckRestoreBlocks(const std::vector<std::pair<uint64_t, TSector>>& blocks) {
  std::set<uint64_t> named;
  for (const auto& [lba, sector] : blocks)
    if (!named.insert(lba).second) return "The backup file holds sector " + std::to_string(lba) + " twice.";
  for (const auto& [lba, sector] : blocks)
    if (!HasTableSignature(sector))
      return "The backup file's sector " + std::to_string(lba) +
             " does not end in the signature 55AA of a partition table.";
  std::set<uint64_t> reached;
  for (const ChainTable& table : FileChain(blocks)) reached.insert(table.lba);
  for (const auto& [lba, sector] : blocks)
    if (!reached.count(lba))
      return "The backup file holds sector " + std::to_string(lba) +
             ", which no table of the file leads to: it is no partition table of the chain the file holds.";
  return "";
}

std::string RestoreMismatch(const TPhysicalDrv& drive, const std::vector<std::pair<uint64_t, TSector>>& blocks) {
  std::string lines;
  auto add = [&](const std::string& line) { lines += (lines.empty() ? "" : "\r") + line; };
  const std::string name = DriveTitle(drive);
  const std::vector<ChainTable> chain = FileChain(blocks);
  // A sector 0 without a table, or with a disk signature of zeros, gives nothing to compare
  // with: that is the master boot record a restore most often mends. Neither does a volume's
  // boot sector, whose bytes there are its program.
  TSector current{};
  if (!chain.empty() && !drive.WholeDiskVolume && drive.Io().ReadSectors(0, 1, current.data(), false, true) &&
      HasTableSignature(current)) {
    const uint32_t ours = LoadLE<uint32_t>(current.data() + 440), theirs = LoadLE<uint32_t>(chain.front().sector->data() + 440);
    auto hex = [](uint32_t value) {
      char text[9];
      std::snprintf(text, sizeof text, "%08X", value);
      return std::string(text);
    };
    if (ours != 0 && ours != theirs)
      add("The file was saved from a disk with the disk signature " + hex(theirs) + "; " + name + " has " + hex(ours) +
          ".");
  }
  // The file holds no size of its own: tables that reach past the end are the sign of a
  // larger disk.
  const uint64_t diskSectors = std::max<uint64_t>(drive.DiskSectors, drive.Geometry.TotalSectors);
  for (const ChainTable& table : chain)
    for (size_t i = 0; i < kTableEntries; ++i) {
      const TPartitionEntry entry = DecodeEntry(*table.sector, i);
      if (entry.SystemId == kTypeEmpty) continue;
      const uint64_t base = table.lba == 0 ? 0 : IsChainEntry(entry.SystemId) ? table.extendedBase : table.lba;
      const uint64_t start = base + entry.RelativeSector, end = start + entry.TotalSectors;
      if (end <= diskSectors) continue;
      add("The file's tables hold a partition from sector " + std::to_string(start) + " to sector " +
          std::to_string(end - 1) + ", beyond the end of " + name + ", which holds " + std::to_string(diskSectors) +
          " sectors.");
      return lines;
    }
  return lines;
}

EditOutcome RestorePartitionTable(TPhysicalDrv& drive, const std::string& fileName) {
  if (Outcome busy = CheckNotBusy(drive); !busy) return Refused(busy);
  // A backup may well be the repair of tables the walk could not read to their end, or of a
  // master boot record that a volume's boot sector has replaced; only a GUID partition table
  // and sectors other than 512 bytes rule a restore out.
  const std::string name = DriveTitle(drive);
  if (drive.IsGpt || drive.Geometry.BytesPerSector != kSectorSize)
    return Refused(RestoreRefusal(name + (drive.IsGpt ? " holds a GUID partition table." : " does not use 512-byte sectors.") +
                                  "\rA partition backup file is not written to it."));
  std::string problem;
  const auto blocks = ReadBackupFile(fileName, problem);
  if (blocks.empty()) return Refused(Outcome::Failed(problem, "Restore", 0, std::nullopt, MsgIcon::Information));
  for (const auto& [lba, sector] : blocks)
    if (lba >= drive.Geometry.TotalSectors) {
      Outcome beyond = RestoreRefusal("The backup file holds a table for sector " + std::to_string(lba) +
                                      ", beyond the end of " + name + ", which holds " +
                                      std::to_string(drive.Geometry.TotalSectors) +
                                      " sectors.\rIt was saved from another disk. Nothing was written.");
      beyond.Sector = lba;
      return Refused(beyond);
    }
  if (const std::string refusal = CheckRestoreBlocks(blocks); !refusal.empty())
    return Refused(RestoreRefusal(refusal + "\rNothing was written."));
  Outcome refusal = CheckDriveWritable(drive);
  if (!refusal) return Refused(refusal);
  const std::unique_ptr<DriveLock> lock = LockForWriting(drive.Io(), refusal);
  if (!lock) return Refused(refusal);

  TChange change;
  change.What = "restore of " + fileName;
  for (const auto& [lba, sector] : blocks)
    if (Outcome planned = PlanSector(drive, change, lba, WriteRole::Restore, sector); !planned) return Refused(planned);
  std::string question = "You are restoring partition backup file to the current\rphysical drive.\r\rAre you sure?";
  question += "\r\rThe current physical drive is " + name + ", " + std::to_string(drive.Geometry.TotalSectors) +
              " sectors; the file holds " + std::to_string(blocks.size()) + " table sector" +
              (blocks.size() == 1 ? "" : "s") + ".";
  if (drive.WholeDiskVolume) question += "\rSector 0 now holds the boot sector of a volume; it will be replaced.";
  // Sector 0 is compared under the lock, as the disk holds it now.
  const std::string mismatch = RestoreMismatch(drive, blocks);
  TChangeRun run;
  run.Caption = "Restore";
  run.Failed = "Restoring the partition tables failed.";
  run.Ask = [question, mismatch](Host& host) {
    const MsgAnswer answer =
        mismatch.empty() ? host.MessageBox(question, "Restore", MsgButtons::OkCancel, MsgIcon::Information)
                         : host.RiskyQuestion(question + "\r\r" + mismatch, "Restore", MsgButtons::OkCancel, MsgIcon::Warning);
    return answer == MsgAnswer::Ok;
  };
  EditOutcome result = ApplyChange(drive, change, KnownVolumes(drive), run);
  if (result == EditResult::Written) result.Told = Outcome::Done("Partition table restored successfully.", "Restore");
  return result;
}

}  // namespace qm
