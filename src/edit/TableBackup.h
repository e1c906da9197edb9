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

// Saves the drive's table sectors to `fileName`, replacing it only once the new file is
// complete. False, after telling the user why, when a sector cannot be read or the file
// cannot be written.
bool BackupPartitionTable(TPhysicalDrv& drive, const std::string& fileName);

// The blocks of a backup file, or an empty list and why not: a file that is not a whole number
// of blocks and a checksum, holds no block, fails its checksum, or does not start with the
// master boot record.
std::vector<std::pair<uint64_t, TSector>> ReadBackupFile(const std::string& fileName, std::string& problem);

// Writes a backup file's sectors back to the drive, after its checks (a valid file whose
// sectors all lie on this drive, a drive whose tables may be written) and the question,
// which names the drive. The sectors that differ are written through the change pipeline (so
// that undo takes a restore back like any change). Then the system is told and the tables are
// read again.
EditResult RestorePartitionTable(TPhysicalDrv& drive, const std::string& fileName);

}  // namespace qm
