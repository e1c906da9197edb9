// quillmark-cli scan and recover on the demo disk: a FAT16 partition lost near the start of a
// gap, an NTFS one deep inside another gap.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "CliRun.h"
#include "support/Fixtures.h"

namespace qm::test {
namespace {

using nlohmann::json;

constexpr uint64_t kLostFat = 84031;
constexpr uint64_t kLostNtfs = 262144;

class CliScanRecover : public ::testing::Test {
 protected:
  void SetUp() override {
    image = DemoImage(std::string("cli-demo-") + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".img");
    ASSERT_FALSE(image.empty());
  }
  void TearDown() override { std::filesystem::remove(image); }

  json Drive(const std::string& command) { return CliDrive(command, image); }

  static std::vector<uint64_t> Starts(const json& rows) {
    std::vector<uint64_t> starts;
    for (const json& row : rows) starts.push_back(row["lba"].get<uint64_t>());
    return starts;
  }

  std::string SfdiskStarts() {
    std::string out;
    RunCommand(kToolPath + "sfdisk -d " + ShellQuote(image) + " | grep -o 'start= *[0-9]*' | tr -d ' '", &out);
    return out;
  }

  std::string image;
};

TEST_F(CliScanRecover, QuickScanFindsOnlyTheNearOneAndAFullScanFindsBoth) {
  EXPECT_EQ(Starts(Drive("list")["lost"]), std::vector<uint64_t>{kLostFat});
  json drive = Drive("scan");
  EXPECT_EQ(Starts(drive["lost"]), (std::vector<uint64_t>{kLostFat, kLostNtfs}));
  EXPECT_EQ(drive["lost"][1]["label"], "LOSTNTFS");
  EXPECT_EQ(drive["lost"][1]["fs"], "NTFS");
  EXPECT_NE(drive["lost"][1]["report"].get<std::string>().find("Root Directory: Preview"), std::string::npos);
}

TEST_F(CliScanRecover, RangeIsReadAsTheDialogReadsItsFields) {
  // Ends in either order; 100 MB .. 200 MB holds the NTFS volume at 123 MB.
  EXPECT_EQ(Starts(Drive("scan --start-mb 200 --end-mb 100")["lost"]), (std::vector<uint64_t>{kLostFat, kLostNtfs}));
  // 0 .. 100 MB does not reach it.
  EXPECT_EQ(Starts(Drive("scan --end-mb 100")["lost"]), std::vector<uint64_t>{kLostFat});
  CliRun beyond = RunCli("scan --start-mb 300 --end-mb 400 " + ShellQuote(image));
  EXPECT_EQ(beyond.status, 2);
  EXPECT_NE(beyond.err.find("Sector range exceeded the limit."), std::string::npos);
  EXPECT_EQ(RunCli("scan --start-mb 5 --end-mb 5 " + ShellQuote(image)).status, 2);
}

TEST_F(CliScanRecover, PartitionOptionScansOneRowOfTheList) {
  // Row 7 is the gap after the extended partition, which holds the NTFS volume.
  json drive = Drive("scan --partition 7");
  EXPECT_EQ(Starts(drive["lost"]), (std::vector<uint64_t>{kLostFat, kLostNtfs}));
  // Row 1 is the FAT32 primary: nothing new there.
  EXPECT_EQ(Starts(Drive("scan --partition 1")["lost"]), std::vector<uint64_t>{kLostFat});
  EXPECT_EQ(RunCli("scan --partition 42 " + ShellQuote(image)).status, 2);
}

TEST_F(CliScanRecover, RecoverWritesBothLostPartitionsAsPrimaries) {
  CliRun ntfs = RunCli("recover --yes --at " + std::to_string(kLostNtfs) + " " + ShellQuote(image));
  ASSERT_EQ(ntfs.status, 0) << ntfs.err;
  CliRun fat = RunCli("recover --yes --at " + std::to_string(kLostFat) + " " + ShellQuote(image));
  ASSERT_EQ(fat.status, 0) << fat.err;
  EXPECT_EQ(SfdiskStarts(), "start=2048\nstart=84031\nstart=116736\nstart=262144\nstart=118784\nstart=161792\n");
  json drive = Drive("list");
  EXPECT_TRUE(drive["lost"].empty());
  bool found = false;
  for (const json& row : drive["partitions"])
    if (row["lba"] == kLostNtfs) {
      found = true;
      EXPECT_EQ(row["label"], "LOSTNTFS");
      EXPECT_EQ(row["status"], "Primary Partition");
    }
  EXPECT_TRUE(found);
}

TEST_F(CliScanRecover, RecoverWritesNothingWhenNotConfirmedOrNotFound) {
  auto before = ReadFileBytes(image, 0, 512);
  CliRun unconfirmed = RunCli("recover --at " + std::to_string(kLostNtfs) + " " + ShellQuote(image));
  EXPECT_EQ(unconfirmed.status, 1);
  EXPECT_NE(unconfirmed.err.find("Recovering: You are recovering partition."), std::string::npos);
  CliRun nothing = RunCli("recover --yes --at 5000 " + ShellQuote(image));
  EXPECT_EQ(nothing.status, 1);
  EXPECT_NE(nothing.err.find("no lost partition starts at sector 5000"), std::string::npos);
  EXPECT_EQ(RunCli("recover --yes --at 99999999 " + ShellQuote(image)).status, 2);
  EXPECT_EQ(RunCli("recover --yes " + ShellQuote(image)).status, 2);
  EXPECT_EQ(ReadFileBytes(image, 0, 512), before);
}

}  // namespace
}  // namespace qm::test
