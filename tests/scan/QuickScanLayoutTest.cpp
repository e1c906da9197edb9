// The quick scan run when a drive is opened, on 1 MiB aligned layouts made by sfdisk and
// mkfs (three primaries, four logical drives) whose tables were damaged in the common ways:
// `quillmark-cli list` must show every volume that no table points to any more.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>

#include "cli/CliRun.h"
#include "support/Fixtures.h"

namespace qm::test {
namespace {

using nlohmann::json;

const char kAlignedLayout[] =
    "table 'label: dos\\n,40M,c\\n,10M,6\\n,10M,7\\n,,5\\n,10M,6\\n,10M,7\\n,40M,c\\n,8M,1' "
    "fs 1 fat32 fs 2 fat16 fs 3 ntfs fs 5 fat16 fs 6 ntfs fs 7 fat32 fs 8 fat12";

struct Volume {
  uint64_t start;
  std::string fs;
  bool logical;
  bool operator<(const Volume& o) const { return start < o.start; }
};

// The volumes of the intact image as sfdisk lists them (the extended container left out).
std::vector<Volume> SfdiskVolumes(const std::string& image) {
  std::string out;
  EXPECT_EQ(RunCommand(kToolPath + "sfdisk -J " + ShellQuote(image), &out), 0) << out;
  json doc = json::parse(out, nullptr, false);
  std::vector<Volume> volumes;
  if (doc.is_discarded()) return volumes;
  const std::map<std::string, std::string> fsOfType{{"c", "FAT32"}, {"6", "FAT16"}, {"7", "NTFS"}, {"1", "FAT12"}};
  int number = 0;
  for (const json& p : doc["partitiontable"]["partitions"]) {
    ++number;
    const std::string type = p["type"];
    if (type == "5") continue;
    volumes.push_back({p["start"].get<uint64_t>(), fsOfType.at(type), number > 4});
  }
  return volumes;
}

std::vector<Volume> LostVolumes(const std::string& image) {
  std::vector<Volume> lost;
  const json drive = CliDrive("list", image);
  for (const json& r : drive["lost"]) lost.push_back({r["lba"].get<uint64_t>(), r["fs"], false});
  return lost;
}

std::string Describe(const std::vector<Volume>& volumes) {
  std::string text;
  for (const Volume& v : volumes) text += " " + v.fs + "@" + std::to_string(v.start);
  return text;
}

TEST(CliQuickScanAtOpen, FindsEveryVolumeOfAnAlignedLayoutWhateverPartOfTheTableIsGone) {
  QM_IMAGE(intact, "aligned.img", "160M", kAlignedLayout);
  const std::vector<Volume> all = SfdiskVolumes(intact);
  ASSERT_EQ(all.size(), 7u);
  std::vector<Volume> logicals;
  for (const Volume& v : all)
    if (v.logical) logicals.push_back(v);

  struct Damage {
    const char* name;
    uint64_t offset;
    size_t length;
    std::vector<Volume> expected;
  };
  const Damage cases[] = {
      {"intact", 0, 0, {}},
      {"MBR entries zeroed", 0x1BE, 64, all},
      {"extended entry zeroed", 0x1BE + 3 * 16, 16, logicals},
      {"sector 0 zeroed", 0, 512, all},
  };
  for (const Damage& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string image = ProcessFixtureDir() + "/aligned-damaged.img";
    std::filesystem::copy_file(intact, image, std::filesystem::copy_options::overwrite_existing);
    if (c.length) WriteFileBytes(image, c.offset, std::vector<uint8_t>(c.length, 0));
    std::vector<Volume> lost = LostVolumes(image);
    ASSERT_EQ(lost.size(), c.expected.size()) << "found:" << Describe(lost) << "\nexpected:" << Describe(c.expected);
    for (size_t i = 0; i < lost.size(); ++i) {
      EXPECT_EQ(lost[i].start, c.expected[i].start);
      EXPECT_EQ(lost[i].fs, c.expected[i].fs);
    }
  }
}

}  // namespace
}  // namespace qm::test
