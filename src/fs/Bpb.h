#pragma once
// The BIOS parameter block of a FAT, NTFS or HPFS boot sector: the one place that knows at
// which byte each field lies. Every field is decoded from any 512 bytes; whether the values
// make sense is for the reader of each file system to judge.
#include <cstdint>
#include <span>

namespace qm {

struct TBpb {
  uint16_t BytesPerSector = 0;     // 0x0B
  uint8_t SectorsPerCluster = 0;   // 0x0D
  uint16_t ReservedSectors = 0;    // 0x0E
  uint8_t FatCount = 0;            // 0x10
  uint16_t RootEntries = 0;        // 0x11, FAT12/16
  uint16_t TotalSectors16 = 0;     // 0x13
  uint8_t Media = 0;               // 0x15, the media descriptor
  uint16_t SectorsPerFat16 = 0;    // 0x16
  uint32_t HiddenSectors = 0;      // 0x1C
  uint32_t TotalSectors32 = 0;     // 0x20
  uint32_t SectorsPerFat32 = 0;    // 0x24, FAT32
  uint32_t RootCluster = 0;        // 0x2C, FAT32
  uint16_t BackupBootSector = 0;   // 0x32, FAT32: the copy's sector within the volume
  uint64_t NtfsTotalSectors = 0;   // 0x28, NTFS
  uint64_t MftCluster = 0;         // 0x30, NTFS
  int8_t ClustersPerMftRecord = 0; // 0x40, NTFS: negative n means 2^-n bytes
  uint32_t Serial = 0;             // 0x27 FAT12/16 and HPFS, 0x43 FAT32, 0x48 NTFS

  // The FAT size of the kind: the 32-bit field on FAT32, the 16-bit one otherwise.
  uint32_t SectorsPerFat(uint8_t kind) const;
  // How many 512-byte blocks one of the volume's own sectors spans: 1, 2, 4 or 8 for sectors
  // of 512 to 4096 bytes. Any other value (a damaged field) counts as 512-byte sectors.
  uint32_t BlocksPerSector() const;
};

// Decodes the fields of `sector`; the serial is taken from where a boot sector of `kind`
// keeps it (0 for other kinds).
TBpb DecodeBpb(std::span<const uint8_t, 512> sector, uint8_t kind);

// FAT12/16/32, NTFS or HPFS from the type strings of a boot sector; fkUnallocated (255)
// when nothing is recognised. Only the type strings are looked at.
uint8_t DetectFsKind(std::span<const uint8_t, 512> sector);

// The size the volume of a boot sector of kind `fsKind` says it has, in 512-byte blocks (0 when
// the kind keeps none): FAT12/16 the 16-bit count or else the 32-bit one, FAT32 and HPFS the
// 32-bit count, NTFS the 64-bit count, each times the blocks of one of its sectors.
uint64_t BootSectorVolumeSize(std::span<const uint8_t, 512> sector, uint8_t fsKind);

// The volume serial number a boot sector of kind `fsKind` carries (HPFS at the place of
// FAT12/16); 0 for kinds without one.
uint32_t GetVolumeSerial(std::span<const uint8_t, 512> sector, uint8_t fsKind);

}  // namespace qm
