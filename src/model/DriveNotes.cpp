#include "model/DriveNotes.h"

namespace qm {

std::vector<std::string> DriveNotes(const TPhysicalDrv& drive) {
  std::vector<std::string> notes;
  if (drive.WholeDiskVolume)
    notes.push_back("No partition table: the disk holds one volume, from sector 0. Nothing is written to it.");
  if (!drive.WalkStopped.empty())
    notes.push_back("Partition tables read only in part: " + drive.WalkStopped + ". Nothing is written to them.");
  return notes;
}

}  // namespace qm
