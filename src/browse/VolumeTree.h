#pragma once
// The folders and files of a volume, below its root: listed folder by folder, files read in
// chunks, link targets read. The Sleuth Kit (libtsk) decodes the file systems; every byte it
// asks for comes through our own sector layer, so devices, images, injected faults and the
// fuzzer all reach it the same way, and nothing is ever written. A volume is opened at its
// first sector; it may be one that no table lists.
//
// Everything read is untrusted: listings are capped, unreadable sectors read as zeros and are
// counted (the caller learns which file they hit), and a damaged volume fails a call instead
// of crashing it. One object is used by one thread at a time; two objects on one disk may run
// on two threads.
#include <cstdint>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "disk/Outcome.h"
#include "disk/SectorReader.h"
#include "model/PhysicalDrv.h"

namespace qm {

enum class TreeEntryType { File, Directory, Symlink, Other };

// A time as the volume gives it: seconds since 1970 (UTC) and nanoseconds; Known is false
// where the file system keeps none.
struct TTreeTime {
  int64_t Seconds = 0;
  uint32_t Nanos = 0;
  bool Known = false;
};

struct TTreeEntry {
  std::string Name;     // as the volume spells it (UTF-8 from libtsk); not yet safe as a path
  uint64_t Inode = 0;   // the file system's own number of the entry's record
  TreeEntryType Type = TreeEntryType::Other;
  uint64_t Size = 0;
  TTreeTime Modified, Accessed, Changed, Created;
  bool Deleted = false;
  // A deleted name whose record now belongs to another file (or to none), or a name whose record
  // cannot be read: its data is gone.
  bool DataLost = false;
};

// More entries than this in one folder are left out, and the listing says so.
constexpr size_t kMaxFolderEntries = 1'000'000;

class TVolumeTree {
 public:
  // Opens the file system whose first sector is `start` on `disk` (of `diskSectors` 512-byte
  // sectors). `kind` (FsKind) is the model's guess, tried when detection finds nothing.
  // Failed, with the reason, when no file system it reads lies there.
  static std::unique_ptr<TVolumeTree> Open(SectorReader& disk, uint64_t diskSectors, Lba start, uint8_t kind,
                                           Outcome& why);
  ~TVolumeTree();
  TVolumeTree(const TVolumeTree&) = delete;
  TVolumeTree& operator=(const TVolumeTree&) = delete;

  uint64_t RootInode() const;
  // The name of the file system libtsk found ("fat32", "ntfs", "ext4", ...).
  std::string KindName() const;

  // The entries of the folder `inode`, without "." and "..", the volume's own bookkeeping
  // entries and, unless `withDeleted`, deleted names. Done with a note when the folder held
  // more than kMaxFolderEntries; Failed when it cannot be read.
  Outcome List(uint64_t inode, bool withDeleted, std::vector<TTreeEntry>& entries);
  // The entry at `path` ("/" or "" is the root; "a/b" below it), by name, allocated entries
  // first. Failed when a part of the path is not there.
  Outcome Find(const std::string& path, TTreeEntry& entry);

  // Reads up to `buffer.size()` bytes of the file `entry` at `offset` into `buffer`; `got` is
  // how many (less only at the end). Sectors that could not be read come back as zeros and
  // raise `unreadable` by their count. Failed when the file's record cannot be decoded.
  Outcome Read(const TTreeEntry& entry, uint64_t offset, std::span<uint8_t> buffer, size_t& got,
               uint64_t& unreadable);
  // The target of the symbolic link `entry`, at most 4096 bytes.
  Outcome ReadLink(const TTreeEntry& entry, std::string& target);

  // Unreadable sectors met so far, and which ones (the first 4096 kept).
  uint64_t UnreadableSectors() const;
  const std::set<Lba>& UnreadableList() const;

 private:
  struct State;
  explicit TVolumeTree(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// libtsk turns FAT and exFAT times into Unix ones with mktime, which reads /etc/localtime anew
// at every call while TZ is unset: three times an entry, half the time of listing a folder of
// 100,000 entries. Naming that same file in TZ lets the C library read it once. Call it at the
// start of a program, before any thread runs; a TZ the user set is kept.
void ReadLocalTimeZoneOnce();

// The tree of a partition of `drive`, listed or lost, read through the drive's disk.
std::unique_ptr<TVolumeTree> OpenPartitionTree(const TPhysicalDrv& drive, const TPartition& partition, Outcome& why);

}  // namespace qm
