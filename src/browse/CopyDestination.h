#pragma once
// Where files copied out of a volume may go: never onto the disk they are read from. A copy
// written to the source could overwrite the very sectors it is trying to save.
#include <string>

#include "disk/Outcome.h"

namespace qm {

// Refuses (Failed, with the text the user is shown) when the file system that holds the open
// folder `folderFd` lives on `sourcePath`:
//   - a block device source: the folder's device is the source, one of its partitions, or a
//     device built on either (device mapper, RAID: the sysfs "slaves" links);
//   - an image file source: the folder's device is a loop device (or a partition of one, or a
//     device built on it) whose backing file is that image.
// A folder on the host disk beside an image is fine. Done otherwise.
Outcome CheckDestinationOffSource(int folderFd, const std::string& sourcePath);

}  // namespace qm
