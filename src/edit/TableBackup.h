#pragma once
// The partition table backup file: every table sector of a drive (the master boot record and
// each extended boot record) as blocks of an 8-byte LBA and the 512-byte sector, followed by
// a 32-bit checksum of the blocks. The file holds raw sectors only: no marker, version or
// drive identity, so files written by every copy of the program restore alike.
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "edit/TableEdits.h"
#include "model/PhysicalDrv.h"

namespace qm {

constexpr size_t kBackupBlockSize = 8 + 512;

// CRC-32 of the IEEE 802.3 polynomial (reflected, 0xEDB88320) with the register starting at 0
// and no final inversion: "abc" gives 0xCA6598D0. UpdateCRC32 continues a register.
uint32_t UpdateCRC32(uint32_t crc, const uint8_t* data, size_t length);
uint32_t CalcCRC32(const uint8_t* data, size_t length);

// Writes `blocks` (the master boot record first) as a backup file, replacing `fileName` only
// once the new file is complete. False, with the errno value in `error`, when it cannot.
bool WriteBackupFile(const std::string& fileName, const std::vector<std::pair<uint64_t, TSector>>& blocks, int& error);

// Why `fileName` must not receive a backup of `drive`'s tables, or "" when it may: it is the
// drive's own source (the same file by inode, or the file behind a loop device), it is no
// regular file (a device node, a folder, a FIFO), or it exists and is not a valid backup
// file. `replacesBackup` tells that it holds a valid backup already, which only the user may
// have replaced.
std::string CheckBackupTarget(const TPhysicalDrv& drive, const std::string& fileName, bool& replacesBackup);

// Saves the drive's table sectors to `fileName`, replacing it only once the new file is
// complete. Failed, with why, when CheckBackupTarget refuses the file, a sector cannot be read
// or the file cannot be written; Cancelled (nothing to tell) when the user keeps the backup it holds; Done with
// the note of success.
Outcome BackupPartitionTable(TPhysicalDrv& drive, const std::string& fileName);

// The blocks of a backup file, or an empty list and why not, in words the user is shown: a
// name that cannot be opened or read or is no regular file, a file larger than any backup, one
// too short to hold a block, one that is not a whole number of blocks and a checksum (cut short
// or with bytes appended), one that fails its checksum, or one that does not start with the
// master boot record.
std::vector<std::pair<uint64_t, TSector>> ReadBackupFile(const std::string& fileName, std::string& problem);

// Why the blocks of a backup file are no partition tables to restore, or "" when they may be:
// a sector named twice, a block without the table signature 55AA, or a sector that is neither
// sector 0 nor an extended boot record the file's own chain leads to (from the extended entry
// of its master boot record on, as the table reader walks a disk). The text names the sector.
std::string CheckRestoreBlocks(const std::vector<std::pair<uint64_t, TSector>>& blocks);

// What suggests that blocks which passed CheckRestoreBlocks were saved from another disk, one
// line each ("\r" between them), or "": a disk signature (bytes 440 to 443 of sector 0) other
// than the one sector 0 of the drive holds now, or a partition of the file's tables that
// reaches beyond the drive's end.
std::string RestoreMismatch(const TPhysicalDrv& drive, const std::vector<std::pair<uint64_t, TSector>>& blocks);

// Writes a backup file's sectors back to the drive, after its checks (a valid file whose
// sectors all lie on this drive and pass CheckRestoreBlocks, a drive whose tables may be
// written) and the question, which names the drive and says what RestoreMismatch finds; such a
// question is a risky one. The sectors that differ are written through the change pipeline (so
// that undo takes a restore back like any change). Then the system is told and the tables are
// read again.
EditOutcome RestorePartitionTable(TPhysicalDrv& drive, const std::string& fileName);

}  // namespace qm
