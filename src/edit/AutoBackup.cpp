#include "edit/AutoBackup.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "disk/Host.h"
#include "disk/SectorIO.h"
#include "edit/TableBackup.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

bool g_enabled = true;
std::string g_lastSaved;  // the backup made before the last write of this process

constexpr const char* kExtension = ".pfi";
constexpr const char* kUndoMark = "-undo";
// Longer identities are cut and end in a hash of the whole, so that names stay within the
// file system's limit and still tell disks apart.
constexpr size_t kMaxIdentity = 120;

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

// "20261206T185959.123456Z": sorts as the times do.
std::string TimeStamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto micros =
      std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count() % 1000000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%04d%02d%02dT%02d%02d%02d.%06lldZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<long long>(micros));
  return text;
}

// "2026-12-06 18:59:59 UTC" from a file name's time stamp.
std::string ShownTime(const std::string& stamp) {
  if (stamp.size() < 15) return stamp;
  return stamp.substr(0, 4) + "-" + stamp.substr(4, 2) + "-" + stamp.substr(6, 2) + " " + stamp.substr(9, 2) + ":" +
         stamp.substr(11, 2) + ":" + stamp.substr(13, 2) + " UTC";
}

void ShowError(const std::string& text) { MessageBox(text, "Automatic backup", MsgButtons::Ok, MsgIcon::Error); }

// The table sectors of a backup file; empty when it cannot be read.
std::vector<std::pair<uint64_t, TSector>> FileBlocks(const std::string& path) {
  std::string problem;
  return ReadBackupFile(path, problem);
}

// Whether every sector of `blocks` holds on the disk what the block holds.
bool DiskHolds(const TPhysicalDrv& drive, const std::vector<std::pair<uint64_t, TSector>>& blocks) {
  for (const auto& [lba, saved] : blocks) {
    TSector now{};
    if (lba >= drive.Geometry.TotalSectors || !ReadSectors(drive.DriveNumber, lba, 1, now.data(), false, true) ||
        now != saved)
      return false;
  }
  return true;
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
  if (const DriveSource* source = FindDriveSource(drive.DriveNumber)) {
    identity = source->Path();
    struct stat st{};
    if (source->IsBlockDevice() && ::stat(source->Path().c_str(), &st) == 0) {
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

bool SaveAutomaticBackup(TPhysicalDrv& drive, const std::vector<uint64_t>& sectors, bool undo) {
  if (!g_enabled) return true;
  const std::string folder = AutomaticBackupFolder();
  const std::string refusal = "\rNothing was written.";
  if (folder.empty()) {
    ShowError("The partition tables cannot be saved before the change: neither XDG_STATE_HOME nor HOME names a "
              "folder for the backup." + refusal);
    return false;
  }
  // The walk's table sectors are what the disk holds: they were compared with it just now.
  std::vector<std::pair<uint64_t, TSector>> blocks = drive.TableSectors;
  auto add = [&](uint64_t lba) {
    if (std::any_of(blocks.begin(), blocks.end(), [&](const auto& b) { return b.first == lba; })) return true;
    TSector sector{};
    if (!ReadSectors(drive.DriveNumber, lba, 1, sector.data(), false, true)) return false;
    blocks.emplace_back(lba, sector);
    return true;
  };
  // A backup file starts with the master boot record.
  bool read = add(0);
  const auto mbr = std::find_if(blocks.begin(), blocks.end(), [](const auto& b) { return b.first == 0; });
  if (mbr != blocks.end()) std::rotate(blocks.begin(), mbr, mbr + 1);
  for (const TPartition* table : drive.DirtyTables) read = read && add(table == &drive.Root ? 0 : table->AbsoluteStart());
  for (uint64_t lba : sectors) read = read && add(lba);
  if (!read) {
    ShowError("The partition tables cannot be saved before the change: a sector of " + DriveHex(drive.DriveNumber) +
              "H cannot be read (" + SystemErrorText(LastIoError()) + ")." + refusal);
    return false;
  }

  std::error_code created;
  fs::create_directories(folder, created);
  const std::string path =
      folder + "/" + DiskIdentity(drive) + "-" + TimeStamp() + (undo ? kUndoMark : "") + kExtension;
  int error = 0;
  if (created || !WriteBackupFile(path, blocks, error)) {
    ShowError("The partition tables cannot be saved before the change: " + path + ": " +
              SystemErrorText(created ? created.value() : error) + "." + refusal);
    return false;
  }
  g_lastSaved = path;
  return true;
}

std::string UndoHint() {
  if (g_lastSaved.empty()) return "";
  return "\rThe tables as they were before are saved in " + g_lastSaved +
         ";\r`quillmark-cli undo` or Tools > Undo last change puts them back.";
}

std::vector<TAutomaticBackup> ListAutomaticBackups(const TPhysicalDrv& drive) {
  std::vector<TAutomaticBackup> list;
  const std::string folder = AutomaticBackupFolder();
  const std::string prefix = DiskIdentity(drive) + "-";
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(prefix, 0) != 0 || name.size() < prefix.size() + 4 ||
        name.compare(name.size() - 4, 4, kExtension) != 0)
      continue;
    std::string stamp = name.substr(prefix.size(), name.size() - prefix.size() - 4);
    TAutomaticBackup backup;
    backup.Path = entry.path().string();
    backup.MadeByUndo = stamp.size() > 5 && stamp.compare(stamp.size() - 5, 5, kUndoMark) == 0;
    if (backup.MadeByUndo) stamp.resize(stamp.size() - 5);
    if (stamp.size() != 23 || stamp[8] != 'T') continue;  // another disk whose identity begins like this one's
    backup.Time = ShownTime(stamp);
    backup.Sectors = FileBlocks(backup.Path).size();
    list.push_back(backup);
  }
  std::sort(list.begin(), list.end(), [](const auto& a, const auto& b) { return a.Path < b.Path; });
  return list;
}

EditResult UndoLastChange(TPhysicalDrv& drive) {
  const std::vector<TAutomaticBackup> list = ListAutomaticBackups(drive);
  for (auto it = list.rbegin(); it != list.rend(); ++it) {
    if (it->MadeByUndo || it->Sectors == 0 || DiskHolds(drive, FileBlocks(it->Path))) continue;
    return RestorePartitionTable(drive, it->Path, /*undo=*/true);
  }
  MessageBox("There is no automatic backup of the tables of " + DriveHex(drive.DriveNumber) +
                 "H that differs from them: there is nothing to undo.",
             "Undo", MsgButtons::Ok, MsgIcon::Information);
  return EditResult::Refused;
}

}  // namespace qm
