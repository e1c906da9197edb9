#pragma once
// Copying files and folders out of a volume into a folder of the host: the plan (what will be
// made, under which safe names), then the copy, with its progress, a Stop that is honoured
// between chunks, and a report of everything that did not go as asked. The volume is only
// read; everything on the host side is made relative to the destination folder's handle,
// without following links, so that no name from a damaged volume leads outside it.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "browse/VolumeTree.h"
#include "disk/Outcome.h"

namespace qm {

// The name a volume entry gets on the host: `name` itself when it is safe, else a safe
// replacement (true returned). Unsafe: empty, ".", "..", any "/", NUL or control character,
// or longer than 255 bytes. Each unsafe character becomes "_"; "." and ".." get a "_" in
// front; a long name is cut at a character boundary, its extension kept.
bool SafeFileName(const std::string& name, std::string& safe);

// One thing the user chose: an entry with its path on the volume ("/" for the root, whose
// contents then go straight into the destination).
struct TCopyItem {
  std::string VolumePath;
  TTreeEntry Entry;
};

struct TCopyOptions {
  bool WithDeleted = false;  // deleted entries the volume still describes are copied too
  bool Overwrite = false;    // files of the same name in the destination are replaced
};

struct TCopyProgress {
  uint64_t FilesDone = 0, FilesTotal = 0;
  uint64_t BytesDone = 0, BytesTotal = 0;
  std::string Current;  // the volume path being copied
  int Percent() const;  // of the bytes, or of the files when there are no bytes
};
// Called between chunks and files; false stops the copy there.
using CopyProgressFn = std::function<bool(const TCopyProgress&)>;

struct TCopyProblem {
  std::string Path;    // on the volume
  std::string Reason;
};

struct TCopyReport {
  uint64_t Files = 0, Folders = 0, Links = 0, Bytes = 0;
  // Copied, but sectors could not be read: zeros stand in their place.
  std::vector<TCopyProblem> Unreadable;
  // Not copied: exists already, could not be read or written, data no longer on the volume.
  std::vector<TCopyProblem> NotCopied;
  // Volume names that were unsafe or clashed, and the name each got (Reason holds it).
  std::vector<TCopyProblem> Renamed;
  bool Stopped = false;
  std::string StoppedIn;  // the file being copied when Stop came; its partial copy was removed
  // Failed when the copy could not go on at all (destination full, read-only); Done else.
  Outcome Ended;
  // Whether the report names trouble with reading the volume (the exit status 3 of the CLI).
  bool ReadTrouble() const;
};

// Copies `items` of `tree` into the folder open as `destinationFd` (whose handle stays the
// caller's). Files are written under a temporary name and take their own name only when
// complete, with their modification and access times; folders get their times after their
// contents. Existing files are left alone unless options.Overwrite; existing folders are
// merged into. Symbolic links are made as links, never followed.
TCopyReport CopyFromVolume(TVolumeTree& tree, const std::vector<TCopyItem>& items, int destinationFd,
                           const TCopyOptions& options, const CopyProgressFn& progress);

// The report as lines for the user: what was copied, then every problem by path. Paths and
// names are printable (control characters shown as escapes).
std::vector<std::string> CopySummaryLines(const TCopyReport& report);

}  // namespace qm
