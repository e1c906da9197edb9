#pragma once
// NTFS multi-sector records (MFT file records, index blocks) and the attributes of a file
// record: the update sequence fix-up, reading record N of the MFT, finding an attribute, and
// following a record's attribute list to its extension records.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "disk/Outcome.h"
#include "fs/Volume.h"

namespace qm {

// File records are 1024 bytes on volumes of 512-byte sectors; formatting makes them a sector
// long on volumes of larger sectors, and the boot sector says which. No longer record is read.
constexpr size_t kFileRecordSize = 1024;
constexpr size_t kMaxFileRecordSize = 4096;
constexpr uint32_t kAttrAttributeList = 0x20;
constexpr uint32_t kAttrVolumeName = 0x60;
constexpr uint32_t kAttrIndexRoot = 0x90;
constexpr uint32_t kAttrIndexAllocation = 0xA0;
constexpr uint32_t kAttrEnd = 0xFFFFFFFF;
constexpr uint64_t kVolumeRecord = 3;  // $Volume, which keeps the label
constexpr uint64_t kRootRecord = 5;    // the root directory

// The bytes of one file record, as ReadMftRecord sizes them.
using TFileRecord = std::vector<uint8_t>;

// The update sequence of a multi-sector record: the count at 6 and the array at the offset
// kept at 4 hold the sequence number, then the true last two bytes of each 512-byte stride it
// covers (512 bytes also on volumes of larger sectors). When every covered stride ends in the
// number, those bytes are put back and the bytes covered are returned; 0, with the record
// unchanged, when it does not fit the record or a stride fails the test.
size_t FixUpRecord(std::span<uint8_t> record);

// The size of the volume's file records from its boot sector (0x40: clusters per record, or
// 2^-n bytes when negative), when that is a power of two from kFileRecordSize to
// kMaxFileRecordSize. Any other value, from a damaged field, gives records of one sector of
// the volume, and never less than kFileRecordSize: what formatting makes.
size_t FileRecordBytes(const TBpb& bpb);

// What became of reading a file record.
enum class RecordRead { Sound, OutsideDisk, Unreadable, Damaged };

// Reads record `number` of the MFT (FileRecordBytes each, from the cluster the boot sector
// names) into `record`, sized to one record, and fixes it up. Sound only when it lies on the
// disk, was read, starts with "FILE" and passes its update sequence test over the whole
// record; `failure` gets the read's outcome when it could not be read.
RecordRead ReadMftRecord(const TFsVolume& volume, uint64_t number, TFileRecord& record, Outcome* failure = nullptr);

// One attribute copied out of a file record.
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

// Finds the first attribute of type `type` in a fixed-up file record and copies it out. Every
// offset and length read from the record is checked against its size (kFileRecordSize to
// kMaxFileRecordSize bytes; a record of another size holds nothing); false when the attribute
// is absent or does not fit.
bool ReadAttribute(std::span<const uint8_t> record, uint32_t type, TAttribute& attribute);

// Finds attribute `type` of file record `number`, whose fixed-up bytes are `record`. A record
// that has outgrown itself may keep an attribute in an extension record that its attribute
// list names; such a record is used only when it is sound and names `number` as its base.
// False when the attribute is in neither.
bool ReadRecordAttribute(const TFsVolume& volume, std::span<const uint8_t> record, uint64_t number,
                         uint32_t type, TAttribute& attribute);

// The volume name kept in $Volume, UTF-16LE; empty when there is none or it cannot be read.
std::vector<uint8_t> ReadNtfsLabel(const TFsVolume& volume);

}  // namespace qm
