#include "scan/Scanner.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <optional>

#include "disk/Host.h"
#include "disk/SectorIO.h"
#include "model/FsDetect.h"

namespace qm {
namespace {

constexpr size_t kBlockBytes = size_t{kScanBlockSectors} * kSectorSize;
constexpr char kScanCaption[] = "DetectLostParti";

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
      (*bar_)(0);
    } catch (...) {  // a failing bar must not take the program down on the way out
    }
  }
  ScanGuard(const ScanGuard&) = delete;
  ScanGuard& operator=(const ScanGuard&) = delete;

 private:
  TPhysicalDrv& drive_;
  const ScanProgress* bar_;
};

void SortLostPartitions(TPhysicalDrv& drive) {
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
  c.serial = GetVolumeSerial(sector, kind);
  if (kind == fkFat32) {
    const uint16_t backup = GetU16(sector, 0x32);
    if (backup != 0 && backup != 0xFFFF) c.backupAt = lba + backup;
  } else if (kind == fkNtfs) {
    const uint64_t total = GetU64(sector, 0x28);
    if (total < (uint64_t{1} << 40)) c.backupAt = lba + total;
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

// Looks at one sector that ends in 55 AA. Returns the new lost record when the sector is the
// boot sector of a volume that neither a table entry nor an earlier find starts at.
TPartition* ExamineCandidate(TPhysicalDrv& drive, const ListedBackups& listed, std::span<const uint8_t, 512> sector,
                             uint64_t lba, std::optional<PreviousCandidate>& previous) {
  const uint8_t kind = DetectFsKind(sector);
  if (kind == fkUnallocated) return nullptr;
  uint32_t totalSectors = 0;
  uint8_t systemId = 0;
  if (!LostVolumeExtent(sector, kind, lba, drive.Geometry.TotalSectors, totalSectors, systemId)) return nullptr;

  // A backup copy follows its primary among the candidates (FAT32 six sectors on, NTFS in
  // the volume's last sector); the primary, found or known, has just been remembered. Only a
  // sector with the primary's serial at the primary's backup place is its copy: two volumes
  // may well share a serial (a cloned volume, or two formatted in the same second), and the
  // second of them is a find of its own.
  const uint32_t serial = GetVolumeSerial(sector, kind);
  if (previous && previous->serial == serial && previous->backupAt == lba) return nullptr;
  previous = DescribeCandidate(sector, kind, lba);
  if (listed.Holds(lba, serial)) return nullptr;

  if (!IsNewPartitionStart(lba, drive.AllPartitions)) return nullptr;
  if (!IsNewPartitionStart(lba, drive.LostPartitions)) return nullptr;

  auto record = std::make_unique<TPartition>();
  record->Entry.RelativeSector = static_cast<uint32_t>(lba);
  record->Entry.TotalSectors = totalSectors;
  record->Entry.SystemId = systemId;
  record->BaseLBA = 0;
  record->FsKind = kind;
  std::copy(sector.begin(), sector.end(), record->BootSector.begin());

  // The FAT label comes from the root directory reader, which marks the drive busy while it
  // runs and clears the mark when done; the scan is still running, so its mark goes back.
  const bool busy = drive.Scanning;
  ReadVolumeLabel(drive, *record);
  drive.Scanning = busy;

  drive.LostPartitions.push_back(std::move(record));
  return drive.LostPartitions.back().get();
}

// The scan proper. `previous` describes the candidate just before the range, when the caller
// knows one (the quick scan resumes right behind a volume it found).
bool ScanRange(TPhysicalDrv& drive, uint64_t regionStart, const ScanProgress& progress, int64_t startOffset,
               int64_t count, bool findFirst, std::optional<PreviousCandidate> previous) {
  if (drive.Scanning) return false;
  const ScanProgress* bar = (findFirst || !progress) ? nullptr : &progress;
  ScanGuard guard(drive, bar);

  // Only whole blocks are read, and none that reaches the disk's last sector. A disk of
  // fewer than 1000 sectors holds no such block at all.
  const uint32_t diskSectors = drive.Geometry.TotalSectors;
  if (startOffset < 0 || count < 1 || diskSectors < kScanBlockSectors) return false;
  const uint64_t endBound = diskSectors - kScanBlockSectors;
  uint64_t position = regionStart + static_cast<uint64_t>(startOffset);
  if (position > endBound) return false;
  const uint64_t blocks = static_cast<uint64_t>(count / kScanBlockSectors) + (count % kScanBlockSectors != 0);

  try {
    const ListedBackups listed(drive);
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[kBlockBytes]);
    for (uint64_t block = 0; block < blocks; ++block) {
      if (drive.StopRequested) break;
      if (position < endBound) {
        if (!ReadSectors(drive.DriveNumber, static_cast<uint32_t>(position), kScanBlockSectors, buffer.get(), true, true))
          break;
        if (bar) (*bar)(static_cast<int>(std::lround(static_cast<double>(block) / static_cast<double>(blocks) * 100.0)));
        for (uint32_t i = 0; i < kScanBlockSectors; ++i) {
          ProcessMessages();
          if (drive.StopRequested) break;
          const uint8_t* sector = buffer.get() + size_t{i} * kSectorSize;
          if (sector[510] != 0x55 || sector[511] != 0xAA) continue;
          TPartition* found =
              ExamineCandidate(drive, listed, std::span<const uint8_t, 512>(sector, kSectorSize), position + i, previous);
          if (found && findFirst) {
            drive.LastFound = found;
            SortLostPartitions(drive);
            return true;
          }
        }
      }
      position += kScanBlockSectors;
      if (position > endBound) break;
    }
  } catch (const std::exception& e) {
    MessageBox(e.what(), kScanCaption, MsgButtons::Ok, MsgIcon::Error);
  } catch (...) {
    MessageBox("Unknown error", kScanCaption, MsgButtons::Ok, MsgIcon::Error);
  }
  SortLostPartitions(drive);
  return true;
}

}  // namespace

uint32_t GetVolumeSerial(std::span<const uint8_t, 512> sector, uint8_t fsKind) {
  switch (fsKind) {
    case fkFat12:
    case fkFat16:
    case fkHpfs: return GetU32(sector, 0x27);
    case fkFat32: return GetU32(sector, 0x43);
    case fkNtfs: return GetU32(sector, 0x48);
    default: return 0;
  }
}

bool IsNewPartitionStart(uint64_t lba, const std::vector<TPartition*>& list) {
  return std::none_of(list.begin(), list.end(), [lba](const TPartition* p) { return BlocksFind(*p, lba); });
}

bool IsNewPartitionStart(uint64_t lba, const std::vector<std::unique_ptr<TPartition>>& list) {
  return std::none_of(list.begin(), list.end(), [lba](const auto& p) { return BlocksFind(*p, lba); });
}

bool LostVolumeExtent(std::span<const uint8_t, 512> sector, uint8_t fsKind, uint64_t lba, uint32_t diskSectors,
                      uint32_t& totalSectors, uint8_t& systemId) {
  uint64_t total = 0;
  switch (fsKind) {
    case fkFat12:
    case fkFat16:
      total = GetU16(sector, 0x13);
      if (total == 0) total = GetU32(sector, 0x20);
      systemId = fsKind == fkFat12 ? 0x01 : 0x06;
      break;
    case fkFat32:
      total = GetU32(sector, 0x20);
      systemId = 0x0B;
      break;
    case fkNtfs:
      total = GetU64(sector, 0x28);
      systemId = 0x07;
      break;
    case fkHpfs:
      total = GetU32(sector, 0x20);
      systemId = 0x07;
      break;
    default: return false;
  }
  // A stray 55 AA sector, or a boot sector copied into a file, can claim anything. A volume
  // of no sectors, or one running past the end of the disk (this also catches sizes whose
  // end would wrap the 32-bit sector numbers of a table entry), is not taken.
  if (total == 0 || lba >= diskSectors || total > diskSectors - lba) return false;
  totalSectors = static_cast<uint32_t>(total);
  return true;
}

bool DetectLostPartitions(TPhysicalDrv& drive, TPartition& region, const ScanProgress& progress, int64_t startOffset,
                          int64_t count, bool findFirst) {
  return ScanRange(drive, region.AbsoluteStart(), progress, startOffset, count, findFirst, std::nullopt);
}

void AutoScanFreeSpace(TPhysicalDrv& drive, TPartition& gap) {
  if (gap.Entry.TotalSectors == 0) return;
  const uint64_t first = gap.AbsoluteStart();
  const uint64_t last = first + gap.Entry.TotalSectors - 1;
  uint64_t offset = 0;
  // Each probe is a scan of its own, so the volume just found is handed on: an NTFS volume
  // keeps its backup boot sector in the sector right after the sectors it counts, which is
  // exactly where the next probe starts.
  std::optional<PreviousCandidate> previous;
  for (;;) {
    drive.LastFound = nullptr;
    ScanRange(drive, first, {}, static_cast<int64_t>(offset), 200, true, previous);
    const TPartition* found = drive.LastFound;
    if (!found) return;
    previous = DescribeCandidate(found->BootSector, found->FsKind, found->AbsoluteStart());
    // The find starts at or behind first + offset and has at least one sector, so the
    // offset grows with every round.
    offset = found->AbsoluteEnd() - first;
    if (first + offset > last) return;
  }
}

}  // namespace qm
