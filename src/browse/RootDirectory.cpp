// GetRootDirectory: the root directory of a FAT or NTFS partition, for the preview and `ls`.
#include "browse/RootDirectory.h"

#include "disk/Disk.h"
#include "model/FsDetect.h"

namespace qm {

Outcome GetRootDirectory(TPhysicalDrv& drive, const TPartition& partition, TRootEntries& list) {
  const BusyGuard busy(drive);
  list = TRootEntries{};
  if (IsSuperblockKind(partition.FsKind))
    return Outcome::Failed(std::string("Listing the files of ") + FsKindName(partition.FsKind) +
                               " volumes is not built yet; the partition can be recovered all the same.",
                           "Root directory", 0, std::nullopt, MsgIcon::Information);
  SectorReader& disk = drive.Io();
  const TFsVolume volume = PartitionVolume(drive, partition, disk);
  // A FAT boot sector whose numbers place no root inside the partition has nothing to list;
  // an empty preview would pass for an empty root.
  TFatLayout layout;
  if (ReadFatLayout(volume, layout)) {
    list.Kind = partition.FsKind;
    const Outcome read = EnumDir(volume, layout, list.FatEntries);
    SortMidEntries(list.FatEntries);
    return read;
  }
  if (partition.FsKind == fkNtfs) {
    list.Kind = fkNtfs;
    return GetNTFSFileList(volume, list.NtfsEntries);
  }
  return Outcome::Failed("Unrecognized file system or partition has been destroyed.", "Root directory");
}

}  // namespace qm
