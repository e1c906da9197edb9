// The NTFS reader on a volume made by mkntfs and filled by ntfscp, compared with what ntfsls
// lists for the same volume.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>
#include <tuple>

#include "browse/NtfsReader.h"
#include "disk/SectorIO.h"
#include "model/FsDetect.h"
#include "support/Fixtures.h"
#include "support/ScriptedHost.h"

namespace qm::test {
namespace {

using Row = std::tuple<std::string, bool, uint64_t>;  // name, directory, size

constexpr uint64_t kStart = 2048;

// A volume whose root has outgrown one index block: long names fill blocks quickly.
std::string FilledVolume(const std::string& name) {
  if (!HaveTools({"mkntfs", "ntfscp", "ntfsls"})) return "";
  std::string steps = "table 'label: dos\\n2048,,7' fs 1 ntfs DATA";
  for (int i = 0; i < 12; ++i) {
    const std::string src = FreshPath(name + ".src" + std::to_string(i));
    std::ofstream(src) << std::string(static_cast<size_t>(i * 300 + 1), 'x');
    steps += " file 1 " + src + " " + ShellQuote(std::string(100, static_cast<char>('a' + i)) + ".dat");
  }
  const std::string src = FreshPath(name + ".src-u");
  std::ofstream(src) << "hi";
  steps += " file 1 " + src + " " + ShellQuote("Ünïcode näme.txt");
  return MakeImage(name, "16M", steps);
}

// What ntfsls shows for the volume at sector 2048 of `image`: every entry but "./" and "../".
std::vector<Row> NtfslsRows(const std::string& image) {
  const std::string volume = FreshPath("ntfsls.vol");
  EXPECT_EQ(RunCommand("dd if=" + ShellQuote(image) + " of=" + ShellQuote(volume) + " bs=512 skip=2048 status=none"), 0);
  std::string out;
  EXPECT_EQ(RunCommand("ntfsls -a -s -l -F " + ShellQuote(volume) + " 2>/dev/null", &out), 0);
  std::vector<Row> rows;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    // "    1234 Dec  6 14:55 2026 name" (a directory's name ends in "/")
    std::istringstream fields(line);
    uint64_t size = 0;
    std::string month, day, time, year;
    fields >> size >> month >> day >> time >> year;
    std::string name;
    std::getline(fields >> std::ws, name);
    if (name == "./" || name == "../") continue;
    const bool dir = !name.empty() && name.back() == '/';
    if (dir) name.pop_back();
    rows.emplace_back(name, dir, size);
  }
  std::sort(rows.begin(), rows.end());
  return rows;
}

std::vector<Row> Rows(const std::vector<TntFile>& list, bool withSizesOfSystemFiles) {
  std::vector<Row> rows;
  for (const TntFile& f : list) {
    if (f.Name == ".") continue;
    const bool dir = (f.FileFlags & 0x10000000) != 0;
    const bool system = f.Name[0] == '$';
    rows.emplace_back(f.Name, dir, system && !withSizesOfSystemFiles ? 0 : f.RealSize);
  }
  std::sort(rows.begin(), rows.end());
  return rows;
}

TEST(NtfsReaderOnImages, ListsWhatNtfslsLists) {
  DriveRegistryScope scope;
  const std::string image = FilledVolume("ntfs-filled.img");
  if (image.empty()) return;
  auto drive = ReadDrive(scope.AttachImage(image));
  ASSERT_EQ(drive->Root.Children.at(0)->FsKind, fkNtfs);
  ScriptedHost host;
  std::vector<TntFile> list;
  ASSERT_TRUE(GetNTFSFileList(*drive, *drive->Root.Children[0], list));
  EXPECT_TRUE(host.messages.empty());
  EXPECT_EQ(std::count_if(list.begin(), list.end(), [](const TntFile& f) { return f.Name == "."; }), 1);

  // The index entries of the metadata files carry the sizes mkntfs gave them, not those
  // ntfsls reads from the files themselves: for them names and kinds are compared.
  std::vector<Row> reference = NtfslsRows(image);
  for (auto& [name, dir, size] : reference)
    if (name[0] == '$') size = 0;
  ASSERT_GT(reference.size(), 20u);
  EXPECT_EQ(Rows(list, false), reference);
}

}  // namespace
}  // namespace qm::test
