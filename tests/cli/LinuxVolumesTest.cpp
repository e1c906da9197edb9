// Linux file systems made by their own tools and lost from the tables: `scan` finds each with
// its size, kind, label and UUID, `recover --yes` puts it back, and its own check passes.
#include <gtest/gtest.h>

#include "CliRun.h"

namespace qm::test {
namespace {

struct LinuxKind {
  const char *kind, *shown, *tool;  // mkimage's name, the list's, the file system's read-only check
};

void PrintTo(const LinuxKind& k, std::ostream* os) { *os << k.kind; }

std::string UuidAt(const std::string& image, uint64_t start, uint64_t size) {
  std::string uuid;
  RunOnVolume(image, start, size, "blkid -p -o value -s UUID", &uuid);
  return uuid.erase(uuid.find_last_not_of('\n') + 1);
}

// A lost find as "lba sectors fs label uuid".
std::string Find(const nlohmann::json& f) {
  return f["lba"].dump() + " " + f["sectors"].dump() + " " + f["fs"].get<std::string>() + " " +
         f["label"].get<std::string>() + " " + f["uuid"].get<std::string>();
}

class CliLinuxVolumes : public ::testing::TestWithParam<LinuxKind> {};

// 40 MiB at three places: primary 1 and logical 5 lost, and one at 180001 that never had an entry.
TEST_P(CliLinuxVolumes, LostVolumesAreFoundRecoveredAndWhole) {
  const LinuxKind& k = GetParam();
  const std::string fs = k.kind;
  QM_IMAGE(image, "linux-" + fs + ".img", "140M",
           "table 'label: dos\\nunit: sectors\\n2048,81920,83\\n86016,83968,5\\n88064,81920,83' fs 1 " + fs +
               " PRIM fs 5 " + fs + " LOGI fsat 180001 81920 " + fs + " ODD lose 5 lose 1");
  const uint64_t starts[] = {2048, 88064, 180001}, size = 81920;
  const char* const labels[] = {"PRIM", "LOGI", "ODD"};
  // Exactly one find each: no backup superblock, mirror or copy of a boot region is another.
  const nlohmann::json lost = CliDrive("scan", image)["lost"];
  ASSERT_EQ(lost.size(), 3u) << lost.dump(1);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Find(lost[i]), std::to_string(starts[i]) + " 81920 " + k.shown + " " + labels[i] + " " +
                                 UuidAt(image, starts[i], size));
    EXPECT_EQ(lost[i]["report"].get<std::string>().find("Invalid"), std::string::npos) << lost[i]["report"];
  }
  for (const uint64_t start : starts)
    ASSERT_EQ(RunCli("--yes recover --at " + std::to_string(start) + " " + ShellQuote(image)).status, 0) << start;
  const nlohmann::json listed = CliDrive("list", image)["partitions"];
  int whole = 0;
  for (const nlohmann::json& p : listed) {
    if (p["fs"] != k.shown) continue;
    std::string out;
    EXPECT_EQ(RunOnVolume(image, p["lba"], p["sectors"], k.tool, &out), 0) << p["lba"] << ": " << out;
    EXPECT_EQ(UuidAt(image, p["lba"], p["sectors"]), p["uuid"]);
    ++whole;
  }
  EXPECT_EQ(whole, 3) << listed.dump(1);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, CliLinuxVolumes,
    ::testing::Values(LinuxKind{"ext2", "ext2", "e2fsck -fn"}, LinuxKind{"ext3", "ext3", "e2fsck -fn"},
                      LinuxKind{"ext4", "ext4", "e2fsck -fn"}, LinuxKind{"exfat", "exFAT", "fsck.exfat -n"},
                      LinuxKind{"btrfs", "btrfs", "btrfs check --readonly"}, LinuxKind{"xfs", "XFS", "xfs_repair -n -f"},
                      LinuxKind{"swap", "Linux Swap", "swaplabel"}),
    [](const ::testing::TestParamInfo<LinuxKind>& info) { return std::string(info.param.kind); });

// An ext volume without its primary superblock is found from its first backup, with its own
// start, size and label; recovered, its own repair from that backup gives it back whole.
TEST(CliLinuxVolumesFromBackup, AnExtVolumeWithoutItsPrimarySuperblockIsFound) {
  QM_IMAGE(image, "linux-ext-backup.img", "64M", "fsat 4096 40960 ext4 GONE");
  const std::string uuid = UuidAt(image, 4096, 40960);
  WriteFileBytes(image, 4096 * 512 + 1024, std::vector<uint8_t>(1024, 0));
  const nlohmann::json lost = CliDrive("scan", image)["lost"];
  ASSERT_EQ(lost.size(), 1u) << lost.dump(1);
  EXPECT_EQ(Find(lost[0]), "4096 40960 ext4 GONE " + uuid);
  EXPECT_SAYS(lost[0]["report"].get<std::string>(), "Superblock: Invalid");
  ASSERT_EQ(RunCli("--yes recover --at 4096 " + ShellQuote(image)).status, 0);
  EXPECT_EQ(SfdiskEntries(image), (std::vector<EntryKey>{{4096, 40960, 0x83}}));
  std::string repaired;
  RunOnVolume(image, 4096, 40960,
              "sh -c 'e2fsck -fy -b 8193 -B 1024 \"$0\" >/dev/null 2>&1; blkid -p -o value -s UUID \"$0\"'", &repaired);
  EXPECT_EQ(repaired, uuid + "\n");
}

}  // namespace
}  // namespace qm::test
