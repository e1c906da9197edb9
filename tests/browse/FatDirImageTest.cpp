// The FAT root directory reader on volumes made by mkfs.fat and filled by mcopy, mmd and
// mdel: the listing must hold what mdir shows, the deleted files besides, and the label.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

#include "browse/FatDir.h"
#include "model/FsDetect.h"
#include "model/Text.h"
#include "support/Fixtures.h"
#include "support/ScriptedHost.h"

namespace qm::test {
namespace {

constexpr uint64_t kStart = 2048;

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; });
  return s;
}

std::string DisplayName(const TMidEntry& m) {
  if (!m.LongName.empty()) return m.LongName;
  const std::string ext = EntryExtension(m.RawEntry);
  return EntryBaseName(m.RawEntry) + (ext.empty() ? "" : "." + ext);
}

std::string HostFile(const std::string& name, size_t bytes) {
  const std::string path = FreshPath(name);
  std::ofstream(path, std::ios::binary) << std::string(bytes, 'q');
  return path;
}

std::string Mtools(const std::string& image, const std::string& tool, const std::string& args) {
  std::string out;
  const std::string volume = ShellQuote(image + "@@" + std::to_string(kStart * 512));
  const int status = RunCommand("MTOOLS_SKIP_CHECK=1 " + tool + " -i " + volume + " " + args + " 2>&1", &out);
  EXPECT_EQ(status, 0) << tool << ": " << out;
  return out;
}

struct MdirListing {
  std::string label;
  std::set<std::string> rows;  // "name|dir|size", short names in lower case
};

// mdir's lines: "BASE     EXT   size-or-<DIR> date time  [long name]".
MdirListing ParseMdir(const std::string& text) {
  MdirListing listing;
  std::istringstream in(text);
  std::string line;
  bool inDirectory = false;
  while (std::getline(in, line)) {
    const std::string labelLead = " Volume in drive : is ";
    if (line.rfind(labelLead, 0) == 0) listing.label = TrimBlanks(line.substr(labelLead.size()));
    if (line.rfind("Directory for", 0) == 0) {
      inDirectory = true;
      continue;
    }
    if (!inDirectory || line.size() < 13 || line[0] == ' ') continue;
    const std::string base = TrimBlanks(line.substr(0, 8)), ext = TrimBlanks(line.substr(9, 3));
    std::istringstream rest(line.substr(12));
    std::string size, date, time, longName;
    rest >> size >> date >> time;
    std::getline(rest, longName);
    longName = TrimBlanks(longName);
    const std::string name = !longName.empty() ? longName : Lower(base + (ext.empty() ? "" : "." + ext));
    const bool dir = size == "<DIR>";
    listing.rows.insert(name + (dir ? "|dir|0" : "|file|" + size));
  }
  return listing;
}

// Restores the table reader's FAT label source when a test ends.
struct LabelReaderScope {
  LabelReaderScope() { InstallFatLabelReader(); }
  ~LabelReaderScope() { SetFatLabelReader(nullptr); }
};

struct KindCase {
  const char* kind;
  uint32_t sectors;
  uint8_t fsKind;
  // Display names of the short names typed as readme.txt, lower.TXT, UPPER.txt, EMPTY.TXT.
  std::set<std::string> shortNames;
};

class FatDirOnImages : public ::testing::TestWithParam<KindCase> {};

TEST_P(FatDirOnImages, ListsWhatMdirShowsPlusDeletedFilesAndTheLabel) {
  if (!HaveTools({"mcopy", "mdir", "mdel", "mmd", "mkfs.fat"})) return;
  const KindCase& c = GetParam();
  const std::string small = HostFile("small.txt", 12), big = HostFile("big.bin", 3000), none = HostFile("none.txt", 0);
  std::string steps = "table 'label: dos\\nunit: sectors\\n" + std::to_string(kStart) + "," + std::to_string(c.sectors) +
                      ",6' fs 1 " + c.kind + " QMLABEL";
  const std::pair<std::string, std::string> files[] = {
      {small, "readme.txt"}, {big, "A Long File Name.bin"}, {small, "Mixed.TXT"}, {small, "lower.TXT"},
      {small, "UPPER.txt"},  {none, "EMPTY.TXT"},           {big, "GONE.BIN"},   {big, "Deleted Long Name.dat"},
      {small, "Another rather long file name number one.text"}, {small, "Another rather long file name number two.text"}};
  for (const auto& [src, dest] : files) steps += " file 1 " + ShellQuote(src) + " " + ShellQuote(dest);
  QM_IMAGE(image, std::string("fat-") + c.kind + ".img", "64M", steps);
  Mtools(image, "mmd", "::SubDir");
  Mtools(image, "mdel", "::GONE.BIN '::Deleted Long Name.dat'");
  const MdirListing mdir = ParseMdir(Mtools(image, "mdir", "::"));
  ASSERT_EQ(mdir.rows.size(), 9u) << ::testing::PrintToString(mdir.rows);

  DriveRegistryScope registry;
  ScriptedHost host;
  LabelReaderScope labels;
  auto drive = ReadDrive(registry.AttachImage(image));
  ASSERT_FALSE(drive->Root.Children.empty());
  TPartition& partition = *drive->Root.Children.front();
  ASSERT_EQ(partition.FsKind, c.fsKind);
  EXPECT_EQ(partition.VolumeLabel, mdir.label);
  EXPECT_EQ(mdir.label, "QMLABEL");

  TMidEntryList list;
  EXPECT_TRUE(EnumDir(*drive, partition, &list, nullptr));
  SortMidEntries(list);
  std::set<std::string> live, deleted, shortNames;
  for (const auto& m : list) {
    const std::string name = DisplayName(*m);
    const std::string size = IsFileEntry(*m) ? std::to_string(EntryFileSize(m->RawEntry)) : "0";
    const std::string row = (IsFileEntry(*m) ? "|file|" : "|dir|") + size;
    EXPECT_EQ(m->Deleted, name[0] == '\xE5' || name == "Deleted Long Name.dat" ? 1 : 0) << name;
    EXPECT_EQ(m->DirCluster, c.fsKind == fkFat32 ? GetU32(partition.BootSector, 0x2C) : 0u);
    (m->Deleted ? deleted : live).insert((m->LongName.empty() ? Lower(name) : name) + row);
    if (m->LongName.empty()) shortNames.insert(name);
  }
  EXPECT_EQ(live, mdir.rows);
  EXPECT_EQ(deleted, (std::set<std::string>{"\xe5one.bin|file|3000", "Deleted Long Name.dat|file|3000"}));
  for (const std::string& expected : c.shortNames) EXPECT_TRUE(shortNames.count(expected)) << expected;
  // A deleted name begins with 0xE5, which sorts after every letter and digit.
  ASSERT_EQ(list.size(), 11u);
  EXPECT_EQ(list[9]->Deleted + list[10]->Deleted, 2);
  EXPECT_TRUE(host.messages.empty());

  if (c.fsKind == fkFat32) {
    // The root was made to outgrow one cluster, so the walk followed its chain.
    TFatLayout layout;
    ASSERT_TRUE(ReadFatLayout(partition, layout));
    std::vector<uint32_t> chain;
    EXPECT_TRUE(GetClusNumChain(*drive, partition, layout, layout.RootCluster, chain));
    EXPECT_GT(chain.size() * layout.ClusterBytes, 16u * 32u);
    EXPECT_GE(chain.size(), 2u);
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, FatDirOnImages,
                         ::testing::Values(KindCase{"fat12", 8192, fkFat12, {"readme.txt", "lower.txt", "UPPER.txt", "Empty.txt"}},
                                           KindCase{"fat16", 40960, fkFat16, {"readme.txt", "lower.txt", "UPPER.txt", "Empty.txt"}},
                                           KindCase{"fat32", 80000, fkFat32, {"README.TXT", "lower.txt", "UPPER.TXT", "EMPTY.TXT"}}),
                         [](const auto& info) { return std::string(info.param.kind); });

}  // namespace
}  // namespace qm::test
