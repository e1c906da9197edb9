#pragma once
// Recognising the file system in a boot sector, NTFS attributes and volume labels.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "model/PhysicalDrv.h"

namespace qm {

// FAT12/16/32, NTFS or HPFS from the type strings of a boot sector; fkUnallocated (255)
// when nothing is recognised. Only the type strings are looked at.
uint8_t DetectFsKind(std::span<const uint8_t, 512> sector);

// The number of sectors the volume of a boot sector of kind `fsKind` says it holds (0 when the
// kind keeps none): FAT12/16 the 16-bit count or else the 32-bit one, FAT32 and HPFS the
// 32-bit count, NTFS the 64-bit count.
uint64_t BootSectorVolumeSize(std::span<const uint8_t, 512> sector, uint8_t fsKind);
// The partition type code for a volume of kind `fsKind` (0x01, 0x06, 0x0B, 0x07), or 0.
uint8_t VolumeTypeCode(uint8_t fsKind);

constexpr size_t kFileRecordSize = 1024;
constexpr uint32_t kAttrAttributeList = 0x20;
constexpr uint32_t kAttrVolumeName = 0x60;
constexpr uint32_t kAttrIndexRoot = 0x90;
constexpr uint32_t kAttrEnd = 0xFFFFFFFF;

// One NTFS attribute copied out of a file record.
struct TAttribute {
  uint32_t TypeCode = 0;
  uint32_t AttrLength = 0;
  uint32_t FormInfo = 0;    // non-resident flag, name length, name offset
  uint32_t FlagsAndId = 0;  // flags (0x0001 compressed), identifier
  std::optional<std::array<uint8_t, 8>> ResidentHeader;
  std::optional<std::array<uint8_t, 48>> NonResidentHeader;
  std::vector<uint8_t> Name;  // UTF-16LE, 2 bytes a character
  std::vector<uint8_t> Data;  // the value (resident) or the run list (non-resident)

  bool NonResident() const { return (FormInfo & 0xFF) != 0; }
};

// Finds the first attribute of type `type` in a 1024-byte file record and copies it out.
// Applies the update sequence fix-up to `record` in place. Every offset and length read from
// the record is checked against its 1024 bytes; false when the attribute is absent or does
// not fit.
bool ReadAttribute(std::span<uint8_t, kFileRecordSize> record, uint32_t type, TAttribute& attribute);

// Finds attribute `type` of the root directory, whose file record (record 5, fixed up) is
// `record`. A root that has outgrown its record may keep an attribute, usually its index
// root, in an extension record that the root's attribute list names. Such a record is read
// from the start of the MFT, two sectors a record, and used only when it is a sound file
// record that names record 5 as its base. False when the attribute is in neither.
bool ReadRootAttribute(TPhysicalDrv& drive, const TPartition& partition, std::span<uint8_t, kFileRecordSize> record,
                       uint32_t type, TAttribute& attribute);

// Fills `partition.VolumeLabel` from the file system, starting from the boot sector kept in
// the record; leaves it unchanged when no label is found. Always true.
bool ReadVolumeLabel(TPhysicalDrv& drive, TPartition& partition);

// The FAT label comes from the root directory reader. It is installed here when that reader
// exists; without it FAT volumes keep their label unchanged.
using FatLabelReader = bool (*)(TPhysicalDrv& drive, TPartition& partition, std::string& label);
void SetFatLabelReader(FatLabelReader reader);

}  // namespace qm
