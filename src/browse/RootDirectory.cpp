// GetRootDirectory: the root directory of a FAT or NTFS partition, for the preview and for FAT
// volume labels.
#include "browse/RootDirectory.h"

#include <exception>

#include "disk/Host.h"

namespace qm {
namespace {

constexpr const char* kCaption = "GetRootDirectory";
constexpr const char* kUnrecognized = "Unrecognized file system or partition has been destroyed.";

bool IsFat(uint8_t kind) { return kind == fkFat12 || kind == fkFat16 || kind == fkFat32; }

bool ReadRoot(TPhysicalDrv& drive, const TPartition& partition, TRootEntries* list, std::string* label) {
  if (IsFat(partition.FsKind)) {
    // A boot sector whose numbers place no root inside the partition has nothing to list; an
    // empty preview would pass for an empty root.
    TFatLayout layout;
    if (!ReadFatLayout(partition, layout)) {
      if (list) MessageBox(kUnrecognized, kCaption, MsgButtons::Ok, MsgIcon::Error);
      return false;
    }
    if (list) {
      list->FatEntries.clear();
      list->NtfsEntries.clear();
      // A root that breaks off part-way still shows what was read before the break; read
      // errors have been reported by the sector layer.
      EnumDir(drive, partition, &list->FatEntries, nullptr);
      SortMidEntries(list->FatEntries);
      return true;
    }
    if (!label) return false;
    std::string found;
    if (EnumDir(drive, partition, nullptr, &found) && !found.empty()) *label = found;
    return true;
  }
  if (partition.FsKind == fkNtfs) {
    // NTFS keeps its label in a file of its own, not in the root: label mode has nothing here.
    if (!list) return false;
    list->FatEntries.clear();
    list->NtfsEntries.clear();
    return GetNTFSFileList(drive, partition, list->NtfsEntries);
  }
  MessageBox(kUnrecognized, kCaption, MsgButtons::Ok, MsgIcon::Error);
  return false;
}

}  // namespace

bool GetRootDirectory(TPhysicalDrv& drive, const TPartition& partition, TRootEntries* list, std::string* label) {
  const BusyGuard busy(drive);
  try {
    return ReadRoot(drive, partition, list, label);
  } catch (const std::exception& e) {
    MessageBox(e.what(), kCaption, MsgButtons::Ok, MsgIcon::Error);
    return false;
  }
}

}  // namespace qm
