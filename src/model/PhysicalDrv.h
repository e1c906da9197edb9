#pragma once
// The in-memory model of the machine's drives: each physical drive with its geometry and the
// tree of its partition-table entries, gaps and lost partitions.
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "disk/Disk.h"
#include "disk/Geometry.h"
#include "fs/FsKind.h"
#include "model/DiskData.h"
#include "model/Gpt.h"

namespace qm {

// The name the partition list shows for a kind.
const char* FsKindName(uint8_t kind);

// One record for every table entry, gap and lost partition.
//   root record      Parent none, SystemId 0x05, the drive's whole size; Children = the MBR's
//   primary          Parent Root, BaseLBA 0
//   extended         Parent Root, SystemId 0x05/0x0F, FsKind 30; Children = first EBR + gaps
//   logical drive    Parent an extended record, BaseLBA = LBA of its EBR
//   link             Parent an extended record, SystemId 0x05/0x0F, BaseLBA = ExtendedBase
//   gap              SystemId 0, FsKind 255, Parent Root or the primary extended partition
//   lost partition   Parent none, only in LostPartitions; RelativeSector absolute
struct TPartition {
  std::string DriveLetter;  // the system's name of the volume (e.g. "sdb1"); empty when none
  std::string VolumeLabel;
  // The file system's UUID (or serial) as the system shows it, where its superblock gives one;
  // empty otherwise.
  std::string Uuid;
  TPartitionEntry Entry{};
  uint64_t BaseLBA = 0;
  std::vector<TPartition*> Children;
  uint8_t FsKind = 0;
  TSector BootSector{};
  TPartition* Parent = nullptr;
  // A lost find whose own first sector is destroyed: the LBA of the intact backup boot sector
  // that BootSector was copied from. 0 for every other record.
  uint64_t BootFromBackup = 0;
  // Where the entry stood when the tables were read: its slot (0 to 3) in the table of
  // SlotTable. An edit writes a changed entry back into the same slot, so that the system's
  // partition numbers stay as they are; a record made since has no slot (-1).
  int Slot = -1;
  const TPartition* SlotTable = nullptr;
  // On a disk with a GUID partition table: the entry this record stands for (its slot, type,
  // unique GUID and name). Such a record has no slot of the master boot record.
  std::optional<TGptEntry> Gpt;

  uint64_t AbsoluteStart() const { return BaseLBA + Entry.RelativeSector; }
  uint64_t AbsoluteEnd() const { return AbsoluteStart() + Entry.TotalSectors; }  // one past the last sector
  bool IsExtended() const { return IsExtendedType(Entry.SystemId); }
  bool IsGap() const { return Entry.SystemId == kTypeEmpty; }
};

// Ascending absolute start: the one order of every partition list.
int ComparePartitionStart(const TPartition* a, const TPartition* b);
void SortByStart(std::vector<TPartition*>& list);

// The quick search: the sectors where partitioning tools place volumes (every 1 MiB, every
// cylinder and every cylinder plus one track, and the sector behind each find) probed in
// `Ranges`, ascending from the start. It goes on where it stopped: its state is kept here so
// that a search cut short by its time limit can be continued, in the background or by a scan.
struct TQuickSearch {
  std::vector<std::pair<uint64_t, uint64_t>> Ranges;  // [first, end) in 512-byte blocks, ascending, disjoint
  uint64_t Next = 0;              // the first block not yet probed; Ranges before it are done
  std::vector<uint64_t> Behind;   // the sectors behind finds still to probe, ascending
  uint64_t Total = 0;             // the blocks of Ranges
  uint64_t Done = 0;              // the blocks of Ranges before Next
  uint64_t Probed = 0;            // positions probed so far
  uint64_t Unreadable = 0;        // positions whose sectors could not be read
  bool Started() const { return Total != 0; }
  bool Finished() const { return Done >= Total && Behind.empty(); }
};

class TPhysicalDrv {
 public:
  // Takes the disk and stores its number and geometry; the tables are read by the table
  // reader. A drive made from a number alone has no disk: every read and write fails.
  TPhysicalDrv(std::unique_ptr<Disk> disk, const TDriveGeometry& geometry);
  TPhysicalDrv(uint8_t driveNumber, const TDriveGeometry& geometry);
  ~TPhysicalDrv();
  TPhysicalDrv(const TPhysicalDrv&) = delete;
  TPhysicalDrv& operator=(const TPhysicalDrv&) = delete;

  uint8_t DriveNumber = 0;
  // A scan may run on a thread of its own while the window's thread asks whether the drive is
  // busy and sets Stop.
  std::atomic<bool> Scanning = false;
  std::atomic<bool> StopRequested = false;
  TDriveGeometry Geometry{};
  // The whole disk in 512-byte sectors. Geometry.TotalSectors stops at 0xFFFFFFFF (2 TiB, all
  // that a partition table addresses); this is the real count, for what the user is shown.
  uint64_t DiskSectors = 0;
  TPartition Root;
  std::vector<TPartition*> AllPartitions;  // Root first, then every table record and gap by start
  std::vector<std::unique_ptr<TPartition>> LostPartitions;  // owned, ascending by start
  uint32_t PartitionCount = 0;
  uint64_t ExtendedBase = 0;
  std::vector<TPartition*> DirtyTables;
  TPartition* LastFound = nullptr;
  bool IsGpt = false;  // the MBR holds a protective 0xEE entry: tables are never written
  // The GUID partition table behind that entry as it was read: the copy in use and what is
  // wrong with the other, the problems of its entries, or why neither copy is usable. The
  // records of its partitions stand in Root in the place of the master boot record's entries.
  std::optional<TGptRead> GptRead;
  // The copy of the GUID partition table the user chose to trust when one copy is damaged or
  // the two differ: a change then writes both copies anew from it. None: no change is written
  // to such a table.
  GptCopy GptTrusted = GptCopy::None;
  // Sector 0 is the boot sector of a file system that fills the disk (no partition table);
  // Root then holds one record for that volume, and tables are never written.
  bool WholeDiskVolume = false;
  // Why the walk of the tables ended before the end of the chain (a cycle, too many tables,
  // an unreadable table, this one with the system's reason); empty when every table was read.
  // The model then does not show the whole layout, and tables are never written.
  std::string WalkStopped;
  // The errno value and the sector of the table that could not be read, when that stopped it.
  int WalkStoppedErrno = 0;
  std::optional<Lba> WalkStoppedSector;
  // How the quick scan of the gaps ended when the drive was opened: Failed when a block that
  // could not be read, or an error, stopped it; the finds up to there are kept.
  Outcome QuickScanEnded;
  // The search of the positions where partitioning tools place volumes, and how far it came.
  TQuickSearch QuickSearch;
  // Every table sector as the walk read it, in reading order. Before a write the sectors are
  // read again: when any differs, another program has changed the tables since.
  std::vector<std::pair<uint64_t, TSector>> TableSectors;

  // The disk: every sector this drive's records describe is read and written through it.
  // Reading the disk changes none of the records, so a drive held const still reads.
  Disk& Io() const { return *disk_; }

  // Takes ownership of a record made from the tables (or a gap) and lists it in AllPartitions.
  TPartition* AdoptRecord(std::unique_ptr<TPartition> record);
  // Frees every record of AllPartitions except Root; empties Root.Children.
  void FreeTableRecords();

 private:
  std::unique_ptr<Disk> disk_;
  std::vector<std::unique_ptr<TPartition>> owned_;
};

// Holds the drive's busy flag for the life of the object and gives it back as it was found: a
// label read may run inside a scan, whose own hold must outlast it.
class BusyGuard {
 public:
  explicit BusyGuard(TPhysicalDrv& drive) : drive_(drive), previous_(drive.Scanning) { drive.Scanning = true; }
  ~BusyGuard() { drive_.Scanning = previous_; }
  BusyGuard(const BusyGuard&) = delete;
  BusyGuard& operator=(const BusyGuard&) = delete;

 private:
  TPhysicalDrv& drive_;
  bool previous_;
};

// True for a link to a further extended boot record: an extended type code on a record that
// is neither Root nor a child of Root.
bool IsNestedExtended(const TPhysicalDrv& drive, const TPartition& record);

// The model counts 512-byte blocks; the user is shown, and types, the disk's own sectors
// (4096 bytes on some disks). The sector that holds `block`:
uint64_t SectorOfBlock(const TPhysicalDrv& drive, Lba block);
// The first block of sector `sector`; none when that lies beyond what 64 bits count.
std::optional<Lba> BlockOfSector(const TPhysicalDrv& drive, uint64_t sector);

// The blocks a partition table can reach on the drive: the whole disk, but no more than 2^32
// (the geometry's 32-bit count stops one short of that on a disk of exactly 2 TiB).
uint64_t AddressableBlocks(const TPhysicalDrv& drive);

// One volume of the running system.
struct TLogiDrive {
  std::string Root;        // device path, e.g. /dev/sdb1
  uint8_t DriveType = 0;   // 2 removable, 3 fixed
  uint64_t TotalBytes = 0;
  std::string SizeText;    // "%.2f GB" or "%.2f MB"
  std::string VolumeLabel; // "No Name" when empty
  std::string FileSystem;
};

class TPhysicalDrives {
 public:
  std::vector<std::unique_ptr<TPhysicalDrv>> Drives;        // ascending drive number
  std::vector<std::unique_ptr<TLogiDrive>> LogicalDrives;

  TPhysicalDrv* FindDrive(uint8_t driveNumber) const;
};

}  // namespace qm
