// quillmark-cli dump: sectors of an image made by sfdisk and mkfs.fat as the sector viewer lays
// them out, and the sector numbers it refuses.
#include <gtest/gtest.h>

#include "cli/CliRun.h"

namespace qm::test {
namespace {

TEST(CliDump, ShowsSectorsSixteenBytesALine) {
  QM_IMAGE(image, "dump.img", "4M", "table 'label: dos\\nunit: sectors\\n2048,,6' fs 1 fat16");
  const std::string img = " " + ShellQuote(image);
  const CliRun run = RunCli("dump --sector 0 --count 2" + img);
  ASSERT_EQ(run.status, 0) << run.err;
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = run.out.find('\n', at)) != std::string::npos; at = end + 1)
    lines.push_back(run.out.substr(at, end - at));
  ASSERT_EQ(lines.size(), 2 * 34 + 1u) << run.out;
  EXPECT_EQ(lines[0], " Sector 0 of 8192");
  EXPECT_EQ(lines[1], " Offset   00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F");
  // The master boot record ends in its signature; 0xAA is a character, zeroes are dots.
  EXPECT_EQ(lines[33], "000001F0  00 00 00 00 00 00 00 00 00 00 00 00 00 00 55 AA   ..............U\u00AA");
  EXPECT_EQ(lines[35], " Sector 1 of 8192");
  // The boot sector mkfs.fat wrote: a jump, then its name.
  const std::string boot = RunCli("dump --sector 2048" + img).out;
  EXPECT_EQ(boot.substr(boot.find("\n00000000") + 1, 43), "00000000  EB 3C 90 6D 6B 66 73 2E 66 61 74 ");
  EXPECT_NE(boot.find("   \u00EB<.mkfs.fat"), std::string::npos);

  EXPECT_EQ(RunCli("dump --sector 8191" + img).status, 0);
  for (const char* args : {"--sector 8192", "--sector 8191 --count 2", "--sector 0 --count 0", "--sector x"}) {
    const CliRun refused = RunCli(std::string("dump ") + args + img);
    EXPECT_EQ(refused.status, 2) << args;
    EXPECT_TRUE(refused.out.empty() && !refused.err.empty()) << args;
  }
}

}  // namespace
}  // namespace qm::test
