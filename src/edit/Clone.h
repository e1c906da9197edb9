#pragma once
// Copying a lost partition, sector by sector, onto a volume of the machine or into an image
// file. No partition table is written: a volume keeps its own entry and takes on the lost
// partition's file system; an image file becomes a copy of the partition's sectors. Nothing
// is ever written to the drive that holds the lost partition.
//
// The steps, for the window and the command line alike: PrepareClone checks everything and
// holds the target open, ConfirmClone asks the user, CloneLostPartition copies.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "disk/VolumeWriter.h"
#include "model/PhysicalDrv.h"

namespace qm {

// The file-system name of a lost partition, from its type code: "FAT" for 0x01 and 0x06,
// "NTFS" for 0x07, "FAT32" for 0x0B, empty for every other code. A volume takes the copy only
// when the system names its file system the same (exact case); an empty name matches only a
// volume whose file system is unknown. An image file takes any partition.
std::string CloneFileSystemName(uint8_t systemId);

// Sectors moved per read and write: 1 MiB.
constexpr uint32_t kCloneBlockSectors = 2048;

// A clone whose checks passed.
struct TClonePlan {
  TPartition* Source = nullptr;        // a record of the drive's LostPartitions
  TLogiDrive Target;                   // Root is the target's path; an image file has no size or file system
  bool ToFile = false;                 // an image file rather than a volume
  bool ReplacesFile = false;           // the image file exists: it keeps its content until the copy is complete
  std::string FilePath;                // an image file's own path, symbolic links followed
  std::unique_ptr<VolumeWriter> Writer;  // a volume's, held open from the checks on; an image file's from the copy on
};

// Every check a clone must pass, before the user is asked anything. A refusal gives null, with
// why in `refusal`; nothing is written. `target` is a block volume or an image
// file (new or existing); `volume` is its record from the machine's volume list, when it was
// chosen there (its label, size text and file-system name are shown and compared), otherwise
// a block volume is asked for them. Refused: a drive that is busy, a source that is no lost
// partition of the drive, a target that is neither a block device nor a regular file, a path
// under /dev (also one reached through symbolic links or "..") that is not an existing block
// device, a symbolic link to nothing, a target that stores the source drive (the same image,
// the same disk or a partition of it, a loop device over the image, a file kept on the source
// disk), a volume in use (mounted, or held by another program), one whose file system differs
// from the source's, or one smaller than the source, and an image file that cannot be written
// or has no room beside it (an existing one stays until the copy is complete: its space does
// not count).
std::unique_ptr<TClonePlan> PrepareClone(TPhysicalDrv& drive, TPartition& source, const std::string& target,
                                         Outcome& refusal, const TLogiDrive* volume = nullptr);

// Asks before anything is written: whether an existing image file may be replaced (a
// question of its own), then whether to go on, through `host`. True when the user said yes to
// every one.
bool ConfirmClone(Host& host, const TClonePlan& plan);

enum class CloneResult {
  Copied,       // every sector was passed; unreadable ones were skipped (see the report)
  Stopped,      // the user stopped it; a volume is only partly written, an image file is as it was
  WriteFailed,  // a write to the target failed; a volume is only partly written, an image file is as it was
  NotCreated,   // the image file could not be created; nothing was written
};

struct CloneReport {
  CloneResult Result = CloneResult::NotCreated;
  uint64_t SectorsDone = 0;        // sectors copied or skipped from the start of the source
  uint64_t UnreadableSectors = 0;  // skipped because they could not be read
  uint64_t FirstUnreadable = 0;    // the absolute sector of the first of them
  Outcome Told;                    // how it ended, and the sectors passed over, for the user
};

// Called after each block with the sectors passed and the partition's length; once more at
// the end with both 0.
using CloneProgress = std::function<void(uint64_t done, uint64_t total)>;

// Copies the source onto the target in blocks of kCloneBlockSectors, letting the host process
// messages between blocks (the Stop action sets the drive's StopRequested). A block that
// cannot be read is read again in 64 KiB pieces, and only the pieces that still fail are
// skipped: a volume keeps its old content there, an image file holds zeros. The copy ends at
// the first failed write. A volume is written in place, and flushed to the medium at the end.
// An image file is written as a new file beside the target, which takes the target's name
// (and an old file's permission bits) only when the copy is complete; a stopped or failed copy
// removes it, and an old file keeps its content. The report's Told says how it ended, in one
// message: completed, stopped or failed (a volume partly written, an image file as it was),
// and the unreadable sectors passed over. The drive is busy while it runs.
CloneReport CloneLostPartition(TPhysicalDrv& drive, TClonePlan& plan, const CloneProgress& progress);

}  // namespace qm
