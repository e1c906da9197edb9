// Notes on lost finds, as `quillmark-cli scan` shows them: the partitions of the list a stale
// volume overlaps (recover would refuse it), and finds inside a GPT disk.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "cli/CliRun.h"
#include "support/Fixtures.h"

namespace qm::test {
namespace {

// Each find as its sector, the rows of the list it overlaps and whether it lies inside a GPT
// disk, then the lines of its report that say so.
std::string Notes(const std::string& image) {
  std::string out;
  const nlohmann::json drive = CliDrive("scan", image);
  for (const nlohmann::json& f : drive["lost"]) {
    out += f["lba"].dump() + " " + f["overlaps"].dump() + " " + f["inside_gpt"].dump() + "\n";
    std::istringstream report(f["report"].get<std::string>());
    for (std::string line; std::getline(report, line);)
      if (line.starts_with("Overlaps") || line.starts_with("Inside")) out += "  " + line + "\n";
  }
  return out;
}
const std::string kRefused = " (recover will refuse it; use rebuild or clone)\n";

// Rows: 1 the Linux partition at 2048, 2 the gap behind it, 3 the extended partition, 4 its
// logical drive at 63488, then gaps. Volumes left behind by an older layout: one inside row
// 1, one in the gap, one across the start of the extended partition (its file system replaces
// the first extended boot record, and with it the logical drive).
TEST(CliFindNotes, AStaleVolumeNamesThePartitionsItOverlaps) {
  QM_IMAGE(image, "stale.img", "64M",
           "table 'label: dos\\nunit: sectors\\n2048,40960,83\\n61440,40960,5\\n63488,20480,6' fs 5 fat16 "
           "fsat 10240 8192 fat16 STALE fsat 57344 8192 fat12 ACROSS fsat 45056 8192 fat12 FREE");
  EXPECT_EQ(Notes(image), "10240 [1] false\n  Overlaps Partition 1" + kRefused + "45056 [] false\n57344 [3] false\n"
                          "  Overlaps Partition 3" + kRefused);
  // A volume of an older layout across the end of one partition and the start of the next.
  QM_IMAGE(across, "across.img", "32M",
           "table 'label: dos\\nunit: sectors\\n2048,8192,6\\n10240,8192,6' fs 1 fat16 fs 2 fat16 fsat 6144 8192 fat16");
  EXPECT_EQ(Notes(across), "6144 [1,2] false\n  Overlaps Partitions 1 and 2" + kRefused);
}

TEST(CliFindNotes, FindsInsideTheUsableAreaOfAGptDiskAreMarked) {
  QM_IMAGE(image, "gpt.img", "32M",
           "table-gpt 'label: gpt\\nunit: sectors\\nfirst-lba: 2048\\n2048,20480' "
           "fs 1 fat16 GPTVOL fsat 100 1900 fat12 EARLY");
  // The partition's volume is listed; the early one lies in front of the usable area, also
  // when the primary header is damaged and the backup's area counts.
  EXPECT_EQ(Notes(image), "100 [] false\n");
  WriteFileBytes(image, 512 + 0x28, std::vector<uint8_t>(8, 0xFF));
  EXPECT_EQ(Notes(image), "100 [] false\n");
  // With neither copy usable only the protective entry is listed (row 1), the drive says so,
  // and everything behind sector 0 counts as inside.
  WriteFileBytes(image, 65535 * 512, std::vector<uint8_t>(512, 0));
  EXPECT_EQ(Notes(image), "100 [1] true\n  Overlaps Partition 1" + kRefused + "  Inside a GPT disk\n2048 [1] true\n"
                          "  Overlaps Partition 1" + kRefused + "  Inside a GPT disk\n");
  EXPECT_SAYS(CliDrive("list", image)["notes"].dump(), "but the table cannot be used, and only that entry is shown");
}

}  // namespace
}  // namespace qm::test
