// GetRootDirectory and the preview rows on volumes made by mkfs.fat, mkntfs, mcopy and ntfscp,
// with sectors of 512 and of 4096 bytes, compared with what mdir and ntfsls show, with refusals
// and the drive's busy flag; the time conversions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <optional>
#include <regex>
#include <set>
#include <sstream>

#include "browse/RootDirectory.h"
#include "disk/Bytes.h"
#include "model/FsDetect.h"
#include "model/Text.h"
#include "support/Fixtures.h"
#include "support/ScriptedHost.h"

namespace qm::test {
namespace {

constexpr const char* kUnrecognized = "Unrecognized file system or partition has been destroyed.";

// "name|dir|size|mm/dd/yyyy hh:nn AM/PM", the name in lower case. The index entries of NTFS
// system files carry sizes older than the files' own, which the tools show: those are left out.
std::string Row(std::string name, bool dir, std::string size, const std::string& when) {
  const std::string shownSize = name[0] == '$' ? "*" : size;
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name + (dir ? "|dir|" : "|file|") + shownSize + "|" + when;
}

std::string When(const std::smatch& m, int y, int mo, int d, int h, int mi) {
  const int hour = std::stoi(m[h]);
  char text[32];
  std::snprintf(text, sizeof text, "%02d/%02d/%04d %02d:%02d %s", mo > 0 ? std::stoi(m[mo]) : -mo, std::stoi(m[d]),
                std::stoi(m[y]), hour % 12 == 0 ? 12 : hour % 12, std::stoi(m[mi]), hour < 12 ? "AM" : "PM");
  return text;
}

// mdir: "BASE     EXT   size-or-<DIR> yyyy-mm-dd  hh:mm  [long name]"; ntfsls -l -F:
// "    1234 Dec  6 14:55 2026 name", a directory's name ending in "/".
std::set<std::string> ToolRows(const std::string& out, bool ntfs) {
  static const std::regex mdir(R"( *(\S+) +(\d+)-(\d+)-(\d+) +(\d+):(\d+) *(.*))");
  static const std::regex ntfsls(R"( *(\d+) (\w{3}) +(\d+) (\d+):(\d+) (\d+) (.*))");
  static const std::string months = "JanFebMarAprMayJunJulAugSepOctNovDec";
  std::set<std::string> rows;
  std::istringstream lines(out);
  std::smatch m;
  for (std::string line; std::getline(lines, line);) {
    if (ntfs && std::regex_match(line, m, ntfsls) && m[7] != "./" && m[7] != "../") {
      std::string name = m[7];
      const bool dir = name.back() == '/';
      if (dir) name.pop_back();
      rows.insert(Row(name, dir, m[1], When(m, 6, -static_cast<int>(months.find(m[2]) / 3 + 1), 3, 4, 5)));
    }
    const std::string rest = line.size() > 12 ? line.substr(12) : "";
    if (!ntfs && line[0] != ' ' && std::regex_match(rest, m, mdir)) {
      std::string name = TrimBlanks(line.substr(0, 8)), ext = TrimBlanks(line.substr(9, 3));
      if (!ext.empty()) name += "." + ext;
      const bool dir = m[1] == "<DIR>";
      rows.insert(Row(m[7] != "" ? m[7].str() : name, dir, dir ? "0" : m[1].str(), When(m, 2, 3, 4, 5, 6)));
    }
  }
  return rows;
}

std::set<std::string> OurRows(const TRootEntries& entries) {
  std::set<std::string> rows;
  for (const TPreviewRow& r : BuildPreviewRows(entries))
    rows.insert(Row(r.Name, r.Directory, r.SizeText, r.Deleted ? "deleted" : r.Created));
  return rows;
}

// A host that notes whether the drive is busy whenever the reader pumps messages.
struct BusyWatch : ScriptedHost {
  const TPhysicalDrv* drive = nullptr;
  bool sawIdle = false;
  void ProcessMessages() override { ScriptedHost::ProcessMessages(), sawIdle |= !drive->Scanning; }
};

struct KindCase {
  const char* kind;  // as mkimage takes it: a volume of 4096-byte sectors is "fat32:4096"
  const char* size;  // of the partition, in 512-byte sectors
  uint8_t fsKind;
  const char* image = "48M";
};

void PrintTo(const KindCase& c, std::ostream* os) {
  std::string name = c.kind;
  std::replace(name.begin(), name.end(), ':', '_');
  *os << name;
}

class RootDirectoryOnImages : public ::testing::TestWithParam<KindCase> {};

// Roots large enough to outgrow one FAT32 cluster or one NTFS index block, with long, mixed-case
// and Unicode names, an empty file, a folder and deleted files. The tools' listings show local
// time; so does the preview.
TEST_P(RootDirectoryOnImages, RowsMatchTheToolsListing) {
  const KindCase& c = GetParam();
  const bool ntfs = c.fsKind == fkNtfs;
  // A sector of 4096 bytes makes clusters, file records and index blocks of 4096 bytes: more
  // names fill them.
  const bool largeSectors = std::string(c.kind).find(':') != std::string::npos;
  if (!HaveTools({"mkntfs", "ntfscp", "ntfsls", "mkfs.fat", "mcopy", "mdir", "mdel", "mmd"})) return;
  std::string steps = "table 'label: dos\\nunit: sectors\\n2048," + std::string(c.size) + ",c' fs 1 " + c.kind + " QMLABEL";
  // So many names that the NTFS root keeps its index root in an extension record.
  std::vector<std::string> names = {"README.TXT", "A long name.txt", "Mixed.TXT", "lower.TXT",
                                    "UPPER.txt",  "EMPTY.TXT",       "GONE.BIN",  "Deleted long name.dat"};
  if (ntfs) names.push_back("Ünïcode näme.txt");
  const char lastLetter = largeSectors ? 'u' : ntfs ? 'm' : 'd';
  for (char letter = 'a'; letter < lastLetter; ++letter) names.push_back(std::string(100, letter) + ".dat");
  for (const std::string& name : names) {
    const std::string src = FreshPath(std::to_string(steps.size()) + ".src");
    std::ofstream(src) << std::string(name == "EMPTY.TXT" ? 0 : steps.size(), 'q');
    steps += " file 1 " + src + " " + ShellQuote(name);
  }
  QM_IMAGE(image, "root-" + ::testing::PrintToString(c) + ".img", c.image, steps);

  std::set<std::string> expected;
  std::string out;
  if (ntfs) {
    ASSERT_EQ(RunOnVolume(image, 2048, std::stoull(c.size), "ntfsls -a -s -l -F", &out), 0);
    expected = ToolRows(out, true);
  } else {
    const std::string mtools = "MTOOLS_SKIP_CHECK=1 ", at = " -i " + ShellQuote(image + "@@1048576") + " ";
    ASSERT_EQ(RunCommand(mtools + "mmd" + at + "::SubDir && " + mtools + "mdel" + at + "::GONE.BIN '::Deleted long name.dat'"), 0);
    ASSERT_EQ(RunCommand(mtools + "mdir" + at + "::", &out), 0);
    expected = ToolRows(out, false);
  }
  ASSERT_GE(expected.size(), names.size() - 2) << out;

  BusyWatch host;
  auto drive = ReadImage(image);
  host.drive = drive.get();
  TPartition& partition = *drive->Root.Children.front();
  ASSERT_EQ(partition.FsKind, c.fsKind);
  TRootEntries entries;
  entries.FatEntries.push_back(std::make_unique<TMidEntry>());  // a stale record is dropped
  ASSERT_TRUE(GetRootDirectory(*drive, partition, entries).ok());
  // The drive is busy while its root is read (the FAT reader lets the window breathe), and no
  // longer after.
  EXPECT_FALSE(host.sawIdle);
  if (!ntfs) {
    EXPECT_GT(host.processCalls, 0);
  }
  EXPECT_FALSE(drive->Scanning);
  std::set<std::string> ours = OurRows(entries);
  if (!ntfs) {
    // Deleted files are listed as well: a lost short name's first byte shows as "?".
    std::set<std::string> deleted;
    for (auto it = ours.begin(); it != ours.end();)
      it = it->find("|deleted") != std::string::npos ? (deleted.insert(it->substr(0, it->find('|'))), ours.erase(it)) : std::next(it);
    EXPECT_EQ(deleted, (std::set<std::string>{"?one.bin", "deleted long name.dat"}));
  }
  EXPECT_EQ(ours, expected);
  // The table reader finds the label in the root directory (FAT) or in $Volume (NTFS); behind an
  // MFT placed beyond the disk nothing is read nor asked, and the label stays as it was.
  EXPECT_EQ(partition.VolumeLabel, "QMLABEL");
  if (ntfs) {
    StoreLE<uint64_t>(&partition.BootSector[0x30], 0xFFFFFF);
    ReadVolumeLabel(*drive, partition);
    EXPECT_EQ(partition.VolumeLabel, "QMLABEL");
  }
  EXPECT_TRUE(host.messages.empty());
  // Kinds without a root reader are refused with the reason (HPFS too, which the window refuses
  // before asking); the drive's busy flag is left as it was found.
  for (const uint8_t kind : {fkHpfs, fkLinuxExt2}) {
    partition.FsKind = kind;
    drive->Scanning = kind == fkHpfs;
    const Outcome refused = GetRootDirectory(*drive, partition, entries);
    EXPECT_EQ(refused.Caption + ": " + refused.Text, std::string("Root directory: ") + kUnrecognized);
    EXPECT_EQ(drive->Scanning, kind == fkHpfs);
  }
}

// FAT32 of 4096-byte sectors needs 65525 clusters of at least 4096 bytes: a sparse image of
// 300 MiB.
INSTANTIATE_TEST_SUITE_P(Kinds, RootDirectoryOnImages,
                         ::testing::Values(KindCase{"fat12", "8192", fkFat12}, KindCase{"fat16", "40960", fkFat16},
                                           KindCase{"fat32", "80000", fkFat32}, KindCase{"ntfs", "80000", fkNtfs},
                                           KindCase{"fat16:4096", "40960", fkFat16},
                                           KindCase{"fat32:4096", "600000", fkFat32, "300M"},
                                           KindCase{"ntfs:4096", "40960", fkNtfs}));

// Sets the time zone for one test and puts the old one back.
struct TimeZoneScope {
  explicit TimeZoneScope(const char* zone) { ::setenv("TZ", zone, 1), ::tzset(); }
  ~TimeZoneScope() { previous ? ::setenv("TZ", previous->c_str(), 1) : ::unsetenv("TZ"), ::tzset(); }
  const std::optional<std::string> previous = std::getenv("TZ") ? std::optional<std::string>(std::getenv("TZ")) : std::nullopt;
};

TDateTime Dos(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
  return DosDateTimeToDateTime(static_cast<uint16_t>((y - 1980) << 9 | mo << 5 | d), static_cast<uint16_t>(h << 11 | mi << 5 | s / 2));
}
TDateTime Ntfs(int64_t unixSeconds) { return NtfsTimeToDateTime(static_cast<uint64_t>(unixSeconds + 11644473600) * 10000000); }

TEST(PreviewTime, ConvertsAndFormatsDiskTimes) {
  EXPECT_DOUBLE_EQ(Dos(1980, 1, 1), 29221.0);
  EXPECT_DOUBLE_EQ(Dos(2000, 1, 1, 18), 36526.75);
  const TimeZoneScope zone("EST5");
  const std::string zero = "12/30/1899 12:00 AM";
  const std::pair<TDateTime, std::string> cases[] = {
      {Dos(2024, 2, 29, 12, 34, 58), "02/29/2024 12:34 PM"}, {Dos(2050, 12, 31, 23, 59, 58), "12/31/2050 11:59 PM"},
      {Dos(1999, 7, 4, 0, 5), "07/04/1999 12:05 AM"},
      {DosDateTimeToDateTime(0, 0), zero},  // no date at all
      {Dos(2060, 12, 31), zero},            // after 2050
      {Dos(2023, 2, 29), zero}, {Dos(2024, 13, 1), zero}, {Dos(2024, 4, 31), zero},
      {Dos(2024, 1, 1, 24), zero}, {Dos(2024, 1, 1, 23, 60), zero}, {Dos(2024, 1, 1, 23, 59, 60), zero},
      {Ntfs(1000000000), "09/08/2001 08:46 PM"},  // 01:46:40 UTC
      {Ntfs(315550800), "01/01/1980 12:00 AM"},   // the first local DOS day
      {Ntfs(315550799), zero},                    // a second before it
      {Ntfs(2556144000 + 18000 + 86399), zero},   // 2051, local
      {NtfsTimeToDateTime(0), zero}, {NtfsTimeToDateTime(UINT64_MAX), zero},
  };
  for (const auto& [value, shown] : cases) EXPECT_EQ(FormatPreviewTime(value), shown) << value;
}

}  // namespace
}  // namespace qm::test
