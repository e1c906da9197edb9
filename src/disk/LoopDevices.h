#pragma once
// Loop devices and the files behind them. An image attached as /dev/loopN can be written through
// either name, and a lock taken on one name does not hold off a program that writes through the
// other: the lock of a source has to cover both.
#include <sys/stat.h>

#include <string>
#include <vector>

namespace qm {

// The other names the sectors of the opened file `st` describes go by: for a loop device, the
// file behind it; for a regular file, the device nodes of the loop devices attached to it (the
// same file by device and inode). What sysfs says is checked: a file deleted since it was
// attached, a path that no longer opens or a device without its node is left out.
std::vector<std::string> LoopLinkedPaths(const struct stat& st);

}  // namespace qm
