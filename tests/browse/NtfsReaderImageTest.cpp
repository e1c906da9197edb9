// The NTFS reader on volumes made by mkntfs and filled by ntfscp, compared with what ntfsls
// lists for the same volume; then the same volume with its root record or one index block
// damaged.
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

struct Volume {
  std::unique_ptr<TPhysicalDrv> drive;
  TPartition* partition = nullptr;
};

Volume OpenVolume(DriveRegistryScope& scope, const std::string& image) {
  Volume v;
  v.drive = ReadDrive(scope.AttachImage(image));
  for (TPartition* p : v.drive->AllPartitions)
    if (p->FsKind == fkNtfs) v.partition = p;
  EXPECT_NE(v.partition, nullptr);
  return v;
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
  Volume v = OpenVolume(scope, image);
  ASSERT_NE(v.partition, nullptr);
  ScriptedHost host;
  std::vector<TntFile> list;
  ASSERT_TRUE(GetNTFSFileList(*v.drive, *v.partition, list));
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

// The root record and the index blocks of the volume, found from its own structures.
struct RootPlace {
  uint64_t recordSector = 0;
  std::vector<uint64_t> blockSectors;
  uint64_t blockSectorsEach = 0;
};

RootPlace FindRoot(const Volume& v) {
  RootPlace r;
  const TSector& boot = v.partition->BootSector;
  const uint64_t spc = boot[0x0D];
  r.recordSector = v.partition->AbsoluteStart() + GetU64(boot, 0x30) * spc + 10;
  std::array<uint8_t, kFileRecordSize> rec{};
  EXPECT_TRUE(ReadSectors(v.drive->DriveNumber, r.recordSector, 2, rec.data(), false, true));
  TAttribute root, alloc;
  EXPECT_TRUE(ReadAttribute(rec, kAttrIndexRoot, root));
  EXPECT_TRUE(ReadAttribute(rec, kAttrIndexAllocation, alloc));
  trunlist runs;
  EXPECT_TRUE(GetRunList(alloc.Data, runs));
  const uint64_t cpib = root.Data.at(12);
  r.blockSectorsEach = cpib * spc;
  for (const TRun& run : runs)
    for (uint64_t k = 0; k * cpib < run.Clusters; ++k)
      r.blockSectors.push_back(v.partition->AbsoluteStart() + (static_cast<uint64_t>(run.Lcn) + k * cpib) * spc);
  return r;
}

TEST(NtfsReaderOnImages, DamagedRootRecordOrBlockGiveTheirMessages) {
  DriveRegistryScope scope;
  const std::string made = FilledVolume("ntfs-damage.img");
  if (made.empty()) return;
  const std::string image = CopyImage(made, "ntfs-damage-copy.img");
  std::vector<TntFile> full, secondBlock;
  RootPlace place;
  {
    Volume v = OpenVolume(scope, image);
    ASSERT_NE(v.partition, nullptr);
    place = FindRoot(v);
    ASSERT_GE(place.blockSectors.size(), 2u) << "the root should span several index blocks";
    ScriptedHost host;
    ASSERT_TRUE(GetNTFSFileList(*v.drive, *v.partition, full));
    const int64_t cluster =
        static_cast<int64_t>((place.blockSectors[1] - v.partition->AbsoluteStart()) / v.partition->BootSector[0x0D]);
    ASSERT_TRUE(GetFileFromRun(*v.drive, *v.partition, TRun{cluster, place.blockSectorsEach / v.partition->BootSector[0x0D]}, secondBlock));
    ASSERT_FALSE(secondBlock.empty());
  }
  std::vector<std::string> expected;
  for (const TntFile& f : full)
    if (std::none_of(secondBlock.begin(), secondBlock.end(), [&](const TntFile& s) { return s.Name == f.Name; }))
      expected.push_back(f.Name);

  // The second index block never written: the others are still listed.
  WriteFileBytes(image, place.blockSectors[1] * 512, {0, 0, 0, 0});
  {
    DriveRegistryScope again;
    Volume v = OpenVolume(again, image);
    ScriptedHost host;
    std::vector<TntFile> list;
    EXPECT_TRUE(GetNTFSFileList(*v.drive, *v.partition, list));
    std::vector<std::string> names;
    for (const TntFile& f : list) names.push_back(f.Name);
    EXPECT_EQ(names, expected);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].caption, "GetFileFromRun");
    EXPECT_EQ(host.messages[0].text, "Invalid root directory.");
  }

  // A torn write of the root record: its second sector no longer ends with the number.
  std::vector<uint8_t> end = ReadFileBytes(image, place.recordSector * 512 + 0x3FE, 2);
  end[0] ^= 0xFF;
  WriteFileBytes(image, place.recordSector * 512 + 0x3FE, end);
  {
    DriveRegistryScope again;
    Volume v = OpenVolume(again, image);
    ScriptedHost host;
    std::vector<TntFile> list;
    EXPECT_FALSE(GetNTFSFileList(*v.drive, *v.partition, list));
    EXPECT_TRUE(list.empty());
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].caption, "GetNTFSFileList");
    EXPECT_EQ(host.messages[0].text, "Fixup error. Invalid root of B+ Tree.");
  }
}

}  // namespace
}  // namespace qm::test
