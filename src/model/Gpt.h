#pragma once
// The GUID partition table: reading both copies of it from a disk of any logical sector size
// (512 to 4096 bytes), deciding which copy to trust and why, and composing the exact sectors
// of both copies again for a later write. Everything read is untrusted: every field is
// checked before it sizes a read or an allocation, and a copy that fails a check is reported
// as damaged, never followed.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "disk/Outcome.h"
#include "disk/SectorReader.h"

namespace qm {

// A GUID as its 16 bytes lie on disk: the first three fields little-endian, the last eight
// bytes in order.
struct TGuid {
  std::array<uint8_t, 16> Bytes{};
  bool IsZero() const;
  bool operator==(const TGuid&) const = default;
};

// "C12A7328-F81F-11D2-BA4B-00A0C93EC93B": upper-case, the usual mixed-endian reading.
std::string GuidText(const TGuid& guid);
// The inverse; either case, nothing around it. Empty for any other text.
std::optional<TGuid> ParseGuid(std::string_view text);

// The readable name of a partition type ("EFI System", "Linux swap"), or the GUID's text
// when the type is not one of the common ones.
std::string GptTypeName(const TGuid& type);
// The type a new entry gets for a volume of kind `fsKind` (fkFat12 ... fkLinuxExt2): Microsoft
// basic data for FAT and NTFS, Linux filesystem or swap for the Linux kinds; empty for others.
std::optional<TGuid> GptTypeForFsKind(uint8_t fsKind);

// The unique GUID of a new entry at `firstLba` in slot `slot` of the table of disk `disk`: a
// random-form GUID (version 4) drawn from those three, so that it is new on every disk and the
// same in a dry run and the run it shows.
TGuid NewPartitionGuid(const TGuid& disk, uint32_t slot, uint64_t firstLba);

// The CRC-32 both header and entry array carry (reflected polynomial 0xEDB88320, as zlib
// computes it). `crc` continues an earlier result.
uint32_t Crc32(std::span<const uint8_t> bytes, uint32_t crc = 0);

constexpr uint64_t kGptAttrLegacyBootable = uint64_t{1} << 2;
constexpr size_t kGptNameUnits = 36;
// The largest entry array accepted: far beyond the 16 KiB every partitioning tool writes,
// far below an allocation a damaged count could ask for.
constexpr uint64_t kGptMaxArrayBytes = 1u << 20;

struct TGptEntry {
  uint32_t Index = 0;  // slot number from 1, as the system numbers the partition
  TGuid Type, Unique;
  uint64_t FirstLba = 0, LastLba = 0;  // logical sectors, both included
  uint64_t Attributes = 0;
  std::string Name;  // UTF-8
  // The name as stored. Composing writes these units while they still decode to `Name`, so
  // that an unchanged entry is written back byte for byte, and encodes `Name` otherwise.
  std::array<uint16_t, kGptNameUnits> NameUnits{};
  bool LegacyBootable() const { return (Attributes & kGptAttrLegacyBootable) != 0; }
  bool operator==(const TGptEntry&) const = default;
};

// One GPT as the primary header states it. Logical sectors throughout.
struct TGpt {
  uint32_t SectorSize = 512;
  uint64_t DiskSectors = 0;
  uint32_t Revision = 0x00010000;
  uint32_t HeaderSize = 92;
  uint64_t BackupLba = 0;  // the backup header (the primary's AlternateLBA)
  uint64_t FirstUsableLba = 0, LastUsableLba = 0;
  TGuid DiskGuid;
  uint64_t EntryLba = 2;  // the primary array; the backup array ends right before BackupLba
  uint32_t EntryCount = 128, EntrySize = 128;
  std::vector<TGptEntry> Entries;  // the used slots, in slot order

  // Sectors one entry array takes.
  uint64_t ArraySectors() const;
};

enum class GptCopy { None, Primary, Backup };

enum class GptFault {
  None,
  Missing,     // no "EFI PART" signature where the header belongs
  BadHeader,   // a field out of bounds (size, place, usable range, entry size or count)
  HeaderCrc,   // the header's checksum is wrong
  ArrayCrc,    // the entry array's checksum is wrong
  Disagrees,   // sound on its own, but not the same table as the copy in use
};

struct TGptCopyState {
  GptFault Fault = GptFault::Missing;
  uint64_t HeaderLba = 0;  // where the header was looked for
  std::string Text;        // what is wrong, for the user; empty when sound
};

enum class GptEntryProblem {
  Reversed,       // FirstLBA after LastLBA
  OutsideUsable,  // not inside the usable range of the header
  Overlaps,       // shares sectors with the entry named in Other
};

struct TGptEntryNote {
  uint32_t Index = 0;
  GptEntryProblem Problem = GptEntryProblem::Reversed;
  uint32_t Other = 0;
  std::string Text;
};

enum class ProtectiveMbr {
  None,        // no boot signature at all
  NotGpt,      // a table without a 0xEE entry
  Protective,  // one 0xEE entry and nothing else
  Hybrid,      // a 0xEE entry beside other entries
};

struct TGptRead {
  // Failed when a sector could not be read (its errno and 512-byte sector) or the sector size
  // is not supported; Done otherwise, usable copy or not (a disk too small has a Reason).
  Outcome Result;
  ProtectiveMbr Mbr = ProtectiveMbr::None;
  GptCopy Used = GptCopy::None;
  TGptCopyState Primary, Backup;
  std::optional<TGpt> Gpt;  // from the copy in use
  std::vector<TGptEntryNote> EntryNotes;
  // Why no copy is usable; empty when one is.
  std::string Reason;
};

// Reads the GPT of a disk of `diskSectors` logical sectors of `sectorSize` bytes; `disk`
// reads 512-byte units, so logical sector N is read as units N * (sectorSize / 512).
TGptRead ReadGpt(SectorReader& disk, uint32_t sectorSize, uint64_t diskSectors);

// A run of whole logical sectors to write.
struct TGptWrite {
  uint64_t Lba = 0;
  std::vector<uint8_t> Bytes;
};

// The four runs that hold a GPT, in the order to write them: primary header, primary array,
// backup array (ending right before BackupLba), backup header. Refused (Failed, nothing in
// `out`) when the layout does not fit the disk or an entry's slot is out of range or taken
// twice.
Outcome ComposeGpt(const TGpt& gpt, std::vector<TGptWrite>& out);

}  // namespace qm
