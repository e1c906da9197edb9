// FAT volume labels for the partition list: the label entry of the root directory.
#include "browse/FatDir.h"
#include "model/FsDetect.h"

namespace qm {

bool ReadFatVolumeLabel(TPhysicalDrv& drive, TPartition& partition, std::string& label) {
  // The drive is busy while its root is read. A label read can run inside a scan, which holds
  // the drive busy itself; that hold must outlast this read.
  const bool wasBusy = drive.Scanning;
  drive.Scanning = true;
  std::string found;
  const bool read = EnumDir(drive, partition, nullptr, &found);
  drive.Scanning = wasBusy;
  if (!read || found.empty()) return false;
  label = found;
  return true;
}

void InstallFatLabelReader() { SetFatLabelReader(&ReadFatVolumeLabel); }

}  // namespace qm
