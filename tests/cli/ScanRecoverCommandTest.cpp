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

std::vector<uint64_t> LostStarts(const std::string& command, const std::string& image) {
  std::vector<uint64_t> starts;
  const json drive = CliDrive(command, image);
  for (const json& row : drive["lost"]) starts.push_back(row["lba"].get<uint64_t>());
  return starts;
}

TEST(CliScanRecover, QuickScanFindsTheNearOneAndScansOfARangeOrRowFindMore) {
  const std::string image = DemoImage("cli-demo-scan.img");
  const std::vector<uint64_t> near{kLostFat}, both{kLostFat, kLostNtfs};
  EXPECT_EQ(LostStarts("list", image), near);
  EXPECT_EQ(LostStarts("scan", image), both);
  // Ends in either order; 100 MB .. 200 MB holds the NTFS volume at 128 MB, 0 .. 100 MB does not.
  EXPECT_EQ(LostStarts("scan --start-mb 200 --end-mb 100", image), both);
  EXPECT_EQ(LostStarts("scan --end-mb 100", image), near);
  // Row 7 is the gap after the extended partition, which holds the NTFS volume; row 1 the
  // FAT32 primary.
  EXPECT_EQ(LostStarts("scan --partition 7", image), both);
  EXPECT_EQ(LostStarts("scan --partition 1", image), near);
  const json ntfs = CliDrive("scan", image)["lost"][1];
  EXPECT_EQ(ntfs["label"], "LOSTNTFS");
  EXPECT_EQ(ntfs["fs"], "NTFS");
  EXPECT_NE(ntfs["report"].get<std::string>().find("Root Directory: Preview"), std::string::npos);
  EXPECT_EQ(ntfs["report"].get<std::string>().find('\r'), std::string::npos);
}

TEST(CliScanRecover, RecoverWritesBothLostPartitionsAsPrimaries) {
  const std::string image = DemoImage("cli-demo-recover.img");
  for (uint64_t at : {kLostNtfs, kLostFat}) {
    CliRun run = RunCli("recover --yes --at " + std::to_string(at) + " " + ShellQuote(image));
    EXPECT_EQ(run.status, 0) << run.err;
  }
  std::vector<uint64_t> starts;
  for (const EntryKey& e : SfdiskEntries(image)) starts.push_back(std::get<0>(e));
  EXPECT_EQ(starts, (std::vector<uint64_t>{2048, 84031, 116736, 262144, 118784, 161792}));
  json drive = CliDrive("list", image);
  EXPECT_TRUE(drive["lost"].empty());
  int found = 0;
  for (const json& row : drive["partitions"])
    if (row["lba"] == kLostNtfs) found += row["label"] == "LOSTNTFS" && row["status"] == "Primary Partition";
  EXPECT_EQ(found, 1) << drive["partitions"];
}

TEST(CliScanRecover, RecoverWritesNothingWhenNotConfirmedOrNotFound) {
  const std::string image = DemoImage("cli-demo-refuse.img");
  const auto before = ReadFileBytes(image, 0, 512);
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
