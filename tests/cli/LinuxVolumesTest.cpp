// The file systems Linux users lose, made by their own tools and lost from the tables as a
// primary partition, as a logical drive and at an odd start no table ever named: `scan` finds
// each at its start with its size, kind and label, `recover --yes` puts it back, its own check
// passes, and the system reads the same UUID from the recovered partition.
#include <gtest/gtest.h>

#include <string>

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

INSTANTIATE_TEST_SUITE_P(
    Kinds, CliLinuxVolumes,
    ::testing::Values(LinuxKind{"ext2", "ext2", "e2fsck -fn"}, LinuxKind{"ext3", "ext3", "e2fsck -fn"},
                      LinuxKind{"ext4", "ext4", "e2fsck -fn"}, LinuxKind{"exfat", "exFAT", "fsck.exfat -n"},
                      LinuxKind{"btrfs", "btrfs", "btrfs check --readonly"}, LinuxKind{"xfs", "XFS", "xfs_repair -n -f"},
                      LinuxKind{"swap", "Linux Swap", "swaplabel"}),
    [](const ::testing::TestParamInfo<LinuxKind>& info) { return std::string(info.param.kind); });

}  // namespace
}  // namespace qm::test
