#include "scan/Scanner.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <exception>
#include <new>
#include <optional>

#include "disk/Host.h"
#include "disk/Disk.h"
#include "fs/LinuxFs.h"
#include "model/FsDetect.h"
#include "scan/BackupBoot.h"

namespace qm {
namespace {

// Sectors read with one call while a scan reads on: two blocks, 1,024,000 bytes, about what
// `dd bs=1M` moves a call; the page cache hands out runs of that size faster than single
// blocks. The scan still steps through each run block by block (progress, Stop), and a run
// that cannot be read whole is read again block by block, with the sector layer's prompt
// where a block fails.
constexpr uint32_t kRunSectors = 2 * kScanBlockSectors;
constexpr char kScanCaption[] = "Scan";

// However a scan ends, the drive is no longer busy, a Stop that arrived late does not carry
// over into the next scan, and the bar is back at 0.
class ScanGuard {
 public:
  ScanGuard(TPhysicalDrv& drive, const ScanProgress* bar) : drive_(drive), bar_(bar) {
    drive_.Scanning = true;
    drive_.StopRequested = false;
  }
  ~ScanGuard() {
    drive_.Scanning = false;
    drive_.StopRequested = false;
    if (!bar_) return;
    try {
      (*bar_)(ScanStep{});
    } catch (...) {  // a failing bar must not take the program down on the way out
    }
  }
  ScanGuard(const ScanGuard&) = delete;
  ScanGuard& operator=(const ScanGuard&) = delete;

 private:
  TPhysicalDrv& drive_;
  const ScanProgress* bar_;
};

bool LostSorted(const TPhysicalDrv& drive) {
  return std::is_sorted(drive.LostPartitions.begin(), drive.LostPartitions.end(),
                        [](const auto& a, const auto& b) { return ComparePartitionStart(a.get(), b.get()) < 0; });
}

void SortLostPartitions(TPhysicalDrv& drive) {
  if (LostSorted(drive)) return;
  std::stable_sort(drive.LostPartitions.begin(), drive.LostPartitions.end(),
                   [](const auto& a, const auto& b) { return ComparePartitionStart(a.get(), b.get()) < 0; });
}

bool BlocksFind(const TPartition& record, uint64_t lba) {
  const uint8_t type = record.Entry.SystemId;
  return type != kTypeEmpty && !IsExtendedType(type) && record.AbsoluteStart() == lba;
}

// What the scanner remembers of the candidate before: its serial, and where the backup copy
// of its boot sector lies (FAT32: the sector its boot sector names, usually six on; NTFS: right
// behind the sectors it counts).
struct PreviousCandidate {
  uint32_t serial = 0;
  uint64_t backupAt = ~uint64_t{0};
};

PreviousCandidate DescribeCandidate(std::span<const uint8_t, 512> sector, uint8_t kind, uint64_t lba) {
  PreviousCandidate c;
  const TBpb bpb = DecodeBpb(sector, kind);
  c.serial = bpb.Serial;
  if (kind == fkFat32) {
    if (bpb.BackupBootSector != 0 && bpb.BackupBootSector != 0xFFFF)
      c.backupAt = lba + uint64_t{bpb.BackupBootSector} * bpb.BlocksPerSector();
  } else if (kind == fkNtfs) {
    if (bpb.NtfsTotalSectors < (uint64_t{1} << 40)) c.backupAt = lba + bpb.NtfsTotalSectors * bpb.BlocksPerSector();
  }
  return c;
}

// Where the partitions in the tables keep the backup copies of their boot sectors, with the
// serial each copy carries, sorted. Such a copy is never a find, wherever the scan started:
// a range that begins inside a listed volume has not seen its primary boot sector.
class ListedBackups {
 public:
  explicit ListedBackups(const TPhysicalDrv& drive) {
    for (const TPartition* p : drive.AllPartitions) {
      if (!BlocksFind(*p, p->AbsoluteStart())) continue;
      if (p->FsKind != fkFat32 && p->FsKind != fkNtfs) continue;
      const PreviousCandidate c = DescribeCandidate(p->BootSector, p->FsKind, p->AbsoluteStart());
      if (c.backupAt != ~uint64_t{0}) copies_.emplace_back(c.backupAt, c.serial);
    }
    std::sort(copies_.begin(), copies_.end());
  }
  bool Holds(uint64_t lba, uint32_t serial) const {
    return std::binary_search(copies_.begin(), copies_.end(), std::pair<uint64_t, uint32_t>(lba, serial));
  }

 private:
  std::vector<std::pair<uint64_t, uint32_t>> copies_;
};

// The state of one scan: the block just read, the candidate before, and what is known
// already, held so that every look-up is a binary search. LostPartitions stays sorted by
// start throughout: each find is inserted at its place, which is the end of the list when
// the scan moves forwards through a fresh range.
class ScanSession {
 public:
  explicit ScanSession(TPhysicalDrv& drive)
      : drive_(drive),
        listed_(drive),
        blocksPerSector_(BlocksPerSector(drive.Geometry)) {
    for (const TPartition* p : drive.AllPartitions)
      if (BlocksFind(*p, p->AbsoluteStart())) tableStarts_.push_back(p->AbsoluteStart());
    std::sort(tableStarts_.begin(), tableStarts_.end());
    SortLostPartitions(drive);
  }

  // Makes the block of `count` sectors at `lba` the one Look looks at. A block outside
  // the run read last starts a new run, up to `runEnd` (at most kRunSectors), read with one
  // call; when that fails, the block alone is read with the sector layer's prompt, and false
  // means that failed too (the disk's LastIoError then says why).
  bool Read(uint64_t lba, uint32_t count, uint64_t runEnd) {
    if (lba < runStart_ || lba + count > runStart_ + runLength_) {
      // Made at the first read: the quick search looks at sectors it reads itself.
      if (!run_) run_.reset(new uint8_t[size_t{kRunSectors} * kSectorSize]);
      runLength_ = 0;
      drive_.Io().ClearIoError();
      const uint64_t end = std::max<uint64_t>(
          lba + count, std::min<uint64_t>({runEnd, drive_.Geometry.TotalSectors, lba + kRunSectors}));
      uint32_t length = static_cast<uint32_t>(end - lba);
      if (length == count || !drive_.Io().ReadSectors(lba, static_cast<uint16_t>(length),
                                          run_.get(), false, true)) {
        length = count;
        if (!drive_.Io().ReadSectors(lba, static_cast<uint16_t>(count), run_.get(), true,
                         true))
          return false;
      }
      runStart_ = lba;
      runLength_ = length;
    }
    block_ = run_.get() + (lba - runStart_) * kSectorSize;
    return true;
  }

  // Looks at sector `i` of the current block, sector `lba` of the disk: a boot sector (it ends
  // in 55 AA), else the superblock of a file system that keeps one. Returns the new lost record
  // it makes, if any.
  TPartition* Look(uint32_t i, uint64_t lba) {
    return Look(std::span<const uint8_t, 512>(block_ + size_t{i} * kSectorSize, kSectorSize), lba);
  }

  // The same for a sector read elsewhere (the quick search reads its own).
  TPartition* Look(std::span<const uint8_t, 512> sector, uint64_t lba) {
    if (sector[510] == 0x55 && sector[511] == 0xAA)
      if (TPartition* found = Examine(sector, lba)) return found;
    if (!MayHoldSuperblock(sector)) return nullptr;
    if (const std::optional<TSuperblockHint> hint = SuperblockHint(sector)) return ExamineSuperblock(*hint, lba);
    return nullptr;
  }

  // Looks at one sector that ends in 55 AA. Returns the new lost record when the sector is
  // the boot sector of a volume that neither a table entry nor an earlier find starts at.
  TPartition* Examine(std::span<const uint8_t, 512> sector, uint64_t lba) {
    // On a disk with larger sectors every volume, and every copy of a boot sector, begins on
    // a whole one.
    if (lba % blocksPerSector_ != 0) return nullptr;
    const uint8_t kind = DetectFsKind(sector);
    if (kind == fkUnallocated) return nullptr;

    // A backup copy follows its primary among the candidates (FAT32 six sectors on, NTFS in
    // the volume's last sector); the primary, found or known, has just been remembered. Only a
    // sector with the primary's serial at the primary's backup place is its copy: two volumes
    // may well share a serial (a cloned volume, or two formatted in the same second), and the
    // second of them is a find of its own.
    const uint32_t serial = GetVolumeSerial(sector, kind);
    if (previous_ && previous_->serial == serial && previous_->backupAt == lba) return nullptr;
    const bool listedCopy = listed_.Holds(lba, serial);

    // A copy met without its primary: the volume begins where the copy's fields say, and when
    // its own first sector is gone the copy stands in for it.
    uint64_t start = lba;
    uint64_t fromBackup = 0;
    std::span<const uint8_t, 512> boot = sector;
    std::optional<TBackupFind> backup;
    if (!listedCopy) backup = RecogniseBackup(drive_, sector, kind, lba);
    if (backup) {
      start = backup->Start;
      if (backup->PrimaryIntact)
        boot = backup->Primary;
      else
        fromBackup = lba;
    }

    uint32_t totalSectors = 0;
    uint8_t systemId = 0;
    if (!LostVolumeExtent(boot, kind, start, drive_.Geometry.TotalSectors, totalSectors, systemId)) return nullptr;
    previous_ = DescribeCandidate(sector, kind, lba);
    if (listedCopy) return nullptr;
    if (std::binary_search(tableStarts_.begin(), tableStarts_.end(), start)) return nullptr;
    const auto place = LostPlace(start);
    if (place.second) return nullptr;

    auto record = std::make_unique<TPartition>();
    record->Entry.RelativeSector = static_cast<uint32_t>(start);
    record->Entry.TotalSectors = totalSectors;
    record->Entry.SystemId = systemId;
    record->BaseLBA = 0;
    record->FsKind = kind;
    record->BootFromBackup = fromBackup;
    std::copy(boot.begin(), boot.end(), record->BootSector.begin());

    // The FAT label comes from the root directory reader, which marks the drive busy while it
    // runs and clears the mark when done; the scan is still running, so its mark goes back.
    const bool busy = drive_.Scanning;
    ReadVolumeLabel(drive_, *record);
    drive_.Scanning = busy;

    return drive_.LostPartitions.insert(place.first, std::move(record))->get();
  }

 private:
  using LostIterator = std::vector<std::unique_ptr<TPartition>>::iterator;

  // Where a find starting at `lba` goes in the sorted list, and whether a find already
  // starts there.
  std::pair<LostIterator, bool> LostPlace(uint64_t lba) {
    auto& lost = drive_.LostPartitions;
    auto first = std::lower_bound(lost.begin(), lost.end(), lba,
                                  [](const auto& p, uint64_t at) { return p->AbsoluteStart() < at; });
    auto it = first;
    for (; it != lost.end() && (*it)->AbsoluteStart() == lba; ++it)
      if (BlocksFind(**it, lba)) return {it, true};
    return {it, false};
  }

  // A sector that may hold a superblock. The volume it belongs to is a find when it starts
  // where no partition of the tables and no earlier find does, its superblock reads whole, and
  // it is no copy inside a volume known already: the backup superblocks of ext and the mirrors
  // of btrfs point at their volume's start themselves; the secondary superblocks of XFS and the
  // backup boot region of exFAT lie inside a volume of the same UUID. An ext backup superblock
  // outside the partitions of the tables whose volume has lost its primary one makes that
  // volume a find as the copy describes it.
  TPartition* ExamineSuperblock(const TSuperblockHint& hint, uint64_t lba) {
    if (lba < hint.BlocksBefore) return nullptr;
    const uint64_t start = lba - hint.BlocksBefore;
    if (start % blocksPerSector_ != 0) return nullptr;
    if (std::binary_search(tableStarts_.begin(), tableStarts_.end(), start)) return nullptr;
    const auto place = LostPlace(start);
    if (place.second) return nullptr;
    // A copy inside a partition of the tables is that partition's, or the remnant of an older
    // layout that the partition has overwritten.
    if (hint.Copy && InsideListed(lba)) return nullptr;
    std::optional<TRecognisedVolume> volume = RecogniseSuperblockVolume(drive_, start);
    if (!volume && hint.Copy) volume = RecogniseSuperblockCopy(drive_, lba, hint);
    if (!volume || !FitsTableField(start) || !FitsTableField(volume->Blocks) || CopyInside(start, volume->Uuid))
      return nullptr;
    auto record = std::make_unique<TPartition>();
    record->Entry.RelativeSector = static_cast<uint32_t>(start);
    record->Entry.TotalSectors = static_cast<uint32_t>(volume->Blocks);
    record->Entry.SystemId = VolumeTypeCode(volume->Kind);
    record->FsKind = volume->Kind;
    record->VolumeLabel = volume->Label;
    record->Uuid = volume->Uuid;
    return drive_.LostPartitions.insert(LostPlace(start).first, std::move(record))->get();
  }

  bool InsideListed(uint64_t lba) const {
    return std::any_of(drive_.AllPartitions.begin(), drive_.AllPartitions.end(), [&](const TPartition* p) {
      return p != &drive_.Root && !p->IsGap() && !p->IsExtended() && p->AbsoluteStart() <= lba && lba < p->AbsoluteEnd();
    });
  }

  // Whether a volume with the identity `uuid` begins before `start` and reaches past it.
  bool CopyInside(uint64_t start, const std::string& uuid) const {
    if (uuid.empty()) return false;
    const auto holds = [&](const TPartition& p) {
      return !p.IsGap() && !p.IsExtended() && p.Uuid == uuid && p.AbsoluteStart() < start && start < p.AbsoluteEnd();
    };
    return std::any_of(drive_.AllPartitions.begin(), drive_.AllPartitions.end(), [&](const TPartition* p) {
             return p != &drive_.Root && holds(*p);
           }) ||
           std::any_of(drive_.LostPartitions.begin(), drive_.LostPartitions.end(), [&](const auto& p) { return holds(*p); });
  }

  TPhysicalDrv& drive_;
  const ListedBackups listed_;
  const uint64_t blocksPerSector_;
  std::vector<uint64_t> tableStarts_;
  std::optional<PreviousCandidate> previous_;
  std::unique_ptr<uint8_t[]> run_;  // the run read last: [runStart_, runStart_ + runLength_)
  uint64_t runStart_ = 0;
  uint32_t runLength_ = 0;
  const uint8_t* block_ = nullptr;
};

// Sectors in the block that starts at `position`: a whole block, or the rest of the disk when
// less than a block is left. 0 at the end of the disk.
uint32_t BlockLength(uint64_t position, uint64_t diskSectors) {
  if (position >= diskSectors) return 0;
  return static_cast<uint32_t>(std::min<uint64_t>(kScanBlockSectors, diskSectors - position));
}

// The user answered Abort where a block could not be read: the prompt named the error, this
// says what it means for the scan.
Outcome StoppedByReadError(const TPhysicalDrv& drive, uint64_t lba) {
  return Outcome::Failed("The scan stopped at a read error: the rest of the range was not searched.", kScanCaption,
                         drive.Io().LastIoError(), lba);
}

// Runs a scan's body; an error thrown inside it (no memory for a record, say) ends the scan
// as a failure at the sector it had reached, with the error's own text.
template <typename Body>
Outcome CatchScanErrors(const uint64_t& position, Body body) {
  try {
    return body();
  } catch (const std::bad_alloc& e) {
    return Outcome::Failed(e.what(), kScanCaption, ENOMEM, position);
  } catch (const std::exception& e) {
    return Outcome::Failed(e.what(), kScanCaption, 0, position);
  } catch (...) {
    return Outcome::Failed("Unknown error", kScanCaption, 0, position);
  }
}

Outcome NothingScanned(const char* why) {
  return Outcome::Failed(std::string("Nothing was scanned: ") + why + ".", kScanCaption);
}

// The scan proper.
Outcome ScanRange(TPhysicalDrv& drive, uint64_t regionStart, const ScanProgress& progress, int64_t startOffset,
                  int64_t count, bool findFirst, const ScanGoal& goal) {
  if (drive.Scanning) return NothingScanned("another scan of the drive is running");
  const ScanProgress* bar = (findFirst || !progress) ? nullptr : &progress;
  ScanGuard guard(drive, bar);

  // The last sector a table can address is 2^32 - 1: on a disk of exactly 2 TiB it is the
  // disk's last, one past what the 32-bit geometry counts.
  const uint64_t diskSectors = std::min<uint64_t>(std::max<uint64_t>(drive.Geometry.TotalSectors, drive.DiskSectors),
                                                  uint64_t{1} << 32);
  if (startOffset < 0 || count < 1) return NothingScanned("the range holds no sector");
  uint64_t position = regionStart + static_cast<uint64_t>(startOffset);
  if (position >= diskSectors) return NothingScanned("the range lies beyond the end of the disk");
  const uint64_t blocks = static_cast<uint64_t>(count / kScanBlockSectors) + (count % kScanBlockSectors != 0);

  const uint64_t rangeEnd =
      blocks > (UINT64_MAX - position) / kScanBlockSectors ? UINT64_MAX : position + blocks * kScanBlockSectors;
  const uint64_t total = std::min<uint64_t>(rangeEnd, diskSectors) - position;
  uint64_t done = 0;

  const Outcome ended = CatchScanErrors(position, [&]() -> Outcome {
    ScanSession session(drive);
    for (uint64_t block = 0; block < blocks; ++block) {
      if (drive.StopRequested) return Outcome::Cancelled();
      const uint32_t length = BlockLength(position, diskSectors);
      if (length == 0) break;
      if (!session.Read(position, length, rangeEnd)) return StoppedByReadError(drive, position);
      if (bar)
        (*bar)(ScanStep{static_cast<int>(std::lround(static_cast<double>(block) / static_cast<double>(blocks) * 100.0)),
                        done, total});
      for (uint32_t i = 0; i < length; ++i) {
        drive.Io().Pump();
        if (drive.StopRequested) return Outcome::Cancelled();
        TPartition* found = session.Look(i, position + i);
        if (found && (findFirst || (goal && goal(*found)))) {
          drive.LastFound = found;
          return Outcome::Done();
        }
      }
      position += length;
      done += length;
    }
    return Outcome::Done();
  });
  SortLostPartitions(drive);
  return ended;
}

}  // namespace

bool IsNewPartitionStart(uint64_t lba, const std::vector<TPartition*>& list) {
  return std::none_of(list.begin(), list.end(), [lba](const TPartition* p) { return BlocksFind(*p, lba); });
}

bool IsNewPartitionStart(uint64_t lba, const std::vector<std::unique_ptr<TPartition>>& list) {
  return std::none_of(list.begin(), list.end(), [lba](const auto& p) { return BlocksFind(*p, lba); });
}

bool LostVolumeExtent(std::span<const uint8_t, 512> sector, uint8_t fsKind, uint64_t lba, uint32_t diskSectors,
                      uint32_t& totalSectors, uint8_t& systemId) {
  const uint8_t type = VolumeTypeCode(fsKind);
  if (type == kTypeEmpty) return false;
  systemId = type;
  const uint64_t total = BootSectorVolumeSize(sector, fsKind);
  // A stray 55 AA sector, or a boot sector copied into a file, can claim anything. A volume
  // of no sectors, or one running past the end of the disk (this also catches sizes whose
  // end would wrap the 32-bit sector numbers of a table entry), is not taken.
  if (total == 0 || lba >= diskSectors || total > diskSectors - lba) return false;
  totalSectors = static_cast<uint32_t>(total);
  return true;
}

Outcome DetectLostPartitions(TPhysicalDrv& drive, TPartition& region, const ScanProgress& progress,
                             int64_t startOffset, int64_t count, bool findFirst, const ScanGoal& goal) {
  return ScanRange(drive, region.AbsoluteStart(), progress, startOffset, count, findFirst, goal);
}

LostFind FindLostPartitionAt(TPhysicalDrv& drive, uint64_t lba, const ScanProgress& progress) {
  const auto startsThere = [lba](const TPartition& p) { return p.AbsoluteStart() == lba && !p.IsExtended(); };
  const auto known = [&]() -> TPartition* {
    for (auto& lost : drive.LostPartitions)
      if (startsThere(*lost)) return lost.get();
    return nullptr;
  };
  if (TPartition* find = known()) return {find, Outcome::Done()};
  const uint64_t disk = drive.Geometry.TotalSectors;
  if (lba >= disk || !IsNewPartitionStart(lba, drive.AllPartitions)) return {nullptr, Outcome::Done()};
  // One pass: the block that holds the sector first, then on, each block read once.
  const uint64_t from = lba / kScanBlockSectors * kScanBlockSectors;
  Outcome ended = DetectLostPartitions(drive, drive.Root, progress, static_cast<int64_t>(from),
                                       static_cast<int64_t>(disk - from), false, startsThere);
  return {known(), std::move(ended)};
}

Outcome ScanInFrontOf(TPhysicalDrv& drive, uint64_t lba, const ScanProgress& progress) {
  // The free space in front of `lba`: behind the last volume or table the drive is known to
  // hold there.
  uint64_t from = 0;
  auto behind = [&](const TPartition& r) {
    if (r.IsGap() || &r == &drive.Root) return;
    const uint64_t first = r.AbsoluteStart();
    const uint64_t next = r.IsExtended() ? first + 1 : r.AbsoluteEnd();  // a link holds its table sector
    if (first < lba && !(r.IsExtended() && r.Parent == &drive.Root)) from = std::max(from, std::min(next, lba));
  };
  for (const TPartition* r : drive.AllPartitions) behind(*r);
  for (const auto& lost : drive.LostPartitions) behind(*lost);
  if (lba > kMaxFrontScanSectors) from = std::max(from, lba - kMaxFrontScanSectors);
  if (from >= lba || lba > drive.Geometry.TotalSectors) return Outcome::Done();
  return DetectLostPartitions(drive, drive.Root, progress, static_cast<int64_t>(from), static_cast<int64_t>(lba - from),
                              false);
}

Outcome AutoScanFreeSpace(TPhysicalDrv& drive, TPartition& gap) {
  if (gap.Entry.TotalSectors == 0 || drive.Scanning) return Outcome::Done();
  ScanGuard guard(drive, nullptr);
  drive.LastFound = nullptr;
  const uint32_t diskSectors = drive.Geometry.TotalSectors;
  const uint64_t first = gap.AbsoluteStart();
  const uint64_t last = first + gap.Entry.TotalSectors - 1;
  if (first >= diskSectors) return Outcome::Done();

  // A probe covers kQuickProbeSectors from the gap's start, and again from the end of each
  // find, so that a volume one alignment unit (1 MiB, or a cylinder) behind either is met.
  // One session carries the blocks: a probe that begins inside the block just read goes on
  // in it, and the candidate before (an NTFS volume's backup lies right behind the sectors it
  // counts, exactly where the next probe starts) is remembered across probes.
  uint64_t probeFrom = first;
  uint64_t probeEnd = first + kQuickProbeSectors;
  uint64_t position = first;
  return CatchScanErrors(position, [&]() -> Outcome {
    ScanSession session(drive);
    while (position < probeEnd) {
      if (drive.StopRequested) return Outcome::Cancelled();
      const uint32_t length = BlockLength(position, diskSectors);
      if (length == 0) break;
      // A probe reads no further than its own end.
      if (!session.Read(position, length, probeEnd)) return StoppedByReadError(drive, position);
      uint64_t next = position + length;
      for (uint64_t lba = std::max(position, probeFrom); lba < position + length; ++lba) {
        drive.Io().Pump();
        if (drive.StopRequested) return Outcome::Cancelled();
        TPartition* found = session.Look(static_cast<uint32_t>(lba - position), lba);
        if (!found) continue;
        // The find starts at or before this sector and has at least one sector: the probe
        // moves forwards.
        probeFrom = std::max(found->AbsoluteEnd(), lba + 1);
        if (probeFrom > last) {
          drive.LastFound = found;  // the find that ended the quick scan
          return Outcome::Done();
        }
        probeEnd = probeFrom + kQuickProbeSectors;
        if (probeFrom >= position + length) {
          next = probeFrom;
          break;
        }
        lba = probeFrom - 1;
      }
      position = next;
    }
    return Outcome::Done();
  });
}

// ---- The quick search ----

namespace {

// The sectors read at each position: the first eight (the boot sector of FAT, NTFS, HPFS and
// exFAT and the superblock of XFS in the first, the ext superblock in the third, the swap
// header's magic at the end of the eighth) and the one of the btrfs superblock 64 KiB on.
constexpr uint32_t kHeadSectors = 8;
constexpr uint64_t kBtrfsSector = 128;
constexpr uint32_t kPositionBytes = (kHeadSectors + 1) * kSectorSize;

// A batch holds as many positions as take about this long to read, between the bounds below:
// a deadline is then kept to within about this much, on a fast disk and on a slow one.
constexpr auto kBatchTime = std::chrono::milliseconds(20);
constexpr size_t kMinBatch = 16, kMaxBatch = 1024;

// The next position at or after `from` where partitioning tools place volumes: a multiple of
// `unit`, or of `unit` plus `offset`; UINT64_MAX when `unit` is 0.
uint64_t NextAligned(uint64_t from, uint64_t unit, uint64_t offset = 0) {
  if (unit == 0) return UINT64_MAX;
  if (from <= offset) return offset;
  const uint64_t steps = (from - offset + unit - 1) / unit;
  return steps > (UINT64_MAX - offset) / unit ? UINT64_MAX : offset + steps * unit;
}

class QuickSearcher {
 public:
  explicit QuickSearcher(TPhysicalDrv& drive) : drive_(drive), state_(drive.QuickSearch) {
    const uint64_t perSector = BlocksPerSector(drive.Geometry);
    track_ = uint64_t{drive.Geometry.SectorsPerTrack} * perSector;
    cylinder_ = uint64_t{drive.Geometry.Heads} * track_;
  }

  // Probes batches until the search is finished, the deadline has passed or Stop.
  Outcome Run(ScanSession& session, std::optional<QuickSearchClock::time_point> deadline, const ScanProgress& progress) {
    size_t batchSize = kMinBatch;
    while (!state_.Finished()) {
      drive_.Io().Pump();
      if (drive_.StopRequested) return Outcome::Cancelled();
      if (deadline && QuickSearchClock::now() >= *deadline) break;
      const auto began = QuickSearchClock::now();
      const size_t positions = NextBatch(batchSize);
      if (positions == 0) break;
      Read(positions);
      Look(session, positions);
      // Sized to take about kBatchTime from the time this one took.
      const auto took = std::max<int64_t>(
          1, std::chrono::duration_cast<std::chrono::microseconds>(QuickSearchClock::now() - began).count());
      const int64_t perPosition = std::max<int64_t>(1, took / static_cast<int64_t>(positions));
      batchSize = std::clamp<size_t>(static_cast<size_t>(
                                         std::chrono::duration_cast<std::chrono::microseconds>(kBatchTime).count() /
                                         perPosition),
                                     kMinBatch, kMaxBatch);
      if (progress) progress(Step());
    }
    return Outcome::Done();
  }

 private:
  ScanStep Step() const {
    const uint64_t total = std::max<uint64_t>(state_.Total, 1);
    const uint64_t done = std::min(state_.Done, state_.Total);
    return ScanStep{static_cast<int>(done * 100 / total), done, state_.Total};
  }

  // The next position of the ranges at or after Next, or none.
  std::optional<uint64_t> NextInRanges() {
    for (const auto& [first, end] : state_.Ranges) {
      if (state_.Next >= end) continue;
      const uint64_t from = std::max(state_.Next, first);
      // The range's own first sector too: a gap begins where a volume ended.
      const uint64_t at = from == first ? first
                                        : std::min({NextAligned(from, kAlignment), NextAligned(from, cylinder_),
                                                    NextAligned(from, cylinder_, track_)});
      if (at < end) return at;
      state_.Done += end - from;
      state_.Next = end;
    }
    return std::nullopt;
  }

  // Takes up to `count` positions, ascending, from the sectors behind finds and the ranges.
  size_t NextBatch(size_t count) {
    positions_.clear();
    while (positions_.size() < count) {
      const std::optional<uint64_t> aligned = NextInRanges();
      const bool behindFirst = !state_.Behind.empty() && (!aligned || state_.Behind.front() <= *aligned);
      if (behindFirst) {
        Take(state_.Behind.front());
        state_.Behind.erase(state_.Behind.begin());
        continue;
      }
      if (!aligned) break;
      Take(*aligned);
      state_.Done += *aligned + 1 - std::max(state_.Next, RangeStart(*aligned));
      state_.Next = *aligned + 1;
    }
    return positions_.size();
  }

  // A position is read unless every sector it reads lies in a hole of a sparse image file,
  // which reads as zeros and holds no volume.
  void Take(uint64_t at) {
    if (MayHoldData(at))
      positions_.push_back(at);
    else
      ++state_.Probed;
  }

  bool MayHoldData(uint64_t at) {
    if (holeFrom_ <= at && at < holeTo_) return false;
    if (dataFrom_ <= at && at < dataTo_) return true;
    const uint64_t data = drive_.Io().DataFrom(at);
    if (data == UINT64_MAX || data > at + kBtrfsSector) {
      holeFrom_ = at;
      holeTo_ = data == UINT64_MAX ? UINT64_MAX : data - kBtrfsSector;
      return false;
    }
    // Every position from here to the hole behind this data reads some of it.
    dataFrom_ = at;
    dataTo_ = drive_.Io().HoleFrom(data);
    return true;
  }

  uint64_t RangeStart(uint64_t at) const {
    for (const auto& [first, end] : state_.Ranges)
      if (first <= at && at < end) return first;
    return at;
  }

  void Read(size_t positions) {
    buffer_.resize(positions * kPositionBytes);
    runs_.clear();
    const uint64_t disk = drive_.Geometry.TotalSectors;
    std::fill(buffer_.begin(), buffer_.end(), uint8_t{0});
    for (size_t i = 0; i < positions; ++i) {
      const uint64_t at = positions_[i];
      uint8_t* own = buffer_.data() + i * kPositionBytes;
      runs_.push_back({at, static_cast<uint32_t>(std::min<uint64_t>(kHeadSectors, disk - at)), own, false});
      if (at + kBtrfsSector < disk) runs_.push_back({at + kBtrfsSector, 1, own + kHeadSectors * kSectorSize, false});
    }
    drive_.Io().ReadRuns(runs_);
  }

  void Look(ScanSession& session, size_t positions) {
    size_t run = 0;
    for (size_t i = 0; i < positions; ++i) {
      const uint64_t at = positions_[i];
      const uint8_t* own = buffer_.data() + i * kPositionBytes;
      const Disk::SectorRun& head = runs_[run++];
      const bool btrfsRead = run < runs_.size() && runs_[run].At == at + kBtrfsSector;
      const bool btrfsOk = btrfsRead && runs_[run++].Ok;
      ++state_.Probed;
      if (!head.Ok) {
        ++state_.Unreadable;
        continue;
      }
      for (uint32_t s = 0; s < head.Count; ++s) Found(session.Look(Sector(own, s), at + s));
      if (btrfsOk) Found(session.Look(Sector(own, kHeadSectors), at + kBtrfsSector));
    }
  }

  static std::span<const uint8_t, 512> Sector(const uint8_t* own, uint32_t s) {
    return std::span<const uint8_t, 512>(own + size_t{s} * kSectorSize, kSectorSize);
  }

  // A find: the sector behind it is a position of its own, where it lies in the ranges.
  void Found(const TPartition* find) {
    if (!find) return;
    const uint64_t behind = find->AbsoluteEnd();
    if (behind >= drive_.Geometry.TotalSectors || !InRanges(behind)) return;
    const auto place = std::lower_bound(state_.Behind.begin(), state_.Behind.end(), behind);
    if (place == state_.Behind.end() || *place != behind) state_.Behind.insert(place, behind);
  }

  bool InRanges(uint64_t at) const {
    return std::any_of(state_.Ranges.begin(), state_.Ranges.end(),
                       [at](const auto& r) { return r.first <= at && at < r.second; });
  }

  static constexpr uint64_t kAlignment = 2048;  // 1 MiB
  TPhysicalDrv& drive_;
  TQuickSearch& state_;
  uint64_t track_ = 0;
  uint64_t cylinder_ = 0;
  uint64_t holeFrom_ = 0, holeTo_ = 0;  // positions known to read holes only
  uint64_t dataFrom_ = 0, dataTo_ = 0;  // positions known to read some data
  std::vector<uint64_t> positions_;
  std::vector<uint8_t> buffer_;
  std::vector<Disk::SectorRun> runs_;
};

}  // namespace

std::vector<std::pair<uint64_t, uint64_t>> GapRanges(const TPhysicalDrv& drive) {
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  for (const TPartition* record : drive.AllPartitions)
    if (record != &drive.Root && record->IsGap() && record->Entry.TotalSectors != 0)
      ranges.emplace_back(record->AbsoluteStart(), record->AbsoluteEnd());
  return ranges;
}

void StartQuickSearch(TPhysicalDrv& drive, std::vector<std::pair<uint64_t, uint64_t>> ranges) {
  TQuickSearch search;
  const uint64_t disk = drive.Geometry.TotalSectors;
  std::sort(ranges.begin(), ranges.end());
  for (auto [first, end] : ranges) {
    end = std::min(end, disk);
    if (first >= end) continue;
    if (!search.Ranges.empty() && first <= search.Ranges.back().second)
      search.Ranges.back().second = std::max(search.Ranges.back().second, end);
    else
      search.Ranges.emplace_back(first, end);
  }
  for (const auto& [first, end] : search.Ranges) search.Total += end - first;
  if (!search.Ranges.empty()) search.Next = search.Ranges.front().first;
  drive.QuickSearch = std::move(search);
}

Outcome ContinueQuickSearch(TPhysicalDrv& drive, std::optional<QuickSearchClock::time_point> deadline,
                            const ScanProgress& progress) {
  if (drive.Scanning) return NothingScanned("another scan of the drive is running");
  if (drive.QuickSearch.Finished()) return Outcome::Done();
  ScanGuard guard(drive, nullptr);
  const uint64_t position = drive.QuickSearch.Next;
  const Outcome ended = CatchScanErrors(position, [&]() -> Outcome {
    ScanSession session(drive);
    QuickSearcher searcher(drive);
    return searcher.Run(session, deadline, progress);
  });
  SortLostPartitions(drive);
  return ended;
}

}  // namespace qm
