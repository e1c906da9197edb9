// FAT volume labels for the partition list: the label entry of the root directory.
#include "browse/FatDir.h"
#include "browse/RootDirectory.h"
#include "model/FsDetect.h"

namespace qm {

bool ReadFatVolumeLabel(TPhysicalDrv& drive, TPartition& partition, std::string& label) {
  std::string found;
  if (!GetRootDirectory(drive, partition, nullptr, &found) || found.empty()) return false;
  label = found;
  return true;
}

void InstallFatLabelReader() { SetFatLabelReader(&ReadFatVolumeLabel); }

}  // namespace qm
