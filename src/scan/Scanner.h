#pragma once
// Searching sector ranges of a drive for boot sectors of lost partitions: volumes whose boot
// sector is still on the disk although no partition-table entry points to it any more.
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <memory>
#include <span>
#include <vector>

#include "disk/Outcome.h"
#include "fs/Bpb.h"
#include "model/PhysicalDrv.h"

namespace qm {

// Where a scan stands, reported before each block: the whole per cent of the blocks asked for
// (0..100), and the sectors scanned so far of the sectors the scan will read (the range cut at
// the disk's end). Both are 0 once the scan has ended. A block is reported even when the per
// cent stays the same, so on a disk of many gigabytes the sector count moves several times a
// second although one per cent takes many seconds.
struct ScanStep {
  int Percent = 0;
  uint64_t Done = 0;
  uint64_t Total = 0;
};
using ScanProgress = std::function<void(const ScanStep& step)>;

// Sectors read with one ReadSectors call; counts are rounded up to whole blocks.
constexpr uint32_t kScanBlockSectors = 1000;

// How far the quick scan probes from the start of a gap and from the end of each find: at
// least 4096 sectors, so that a volume aligned to 1 MiB (2048 sectors) or to a cylinder
// behind the start of an aligned extended boot record is met, rounded up to whole blocks.
constexpr uint32_t kQuickProbeSectors = 5 * kScanBlockSectors;

// Whether a find is the one a scan looks for; asked of each new find as it is made.
using ScanGoal = std::function<bool(const TPartition& find)>;

// How a scan ends: Done when it read its range (or met the find it looked for); Cancelled after
// Stop; Failed when a block that could not be read (the user answered Abort) or an error such
// as running out of memory ended it, under the caption "Scan" with the errno value
// and the sector where it stopped. Nothing is shown: the front end shows a failure once. What
// was found before the end stays in LostPartitions.

// Scans `count` sectors (rounded up to blocks of 1000) from `startOffset` sectors into
// `region` (a gap, or the drive's Root for the whole disk) and adds every lost partition
// found to LostPartitions, which is left sorted by start. With `findFirst` the scan ends at
// the first find (LastFound) and `progress` is not used; with `goal` it ends at the first find
// the goal accepts (LastFound), and reports its progress until then. Blocks are read up to the
// disk's last sector; the last one is short when the disk ends inside it. Failed, with nothing
// scanned, on a busy drive, a start at or beyond the end of the disk, a negative start or a
// count below 1.
Outcome DetectLostPartitions(TPhysicalDrv& drive, TPartition& region, const ScanProgress& progress,
                             int64_t startOffset, int64_t count, bool findFirst, const ScanGoal& goal = {});

// The lost partition (not an extended one) that starts at `lba`, looked for as far as it takes:
// the find when it is known; else a scan from the block that holds the sector towards the end
// of the disk, which ends as soon as a find starts there. The scanner places a volume met by its
// backup boot sector at the volume's start, and NTFS keeps that copy in its last sector, far
// behind the start. No scan where a table entry starts (such a volume is never a find). Find is
// null when no lost partition starts there, or when the scan ended first; Ended says how the
// scan ended (Done when none was needed).
struct [[nodiscard]] LostFind {
  TPartition* Find = nullptr;
  Outcome Ended;
};
LostFind FindLostPartitionAt(TPhysicalDrv& drive, uint64_t lba, const ScanProgress& progress);

// A new table in front of a partition must not land in a volume nobody has found yet: scans
// the free space in front of `lba` (behind the last partition, table or find that ends before
// it; at most kMaxFrontScanSectors) and adds what it finds to LostPartitions. Done also when
// there is no such space.
constexpr uint64_t kMaxFrontScanSectors = 4ull * 1024 * 1024 * 2;  // 4 GiB
Outcome ScanInFrontOf(TPhysicalDrv& drive, uint64_t lba, const ScanProgress& progress);

// The quick scan of one gap, run when a drive is read: the first kQuickProbeSectors of the
// gap, then as many after each partition found there, until a probe finds nothing or a find
// ends beyond the gap. LastFound is the find that ended it that way, else none. Done also for
// an empty gap or a busy drive, where there is nothing to scan.
Outcome AutoScanFreeSpace(TPhysicalDrv& drive, TPartition& gap);

// The quick search (TQuickSearch): at each position where partitioning tools place volumes
// (every 1 MiB, every cylinder and every cylinder plus one track of the drive's geometry, and
// the sector behind each find), the sectors that would identify a volume starting there are
// read in batches (the boot sector and the superblocks of ext, swap and btrfs) and looked at
// as a scan looks at them; what it finds goes into LostPartitions.
//
// StartQuickSearch sets up a search of `ranges` ([first, end) in 512-byte blocks; cut at the
// disk's end, overlaps merged), replacing the one before. ContinueQuickSearch probes on where
// it stopped until the search is finished, `deadline` has passed (checked between batches), or
// Stop; `progress` is told after each batch (Done and Total count the blocks of the ranges).
// Done when it finished or its time ran out (drive.QuickSearch.Finished() tells which);
// Cancelled after Stop, which keeps the place for the next call; Failed on a busy drive. A
// position whose sectors cannot be read is passed over and counted (Unreadable); nobody is
// asked.
using QuickSearchClock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kQuickSearchBudget{250};  // per disk, when a drive is opened
void StartQuickSearch(TPhysicalDrv& drive, std::vector<std::pair<uint64_t, uint64_t>> ranges);
Outcome ContinueQuickSearch(TPhysicalDrv& drive, std::optional<QuickSearchClock::time_point> deadline,
                            const ScanProgress& progress);

// The gaps of the drive's tables, as ranges for StartQuickSearch.
std::vector<std::pair<uint64_t, uint64_t>> GapRanges(const TPhysicalDrv& drive);

// False when a record of `list` that is neither a gap nor an extended container starts at
// `lba`; such a boot sector belongs to a known partition.
bool IsNewPartitionStart(uint64_t lba, const std::vector<TPartition*>& list);
bool IsNewPartitionStart(uint64_t lba, const std::vector<std::unique_ptr<TPartition>>& list);

// Size and type code of the volume a recognised boot sector of kind `fsKind` describes, if
// it can be a lost partition starting at `lba` on a disk of `diskSectors` sectors: false
// when the sector claims no sectors at all or more than the disk holds from `lba` on.
bool LostVolumeExtent(std::span<const uint8_t, 512> sector, uint8_t fsKind, uint64_t lba, uint32_t diskSectors,
                      uint32_t& totalSectors, uint8_t& systemId);

}  // namespace qm
