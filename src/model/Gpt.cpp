#include "model/Gpt.h"

#include <algorithm>
#include <cstring>

#include "disk/Crc32.h"
#include <set>

#include "disk/Bytes.h"
#include "fs/FsKind.h"
#include "model/DiskData.h"
#include "model/Text.h"

namespace qm {
namespace {

// Header layout. Offsets past 92 up to HeaderSize are reserved and written as zeros.
constexpr char kSignature[8] = {'E', 'F', 'I', ' ', 'P', 'A', 'R', 'T'};
constexpr uint32_t kMinHeaderSize = 92;
constexpr size_t kOffRevision = 8, kOffHeaderSize = 12, kOffHeaderCrc = 16, kOffMyLba = 24, kOffAlternateLba = 32,
                 kOffFirstUsable = 40, kOffLastUsable = 48, kOffDiskGuid = 56, kOffEntryLba = 72, kOffEntryCount = 80,
                 kOffEntrySize = 84, kOffArrayCrc = 88;
// Entry layout; bytes past 128 of a larger entry are reserved.
constexpr uint32_t kMinEntrySize = 128;
constexpr size_t kOffType = 0, kOffUnique = 16, kOffFirst = 32, kOffLast = 40, kOffAttributes = 48, kOffName = 56;
constexpr uint64_t kFirstPrimaryArrayLba = 2;  // the sector after the primary header

bool EntrySizeSupported(uint32_t size) {
  return size >= kMinEntrySize && size <= 4096 && (size & (size - 1)) == 0;
}

uint64_t SectorsFor(uint64_t bytes, uint32_t sectorSize) { return (bytes + sectorSize - 1) / sectorSize; }

std::string Num(uint64_t value) { return std::to_string(value); }


TGuid GuidAt(const uint8_t* p) {
  TGuid g;
  std::copy_n(p, 16, g.Bytes.begin());
  return g;
}

// The header fields as read, before any of them is trusted.
struct THeader {
  uint32_t Revision = 0, HeaderSize = 0, HeaderCrc = 0;
  uint64_t MyLba = 0, AlternateLba = 0, FirstUsable = 0, LastUsable = 0;
  TGuid DiskGuid;
  uint64_t EntryLba = 0;
  uint32_t EntryCount = 0, EntrySize = 0, ArrayCrc = 0;
  uint64_t ArraySectors = 0;  // set once count and size are known to be sane
};

THeader DecodeHeader(const uint8_t* p) {
  THeader h;
  h.Revision = LoadLE<uint32_t>(p + kOffRevision);
  h.HeaderSize = LoadLE<uint32_t>(p + kOffHeaderSize);
  h.HeaderCrc = LoadLE<uint32_t>(p + kOffHeaderCrc);
  h.MyLba = LoadLE<uint64_t>(p + kOffMyLba);
  h.AlternateLba = LoadLE<uint64_t>(p + kOffAlternateLba);
  h.FirstUsable = LoadLE<uint64_t>(p + kOffFirstUsable);
  h.LastUsable = LoadLE<uint64_t>(p + kOffLastUsable);
  h.DiskGuid = GuidAt(p + kOffDiskGuid);
  h.EntryLba = LoadLE<uint64_t>(p + kOffEntryLba);
  h.EntryCount = LoadLE<uint32_t>(p + kOffEntryCount);
  h.EntrySize = LoadLE<uint32_t>(p + kOffEntrySize);
  h.ArrayCrc = LoadLE<uint32_t>(p + kOffArrayCrc);
  return h;
}

// Logical sectors through a reader of 512-byte units.
class LogicalSectors {
 public:
  LogicalSectors(SectorReader& disk, uint32_t sectorSize) : disk_(disk), units_(sectorSize / kSectorSize), size_(sectorSize) {}
  // `count` is bounded by the callers (at most the largest array), so the unit count fits.
  Outcome Read(uint64_t lba, uint64_t count, std::vector<uint8_t>& out, const std::string& what) {
    out.assign(static_cast<size_t>(count * size_), 0);
    Outcome read = disk_.Read(lba * units_, static_cast<uint32_t>(count * units_), out.data());
    if (read.ok()) return read;
    read.Text = "Cannot read the " + what + " at sector " + Num(lba) + ".\r" + read.Text;
    return read;
  }

 private:
  SectorReader& disk_;
  uint64_t units_;
  uint32_t size_;
};

struct TCopy {
  TGptCopyState State;
  THeader Header;
  std::vector<uint8_t> Array;  // EntryCount * EntrySize bytes once the copy is sound
};

void Fault(TCopy& copy, GptFault fault, std::string text) {
  copy.State.Fault = fault;
  copy.State.Text = std::move(text);
}

// Reads the header at `at` and checks it on its own: signature, size, checksum, and every
// field that places something on the disk. Leaves the array unread.
Outcome ReadHeader(LogicalSectors& io, uint32_t sectorSize, uint64_t diskSectors, uint64_t at, bool primary,
                   TCopy& copy) {
  const std::string name = primary ? "primary GPT header" : "backup GPT header";
  copy.State.HeaderLba = at;
  std::vector<uint8_t> sector;
  Outcome read = io.Read(at, 1, sector, name);
  if (!read.ok()) return read;
  if (std::memcmp(sector.data(), kSignature, sizeof kSignature) != 0) {
    Fault(copy, GptFault::Missing, "There is no " + name + " at sector " + Num(at) + ".");
    return Outcome::Done();
  }
  THeader& h = copy.Header = DecodeHeader(sector.data());
  if (h.HeaderSize < kMinHeaderSize || h.HeaderSize > sectorSize) {
    Fault(copy, GptFault::BadHeader, "The " + name + " gives its size as " + Num(h.HeaderSize) + " bytes.");
    return Outcome::Done();
  }
  std::fill_n(sector.begin() + kOffHeaderCrc, 4, uint8_t{0});
  if (Crc32(std::span(sector).first(h.HeaderSize)) != h.HeaderCrc) {
    Fault(copy, GptFault::HeaderCrc, "The checksum of the " + name + " is wrong.");
    return Outcome::Done();
  }
  copy.State.Fault = GptFault::BadHeader;  // until every field below is found sane
  if (h.MyLba != at) {
    copy.State.Text = "The " + name + " at sector " + Num(at) + " says it lies at sector " + Num(h.MyLba) + ".";
    return Outcome::Done();
  }
  if (!EntrySizeSupported(h.EntrySize)) {
    copy.State.Text = "The " + name + " gives an entry size of " + Num(h.EntrySize) + " bytes.";
    return Outcome::Done();
  }
  const uint64_t arrayBytes = uint64_t{h.EntryCount} * h.EntrySize;
  if (h.EntryCount == 0 || arrayBytes > kGptMaxArrayBytes) {
    copy.State.Text = "The " + name + " gives " + Num(h.EntryCount) + " entries.";
    return Outcome::Done();
  }
  h.ArraySectors = SectorsFor(arrayBytes, sectorSize);
  const uint64_t a = h.ArraySectors;
  // The usable range lies between the two arrays, and each array beside its own header.
  const bool arrayInside = h.EntryLba < diskSectors && a <= diskSectors - h.EntryLba;
  if (!arrayInside ||
      (primary ? h.EntryLba < kFirstPrimaryArrayLba || h.EntryLba + a > h.FirstUsable
               : h.EntryLba <= h.LastUsable || h.EntryLba + a > at)) {
    copy.State.Text = "The " + name + " puts its " + Num(a) + "-sector entry array at sector " + Num(h.EntryLba) +
                      ", where it does not fit.";
    return Outcome::Done();
  }
  // The backup is placed at the last sector or at the primary's AlternateLBA, whichever is
  // sane, and its array before it: the usable range must end before that array.
  if (h.FirstUsable > h.LastUsable || h.FirstUsable < kFirstPrimaryArrayLba + a || h.LastUsable >= diskSectors ||
      (!primary && h.LastUsable >= at)) {
    copy.State.Text = "The " + name + " gives the usable sectors as " + Num(h.FirstUsable) + " to " +
                      Num(h.LastUsable) + ".";
    return Outcome::Done();
  }
  copy.State.Fault = GptFault::None;
  copy.State.Text.clear();
  return Outcome::Done();
}

Outcome ReadArray(LogicalSectors& io, bool primary, TCopy& copy) {
  const THeader& h = copy.Header;
  const std::string name = primary ? "primary GPT entry array" : "backup GPT entry array";
  Outcome read = io.Read(h.EntryLba, h.ArraySectors, copy.Array, name);
  if (!read.ok()) return read;
  copy.Array.resize(size_t{h.EntryCount} * h.EntrySize);
  if (Crc32(copy.Array) != h.ArrayCrc) Fault(copy, GptFault::ArrayCrc, "The checksum of the " + name + " is wrong.");
  return Outcome::Done();
}

// What differs between two sound copies, or empty when they are the same table.
std::string Differences(const THeader& p, const std::vector<uint8_t>& pArray, const THeader& b,
                        const std::vector<uint8_t>& bArray) {
  std::vector<std::string> what;
  if (p.DiskGuid != b.DiskGuid) what.push_back("disk GUID");
  if (p.FirstUsable != b.FirstUsable || p.LastUsable != b.LastUsable) what.push_back("usable range");
  if (p.EntryCount != b.EntryCount || p.EntrySize != b.EntrySize)
    what.push_back("entry count or size");
  else if (pArray != bArray)
    what.push_back("entries");
  std::string text;
  for (const std::string& w : what) text += (text.empty() ? "" : ", ") + w;
  return text;
}

TGptEntry DecodeGptEntry(const uint8_t* p, uint32_t index) {
  TGptEntry e;
  e.Index = index;
  e.Type = GuidAt(p + kOffType);
  e.Unique = GuidAt(p + kOffUnique);
  e.FirstLba = LoadLE<uint64_t>(p + kOffFirst);
  e.LastLba = LoadLE<uint64_t>(p + kOffLast);
  e.Attributes = LoadLE<uint64_t>(p + kOffAttributes);
  for (size_t i = 0; i < kGptNameUnits; ++i) e.NameUnits[i] = LoadLE<uint16_t>(p + kOffName + 2 * i);
  e.Name = Utf16LeToUtf8(std::span(p + kOffName, 2 * kGptNameUnits));
  return e;
}

std::vector<TGptEntryNote> CheckEntries(const TGpt& gpt) {
  std::vector<TGptEntryNote> notes;
  struct TSpan {
    uint64_t First, Last;
    uint32_t Index;
  };
  std::vector<TSpan> spans;
  for (const TGptEntry& e : gpt.Entries) {
    const std::string name = "Entry " + Num(e.Index);
    if (e.FirstLba > e.LastLba) {
      notes.push_back({e.Index, GptEntryProblem::Reversed, 0,
                       name + " starts at sector " + Num(e.FirstLba) + ", after its end at " + Num(e.LastLba) + "."});
      continue;
    }
    if (e.FirstLba < gpt.FirstUsableLba || e.LastLba > gpt.LastUsableLba)
      notes.push_back({e.Index, GptEntryProblem::OutsideUsable, 0,
                       name + " (sectors " + Num(e.FirstLba) + " to " + Num(e.LastLba) +
                           ") is not inside the usable sectors " + Num(gpt.FirstUsableLba) + " to " +
                           Num(gpt.LastUsableLba) + "."});
    spans.push_back({e.FirstLba, e.LastLba, e.Index});
  }
  // In order of start, an entry overlaps an earlier one exactly when it starts before the
  // furthest end so far; that entry is the one named.
  std::sort(spans.begin(), spans.end(),
            [](const TSpan& x, const TSpan& y) { return x.First != y.First ? x.First < y.First : x.Index < y.Index; });
  const TSpan* furthest = nullptr;
  for (const TSpan& s : spans) {
    if (furthest && s.First <= furthest->Last)
      notes.push_back({s.Index, GptEntryProblem::Overlaps, furthest->Index,
                       "Entry " + Num(s.Index) + " overlaps entry " + Num(furthest->Index) + "."});
    if (!furthest || s.Last > furthest->Last) furthest = &s;
  }
  return notes;
}

void ReadProtectiveMbr(SectorReader& disk, TGptRead& result) {
  TSector mbr{};
  if (!disk.Read(0, 1, mbr.data()).ok() || !HasTableSignature(mbr)) return;  // a GPT does not need it
  bool protective = false, others = false;
  for (size_t i = 0; i < kTableEntries; ++i) {
    const uint8_t type = DecodeEntry(mbr, i).SystemId;
    if (type == kTypeGptProtective)
      protective = true;
    else if (type != kTypeEmpty)
      others = true;
  }
  result.Mbr = !protective ? ProtectiveMbr::NotGpt : others ? ProtectiveMbr::Hybrid : ProtectiveMbr::Protective;
}

// UTF-8 to at most 36 UTF-16 units; a byte that is no part of well-formed UTF-8 becomes
// U+FFFD, and a character that does not fit whole is left out.
std::array<uint16_t, kGptNameUnits> EncodeName(std::string_view text) {
  std::array<uint16_t, kGptNameUnits> units{};
  size_t n = 0;
  for (size_t i = 0; i < text.size();) {
    const auto b = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
    uint32_t cp = 0xFFFD;
    size_t len = 1;
    const uint8_t lead = b(i);
    const size_t need = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                                       : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
    if (need == 1) {
      cp = lead;
    } else if (need > 1 && text.size() - i >= need) {
      uint32_t v = lead & (0x7F >> need);
      bool ok = true;
      for (size_t k = 1; k < need; ++k) {
        ok = ok && (b(i + k) & 0xC0) == 0x80;
        v = (v << 6) | (b(i + k) & 0x3F);
      }
      const uint32_t least = need == 2 ? 0x80 : need == 3 ? 0x800 : 0x10000;
      if (ok && v >= least && v <= 0x10FFFF && (v < 0xD800 || v > 0xDFFF)) {
        cp = v;
        len = need;
      }
    }
    i += len;
    const size_t size = cp >= 0x10000 ? 2 : 1;
    if (n + size > kGptNameUnits) break;
    if (size == 1) {
      units[n++] = static_cast<uint16_t>(cp);
    } else {
      units[n++] = static_cast<uint16_t>(0xD800 + ((cp - 0x10000) >> 10));
      units[n++] = static_cast<uint16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    }
  }
  return units;
}

std::string UnitsText(const std::array<uint16_t, kGptNameUnits>& units) {
  std::array<uint8_t, 2 * kGptNameUnits> bytes{};
  for (size_t i = 0; i < kGptNameUnits; ++i) StoreLE<uint16_t>(&bytes[2 * i], units[i]);
  return Utf16LeToUtf8(bytes);
}

void EncodeGptEntry(uint8_t* p, const TGptEntry& e) {
  std::copy(e.Type.Bytes.begin(), e.Type.Bytes.end(), p + kOffType);
  std::copy(e.Unique.Bytes.begin(), e.Unique.Bytes.end(), p + kOffUnique);
  StoreLE<uint64_t>(p + kOffFirst, e.FirstLba);
  StoreLE<uint64_t>(p + kOffLast, e.LastLba);
  StoreLE<uint64_t>(p + kOffAttributes, e.Attributes);
  const auto units = UnitsText(e.NameUnits) == e.Name ? e.NameUnits : EncodeName(e.Name);
  for (size_t i = 0; i < kGptNameUnits; ++i) StoreLE<uint16_t>(p + kOffName + 2 * i, units[i]);
}

std::vector<uint8_t> HeaderSector(const TGpt& gpt, uint64_t myLba, uint64_t alternateLba, uint64_t entryLba,
                                  uint32_t arrayCrc) {
  std::vector<uint8_t> s(gpt.SectorSize, 0);
  uint8_t* p = s.data();
  std::memcpy(p, kSignature, sizeof kSignature);
  StoreLE<uint32_t>(p + kOffRevision, gpt.Revision);
  StoreLE<uint32_t>(p + kOffHeaderSize, gpt.HeaderSize);
  StoreLE<uint64_t>(p + kOffMyLba, myLba);
  StoreLE<uint64_t>(p + kOffAlternateLba, alternateLba);
  StoreLE<uint64_t>(p + kOffFirstUsable, gpt.FirstUsableLba);
  StoreLE<uint64_t>(p + kOffLastUsable, gpt.LastUsableLba);
  std::copy(gpt.DiskGuid.Bytes.begin(), gpt.DiskGuid.Bytes.end(), p + kOffDiskGuid);
  StoreLE<uint64_t>(p + kOffEntryLba, entryLba);
  StoreLE<uint32_t>(p + kOffEntryCount, gpt.EntryCount);
  StoreLE<uint32_t>(p + kOffEntrySize, gpt.EntrySize);
  StoreLE<uint32_t>(p + kOffArrayCrc, arrayCrc);
  StoreLE<uint32_t>(p + kOffHeaderCrc, Crc32(std::span(s).first(gpt.HeaderSize)));
  return s;
}

struct TTypeName {
  const char* Guid;
  const char* Name;
};
constexpr TTypeName kTypeNames[] = {
    {"C12A7328-F81F-11D2-BA4B-00A0C93EC93B", "EFI System"},
    {"EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", "Microsoft basic data"},
    {"E3C9E316-0B5C-4DB8-817D-F92DF00215AE", "Microsoft reserved"},
    {"DE94BBA4-06D1-4D40-A16A-BFD50179D6AC", "Windows recovery environment"},
    {"0FC63DAF-8483-4772-8E79-3D69D8477DE4", "Linux filesystem"},
    {"0657FD6D-A4AB-43C4-84E5-0933C84B4F4F", "Linux swap"},
    {"E6D6D379-F507-44C2-A23C-238F2A3DF928", "Linux LVM"},
    {"A19D880F-05FC-4D3B-A006-743F0F84911E", "Linux RAID"},
    {"933AC7E1-2EB4-4F13-B844-0E14E2AEF915", "Linux home"},
    {"4F68BCE3-E8CD-4DB1-96E7-FBCAF984B709", "Linux root (x86-64)"},
    {"21686148-6449-6E6F-744E-656564454649", "BIOS boot"},
    {"BC13C2FF-59E6-4262-A352-B275FD6F7172", "Linux extended boot"},
};

}  // namespace

bool TGuid::IsZero() const {
  return std::all_of(Bytes.begin(), Bytes.end(), [](uint8_t b) { return b == 0; });
}

// The first three fields are stored little-endian, so their bytes are shown in reverse.
constexpr size_t kGuidTextOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};

std::string GuidText(const TGuid& guid) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (size_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    const uint8_t b = guid.Bytes[kGuidTextOrder[i]];
    text += kHex[b >> 4];
    text += kHex[b & 15];
  }
  return text;
}

std::optional<TGuid> ParseGuid(std::string_view text) {
  if (text.size() != 36) return std::nullopt;
  const auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  TGuid guid;
  size_t at = 0;
  for (size_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) {
      if (text[at++] != '-') return std::nullopt;
    }
    const int hi = nibble(text[at]), lo = nibble(text[at + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    guid.Bytes[kGuidTextOrder[i]] = static_cast<uint8_t>(hi << 4 | lo);
    at += 2;
  }
  return guid;
}

std::string GptTypeName(const TGuid& type) {
  const std::string text = GuidText(type);
  for (const TTypeName& t : kTypeNames)
    if (text == t.Guid) return t.Name;
  return text;
}

std::optional<TGuid> GptTypeForFsKind(uint8_t fsKind) {
  switch (fsKind) {
    case fkFat12:
    case fkFat16:
    case fkFat32:
    case fkNtfs:
    case fkExfat: return ParseGuid("EBD0A0A2-B9E5-4433-87C0-68B6B72699C7");
    case fkLinuxExt2:
    case fkExt2:
    case fkExt3:
    case fkExt4:
    case fkBtrfs:
    case fkXfs: return ParseGuid("0FC63DAF-8483-4772-8E79-3D69D8477DE4");
    case fkLinuxSwap:
    case fkSwap: return ParseGuid("0657FD6D-A4AB-43C4-84E5-0933C84B4F4F");
    default: return std::nullopt;
  }
}

TGuid NewPartitionGuid(const TGuid& disk, uint32_t slot, uint64_t firstLba) {
  // Two independent 64-bit mixes of the inputs; each bit of the result depends on all of them.
  auto mix = [](uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
  };
  uint64_t low = 0, high = 0;
  std::memcpy(&low, disk.Bytes.data(), 8);
  std::memcpy(&high, disk.Bytes.data() + 8, 8);
  const uint64_t a = mix(low ^ mix(high ^ mix(firstLba ^ (uint64_t{slot} << 48))));
  const uint64_t b = mix(high ^ mix(low ^ mix(~firstLba + slot)));
  TGuid guid;
  std::memcpy(guid.Bytes.data(), &a, 8);
  std::memcpy(guid.Bytes.data() + 8, &b, 8);
  guid.Bytes[7] = static_cast<uint8_t>((guid.Bytes[7] & 0x0F) | 0x40);  // version 4, in the third field
  guid.Bytes[8] = static_cast<uint8_t>((guid.Bytes[8] & 0x3F) | 0x80);  // the standard variant
  return guid;
}

uint32_t Crc32(std::span<const uint8_t> bytes, uint32_t crc) { return ~Crc32Update(~crc, bytes); }

uint64_t TGpt::ArraySectors() const { return SectorsFor(uint64_t{EntryCount} * EntrySize, SectorSize); }

TGptRead ReadGpt(SectorReader& disk, uint32_t sectorSize, uint64_t diskSectors) {
  TGptRead result;
  if (!SectorSizeSupported(sectorSize)) {
    result.Result = Outcome::Failed("A sector size of " + Num(sectorSize) + " bytes is not supported.", "GPT");
    result.Reason = result.Result.Text;
    return result;
  }
  // The smallest GPT: boot record, header, array, one usable sector, array, header. Nothing
  // is read from a disk smaller than that, not even its boot record.
  if (diskSectors < 6 || diskSectors > UINT64_MAX / (sectorSize / kSectorSize)) {
    result.Reason = "A disk of " + Num(diskSectors) + " sectors cannot hold a GPT.";
    return result;
  }
  ReadProtectiveMbr(disk, result);
  LogicalSectors io(disk, sectorSize);
  const auto failed = [&](Outcome o) {
    result.Result = std::move(o);
    return result;
  };
  TCopy primary, backup;
  if (Outcome o = ReadHeader(io, sectorSize, diskSectors, 1, true, primary); !o.ok()) return failed(std::move(o));
  // The backup lies where the primary says, when the primary can be believed and the place
  // is on the disk past the header; else at the last sector.
  const THeader& ph = primary.Header;
  const bool believed = primary.State.Fault == GptFault::None || primary.State.Fault == GptFault::BadHeader;
  uint64_t backupAt = diskSectors - 1;
  if (believed && ph.AlternateLba > 1 && ph.AlternateLba < diskSectors) backupAt = ph.AlternateLba;
  if (primary.State.Fault == GptFault::None && ph.LastUsable + ph.ArraySectors >= backupAt)
    Fault(primary, GptFault::BadHeader,
          "The usable sectors of the primary GPT header run into the backup's entry array before sector " +
              Num(backupAt) + ".");
  if (primary.State.Fault == GptFault::None)
    if (Outcome o = ReadArray(io, true, primary); !o.ok()) return failed(std::move(o));
  if (Outcome o = ReadHeader(io, sectorSize, diskSectors, backupAt, false, backup); !o.ok()) return failed(std::move(o));
  if (backup.State.Fault == GptFault::None)
    if (Outcome o = ReadArray(io, false, backup); !o.ok()) return failed(std::move(o));
  result.Primary = primary.State;
  result.Backup = backup.State;

  const TCopy* used = nullptr;
  if (primary.State.Fault == GptFault::None) {
    used = &primary;
    result.Used = GptCopy::Primary;
    if (backup.State.Fault == GptFault::None) {
      const std::string diff = Differences(primary.Header, primary.Array, backup.Header, backup.Array);
      if (!diff.empty()) {
        result.Backup.Fault = GptFault::Disagrees;
        result.Backup.Text = "The backup GPT differs from the primary: " + diff + ".";
      }
    }
  } else if (backup.State.Fault == GptFault::None) {
    used = &backup;
    result.Used = GptCopy::Backup;
  } else {
    result.Reason = "Neither copy of the GPT is usable.\r" + primary.State.Text + "\r" + backup.State.Text;
    return result;
  }

  const THeader& h = used->Header;
  TGpt gpt;
  gpt.SectorSize = sectorSize;
  gpt.DiskSectors = diskSectors;
  gpt.Revision = h.Revision;
  gpt.HeaderSize = h.HeaderSize;
  gpt.BackupLba = backupAt;
  gpt.FirstUsableLba = h.FirstUsable;
  gpt.LastUsableLba = h.LastUsable;
  gpt.DiskGuid = h.DiskGuid;
  // The primary array of a backup-only disk goes back to its usual place, which the backup's
  // usable range leaves free.
  gpt.EntryLba = used == &primary ? h.EntryLba : kFirstPrimaryArrayLba;
  gpt.EntryCount = h.EntryCount;
  gpt.EntrySize = h.EntrySize;
  for (uint32_t i = 0; i < h.EntryCount; ++i) {
    const uint8_t* p = used->Array.data() + size_t{i} * h.EntrySize;
    if (GuidAt(p + kOffType).IsZero()) continue;
    gpt.Entries.push_back(DecodeGptEntry(p, i + 1));
  }
  result.EntryNotes = CheckEntries(gpt);
  result.Gpt = std::move(gpt);
  return result;
}

Outcome ComposeGpt(const TGpt& gpt, std::vector<TGptWrite>& out) {
  out.clear();
  const auto refuse = [](const std::string& why) { return Outcome::Failed("Cannot compose the GPT: " + why, "GPT"); };
  if (!SectorSizeSupported(gpt.SectorSize)) return refuse("a sector size of " + Num(gpt.SectorSize) + " bytes.");
  if (gpt.HeaderSize < kMinHeaderSize || gpt.HeaderSize > gpt.SectorSize)
    return refuse("a header size of " + Num(gpt.HeaderSize) + " bytes.");
  if (!EntrySizeSupported(gpt.EntrySize) || gpt.EntryCount == 0 ||
      uint64_t{gpt.EntryCount} * gpt.EntrySize > kGptMaxArrayBytes)
    return refuse(Num(gpt.EntryCount) + " entries of " + Num(gpt.EntrySize) + " bytes.");
  const uint64_t a = gpt.ArraySectors();
  if (gpt.DiskSectors > UINT64_MAX / (gpt.SectorSize / kSectorSize) || gpt.BackupLba >= gpt.DiskSectors ||
      gpt.EntryLba < kFirstPrimaryArrayLba || gpt.EntryLba > gpt.FirstUsableLba ||
      gpt.FirstUsableLba - gpt.EntryLba < a || gpt.FirstUsableLba > gpt.LastUsableLba ||
      gpt.LastUsableLba >= gpt.BackupLba || gpt.BackupLba - gpt.LastUsableLba <= a)
    return refuse("the arrays, the usable sectors and the backup header do not fit the disk in this order.");
  std::vector<uint8_t> array(static_cast<size_t>(a * gpt.SectorSize), 0);
  std::set<uint32_t> slots;
  for (const TGptEntry& e : gpt.Entries) {
    if (e.Index < 1 || e.Index > gpt.EntryCount || !slots.insert(e.Index).second)
      return refuse("entry slot " + Num(e.Index) + " is out of range or used twice.");
    if (e.Type.IsZero()) return refuse("entry " + Num(e.Index) + " has no type.");
    EncodeGptEntry(array.data() + size_t{e.Index - 1} * gpt.EntrySize, e);
  }
  const uint32_t arrayCrc = Crc32(std::span(array).first(size_t{gpt.EntryCount} * gpt.EntrySize));
  const uint64_t backupArray = gpt.BackupLba - a;
  out.push_back({1, HeaderSector(gpt, 1, gpt.BackupLba, gpt.EntryLba, arrayCrc)});
  out.push_back({gpt.EntryLba, array});
  out.push_back({backupArray, std::move(array)});
  out.push_back({gpt.BackupLba, HeaderSector(gpt, gpt.BackupLba, 1, backupArray, arrayCrc)});
  return Outcome::Done();
}

}  // namespace qm
