// quillmark-cli ls on the demo disk: the root directory of a listed partition, of a lost one
// and of one found by scanning around a sector, as text and as JSON; and what it refuses.
#include <gtest/gtest.h>

#include <regex>

#include "cli/CliRun.h"

namespace qm::test {
namespace {

using nlohmann::json;

const std::string kCreated = R"(\d\d/\d\d/\d{4} \d\d:\d\d [AP]M)";

json Entries(const std::string& args) {
  const CliRun run = RunCli("ls --json " + args);
  EXPECT_EQ(run.status, 0) << args << ": " << run.err;
  const json doc = json::parse(run.out, nullptr, false);
  return doc.is_discarded() ? json::array() : doc.value("entries", json::array());
}

TEST(CliLs, ListsListedLostAndScannedForPartitions) {
  const std::string img = ShellQuote(DemoImage("ls-demo.img"));
  // The preview's columns, sizes right-aligned under "Size".
  const CliRun text = RunCli("ls --partition 1 " + img);
  EXPECT_EQ(text.status, 0) << text.err;
  EXPECT_TRUE(std::regex_match(text.out, std::regex("File Name   Type      Size  Created\nCONFIG\\.TXT  TXT File    29  " +
                                                    kCreated + "\nREADME\\.TXT  TXT File    69  " + kCreated + "\n")))
      << text.out;

  const json listed = Entries("--partition 1 " + img);
  ASSERT_EQ(listed.size(), 2u) << listed.dump();
  EXPECT_TRUE(std::regex_match(listed[1].value("created", ""), std::regex(kCreated)));
  EXPECT_EQ(listed[1], (json{{"name", "README.TXT"}, {"directory", false}, {"size", 69}, {"created", listed[1]["created"]},
                             {"deleted", false}}));
  // The lost FAT16 volume that the quick scan found, and the lost NTFS volume that lies
  // beyond the quick scan: --at scans the sectors around it. "." is left out.
  EXPECT_EQ(Entries("--lost 1 " + img)[0]["name"], "Lost.txt");
  std::map<std::string, bool> directories;
  for (const json& e : Entries("--at 262144 " + img)) directories[e["name"]] = e["directory"];
  EXPECT_EQ(directories.count("lost.txt") + directories.count("$MFT") + directories.count("."), 2u);
  EXPECT_TRUE(directories["$Extend"]);
  EXPECT_FALSE(directories["$MFT"]);
}

TEST(CliLs, RefusesWhatCannotBeListed) {
  const std::string demo = DemoImage("ls-refuse.img"), damaged = CopyImage(demo, "ls-damaged.img");
  WriteFileBytes(damaged, 2048 * 512 + 0x0B, {0, 0});  // the FAT32 volume's bytes per sector
  const std::string unrecognized = "GetRootDirectory: Unrecognized file system or partition has been destroyed.\n";
  const struct {
    std::string args;
    int status;
    std::string error;
  } cases[] = {
      {"--partition 1 " + ShellQuote(damaged), 1, unrecognized},
      {"--partition 3 " + ShellQuote(demo), 1, unrecognized},  // the extended container
      {"--at 300000 " + ShellQuote(demo), 1, "no partition starts at sector 300000"},
      {"--lost 9 " + ShellQuote(demo), 2, "there is no lost partition 9 in the list of"},
      {"--at 1 --lost 1 " + ShellQuote(demo), 2, "excludes"},
      {ShellQuote(demo), 2, "ls needs one of --partition, --lost or --at"},
  };
  for (const auto& c : cases) {
    const CliRun run = RunCli("ls " + c.args);
    EXPECT_EQ(run.status, c.status) << c.args << ": " << run.err;
    EXPECT_NE(run.err.find(c.error), std::string::npos) << c.args << ": " << run.err;
    EXPECT_TRUE(run.out.empty()) << c.args << ": " << run.out;
  }
}

}  // namespace
}  // namespace qm::test
