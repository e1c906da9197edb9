#pragma once
// The file systems recognised by their superblocks: ext2/3/4, exFAT, btrfs, XFS and Linux
// swap. Two steps: a cheap look at every 512-byte block the scanner passes (a magic number at
// a fixed place, and where the volume would begin), then a full read of the superblock that
// decides the kind, the size, the identity and whether the block is only a copy.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "disk/SectorReader.h"

namespace qm {

// What one 512-byte block suggests: the block may hold the superblock (or the boot sector)
// of a volume of `Kind` that begins `BlocksBefore` blocks in front of it. A backup copy's
// block points at the start of its own volume as well, when its fields tell (ext backup
// superblocks by their group, btrfs mirrors by their own byte offset). The exFAT backup boot
// sector (12 of the volume's sectors in) is an exact copy of the boot sector and XFS secondary
// superblocks do not tell either: those point at themselves, Copy not set.
struct TSuperblockHint {
  uint8_t Kind = 0;           // fkExt2 (any ext), fkExfat, fkBtrfs, fkXfs or fkSwap
  uint64_t BlocksBefore = 0;  // the volume's first block is the hint's block minus this
  bool Copy = false;          // the block is a backup copy, not the volume's primary superblock
};

// The hint of `block`, or none: only a few bytes are compared, for every block of a scan.
std::optional<TSuperblockHint> SuperblockHint(std::span<const uint8_t, 512> block);

// Whether SuperblockHint can find anything in `block`: one byte of each magic number, compared
// without a branch, so that the blocks of a scan that hold none of them (nearly all) cost a
// few loads. Inline: it runs for every block a scan passes.
inline bool MayHoldSuperblock(std::span<const uint8_t, 512> block) {
  const uint8_t* b = block.data();
  return ((b[0x38] == 0x53) | (b[3] == 'E') | (b[0x40] == '_') | (b[0] == 'X') | (b[502] == 'S')) != 0;
}

// A volume as its primary superblock describes it.
struct TSuperblockVolume {
  uint8_t Kind = 0;           // fkExt2, fkExt3, fkExt4, fkExfat, fkBtrfs, fkXfs or fkSwap
  uint64_t Blocks = 0;        // its size in 512-byte blocks, from its own counts (64-bit);
                              // btrfs: the size of this device, not of all the volume's devices
  std::array<uint8_t, 16> Identity{};  // the UUID as stored (exFAT: the 32-bit serial in the
                                       // first four bytes, low byte first; swap: its UUID)
  std::string Label;          // as the superblock holds it (UTF-8), blanks trimmed
};

// Reads the primary superblock of the volume that begins at block `start` of `disk`, which
// holds `diskBlocks` blocks: the kind, checked beyond its magic number (ext: a block size from
// 1 to 64 KiB and group 0; exFAT: the boot checksum of blocks 0 to 11; btrfs: the superblock's
// own byte offset and checksum; XFS: the block size and sizes that agree; swap: version 1 and
// a last page), its size and identity. None when there is no such volume at `start`, when a
// read fails, or when the size is 0 or runs past the end of the disk. The superblock of a
// journal kept on a device of its own is no volume. The exFAT label is looked for in the first
// 4 KiB of the root directory only, where formatting tools put it; elsewhere it stays empty.
std::optional<TSuperblockVolume> ReadSuperblockVolume(SectorReader& disk, Lba start, uint64_t diskBlocks);

// The volume that the backup superblock at block `at` belongs to, as the copy describes it,
// for a volume whose primary superblock is destroyed: `hint` is SuperblockHint's for that
// block, and the volume begins hint.BlocksBefore blocks before it. Only ext keeps such copies
// with their place in them; none for any other hint.
std::optional<TSuperblockVolume> ReadSuperblockCopy(SectorReader& disk, Lba at, const TSuperblockHint& hint,
                                                    uint64_t diskBlocks);

// The file system's own name: "ext2", "ext3", "ext4", "exFAT", "btrfs", "XFS", "Linux Swap".
const char* SuperblockKindName(uint8_t kind);

// The check report lines of such a volume, "\r" between them: "Superblock: OK" (or
// "Invalid"), then one cheap structural check: ext "Group Descriptors: OK" (descriptor 0's
// bitmaps and table inside the volume), exFAT "Boot Checksum: OK", btrfs "Superblock
// Checksum: OK", XFS "Allocation Groups: OK" (agcount x agblocks covers dblocks), swap
// "Swap Header: OK". Unreadable sectors make a line "Invalid". The first line says whether
// ReadSuperblockVolume would give the volume; the second is there whenever a known magic
// number is, and tells what is wrong when that is the check that failed. A btrfs superblock
// summed by other means than CRC-32C is not summed again here: "Superblock Checksum: Not
// checked".
std::string SuperblockReport(SectorReader& disk, Lba start, uint64_t diskBlocks);

}  // namespace qm
