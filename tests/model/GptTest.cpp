// The GPT codec on images made by partitioning tools (512- and 4096-byte sectors), read back,
// composed again byte for byte, and damaged on purpose. Tables the codec changed are checked
// by the tools in RecoverPropertyTest and the CLI's GPT tests.
// Hand-made tables only where no tool writes one.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "disk/Disk.h"
#include "fs/FsKind.h"
#include "model/Gpt.h"
#include "support/Fixtures.h"
#include "support/Sources.h"

namespace qm::test {
namespace {

// One entry as a tool lists it, and as this codec decodes it.
struct TListed {
  uint64_t First = 0, Last = 0;
  std::string Type, Uuid, Name;
  bool operator==(const TListed&) const = default;
};
void PrintTo(const TListed& e, std::ostream* os) {
  *os << e.First << "-" << e.Last << " " << e.Type << " " << e.Uuid << " '" << e.Name << "'";
}

// What fdisk lists for an image of `sectorSize`-byte sectors (sfdisk in this util-linux
// cannot be told a sector size; fdisk reads with the same library and can). Fills `diskGuid`.
std::vector<TListed> ToolEntries(const std::string& image, uint32_t sectorSize, std::string* diskGuid = nullptr) {
  std::string out;
  const std::string size = std::to_string(sectorSize);
  EXPECT_EQ(RunCommand(kToolPath + "fdisk -b " + size + " -l -o Start,End,Type-UUID,UUID,Name " + ShellQuote(image), &out), 0);
  std::vector<TListed> entries;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line) && !line.starts_with("Start ");)
    if (line.starts_with("Disk identifier: ") && diskGuid) *diskGuid = line.substr(17);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    TListed& e = entries.emplace_back();
    fields >> e.First >> e.Last >> e.Type >> e.Uuid;
    std::getline(fields >> std::ws, e.Name);
  }
  return entries;
}

std::vector<TListed> Decoded(const TGpt& gpt) {
  std::vector<TListed> entries;
  for (const TGptEntry& e : gpt.Entries)
    entries.push_back({e.FirstLba, e.LastLba, GuidText(e.Type), GuidText(e.Unique), e.Name});
  return entries;
}

TGptRead ReadImageGpt(const std::string& image, uint32_t sectorSize,
                      std::shared_ptr<FaultSource::State> faults = nullptr) {
  std::unique_ptr<DriveSource> source = std::make_unique<FileSource>(image);
  if (faults) source = std::make_unique<FaultSource>(std::move(source), faults);
  auto disk = SourceDisk(std::move(source));
  return ReadGpt(*disk, sectorSize, std::filesystem::file_size(image) / sectorSize);
}

// The runs ComposeGpt writes, each as its sector and bytes.
std::vector<std::pair<uint64_t, std::vector<uint8_t>>> Composed(const TGpt& gpt) {
  std::vector<TGptWrite> writes;
  EXPECT_TRUE(ComposeGpt(gpt, writes).ok());
  std::vector<std::pair<uint64_t, std::vector<uint8_t>>> runs;
  for (TGptWrite& w : writes) runs.emplace_back(w.Lba, std::move(w.Bytes));
  return runs;
}

// Puts the right checksum into the header at logical sector `lba`, after a field was changed.
void FixHeaderCrc(const std::string& image, uint32_t sectorSize, uint64_t lba) {
  std::vector<uint8_t> h = ReadFileBytes(image, lba * sectorSize, 92);
  std::fill_n(h.begin() + 16, 4, uint8_t{0});
  const uint32_t crc = Crc32(h);
  WriteFileBytes(image, lba * sectorSize + 16, {uint8_t(crc), uint8_t(crc >> 8), uint8_t(crc >> 16), uint8_t(crc >> 24)});
}

// A table made by a tool: Command with "@" for the image's path; Slots, the entries' slot
// numbers, "*" where legacy BIOS bootable.
struct TMaker { const char* Name; uint32_t SectorSize; const char* Tool; std::string Command; const char* Slots; };
void PrintTo(const TMaker& m, std::ostream* os) { *os << m.Name; }  // a stable test name

const TMaker kMakers[] = {
    {"sfdisk512", 512, "sfdisk",
     "truncate -s 8M @ && printf '%s\\n' 'label: gpt' 'start=2048, size=4096, type=U, name=\"EFI système\"' "
     "'start=6144, size=2048, type=L, name=\"家 home\"' 'start=8192, size=1024, type=S' "
     "'start=10240, type=21686148-6449-6E6F-744E-656564454649, attrs=\"LegacyBIOSBootable\"' "
     "| sfdisk -q --no-reread --no-tell-kernel --lock=no @",
     "1 2 3 4*"},
    // Slots 3 and 4 stay empty; the first name needs a surrogate pair.
    {"sgdisk512", 512, "sgdisk",
     "truncate -s 8M @ && sgdisk -o -n 1:2048:+1M -c '1:Ünï 😀 家' -t 1:ef00 -n 2:0:+2M -t 2:0700 -c 2:data "
     "-n 5:0:0 -t 5:ef02 -A 5:set:2 @ >/dev/null",
     "1 2 5*"},
    {"fdisk4096", 4096, "fdisk",
     "truncate -s 32M @ && printf 'g\\nn\\n1\\n256\\n+1024\\nn\\n2\\n\\n+512\\nt\\n2\\n"
     "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\\nn\\n3\\n\\n\\nt\\n3\\nswap\\nx\\nn\\n1\\nDonnées €\\nr\\nw\\n' "
     "| fdisk -b 4096 @ >/dev/null",
     "1 2 3"},
};

std::string MakeGptImage(const TMaker& maker, const std::string& name) {
  if (!HaveTools({maker.Tool, "fdisk"})) return "";
  const std::string path = FreshPath(name);
  std::string command = maker.Command;
  for (size_t at; (at = command.find('@')) != std::string::npos;) command.replace(at, 1, ShellQuote(path));
  std::string out;
  if (RunCommand(kToolPath + command + " 2>&1", &out) != 0) {
    ADD_FAILURE() << command << "\n" << out;
    return "";
  }
  return path;
}

class GptOnImages : public ::testing::TestWithParam<TMaker> {};

TEST_P(GptOnImages, DecodesWhatTheToolListsAndComposesItByteForByte) {
  const TMaker& m = GetParam();
  const std::string image = MakeGptImage(m, std::string("gpt-") + m.Name + ".img");
  if (image.empty()) return;
  const TGptRead r = ReadImageGpt(image, m.SectorSize);
  ASSERT_TRUE(r.Result.ok()) << r.Result.Text;
  ASSERT_EQ(r.Used, GptCopy::Primary) << r.Reason;
  EXPECT_EQ(r.Backup.Fault, GptFault::None) << r.Backup.Text;
  EXPECT_EQ(r.Mbr, ProtectiveMbr::Protective);
  EXPECT_TRUE(r.EntryNotes.empty());
  std::string diskGuid;
  EXPECT_EQ(Decoded(*r.Gpt), ToolEntries(image, m.SectorSize, &diskGuid));
  EXPECT_EQ(GuidText(r.Gpt->DiskGuid), diskGuid);
  std::string slots;
  for (const TGptEntry& e : r.Gpt->Entries)
    slots += (slots.empty() ? "" : " ") + std::to_string(e.Index) + (e.LegacyBootable() ? "*" : "");
  EXPECT_EQ(slots, m.Slots);

  const auto runs = Composed(*r.Gpt);
  ASSERT_EQ(runs.size(), 4u);
  for (const auto& [lba, bytes] : runs) EXPECT_EQ(bytes, ReadFileBytes(image, lba * m.SectorSize, bytes.size())) << lba;
}

INSTANTIATE_TEST_SUITE_P(Tools, GptOnImages, ::testing::ValuesIn(kMakers),
                         [](const auto& info) { return std::string(info.param.Name); });

// Damage done to a copy of a sound image: each change flips one byte, zeroes a whole sector,
// or sets a header field and makes the header's checksum right again, so that only the field
// is wrong. Sector -1 is the backup header.
constexpr int64_t kFlip = -1, kZeroSector = -2;
struct TChange { int64_t Sector; size_t Offset; int64_t Value; };
// TextHas: in the faulty copy's text, or in the reason when none is used.
struct TDamage { const char* Name; std::vector<TChange> Changes; GptCopy Used; GptFault Primary, Backup; const char* TextHas; };
void PrintTo(const TDamage& d, std::ostream* os) { *os << d.Name; }

void Apply(const std::string& image, uint32_t ss, uint64_t backup, const TChange& c) {
  const uint64_t lba = c.Sector < 0 ? backup : uint64_t(c.Sector), at = lba * ss + c.Offset;
  if (c.Value == kZeroSector) return WriteFileBytes(image, lba * ss, std::vector<uint8_t>(ss));
  if (c.Value == kFlip) return WriteFileBytes(image, at, {uint8_t(ReadFileBytes(image, at, 1)[0] ^ 1)});
  const auto v = uint32_t(c.Value);
  WriteFileBytes(image, at, {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
  FixHeaderCrc(image, ss, lba);
}

const GptCopy kP = GptCopy::Primary, kB = GptCopy::Backup;
const TDamage kDamages[] = {
    {"PrimaryHeaderCrc", {{1, 40, kFlip}}, kB, GptFault::HeaderCrc, GptFault::None, "checksum of the primary GPT header"},
    {"PrimaryArrayCrc", {{2, 56, kFlip}}, kB, GptFault::ArrayCrc, GptFault::None, "checksum of the primary GPT entry array"},
    {"PrimaryZeroed", {{1, 0, kZeroSector}}, kB, GptFault::Missing, GptFault::None, "no primary GPT header at sector 1"},
    {"EntrySize0", {{1, 84, 0}}, kB, GptFault::BadHeader, GptFault::None, "entry size of 0"},
    {"EntrySize100", {{1, 84, 100}}, kB, GptFault::BadHeader, GptFault::None, "entry size of 100"},
    {"EntrySize64K", {{1, 84, 65536}}, kB, GptFault::BadHeader, GptFault::None, "entry size of 65536"},
    {"EntryCount2p31", {{1, 80, 0x80000000}}, kB, GptFault::BadHeader, GptFault::None, "2147483648 entries"},
    {"HeaderElsewhere", {{1, 24, 5}}, kB, GptFault::BadHeader, GptFault::None, "lies at sector 5"},
    {"ArrayOverHeader", {{1, 72, 1}}, kB, GptFault::BadHeader, GptFault::None, "entry array at sector 1"},
    {"HeaderSize4097", {{1, 12, 4097}}, kB, GptFault::BadHeader, GptFault::None, "4097 bytes"},
    {"BackupHeaderCrc", {{-1, 48, kFlip}}, kP, GptFault::None, GptFault::HeaderCrc, "checksum of the backup GPT header"},
    {"BackupDiskGuid", {{-1, 60, 0x12345678}}, kP, GptFault::None, GptFault::Disagrees, "differs from the primary: disk GUID"},
    {"BackupUsableRange", {{-1, 48, 3000}}, kP, GptFault::None, GptFault::Disagrees, "from the primary: usable range"},
    {"BothHeaders", {{1, 40, kFlip}, {-1, 40, kFlip}}, GptCopy::None, GptFault::HeaderCrc, GptFault::HeaderCrc,
     "Neither copy of the GPT is usable"},
    {"DiskGrown", {}, kP, GptFault::None, GptFault::None, ""},  // the backup stays where the primary says
};

class GptDamageOnImages : public ::testing::TestWithParam<std::tuple<TMaker, TDamage>> {};

TEST_P(GptDamageOnImages, UsesTheSoundCopyAndNamesWhatIsWrongWithTheOther) {
  const auto& [m, d] = GetParam();
  const std::string image = MakeGptImage(m, std::string("gpt-damage-") + m.Name + "-" + d.Name + ".img");
  if (image.empty()) return;
  const TGptRead sound = ReadImageGpt(image, m.SectorSize);
  ASSERT_TRUE(sound.Gpt);
  for (const TChange& c : d.Changes) Apply(image, m.SectorSize, sound.Gpt->BackupLba, c);
  if (d.Changes.empty()) std::filesystem::resize_file(image, std::filesystem::file_size(image) + (1 << 20));
  const TGptRead r = ReadImageGpt(image, m.SectorSize);
  ASSERT_TRUE(r.Result.ok()) << r.Result.Text;
  EXPECT_EQ(r.Used, d.Used);
  EXPECT_EQ(r.Primary.Fault, d.Primary) << r.Primary.Text;
  EXPECT_EQ(r.Backup.Fault, d.Backup) << r.Backup.Text;
  const std::string& text = d.Used == GptCopy::None ? r.Reason : d.Used == GptCopy::Primary ? r.Backup.Text : r.Primary.Text;
  EXPECT_NE(text.find(d.TextHas), std::string::npos) << text;
  ASSERT_EQ(bool(r.Gpt), d.Used != GptCopy::None);
  if (!r.Gpt) return;
  EXPECT_EQ(r.Gpt->Entries, sound.Gpt->Entries);
  // Composing from either copy rebuilds the disk's tables as they were.
  EXPECT_EQ(Composed(*r.Gpt), Composed(*sound.Gpt));
}

INSTANTIATE_TEST_SUITE_P(Damage, GptDamageOnImages,
                         ::testing::Combine(::testing::Values(kMakers[0], kMakers[2]), ::testing::ValuesIn(kDamages)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).Name) + "_" + std::get<1>(info.param).Name;
                         });

// Entries no tool writes, put there by this codec: each problem named with the entry's slot,
// the entries kept. A read error in the entry array fails the read, naming sector and errno.
TEST(GptEntryNotesOnImages, ReversedOutsideAndOverlappingEntriesOrAnUnreadableArray) {
  const std::string image = MakeGptImage(kMakers[0], "gpt-notes.img");
  if (image.empty()) return;
  TGpt gpt = *ReadImageGpt(image, 512).Gpt;
  gpt.Entries[1].FirstLba = gpt.Entries[0].LastLba;      // 2 overlaps 1
  gpt.Entries[2].LastLba = gpt.Entries[2].FirstLba - 1;  // 3 reversed
  gpt.Entries[3].LastLba = gpt.LastUsableLba + 1;        // 4 past the usable end
  for (const auto& [lba, bytes] : Composed(gpt)) WriteFileBytes(image, lba * 512, bytes);
  const TGptRead r = ReadImageGpt(image, 512);
  ASSERT_EQ(r.Used, GptCopy::Primary);
  EXPECT_EQ(r.Backup.Fault, GptFault::None);
  EXPECT_EQ(r.Gpt->Entries, gpt.Entries);
  std::vector<std::tuple<uint32_t, GptEntryProblem, uint32_t>> notes;
  for (const TGptEntryNote& n : r.EntryNotes) notes.emplace_back(n.Index, n.Problem, n.Other);
  EXPECT_EQ(notes, (std::vector<std::tuple<uint32_t, GptEntryProblem, uint32_t>>{
                       {3, GptEntryProblem::Reversed, 0},
                       {4, GptEntryProblem::OutsideUsable, 0},
                       {2, GptEntryProblem::Overlaps, 1}}));
  EXPECT_EQ(r.EntryNotes.back().Text, "Entry 2 overlaps entry 1.");

  auto faults = std::make_shared<FaultSource::State>();
  faults->readFaults[2 * 512] = Fault{FaultKind::Error, EIO, -1};
  const TGptRead bad = ReadImageGpt(image, 512, faults);
  EXPECT_TRUE(bad.Result.failed() && !bad.Gpt);
  EXPECT_EQ(std::make_pair(bad.Result.Errno, bad.Result.Sector), std::make_pair(EIO, std::optional<Lba>(2)));
  EXPECT_NE(bad.Result.Text.find("primary GPT entry array at sector 2"), std::string::npos) << bad.Result.Text;
}

TEST(GptMbrOnImages, HybridOrNoProtectiveEntry) {
  const TMaker hybrid{"hybrid", 512, "sgdisk", "truncate -s 4M @ && sgdisk -o -n 1:2048:+1M -t 1:0700 -n 2:0:0 -h 1 @ >/dev/null", ""};
  const std::string image = MakeGptImage(hybrid, "gpt-hybrid.img");
  if (image.empty()) return;
  EXPECT_EQ(ReadImageGpt(image, 512).Mbr, ProtectiveMbr::Hybrid);
  WriteFileBytes(image, 446 + 4, {0x07});  // the 0xEE entry turned into an NTFS one
  const TGptRead r = ReadImageGpt(image, 512);
  EXPECT_EQ(r.Mbr, ProtectiveMbr::NotGpt);
  EXPECT_EQ(r.Used, GptCopy::Primary);  // the GPT itself is still read
}

// A table composed from nothing, as a recovery would make one, on disks too small and large
// enough.
TEST(GptCompose, NewTableReadsBackWithItsNamesAndRefusesWhatDoesNotFit) {
  for (uint32_t ss : {512u, 4096u}) {
    SCOPED_TRACE(ss);
    TGpt gpt;
    gpt.SectorSize = ss; gpt.DiskSectors = 600; gpt.BackupLba = 599; gpt.EntryCount = 16;
    gpt.DiskGuid = *ParseGuid("01234567-89ab-cdef-0123-456789ABCDEF");
    gpt.FirstUsableLba = 2 + gpt.ArraySectors();
    gpt.LastUsableLba = gpt.BackupLba - gpt.ArraySectors() - 1;
    // A stray byte becomes U+FFFD, the 35th unit; the astral character after it does not fit
    // whole and is left out.
    TGptEntry e;
    e.Index = 16; e.Type = *GptTypeForFsKind(fkNtfs); e.FirstLba = gpt.FirstUsableLba; e.LastLba = gpt.LastUsableLba;
    e.Name = std::string(34, 'n') + "\xff" + "\xF0\x9F\x98\x80";
    // Units after the terminating zero are kept as they were.
    TGptEntry kept = e;
    kept.Index = 1; kept.NameUnits = {'a', 0, 'z'}; kept.Name = "a";
    gpt.Entries = {kept, e};
    MemorySectors disk(size_t{600} * ss);
    std::vector<TGptWrite> writes;
    ASSERT_TRUE(ComposeGpt(gpt, writes).ok());
    for (const TGptWrite& w : writes) std::copy(w.Bytes.begin(), w.Bytes.end(), disk.data.begin() + w.Lba * ss);
    const TGptRead r = ReadGpt(disk, ss, 600);
    ASSERT_EQ(r.Used, GptCopy::Primary) << r.Reason;
    EXPECT_EQ(r.Backup.Fault, GptFault::None) << r.Backup.Text;
    EXPECT_EQ(r.Mbr, ProtectiveMbr::None);
    ASSERT_EQ(r.Gpt->Entries.size(), 2u);
    EXPECT_EQ(r.Gpt->Entries[0], kept);
    EXPECT_EQ(r.Gpt->Entries[1].Name, std::string(34, 'n') + "\xEF\xBF\xBD");
    EXPECT_EQ(GptTypeName(r.Gpt->Entries[1].Type), "Microsoft basic data");

    gpt.Entries[1].Index = 17;  // past the array
    EXPECT_TRUE(ComposeGpt(gpt, writes).failed());
    EXPECT_TRUE(writes.empty());
    gpt.Entries[1].Index = 1;  // taken twice
    EXPECT_TRUE(ComposeGpt(gpt, writes).failed());
    gpt.Entries[1].Index = 2;
    gpt.LastUsableLba += 1;  // runs into the backup array
    EXPECT_TRUE(ComposeGpt(gpt, writes).failed());
  }
  // Nothing is read from a disk too small for a GPT, not even sector 0 of an empty one.
  for (uint64_t sectors : {0, 5}) {
    MemorySectors tiny(sectors * 512);
    const TGptRead r = ReadGpt(tiny, 512, sectors);
    EXPECT_TRUE(r.Result.ok());
    EXPECT_FALSE(r.Gpt);
    EXPECT_TRUE(tiny.reads.empty());
    EXPECT_NE(r.Reason.find("cannot hold a GPT"), std::string::npos) << r.Reason;
  }
  MemorySectors tiny(5 * 512);
  EXPECT_TRUE(ReadGpt(tiny, 1024 + 512, 5).Result.failed());
}

// The common types are named as sfdisk names them; every other one shows as its GUID.
TEST(GptTypeNamesOnImages, AsTheToolNamesThem) {
  if (!HaveTools({"sfdisk"})) return;
  std::string out;
  ASSERT_EQ(RunCommand(kToolPath + "sfdisk --label gpt -T", &out), 0);
  std::istringstream lines(out);
  int named = 0;
  for (std::string line; std::getline(lines, line);) {
    const std::optional<TGuid> type = ParseGuid(line.substr(0, 36));
    if (!type) continue;
    const std::string name = GptTypeName(*type), listed = line.substr(std::min(line.size(), size_t{38}));
    EXPECT_TRUE(name == listed || name == GuidText(*type)) << line;
    named += name == listed;
  }
  EXPECT_EQ(named, 12);  // EFI System ... Linux extended boot, each of GptTypeName's table
}

// The first three fields are stored little-endian (GUIDs as text: GptOnImages, against fdisk).
TEST(GptGuid, TextRoundTripAndByteOrder) {
  const TGuid g = *ParseGuid("00112233-4455-6677-8899-AABBCCDDEEFF");
  EXPECT_EQ(g.Bytes, (std::array<uint8_t, 16>{0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66, 0x88, 0x99, 0xAA, 0xBB,
                                              0xCC, 0xDD, 0xEE, 0xFF}));
  EXPECT_EQ(ParseGuid("00112233-4455-6677-8899-aabbccddeeff"), g);
  for (const char* bad : {"", "00112233-4455-6677-8899-AABBCCDDEEF", "00112233-4455-6677-8899-AABBCCDDEEFG",
                          "00112233+4455-6677-8899-AABBCCDDEEFF", " 0112233-4455-6677-8899-AABBCCDDEEFF"})
    EXPECT_FALSE(ParseGuid(bad)) << bad;
  EXPECT_EQ(GptTypeForFsKind(fkLinuxExt2), ParseGuid("0FC63DAF-8483-4772-8E79-3D69D8477DE4"));
  EXPECT_FALSE(GptTypeForFsKind(fkOther));
}

}  // namespace
}  // namespace qm::test
