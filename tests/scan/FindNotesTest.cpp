// Notes on lost finds, as `quillmark-cli scan` shows them: the partition of the list a stale
// volume overlaps (recover would refuse it), and finds inside a GPT disk.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "cli/CliRun.h"
#include "support/Fixtures.h"

namespace qm::test {
namespace {

using nlohmann::json;

json ScanJson(const std::string& image) { return CliDrive("scan", image)["lost"]; }

const json* LostAt(const json& lost, uint64_t lba) {
  for (const json& r : lost)
    if (r["lba"] == lba) return &r;
  ADD_FAILURE() << "no find at " << lba << " in " << lost;
  return nullptr;
}

bool ReportHas(const json& find, const std::string& line) {
  const std::string report = find["report"];
  return ("\n" + report + "\n").find("\n" + line + "\n") != std::string::npos;
}

// Rows: 1 the Linux partition at 2048, 2 the gap behind it, 3 the extended partition, 4 its
// logical drive at 63488, then gaps. Volumes left behind by an older layout: one inside row
// 1, one across the start of the extended partition, one in the gap.
TEST(CliFindNotes, AStaleVolumeNamesThePartitionItOverlaps) {
  QM_IMAGE(image, "stale.img", "64M",
           "table 'label: dos\\nunit: sectors\\n2048,40960,83\\n61440,40960,5\\n63488,20480,6' fs 5 fat16 "
           "fsat 10240 8192 fat16 STALE fsat 57344 8192 fat12 ACROSS fsat 45056 8192 fat12 FREE");
  const json lost = ScanJson(image);
  ASSERT_EQ(lost.size(), 3u) << lost;
  const struct {
    uint64_t lba;
    int overlaps;
  } cases[] = {{10240, 1}, {57344, 3}, {45056, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lba);
    const json* find = LostAt(lost, c.lba);
    if (!find) continue;
    EXPECT_EQ((*find)["inside_gpt"], false);
    if (c.overlaps) {
      EXPECT_EQ((*find)["overlaps"], c.overlaps);
      EXPECT_TRUE(ReportHas(*find, "Overlaps Partition " + std::to_string(c.overlaps) + " (recover will refuse it)"))
          << (*find)["report"];
    } else {
      EXPECT_TRUE((*find)["overlaps"].is_null());
      EXPECT_EQ(std::string((*find)["report"]).find("Overlaps"), std::string::npos);
    }
  }
}

TEST(CliFindNotes, FindsInsideTheUsableAreaOfAGptDiskAreMarked) {
  QM_IMAGE(image, "gpt.img", "32M",
           "table-gpt 'label: gpt\\nunit: sectors\\nfirst-lba: 2048\\n2048,20480' "
           "fs 1 fat16 GPTVOL fsat 100 1900 fat12 EARLY");
  // With the header: the partition's volume lies inside the usable area, the early one not.
  // With a header whose usable area is no area (its first sector behind its last), or none,
  // everything behind sector 0 counts as inside.
  for (const char* header : {"intact", "damaged", "wiped"}) {
    SCOPED_TRACE(std::string("GPT header ") + header);
    const bool intact = header == std::string("intact");
    if (header == std::string("damaged")) WriteFileBytes(image, 512 + 0x28, std::vector<uint8_t>(8, 0xFF));
    if (header == std::string("wiped")) WriteFileBytes(image, 512, std::vector<uint8_t>(512, 0));
    const json lost = ScanJson(image);
    ASSERT_EQ(lost.size(), 2u) << lost;
    const json* inside = LostAt(lost, 2048);
    const json* early = LostAt(lost, 100);
    if (!inside || !early) continue;
    EXPECT_EQ((*inside)["inside_gpt"], true);
    EXPECT_TRUE(ReportHas(*inside, "Inside a GPT disk")) << (*inside)["report"];
    EXPECT_EQ((*early)["inside_gpt"], !intact);
    EXPECT_EQ(ReportHas(*early, "Inside a GPT disk"), !intact);
  }
}

}  // namespace
}  // namespace qm::test
