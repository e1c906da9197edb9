// The file systems Linux users lose, made by their own tools and lost from the tables as a
// primary partition, as a logical drive and at an odd start no table ever named: `scan` finds
// each at its start with its size, kind and label, `recover --yes` puts it back, its own check
// passes, and the system reads the same UUID from the recovered partition.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CliRun.h"

namespace qm::test {
namespace {

struct LinuxKind {
  const char* kind;   // mkimage's name
  const char* shown;  // the list's
  const char* tool;   // the file system's own read-only check
};

void PrintTo(const LinuxKind& k, std::ostream* os) { *os << k.kind; }

class CliLinuxVolumes : public ::testing::TestWithParam<LinuxKind> {};

// A partition of 40 MiB at three places: primary 1 and logical 5 lost from the tables, and one
// at sector 180001 that never had an entry.
constexpr uint64_t kStarts[] = {2048, 88064, 180001};
constexpr uint64_t kSize = 81920;
const char* const kLabels[] = {"PRIM", "LOGI", "ODD"};

std::string UuidAt(const std::string& image, uint64_t start) {
  std::string uuid;
  RunOnVolume(image, start, kSize, "blkid -p -o value -s UUID", &uuid);
  while (!uuid.empty() && uuid.back() == '\n') uuid.pop_back();
  return uuid;
}

TEST_P(CliLinuxVolumes, LostVolumesAreFoundRecoveredAndWhole) {
  const LinuxKind& k = GetParam();
  const std::string fs = k.kind;
  QM_IMAGE(image, "linux-" + fs + ".img", "140M",
           "table 'label: dos\\nunit: sectors\\n2048,81920,83\\n86016,83968,5\\n88064,81920,83' fs 1 " + fs +
               " PRIM fs 5 " + fs + " LOGI fsat 180001 81920 " + fs + " ODD lose 5 lose 1");
  std::string uuids[3];
  for (int i = 0; i < 3; ++i) uuids[i] = UuidAt(image, kStarts[i]);

  // Exactly one find for each volume: no backup superblock, mirror or copy of a boot region
  // is taken for another.
  const CliRun scan = RunCli("scan --json " + ShellQuote(image));
  ASSERT_EQ(scan.status, 0) << scan.err;
  const nlohmann::json lost = nlohmann::json::parse(scan.out)["drives"][0]["lost"];
  ASSERT_EQ(lost.size(), 3u) << lost.dump(1);
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(kLabels[i]);
    EXPECT_EQ(lost[i]["lba"], kStarts[i]);
    EXPECT_EQ(lost[i]["sectors"], kSize);
    EXPECT_EQ(lost[i]["fs"], k.shown);
    EXPECT_EQ(lost[i]["label"], kLabels[i]);
    EXPECT_EQ(lost[i]["uuid"], uuids[i]);
    EXPECT_EQ(lost[i]["report"].get<std::string>().find("Invalid"), std::string::npos) << lost[i]["report"];
  }

  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(kLabels[i]);
    const CliRun run = RunCli("--yes recover --at " + std::to_string(kStarts[i]) + " " + ShellQuote(image));
    ASSERT_EQ(run.status, 0) << run.err;
  }
  const nlohmann::json listed = CliDrive("list", image)["partitions"];
  int whole = 0;
  for (const nlohmann::json& p : listed) {
    if (p["fs"] != k.shown) continue;
    const uint64_t start = p["lba"];
    std::string out;
    EXPECT_EQ(RunOnVolume(image, start, p["sectors"], k.tool, &out), 0) << start << ": " << out;
    EXPECT_EQ(UuidAt(image, start), p["uuid"]);
    ++whole;
  }
  EXPECT_EQ(whole, 3) << listed.dump(1);
}

// An ext volume whose primary superblock is destroyed is found from its first backup, at its
// own start and with its own size and label; the report says what is gone, and recover puts it
// back, after which the file system's own repair from that backup gives the volume back whole.
TEST(CliLinuxVolumesFromBackup, AnExtVolumeWithoutItsPrimarySuperblockIsFound) {
  QM_IMAGE(image, "linux-ext-backup.img", "64M", "fsat 4096 40960 ext4 GONE");
  const std::string uuid = UuidAt(image, 4096);
  WriteFileBytes(image, 4096 * 512 + 1024, std::vector<uint8_t>(1024, 0));
  const CliRun scan = RunCli("scan --json " + ShellQuote(image));
  ASSERT_EQ(scan.status, 0) << scan.err;
  const nlohmann::json lost = nlohmann::json::parse(scan.out)["drives"][0]["lost"];
  ASSERT_EQ(lost.size(), 1u) << lost.dump(1);
  EXPECT_EQ(lost[0]["lba"], 4096);
  EXPECT_EQ(lost[0]["sectors"], 40960);
  EXPECT_EQ(lost[0]["fs"], "ext4");
  EXPECT_EQ(lost[0]["label"], "GONE");
  EXPECT_EQ(lost[0]["uuid"], uuid);
  EXPECT_NE(lost[0]["report"].get<std::string>().find("Superblock: Invalid"), std::string::npos) << lost[0]["report"];
  ASSERT_EQ(RunCli("--yes recover --at 4096 " + ShellQuote(image)).status, 0);
  std::string dump;
  ASSERT_EQ(RunCommand(kToolPath + "sfdisk --dump " + ShellQuote(image), &dump), 0);
  EXPECT_NE(dump.find("start=        4096, size=       40960, type=83"), std::string::npos) << dump;
  std::string repaired;
  RunOnVolume(image, 4096, 40960,
              "sh -c 'e2fsck -fy -b 8193 -B 1024 \"$0\" >/dev/null 2>&1; blkid -p -o value -s UUID \"$0\"'", &repaired);
  EXPECT_EQ(repaired, uuid + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, CliLinuxVolumes,
    ::testing::Values(LinuxKind{"ext2", "ext2", "e2fsck -fn"}, LinuxKind{"ext3", "ext3", "e2fsck -fn"},
                      LinuxKind{"ext4", "ext4", "e2fsck -fn"}, LinuxKind{"exfat", "exFAT", "fsck.exfat -n"},
                      LinuxKind{"btrfs", "btrfs", "btrfs check --readonly"}, LinuxKind{"xfs", "XFS", "xfs_repair -n -f"},
                      LinuxKind{"swap", "Linux Swap", "swaplabel"}),
    [](const ::testing::TestParamInfo<LinuxKind>& info) { return std::string(info.param.kind); });

}  // namespace
}  // namespace qm::test
