#include "fs/LinuxFs.h"

#include <cstring>
#include <vector>

#include "disk/Bytes.h"
#include "disk/Crc32.h"
#include "fs/FsKind.h"
#include "fs/Unicode.h"

namespace qm {
namespace {

using Wide = unsigned __int128;

constexpr uint32_t kBlockBytes = 512;

// ext2/3/4: the superblock lies 1024 bytes into the volume, whatever its block size.
constexpr uint64_t kExtSuperblockBlock = 2;
constexpr uint16_t kExtMagic = 0xEF53;
constexpr uint32_t kExtMaxLogBlock = 6;  // 1024 << 6: blocks of 64 KiB at most
constexpr uint32_t kExtCompatJournal = 0x4;
constexpr uint32_t kExtIncompatJournalDev = 0x8;
constexpr uint32_t kExtIncompatExtents = 0x40;
constexpr uint32_t kExt64Bit = 0x80;
constexpr uint32_t kExtIncompatFlexBg = 0x200;

// btrfs: the superblock is 4 KiB at 64 KiB, with mirrors at 64 MiB and 256 GiB.
constexpr uint64_t kBtrfsPrimaryByte = 0x10000;
constexpr uint64_t kBtrfsMirrorBytes[] = {0x4000000, 0x4000000000};
constexpr uint32_t kBtrfsSuperBytes = 4096;
constexpr size_t kBtrfsDevItem = 0xC9;
constexpr size_t kBtrfsLabel = 0x12B;
constexpr size_t kBtrfsLabelBytes = 256;

// Linux swap: one header page of 4096 bytes, its magic in the last 10 bytes.
constexpr uint32_t kSwapPage = 4096;
constexpr size_t kSwapMagicAt = kSwapPage - 10;
constexpr uint64_t kSwapMagicBlock = kSwapMagicAt / kBlockBytes;  // 7
constexpr size_t kSwapBadPagesAt = 1536;
constexpr uint32_t kSwapMaxBadPages = (kSwapMagicAt - kSwapBadPagesAt) / 4;  // 637

// The first 4 KiB of a volume hold the XFS superblock, the exFAT boot sector, the ext
// superblock and the swap header: one read serves them all.
constexpr uint32_t kHeadBlocks = 8;

// Those blocks, and which of them could be read: when the read of all fails they are read one
// by one, so that an unreadable block a kind does not use keeps none of the others from it.
struct THead {
  std::array<uint8_t, kHeadBlocks * 512> Bytes{};
  uint32_t Readable = 0;  // bit n: block n
  bool Has(uint32_t first, uint32_t count) const {
    const uint32_t mask = ((1u << count) - 1) << first;
    return (Readable & mask) == mask;
  }
};

uint16_t BE16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t BE32(const uint8_t* p) { return uint32_t{BE16(p)} << 16 | BE16(p + 2); }
uint64_t BE64(const uint8_t* p) { return uint64_t{BE32(p)} << 32 | BE32(p + 4); }

bool PowerOfTwoIn(uint64_t value, uint64_t low, uint64_t high) {
  return value >= low && value <= high && (value & (value - 1)) == 0;
}

uint32_t Log2(uint64_t powerOfTwo) {
  uint32_t log = 0;
  while (powerOfTwo > 1) powerOfTwo >>= 1, ++log;
  return log;
}

// Reads `count` blocks at `lba`, refusing any that lies past the disk's last block.
bool ReadBlocks(SectorReader& disk, uint64_t diskBlocks, Wide lba, uint32_t count, uint8_t* out) {
  if (count == 0 || lba >= diskBlocks || count > diskBlocks - lba) return false;
  return disk.Read(static_cast<Lba>(lba), count, out).ok();
}

// The volume's size in blocks when it fits between `start` and the end of the disk (partial
// blocks at its end are left out), else none.
std::optional<uint64_t> BlocksInside(Wide bytes, Lba start, uint64_t diskBlocks) {
  const Wide blocks = bytes / kBlockBytes;
  if (blocks == 0 || start >= diskBlocks || blocks > diskBlocks - start) return std::nullopt;
  return static_cast<uint64_t>(blocks);
}

std::string TrimmedLabel(std::string text) {
  auto blank = [](char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7F; };
  size_t b = 0, e = text.size();
  while (b < e && blank(text[b])) ++b;
  while (e > b && blank(text[e - 1])) --e;
  return text.substr(b, e - b);
}

// A fixed-size label field: its bytes up to the first zero.
std::string FieldLabel(const uint8_t* p, size_t bytes) {
  size_t n = 0;
  while (n < bytes && p[n] != 0) ++n;
  return TrimmedLabel(std::string(reinterpret_cast<const char*>(p), n));
}


// `units` UTF-16LE characters as UTF-8; a surrogate without its partner becomes U+FFFD.
std::string Utf16Label(const uint8_t* p, size_t units) {
  return TrimmedLabel(Utf16LeToUtf8(std::span(p, 2 * units)));
}

// CRC-32C (the Castagnoli polynomial, reflected), as btrfs sums its superblock: the register
// starts at all ones and the result is inverted.
constexpr std::array<uint32_t, 256> kCrc32cTable = ReflectedCrcTable(0x82F63B78u);

uint32_t Crc32c(const uint8_t* p, size_t n) { return ~Crc32Update(0xFFFFFFFFu, std::span(p, n), kCrc32cTable); }

// What one kind makes of the blocks at a volume's start: whether its magic number is there,
// the volume when every check of ReadSuperblockVolume holds, and the report's second line.
struct TProbe {
  bool Present = false;
  std::optional<TSuperblockVolume> Volume;
  std::string Check;  // "Group Descriptors: OK" and the like; empty when not asked for
};

std::string CheckLine(const char* name, bool ok) { return std::string(name) + (ok ? ": OK" : ": Invalid"); }

// ---- ext2/3/4 ----

std::optional<TSuperblockHint> ExtHint(const uint8_t* sb) {
  const uint32_t logBlock = LoadLE<uint32_t>(sb + 0x18);
  const uint32_t firstData = LoadLE<uint32_t>(sb + 0x14);
  const uint32_t perGroup = LoadLE<uint32_t>(sb + 0x20);
  // Blocks of 1 KiB begin the first group at block 1, larger ones at block 0.
  if (logBlock > kExtMaxLogBlock || firstData > 1 || perGroup == 0) return std::nullopt;
  const uint16_t group = LoadLE<uint16_t>(sb + 0x5A);
  if (group == 0) return TSuperblockHint{fkExt2, kExtSuperblockBlock, false};
  // A backup lies at the first block of its group. The group number has 16 bits: in a volume
  // of more than 65536 groups the copies beyond group 65535 carry it cut short, and their hint
  // points where no volume begins (the full read there finds none).
  const Wide byte = (Wide{group} * perGroup + firstData) << (10 + logBlock);
  return TSuperblockHint{fkExt2, static_cast<uint64_t>(byte / kBlockBytes), true};
}

// The bitmaps and the inode table of group 0, as its descriptor places them, lie inside the
// volume.
bool ExtGroupZeroInside(SectorReader& disk, Lba start, uint64_t diskBlocks, const uint8_t* sb, uint64_t blocksCount) {
  const uint32_t logBlock = LoadLE<uint32_t>(sb + 0x18);
  const uint64_t blockBytes = uint64_t{1024} << logBlock;
  const uint32_t firstData = LoadLE<uint32_t>(sb + 0x14);
  const uint32_t inodesPerGroup = LoadLE<uint32_t>(sb + 0x28);
  const uint32_t inodeSize = LoadLE<uint32_t>(sb + 0x4C) == 0 ? 128u : LoadLE<uint16_t>(sb + 0x58);
  const bool wide = (LoadLE<uint32_t>(sb + 0x60) & kExt64Bit) != 0 && LoadLE<uint16_t>(sb + 0xFE) >= 64;
  if (inodeSize == 0) return false;
  // The descriptors follow the block that holds the superblock.
  std::array<uint8_t, kBlockBytes> desc{};
  const Wide at = Wide{start} + (Wide{firstData} + 1) * blockBytes / kBlockBytes;
  if (!ReadBlocks(disk, diskBlocks, at, 1, desc.data())) return false;
  auto field = [&](size_t lo) {
    return uint64_t{LoadLE<uint32_t>(&desc[lo])} | (wide ? uint64_t{LoadLE<uint32_t>(&desc[lo + 0x20])} << 32 : 0);
  };
  const uint64_t blockBitmap = field(0), inodeBitmap = field(4), inodeTable = field(8);
  const Wide tableBlocks = (Wide{inodesPerGroup} * inodeSize + blockBytes - 1) / blockBytes;
  return blockBitmap >= firstData && blockBitmap < blocksCount && inodeBitmap >= firstData &&
         inodeBitmap < blocksCount && inodeTable >= firstData && Wide{inodeTable} + tableBlocks <= blocksCount;
}

TProbe ProbeExt(SectorReader& disk, Lba start, uint64_t diskBlocks, const uint8_t* head, bool check) {
  TProbe probe;
  const uint8_t* sb = head + kExtSuperblockBlock * kBlockBytes;
  probe.Present = LoadLE<uint16_t>(sb + 0x38) == kExtMagic;
  if (!probe.Present) return probe;
  const uint32_t logBlock = LoadLE<uint32_t>(sb + 0x18);
  const uint32_t compat = LoadLE<uint32_t>(sb + 0x5C), incompat = LoadLE<uint32_t>(sb + 0x60);
  const uint64_t blocksCount =
      uint64_t{LoadLE<uint32_t>(sb + 0x04)} | ((incompat & kExt64Bit) ? uint64_t{LoadLE<uint32_t>(sb + 0x150)} << 32 : 0);
  // A journal kept on a device of its own carries an ext superblock but holds no file system.
  const bool sound = logBlock <= kExtMaxLogBlock && LoadLE<uint16_t>(sb + 0x5A) == 0 &&
                     LoadLE<uint32_t>(sb + 0x20) != 0 && (incompat & kExtIncompatJournalDev) == 0;
  if (check)
    probe.Check = CheckLine("Group Descriptors", logBlock <= kExtMaxLogBlock &&
                                                     ExtGroupZeroInside(disk, start, diskBlocks, sb, blocksCount));
  if (!sound) return probe;
  const auto blocks = BlocksInside(Wide{blocksCount} << (10 + logBlock), start, diskBlocks);
  if (!blocks) return probe;
  TSuperblockVolume v;
  if (incompat & (kExtIncompatExtents | kExt64Bit | kExtIncompatFlexBg))
    v.Kind = fkExt4;
  else
    v.Kind = (compat & kExtCompatJournal) ? fkExt3 : fkExt2;
  v.Blocks = *blocks;
  std::memcpy(v.Identity.data(), sb + 0x68, 16);
  v.Label = FieldLabel(sb + 0x78, 16);
  probe.Volume = std::move(v);
  return probe;
}

// ---- exFAT ----

// The boot checksum of the first 11 sectors of a boot region: every byte but the volume's
// flags and its percentage in use, which change while the volume is in use.
uint32_t ExfatBootChecksum(const uint8_t* region, size_t bytes) {
  uint32_t sum = 0;
  for (size_t i = 0; i < bytes; ++i) {
    if (i == 106 || i == 107 || i == 112) continue;
    sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + region[i];
  }
  return sum;
}

// The label from the volume-label entry of the root directory. Only the first 4 KiB of its
// first cluster are looked at (the label comes before the other entries there as formatting
// tools write it); a label further on, or behind an unreadable sector, is left empty.
std::string ExfatLabel(SectorReader& disk, Lba start, uint64_t diskBlocks, const uint8_t* boot) {
  const uint32_t sectorShift = boot[108], clusterShift = boot[109];
  const uint32_t heap = LoadLE<uint32_t>(boot + 88), clusters = LoadLE<uint32_t>(boot + 92);
  const uint32_t root = LoadLE<uint32_t>(boot + 96);
  const uint64_t volumeSectors = LoadLE<uint64_t>(boot + 72);
  if (root < 2 || root - 2 >= clusters) return {};
  const Wide sector = Wide{heap} + (Wide{root - 2} << clusterShift);
  if (sector >= volumeSectors) return {};
  const Wide clusterBytes = Wide{1} << (sectorShift + clusterShift);
  const uint32_t bytes = clusterBytes < 4096 ? static_cast<uint32_t>(clusterBytes) : 4096;
  std::array<uint8_t, 4096> dir{};
  if (!ReadBlocks(disk, diskBlocks, Wide{start} + (sector << (sectorShift - 9)), bytes / kBlockBytes, dir.data()))
    return {};
  for (uint32_t at = 0; at + 32 <= bytes; at += 32) {
    const uint8_t type = dir[at];
    if (type == 0x00) break;  // the end of the directory
    if (type == 0x83) return Utf16Label(&dir[at + 2], std::min<size_t>(dir[at + 1], 11));
  }
  return {};
}

TProbe ProbeExfat(SectorReader& disk, Lba start, uint64_t diskBlocks, const uint8_t* boot, bool check) {
  TProbe probe;
  probe.Present = std::memcmp(boot + 3, "EXFAT   ", 8) == 0;
  if (!probe.Present) return probe;
  const uint32_t sectorShift = boot[108], clusterShift = boot[109];
  bool sound = sectorShift >= 9 && sectorShift <= 12 && sectorShift + clusterShift <= 25 &&
               (boot[110] == 1 || boot[110] == 2) && boot[510] == 0x55 && boot[511] == 0xAA;
  for (size_t i = 11; i < 64 && sound; ++i) sound = boot[i] == 0;
  // Sectors 0 to 10 of the boot region are summed into every 32-bit field of sector 11.
  bool summed = false;
  if (sectorShift >= 9 && sectorShift <= 12) {
    const uint32_t sectorBytes = 1u << sectorShift;
    std::vector<uint8_t> region(size_t{12} * sectorBytes);
    if (ReadBlocks(disk, diskBlocks, start, 12 * (sectorBytes / kBlockBytes), region.data())) {
      const uint32_t sum = ExfatBootChecksum(region.data(), size_t{11} * sectorBytes);
      summed = true;
      for (size_t at = size_t{11} * sectorBytes; at < region.size() && summed; at += 4)
        summed = LoadLE<uint32_t>(&region[at]) == sum;
    }
  }
  if (check) probe.Check = CheckLine("Boot Checksum", summed);
  if (!sound || !summed) return probe;
  const auto blocks = BlocksInside(Wide{LoadLE<uint64_t>(boot + 72)} << sectorShift, start, diskBlocks);
  if (!blocks) return probe;
  TSuperblockVolume v;
  v.Kind = fkExfat;
  v.Blocks = *blocks;
  std::memcpy(v.Identity.data(), boot + 100, 4);  // the serial as it is stored, low byte first
  v.Label = ExfatLabel(disk, start, diskBlocks, boot);
  probe.Volume = std::move(v);
  return probe;
}

// ---- btrfs ----

TProbe ProbeBtrfs(SectorReader& disk, Lba start, uint64_t diskBlocks, bool check) {
  TProbe probe;
  std::array<uint8_t, kBtrfsSuperBytes> sb{};
  if (!ReadBlocks(disk, diskBlocks, Wide{start} + kBtrfsPrimaryByte / kBlockBytes, kBtrfsSuperBytes / kBlockBytes,
                  sb.data()))
    return probe;
  probe.Present = std::memcmp(&sb[0x40], "_BHRfS_M", 8) == 0;
  if (!probe.Present) return probe;
  // Only CRC-32C sums are checked here; the other kinds of sum (xxhash, SHA-256, BLAKE2b)
  // leave the superblock to its other fields. Kinds beyond those four are no btrfs at all.
  const uint16_t sumKind = LoadLE<uint16_t>(&sb[0xC4]);
  const bool summed = sumKind == 0 ? Crc32c(&sb[0x20], sb.size() - 0x20) == LoadLE<uint32_t>(&sb[0]) : sumKind <= 3;
  if (check)
    probe.Check = sumKind == 0 || !summed ? CheckLine("Superblock Checksum", summed) : "Superblock Checksum: Not checked";
  const uint32_t sectorSize = LoadLE<uint32_t>(&sb[0x90]), nodeSize = LoadLE<uint32_t>(&sb[0x94]);
  const bool sound = LoadLE<uint64_t>(&sb[0x30]) == kBtrfsPrimaryByte && summed &&
                     PowerOfTwoIn(sectorSize, 4096, 65536) && PowerOfTwoIn(nodeSize, sectorSize, 65536);
  if (!sound) return probe;
  // The size of this device (dev_item.total_bytes): the superblock's total counts every device
  // of a volume spread over several.
  const auto blocks = BlocksInside(LoadLE<uint64_t>(&sb[kBtrfsDevItem + 8]), start, diskBlocks);
  if (!blocks) return probe;
  TSuperblockVolume v;
  v.Kind = fkBtrfs;
  v.Blocks = *blocks;
  std::memcpy(v.Identity.data(), &sb[0x20], 16);
  v.Label = FieldLabel(&sb[kBtrfsLabel], kBtrfsLabelBytes);
  probe.Volume = std::move(v);
  return probe;
}

// ---- XFS ----

TProbe ProbeXfs(Lba start, uint64_t diskBlocks, const uint8_t* sb, bool check) {
  TProbe probe;
  probe.Present = std::memcmp(sb, "XFSB", 4) == 0;
  if (!probe.Present) return probe;
  const uint32_t blockSize = BE32(sb + 4);
  const uint64_t dataBlocks = BE64(sb + 8);
  const uint32_t agBlocks = BE32(sb + 84), agCount = BE32(sb + 88);
  const uint16_t sectorSize = BE16(sb + 102);
  // The last allocation group may be shorter than the others, never empty.
  const bool groupsCover = agCount != 0 && agBlocks != 0 && Wide{agCount - 1} * agBlocks < dataBlocks &&
                           dataBlocks <= Wide{agCount} * agBlocks;
  if (check) probe.Check = CheckLine("Allocation Groups", groupsCover);
  const bool sound = PowerOfTwoIn(blockSize, 512, 65536) && sb[120] == Log2(blockSize) &&
                     PowerOfTwoIn(sectorSize, 512, 32768) && sb[121] == Log2(sectorSize) && groupsCover;
  if (!sound) return probe;
  const auto blocks = BlocksInside(Wide{dataBlocks} * blockSize, start, diskBlocks);
  if (!blocks) return probe;
  TSuperblockVolume v;
  v.Kind = fkXfs;
  v.Blocks = *blocks;
  std::memcpy(v.Identity.data(), sb + 32, 16);
  v.Label = FieldLabel(sb + 108, 12);
  probe.Volume = std::move(v);
  return probe;
}

// ---- Linux swap ----

TProbe ProbeSwap(Lba start, uint64_t diskBlocks, const uint8_t* page, bool check) {
  TProbe probe;
  probe.Present = std::memcmp(page + kSwapMagicAt, "SWAPSPACE2", 10) == 0;
  if (!probe.Present) return probe;
  // The header is in the byte order of the machine that made it.
  const bool little = LoadLE<uint32_t>(page + 1024) == 1, big = BE32(page + 1024) == 1;
  auto u32 = [&](size_t at) { return big && !little ? BE32(page + at) : LoadLE<uint32_t>(page + at); };
  const uint32_t lastPage = u32(1028), badPages = u32(1032);
  const bool sound = (little || big) && lastPage != 0;
  if (check) {
    bool ok = sound && badPages <= kSwapMaxBadPages;
    for (uint32_t i = 0; ok && i < badPages; ++i) {
      const uint32_t bad = u32(kSwapBadPagesAt + 4 * size_t{i});
      ok = bad != 0 && bad <= lastPage;
    }
    probe.Check = CheckLine("Swap Header", ok);
  }
  if (!sound) return probe;
  const auto blocks = BlocksInside((Wide{lastPage} + 1) * kSwapPage, start, diskBlocks);
  if (!blocks) return probe;
  TSuperblockVolume v;
  v.Kind = fkSwap;
  v.Blocks = *blocks;
  std::memcpy(v.Identity.data(), page + 1036, 16);
  v.Label = FieldLabel(page + 1052, 16);
  probe.Volume = std::move(v);
  return probe;
}

// Every kind in turn, those whose superblock lies nearer the volume's start first; stops at
// the first whose checks all hold. Without `check` the report's lines are not made.
std::vector<TProbe> Probe(SectorReader& disk, Lba start, uint64_t diskBlocks, bool check) {
  THead head;
  if (ReadBlocks(disk, diskBlocks, start, kHeadBlocks, head.Bytes.data())) {
    head.Readable = (1u << kHeadBlocks) - 1;
  } else {
    for (uint32_t b = 0; b < kHeadBlocks; ++b)
      if (ReadBlocks(disk, diskBlocks, Wide{start} + b, 1, &head.Bytes[b * kBlockBytes])) head.Readable |= 1u << b;
  }
  std::vector<TProbe> probes;
  auto done = [&](TProbe probe) {
    probes.push_back(std::move(probe));
    return probes.back().Volume.has_value();
  };
  const uint8_t* bytes = head.Bytes.data();
  if (head.Has(0, 1) && done(ProbeXfs(start, diskBlocks, bytes, check))) return probes;
  if (head.Has(0, 1) && done(ProbeExfat(disk, start, diskBlocks, bytes, check))) return probes;
  if (head.Has(kExtSuperblockBlock, 2) && done(ProbeExt(disk, start, diskBlocks, bytes, check))) return probes;
  if (head.Has(0, kHeadBlocks) && done(ProbeSwap(start, diskBlocks, bytes, check))) return probes;
  done(ProbeBtrfs(disk, start, diskBlocks, check));
  return probes;
}

}  // namespace

std::optional<TSuperblockHint> SuperblockHint(std::span<const uint8_t, 512> block) {
  const uint8_t* b = block.data();
  if (LoadLE<uint16_t>(b + 0x38) == kExtMagic) {
    if (auto hint = ExtHint(b)) return hint;
  }
  // The backup boot sector of exFAT, 12 of the volume's sectors in, is the boot sector's exact
  // copy: nothing in the block tells the two apart, so both point at themselves. The scan tells
  // a backup by its identity, that of the volume it has already found 12 sectors before.
  if (std::memcmp(b + 3, "EXFAT   ", 8) == 0) return TSuperblockHint{fkExfat, 0, false};
  if (std::memcmp(b + 0x40, "_BHRfS_M", 8) == 0) {
    const uint64_t at = LoadLE<uint64_t>(b + 0x30);
    if (at == kBtrfsPrimaryByte) return TSuperblockHint{fkBtrfs, at / kBlockBytes, false};
    for (uint64_t mirror : kBtrfsMirrorBytes)
      if (at == mirror) return TSuperblockHint{fkBtrfs, at / kBlockBytes, true};
    return std::nullopt;
  }
  // Every allocation group of XFS begins with a copy of the superblock, the same but for the
  // fields the file system keeps up to date in the first alone: a copy cannot be told from it.
  if (std::memcmp(b, "XFSB", 4) == 0 && PowerOfTwoIn(BE32(b + 4), 512, 65536))
    return TSuperblockHint{fkXfs, 0, false};
  if (std::memcmp(b + kSwapMagicAt % kBlockBytes, "SWAPSPACE2", 10) == 0)
    return TSuperblockHint{fkSwap, kSwapMagicBlock, false};
  return std::nullopt;
}

std::optional<TSuperblockVolume> ReadSuperblockVolume(SectorReader& disk, Lba start, uint64_t diskBlocks) {
  std::vector<TProbe> probes = Probe(disk, start, diskBlocks, false);
  if (probes.back().Volume) return std::move(probes.back().Volume);
  return std::nullopt;
}

std::optional<TSuperblockVolume> ReadSuperblockCopy(SectorReader& disk, Lba at, const TSuperblockHint& hint,
                                                    uint64_t diskBlocks) {
  if (hint.Kind != fkExt2 || !hint.Copy || at < hint.BlocksBefore) return std::nullopt;
  // The copy read as if it stood in the primary's place, its group number cleared: every other
  // field is the primary's.
  std::array<uint8_t, kExtSuperblockBlock * kBlockBytes + 1024> head{};
  uint8_t* sb = &head[kExtSuperblockBlock * kBlockBytes];
  if (!ReadBlocks(disk, diskBlocks, at, 2, sb)) return std::nullopt;
  StoreLE<uint16_t>(sb + 0x5A, 0);
  TProbe probe = ProbeExt(disk, at - hint.BlocksBefore, diskBlocks, head.data(), false);
  return std::move(probe.Volume);
}

const char* SuperblockKindName(uint8_t kind) {
  switch (kind) {
    case fkExt2: return "ext2";
    case fkExt3: return "ext3";
    case fkExt4: return "ext4";
    case fkExfat: return "exFAT";
    case fkBtrfs: return "btrfs";
    case fkXfs: return "XFS";
    case fkSwap: return "Linux Swap";
    default: return "";
  }
}

std::string SuperblockReport(SectorReader& disk, Lba start, uint64_t diskBlocks) {
  const std::vector<TProbe> probes = Probe(disk, start, diskBlocks, true);
  if (probes.back().Volume) return "Superblock: OK\r" + probes.back().Check;
  // Nothing passed: the first kind whose magic number is there tells what failed.
  for (const TProbe& probe : probes)
    if (probe.Present) return "Superblock: Invalid\r" + probe.Check;
  return "Superblock: Invalid";
}

}  // namespace qm
