// quillmark-cli on loop devices, as a user runs it on /dev/sdX: the kernel's list of the
// disk's partitions follows every table write, also while one of them is mounted.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <sstream>

#include <nlohmann/json.hpp>

#include "CliRun.h"
#include "disk/KernelPartitions.h"
#include "support/Fixtures.h"

namespace qm::test {
namespace {

std::vector<KernelPartition> Listed(const std::string& device) {
  struct stat st {};
  EXPECT_EQ(::stat(device.c_str(), &st), 0) << device;
  return ListedPartitions(st.st_rdev);
}

// Our reading of the tables numbers and places the partitions as the system's own tools do
// (the kernel of a test machine may not read partition tables itself).
TEST(PartitionsOfTablesOnImages, AreNumberedAndPlacedAsTheSystemDoes) {
  QM_IMAGE(image, "kernel-layout.img", "64M",
           "table 'label: dos\\nunit: sectors\\n2048,8192,6\\n12288,,f\\n14336,8192,83\\n26624,8192,7\\n38912,8192,6'");
  std::string shown;
  ASSERT_EQ(RunCommand("partx -g -o NR,START,SECTORS --show " + ShellQuote(image), &shown), 0);
  std::vector<KernelPartition> system;
  std::istringstream lines(shown);
  for (KernelPartition p; lines >> p.Number >> p.Start >> p.Sectors;) system.push_back(p);
  const auto read = [&](uint64_t lba, uint8_t* sector) {
    const auto bytes = ReadFileBytes(image, lba * 512, 512);
    std::copy(bytes.begin(), bytes.end(), sector);
    return bytes.size() == 512;
  };
  ASSERT_EQ(system.size(), 5u) << shown;
  system[1].Sectors = 2;  // the kernel lists an extended partition with two sectors
  EXPECT_EQ(PartitionsOfTables(read), system);
}

// Partition 1 is mounted, so the kernel refuses to re-read the whole table: the recovered
// partition is added on its own, and a change to the mounted one is named as waiting for a
// reboot.
TEST(CliKernelOnDevice, ARecoveryBesideAMountedPartitionAppearsWithoutAReboot) {
  QM_IMAGE(image, "kernel-busy.img", "64M", "table 'label: dos\\nunit: sectors\\n2048,20480,83' fsat 40960 20480 fat16 LOST");
  LoopDevice loop(image, 512, /*partitions=*/true);
  if (!loop.skip.empty()) GTEST_SKIP() << loop.skip;
  const std::string mnt = FreshPath("kernel-mnt");
  std::filesystem::create_directories(mnt);
  if (RunCommand("partx -u " + loop.path + " >/dev/null 2>&1; " + kToolPath + "mkfs.ext4 -q " + loop.path + "p1 && mount " +
                 loop.path + "p1 " + ShellQuote(mnt) + " 2>/dev/null") != 0)
    GTEST_SKIP() << "this machine does not mount a loop device's partition";
  loop.mounted = mnt;

  const CliRun recover = RunCli("--yes recover --at 40960 " + loop.path);
  EXPECT_EQ(recover.status, 0) << recover.err;
  EXPECT_EQ(Listed(loop.path), (std::vector<KernelPartition>{{1, 2048, 20480}, {2, 40960, 20480}}));

  // Deleting the mounted partition's entry makes the other one number 1, which the kernel
  // cannot give it while the old partition 1 is in use: it is named, and waits.
  const CliRun moved = RunCli("--yes delete --at 2048 " + loop.path);
  EXPECT_EQ(moved.status, 3) << moved.err;
  EXPECT_NE(moved.err.find("keeps its old view of partition 1 (Device or resource busy)"), std::string::npos) << moved.err;
  EXPECT_EQ(Listed(loop.path), (std::vector<KernelPartition>{{1, 2048, 20480}}));
}

// The whole path on /dev/loopN as on /dev/sdX: the listing names the system's partition
// devices and the labels, the scan finds the lost volume, recover and the edits write, and
// the kernel lists each new layout; the machine's own disks include the attached device.
TEST(CliWholePathOnDevice, ListScanRecoverAndEditAsOnARealDisk) {
  QM_IMAGE(image, "kernel-path.img", "64M",
           "table 'label: dos\\nunit: sectors\\n2048,20480,6' fs 1 fat16 FIRST fsat 40960 20480 fat16 LOST");
  LoopDevice loop(image, 512, /*partitions=*/true);
  if (!loop.skip.empty()) GTEST_SKIP() << loop.skip;
  RunCommand("partx -u " + loop.path + " >/dev/null 2>&1");
  const std::string name = loop.path.substr(5);

  nlohmann::json drive = CliDrive("list", loop.path);
  EXPECT_EQ(drive["partitions"][0]["label"], "FIRST");
  EXPECT_EQ(drive["partitions"][0]["letter"], name + "p1");
  EXPECT_EQ(CliDrive("scan", loop.path)["lost"][0]["lba"], 40960);

  for (const std::string command : {"recover --at 40960", "active --at 40960", "hide --at 2048", "mbr"}) {
    const CliRun run = RunCli("--yes " + command + " " + loop.path);
    EXPECT_EQ(run.status, 0) << command << ": " << run.err;
  }
  EXPECT_EQ(SfdiskEntries(loop.path), (std::vector<EntryKey>{{2048, 20480, 0x16}, {40960, 20480, 0x06}}));
  EXPECT_EQ(Listed(loop.path), (std::vector<KernelPartition>{{1, 2048, 20480}, {2, 40960, 20480}}));
  EXPECT_EQ(ReadFileBytes(image, 0x1CE, 1)[0], 0x80) << "the recovered partition is the active one";

  // Another program holding the device's lock (as partitioning tools take it) is named, and
  // nothing is written.
  std::string held;
  RunCommand("sh -c " + ShellQuote("flock -x " + loop.path + " sleep 2 & holder=$!; sleep 0.3; " +
                                   ShellQuote(std::string(QM_CLI_PATH)) + " --yes hide --at 2048 " + loop.path +
                                   " 2>&1; kill $holder"),
             &held);
  EXPECT_NE(held.find("is locked by another program"), std::string::npos) << held;
  EXPECT_EQ(SfdiskEntries(loop.path)[0], (EntryKey{2048, 20480, 0x16}));

  // Without a source named, the attached loop device is among the machine's disks.
  const CliRun all = RunCli("list --json");
  EXPECT_NE(all.out.find("\"source\": \"" + loop.path + "\""), std::string::npos) << all.out.substr(0, 400);
}

}  // namespace
}  // namespace qm::test
