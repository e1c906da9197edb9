#include "edit/AutoBackup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <system_error>

#include "disk/Bytes.h"
#include "disk/Host.h"
#include "disk/Disk.h"
#include "edit/Commit.h"
#include "edit/TableBackup.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

bool g_enabled = true;
std::string g_lastSaved;  // the record saved before the last write of this process

constexpr const char* kRecordExtension = ".qmc";
constexpr const char* kLegacyExtension = ".pfi";  // whole-table backups of earlier versions
constexpr const char* kLegacyUndoMark = "-undo";
constexpr const char* kMagic = "QMCHANGE 1\n";
constexpr size_t kStampLength = 23;  // "20261206T185959.123456Z"
// Longer identities are cut and end in a hash of the whole, so that names stay within the
// file system's limit and still tell disks apart.
constexpr size_t kMaxIdentity = 120;
constexpr size_t kMaxRecordSectors = 4096;

std::string FileText(const std::string& path) {
  std::ifstream in(path);
  std::string text;
  std::getline(in, text);
  return text;
}

std::string SafeName(const std::string& text) {
  std::string out;
  for (char c : text) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
    out += plain ? c : '_';
  }
  return out;
}

uint64_t Fnv1a(const std::string& text) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : text) h = (h ^ c) * 1099511628211ull;
  return h;
}

// "20261206T185959.123456Z": sorts as the times do. A second change within the same
// microsecond would get the same name; the stamp then moves on by one.
std::string TimeStamp() {
  static int64_t last = 0;
  int64_t micros =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  if (micros <= last) micros = last + 1;
  last = micros;
  const std::time_t seconds = static_cast<std::time_t>(micros / 1000000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%04d%02d%02dT%02d%02d%02d.%06lldZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<long long>(micros % 1000000));
  return text;
}

// "2026-12-06 18:59:59 UTC" from a file name's time stamp.
std::string ShownTime(const std::string& stamp) {
  if (stamp.size() < 15) return stamp;
  return stamp.substr(0, 4) + "-" + stamp.substr(4, 2) + "-" + stamp.substr(6, 2) + " " + stamp.substr(9, 2) + ":" +
         stamp.substr(11, 2) + ":" + stamp.substr(13, 2) + " UTC";
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// A file of the folder, taken apart: IDENTITY-STAMP[-undo].EXT.
struct FolderFile {
  std::string Path, Identity, Stamp;
  bool Legacy = false, LegacyUndo = false;
  uint64_t Bytes = 0;
};

bool ParseName(const fs::directory_entry& entry, FolderFile& file) {
  const std::string name = entry.path().filename().string();
  std::string stem;
  if (EndsWith(name, kRecordExtension)) {
    stem = name.substr(0, name.size() - 4);
  } else if (EndsWith(name, kLegacyExtension)) {
    stem = name.substr(0, name.size() - 4);
    file.Legacy = true;
    if (EndsWith(stem, kLegacyUndoMark)) {
      file.LegacyUndo = true;
      stem.resize(stem.size() - 5);
    }
  } else {
    return false;
  }
  if (stem.size() < kStampLength + 2 || stem[stem.size() - kStampLength - 1] != '-') return false;
  file.Stamp = stem.substr(stem.size() - kStampLength);
  if (file.Stamp[8] != 'T' || file.Stamp.back() != 'Z') return false;
  file.Identity = stem.substr(0, stem.size() - kStampLength - 1);
  file.Path = entry.path().string();
  std::error_code ignored;
  file.Bytes = entry.file_size(ignored);
  return true;
}

std::vector<FolderFile> FolderFiles() {
  std::vector<FolderFile> files;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(AutomaticBackupFolder(), error)) {
    FolderFile file;
    if (entry.is_regular_file(error) && ParseName(entry, file)) files.push_back(file);
  }
  std::sort(files.begin(), files.end(), [](const FolderFile& a, const FolderFile& b) { return a.Stamp < b.Stamp; });
  return files;
}

// Makes the folder (0700: it holds the layout of the user's disks) and its parent.
int MakeFolder(const std::string& folder) {
  const fs::path path(folder);
  // The state folder itself may be missing with its parents (a fresh account, root on a live
  // system): it is made as any folder; the program's own two are private.
  std::error_code error;
  fs::create_directories(path.parent_path().parent_path(), error);
  if (error) return error.value();
  for (const fs::path& dir : {path.parent_path(), path}) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return errno;
  }
  struct stat st{};
  if (::stat(folder.c_str(), &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  if ((st.st_mode & 0777) != 0700 && ::chmod(folder.c_str(), 0700) != 0) return errno;
  return 0;
}

// Writes `data` to `path` through a new file renamed over it, 0600 whatever the umask, synced
// with its folder: a record that is not on the medium is no record.
int WriteFileAtomically(const std::string& path, const std::vector<uint8_t>& data) {
  std::string temporary = path + ".XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) return errno;
  int error = ::fchmod(fd, 0600) == 0 ? 0 : errno;
  for (size_t done = 0; error == 0 && done < data.size();) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) error = n < 0 ? errno : EIO;
    else done += static_cast<size_t>(n);
  }
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && std::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temporary.c_str());
    return error;
  }
  const int dir = ::open(fs::path(path).parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return 0;
}

std::vector<uint8_t> EncodeRecord(const TChangeRecord& record) {
  std::string head = kMagic;
  head += "what=" + record.What + "\n";
  head += "time=" + record.Time + "\n";
  head += "disk-sectors=" + std::to_string(record.DiskSectors) + "\n";
  head += "disk-signature=" + std::to_string(record.DiskSignature) + "\n";
  head += std::string("state=") + (record.Undone ? "undone" : "applied") + "\n";
  head += "sectors=" + std::to_string(record.Writes.size()) + "\n\n";
  std::vector<uint8_t> data(head.begin(), head.end());
  for (const TSectorWrite& w : record.Writes) {
    uint8_t lba[8];
    StoreLE<uint64_t>(lba, w.Lba);
    data.insert(data.end(), lba, lba + 8);
    data.insert(data.end(), w.Before.begin(), w.Before.end());
    data.insert(data.end(), w.After.begin(), w.After.end());
  }
  uint8_t crc[4];
  StoreLE<uint32_t>(crc, CalcCRC32(data.data(), data.size()));
  data.insert(data.end(), crc, crc + 4);
  return data;
}

// The record kept in `path`; false, with what is wrong, when it cannot be read or is damaged.
bool ReadRecord(const std::string& path, TChangeRecord& record, std::string& problem) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    problem = "cannot be opened";
    return false;
  }
  const size_t limit = 4096 + kMaxRecordSectors * 1032 + 4;
  std::vector<uint8_t> data(limit + 1);
  in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()));
  data.resize(static_cast<size_t>(in.gcount()));
  problem = "is damaged";
  if (data.size() < 4 || data.size() > limit) return false;
  const size_t body = data.size() - 4;
  if (LoadLE<uint32_t>(&data[body]) != CalcCRC32(data.data(), body)) return false;
  const std::string text(data.begin(), data.begin() + static_cast<long>(std::min<size_t>(body, 4096)));
  if (text.rfind(kMagic, 0) != 0) return false;
  const size_t end = text.find("\n\n");
  if (end == std::string::npos) return false;
  std::map<std::string, std::string> fields;
  for (size_t at = std::string(kMagic).size(); at < end;) {
    const size_t eol = text.find('\n', at);
    const std::string line = text.substr(at, eol - at);
    const size_t eq = line.find('=');
    if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
    at = eol + 1;
  }
  try {
    record.What = fields["what"];
    record.Time = fields["time"];
    record.DiskSectors = std::stoull(fields.at("disk-sectors"));
    record.DiskSignature = static_cast<uint32_t>(std::stoul(fields.at("disk-signature")));
    record.Undone = fields.at("state") == "undone";
    const size_t count = std::stoul(fields.at("sectors"));
    if (count > kMaxRecordSectors || body != end + 2 + count * 1032) return false;
    record.Writes.assign(count, TSectorWrite{});
    for (size_t i = 0; i < count; ++i) {
      const uint8_t* block = &data[end + 2 + i * 1032];
      record.Writes[i].Lba = LoadLE<uint64_t>(block);
      record.Writes[i].Role = WriteRole::Undo;
      std::copy_n(block + 8, 512, record.Writes[i].Before.begin());
      std::copy_n(block + 520, 512, record.Writes[i].After.begin());
    }
  } catch (const std::exception&) {
    return false;
  }
  problem.clear();
  return true;
}

uint32_t SignatureOf(const TSector& sector) { return LoadLE<uint32_t>(&sector[440]); }

// The disk signature the drive holds now; false when sector 0 cannot be read.
bool CurrentSignature(const TPhysicalDrv& drive, uint32_t& signature) {
  TSector mbr{};
  if (!drive.Io().ReadSectors(0, 1, mbr.data(), false, true)) return false;
  signature = SignatureOf(mbr);
  return true;
}

uint64_t SizeOf(const TPhysicalDrv& drive) { return drive.DiskSectors != 0 ? drive.DiskSectors : drive.Geometry.TotalSectors; }

// Removes the oldest files beyond the limits: per disk kMaxRecordsPerDisk, in all
// kMaxBackupBytes. The newest file of a disk, the one its next undo needs, always stays.
void Prune() {
  std::vector<FolderFile> files = FolderFiles();
  std::map<std::string, size_t> left;
  for (const FolderFile& f : files) ++left[f.Identity];
  uint64_t bytes = 0;
  for (const FolderFile& f : files) bytes += f.Bytes;
  for (const FolderFile& f : files) {
    const bool tooMany = left[f.Identity] > kMaxRecordsPerDisk;
    if (left[f.Identity] <= 1 || (!tooMany && bytes <= kMaxBackupBytes)) continue;
    std::error_code ignored;
    if (!fs::remove(f.Path, ignored)) continue;
    --left[f.Identity];
    bytes -= std::min(bytes, f.Bytes);
  }
}

EditOutcome UndoRefusal(const std::string& text) { return Refused(WriteRefusal(text, "Undo")); }

std::string RecordName(const TChangeRecord& record, const std::string& time) {
  return "the change made at " + time + (record.What.empty() ? "" : " (" + record.What + ")");
}

// Why the disk is not the one the change was made on, or no longer holds what `expected`
// says of it (the bytes after the change for an undo, before it for a redo); "" when it is.
std::string DiskDiffers(const TPhysicalDrv& drive, const TChangeRecord& record, bool expectAfter) {
  if (SizeOf(drive) != record.DiskSectors)
    return "the disk holds " + std::to_string(SizeOf(drive)) + " sectors; the change was made on a disk of " +
           std::to_string(record.DiskSectors) + " sectors";
  uint32_t signature = 0;
  if (!CurrentSignature(drive, signature)) return "sector 0 cannot be read (" + LastIoReason(drive.Io()) + ")";
  // The signature the disk should have now: the one the change left, or before a redo the one
  // it found.
  uint32_t expectedSignature = record.DiskSignature;
  if (!expectAfter)
    for (const TSectorWrite& w : record.Writes)
      if (w.Lba == 0) expectedSignature = SignatureOf(w.Before);
  if (signature != expectedSignature) {
    char text[96];
    std::snprintf(text, sizeof text, "the disk signature is %08x; the change was made on a disk with %08x", signature,
                  expectedSignature);
    return text;
  }
  std::string differ;
  size_t count = 0;
  for (const TSectorWrite& w : record.Writes) {
    TSector now{};
    const bool read = w.Lba < drive.Geometry.TotalSectors && drive.Io().ReadSectors(w.Lba, 1, now.data(), false, true);
    if (read && now == (expectAfter ? w.After : w.Before)) continue;
    if (++count <= 8) differ += (differ.empty() ? "" : ", ") + std::to_string(w.Lba);
  }
  if (count == 0) return "";
  return std::string(count == 1 ? "sector " : "sectors ") + differ + (count > 8 ? ", ..." : "") +
         (count == 1 ? " no longer holds" : " no longer hold") +
         (expectAfter ? " what the change wrote: it was changed since" : " what they held before the change");
}

}  // namespace

void SetAutomaticBackups(bool on) { g_enabled = on; }

std::string AutomaticBackupFolder() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state && *state == '/') return std::string(state) + "/quillmark/backups";
  const char* home = std::getenv("HOME");
  if (home && *home) return std::string(home) + "/.local/state/quillmark/backups";
  return "";
}

std::string DiskIdentity(const TPhysicalDrv& drive) {
  std::string identity;
  if (const Disk& disk = drive.Io(); disk.HasSource()) {
    identity = disk.Path();
    struct stat st{};
    if (disk.IsBlockDevice() && ::stat(disk.Path().c_str(), &st) == 0) {
      // A disk keeps its model and serial when it moves to another name; a loop device is
      // known by the file behind it.
      const std::string sys = SysfsBlockDir(st.st_rdev);
      const std::string model = FileText(sys + "/device/model"), serial = FileText(sys + "/device/serial");
      const std::string backing = FileText(sys + "/loop/backing_file");
      if (!backing.empty())
        identity = backing;
      else if (!model.empty())
        identity = model + (serial.empty() ? "" : "-" + serial);
    } else {
      std::error_code ignored;
      const fs::path absolute = fs::absolute(identity, ignored);
      if (!absolute.empty()) identity = absolute.lexically_normal().string();
    }
  }
  identity = SafeName(identity);
  while (!identity.empty() && identity.front() == '_') identity.erase(0, 1);
  if (identity.size() > kMaxIdentity) {
    char hash[20];
    std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(Fnv1a(identity)));
    identity = identity.substr(0, kMaxIdentity - 17) + "-" + hash;
  }
  return identity + "-" + std::to_string(drive.Geometry.TotalSectors) + "s";
}

std::string CheckBackupFolder() {
  const std::string folder = AutomaticBackupFolder();
  if (folder.empty()) return "neither XDG_STATE_HOME nor HOME names a folder for the backup";
  if (const int error = MakeFolder(folder); error != 0) return folder + ": " + SystemErrorText(error);
  // Root may write where the permission bits say no; only a real file tells.
  std::string probe = folder + "/.probe-XXXXXX";
  const int fd = ::mkstemp(probe.data());
  if (fd < 0) return folder + ": " + SystemErrorText(errno);
  ::close(fd);
  ::unlink(probe.c_str());
  return "";
}

bool SaveChangeRecord(const TPhysicalDrv& drive, const TChange& change, std::string& path, std::string& problem) {
  path.clear();
  if (!g_enabled) return true;
  if (problem = CheckBackupFolder(); !problem.empty()) return false;
  TChangeRecord record;
  record.What = change.What;
  const std::string stamp = TimeStamp();
  record.Time = ShownTime(stamp);
  record.DiskSectors = SizeOf(drive);
  record.Writes = change.Writes;
  if (!CurrentSignature(drive, record.DiskSignature)) {
    problem = "sector 0 cannot be read (" + LastIoReason(drive.Io()) + ")";
    return false;
  }
  for (const TSectorWrite& w : change.Writes)
    if (w.Lba == 0) record.DiskSignature = SignatureOf(w.After);

  // A new change ends what an undo took back: that can no longer be applied again. The state
  // stands in the record's head, which is all that is read here.
  const std::string identity = DiskIdentity(drive);
  for (const FolderFile& f : FolderFiles()) {
    if (f.Identity != identity || f.Legacy) continue;
    char head[512] = {};
    std::ifstream(f.Path, std::ios::binary).read(head, sizeof head - 1);
    if (std::strstr(head, "\nstate=undone\n")) ::unlink(f.Path.c_str());
  }
  path = AutomaticBackupFolder() + "/" + identity + "-" + stamp + kRecordExtension;
  if (const int error = WriteFileAtomically(path, EncodeRecord(record)); error != 0) {
    problem = path + ": " + SystemErrorText(error);
    path.clear();
    return false;
  }
  g_lastSaved = path;
  Prune();
  return true;
}

bool TrimChangeRecord(const std::string& path, size_t written) {
  if (!g_enabled) return true;  // a dry run keeps the records as they are
  TChangeRecord record;
  std::string problem;
  if (path.empty() || !ReadRecord(path, record, problem)) return false;
  if (written < record.Writes.size()) record.Writes.resize(written);
  return WriteFileAtomically(path, EncodeRecord(record)) == 0;
}

bool MarkChangeRecord(const std::string& path, bool undone) {
  if (!g_enabled) return true;  // a dry run keeps the records as they are
  TChangeRecord record;
  std::string problem;
  if (path.empty() || !ReadRecord(path, record, problem)) return false;
  record.Undone = undone;
  return WriteFileAtomically(path, EncodeRecord(record)) == 0;
}

std::string UndoHint() {
  if (g_lastSaved.empty()) return "";
  return "\rWhat was written is recorded in " + g_lastSaved +
         ";\r`quillmark-cli undo` or Tools > Undo last change takes it back.";
}

std::vector<TAutomaticBackup> ListAutomaticBackups(const TPhysicalDrv& drive) {
  std::vector<TAutomaticBackup> list;
  const std::string identity = DiskIdentity(drive);
  for (const FolderFile& f : FolderFiles()) {
    if (f.Identity != identity) continue;
    TAutomaticBackup backup;
    backup.Path = f.Path;
    backup.Time = ShownTime(f.Stamp);
    backup.Legacy = f.Legacy;
    std::string problem;
    if (f.Legacy) {
      backup.What = f.LegacyUndo ? "tables saved by an undo" : "";
      backup.Sectors = ReadBackupFile(f.Path, problem).size();
      backup.Damaged = backup.Sectors == 0;
    } else {
      TChangeRecord record;
      backup.Damaged = !ReadRecord(f.Path, record, problem);
      backup.What = record.What;
      backup.Undone = record.Undone;
      backup.Sectors = record.Writes.size();
    }
    list.push_back(backup);
  }
  return list;
}

namespace {

// Undo (`undo`) or redo the change of the record at `path`.
EditOutcome TurnRecord(TPhysicalDrv& drive, const std::string& path, bool undo) {
  TChangeRecord record;
  std::string problem;
  if (!ReadRecord(path, record, problem))
    return UndoRefusal("The record of the last change, " + path + ", " + problem +
                       ".\rNothing was written; older changes cannot be taken back past it.");
  const std::string name = RecordName(record, record.Time);
  if (const std::string differs = DiskDiffers(drive, record, undo); !differs.empty())
    return UndoRefusal(std::string(undo ? "Cannot take back " : "Cannot apply again ") + name + ":\r" + differs +
                       ".\rNothing was written.");
  TChange change;
  change.What = std::string(undo ? "undo of " : "redo of ") + record.What;
  for (const TSectorWrite& w : record.Writes) {
    TSectorWrite turned = w;
    turned.Role = WriteRole::Undo;
    if (undo) std::swap(turned.Before, turned.After);
    change.Writes.push_back(turned);
  }
  // Taken back in the reverse order of writing: a table that links to a new one is put back
  // before the new one goes.
  if (undo) std::reverse(change.Writes.begin(), change.Writes.end());
  TChangeRun run;
  run.Caption = undo ? "Undo" : "Redo";
  run.Failed = undo ? "Undo failed." : "Redo failed.";
  run.Mode = undo ? RecordMode::Undo : RecordMode::Redo;
  run.RecordPath = path;
  const std::string question = std::string(undo ? "You are taking back " : "You are applying again ") + name + ": " +
                               std::to_string(change.Writes.size()) + " sector" +
                               (change.Writes.size() == 1 ? "" : "s") + " of " + DriveName(drive) +
                               " will be written.\r\rAre you sure?";
  run.Ask = [question, caption = run.Caption](Host& host) {
    return host.MessageBox(question, caption, MsgButtons::OkCancel, MsgIcon::Warning) == MsgAnswer::Ok;
  };
  return ApplyChange(drive, change, KnownVolumes(drive), run);
}

}  // namespace

EditOutcome UndoLastChange(TPhysicalDrv& drive) {
  const std::vector<TAutomaticBackup> list = ListAutomaticBackups(drive);
  for (auto it = list.rbegin(); it != list.rend(); ++it) {
    if (it->Undone) continue;
    if (it->Legacy)
      return UndoRefusal("The newest backup of " + DriveName(drive) + ", " + it->Path +
                         ", was saved by an earlier version, which did not record what the change wrote.\rIt is not "
                         "taken back by undo; `quillmark-cli restore` puts its tables back after its checks.");
    return TurnRecord(drive, it->Path, true);
  }
  return Refused(Outcome::Failed("There is no recorded change of " + DriveName(drive) +
                                     " that is still applied: there is nothing to undo.",
                                 "Undo", 0, std::nullopt, MsgIcon::Information));
}

EditOutcome RedoLastChange(TPhysicalDrv& drive) {
  const std::vector<TAutomaticBackup> list = ListAutomaticBackups(drive);
  // The undone changes are the newest ones; the oldest of them was taken back last.
  const TAutomaticBackup* next = nullptr;
  for (auto it = list.rbegin(); it != list.rend() && it->Undone && !it->Legacy; ++it) next = &*it;
  if (!next)
    return Refused(Outcome::Failed("No undo of " + DriveName(drive) + " is left to take back: there is nothing to redo.",
                                   "Redo", 0, std::nullopt, MsgIcon::Information));
  return TurnRecord(drive, next->Path, false);
}

}  // namespace qm
