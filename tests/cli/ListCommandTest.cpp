// quillmark-cli list, run as a program on images made by real tools.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "disk/Bytes.h"
#include "CliRun.h"
#include "support/Fixtures.h"

namespace qm::test {
namespace {

using nlohmann::json;

json OnlyDrive(const std::string& image) { return CliDrive("list", image); }

void ExpectRow(const json& row, uint64_t lba, uint32_t sectors, int type, const std::string& fs, const std::string& status) {
  EXPECT_EQ(row["lba"], lba) << row;
  EXPECT_EQ(row["sectors"], sectors) << row;
  EXPECT_EQ(row["type"], type) << row;
  EXPECT_EQ(row["fs"], fs) << row;
  EXPECT_EQ(row["status"], status) << row;
}

// Numbers run 1, 2, ... in each group, and no row passes the end of the disk.
void ExpectWellFormedRows(const json& drive) {
  uint64_t total = drive["geometry"]["total_sectors"];
  for (const char* group : {"partitions", "lost"}) {
    int n = 0;
    for (const json& r : drive[group]) {
      EXPECT_EQ(r["no"], ++n) << r;
      if (r["status"] == "Unallocated") {
        EXPECT_LE(r["lba"].get<uint64_t>() + r["sectors"].get<uint64_t>(), total) << r;
      }
    }
  }
}

TEST(CliList, PrimariesOnly) {
  QM_IMAGE(img, "cli-primaries.img", "64M",
           "table 'label: dos\\nunit: sectors\\n2048,40960,6,*\\n43008,81920,7' "
           "fs 1 fat16 ALPHA fs 2 ntfs BETA");
  json d = OnlyDrive(img);
  EXPECT_EQ(d["drive"], "80H");
  EXPECT_EQ(d["source"], img);
  EXPECT_EQ(d["gpt"], false);
  EXPECT_EQ(d["geometry"], (json{{"cylinders", 8}, {"heads", 255}, {"sectors_per_track", 63},
                                 {"bytes_per_sector", 512}, {"total_sectors", 131072}}));
  const json& rows = d["partitions"];
  ASSERT_EQ(rows.size(), 3u) << rows;
  ExpectRow(rows[0], 2048, 40960, 0x06, "FAT16", "Primary Partition");
  EXPECT_EQ(rows[0]["active"], true);
  EXPECT_EQ(rows[0]["hidden"], false);
  ExpectRow(rows[1], 43008, 81920, 0x07, "NTFS", "Primary Partition");
  EXPECT_EQ(rows[1]["label"], "BETA");
  EXPECT_EQ(rows[1]["letter"], "");  // an image file has no volumes of the system
  EXPECT_EQ(rows[1]["active"], false);
  // The last sector of the disk never belongs to a gap.
  ExpectRow(rows[2], 124928, 131071 - 124928, 0, "Unknown", "Unallocated");
  EXPECT_TRUE(d["lost"].empty());
  ExpectWellFormedRows(d);
}

TEST(CliList, TextShowsTheDrivePanelAndTheList) {
  QM_IMAGE(img, "cli-text.img", "64M",
           "table 'label: dos\\nunit: sectors\\n2048,40960,6,*\\n43008,40960,5\\n45056,20480,17' "
           "fs 1 fat16 fs 5 ntfs INNER");
  CliRun run = RunCli("list " + ShellQuote(img));
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string& out = run.out;
  EXPECT_EQ(out.rfind("#0: 80H (0.06 G)\n", 0), 0u) << out;
  for (const char* line : {"\nHeads\t\t:  255\n", "\nCylinders\t:  8\n", "\nSectors/Track\t:  63\n", "\nBytes/Sector\t:  512\n",
                           "\nTotal Sectors\t:  131072\n", "\nCapacity\t:  0.06 G\n", "\nPartitions\n", "\n\nLost Partitions\n"})
    EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
  // The header, the active primary, the indented hidden logical drive.
  EXPECT_NE(out.find("No.  "), std::string::npos) << out;
  EXPECT_NE(out.find("\n1 - [Active]  "), std::string::npos) << out;
  std::istringstream lines(out);
  std::string line, logical;
  while (std::getline(lines, line))
    if (line.find("Logical Drive") != std::string::npos) logical = line;
  EXPECT_EQ(logical.rfind("    3", 0), 0u) << logical;
  EXPECT_NE(logical.find("INNER"), std::string::npos) << logical;
  EXPECT_NE(logical.find("NTFS - [Hidden]"), std::string::npos) << logical;
  EXPECT_NE(logical.find("10.00 MB"), std::string::npos) << logical;
}

TEST(CliList, ControlCharactersOfALabelNeverReachTheTerminal) {
  QM_IMAGE(img, "cli-escape.img", "32M", "table 'label: dos\\nunit: sectors\\n2048,40960,7' fs 1 ntfs QMLABEL");
  // The label is stored as UTF-16 in the volume's records (and their mirror): make its middle
  // an escape and a line break.
  std::string bytes = ReadWholeFile(img);
  const std::string name("Q\0M\0L\0A\0B\0E\0L\0", 14);
  int patched = 0;
  for (size_t at = bytes.find(name); at != std::string::npos; at = bytes.find(name, at + 1), ++patched)
    WriteFileBytes(img, at + 4, {0x1B, 0, '\n', 0, 0x9B, 0});  // ESC, LF and the one-character CSI
  ASSERT_GT(patched, 0);

  CliRun text = RunCli("list " + ShellQuote(img));
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_EQ(text.out.find('\x1b'), std::string::npos);
  EXPECT_EQ(text.out.find("\xc2\x9b"), std::string::npos);
  EXPECT_NE(text.out.find("QM???EL"), std::string::npos) << text.out;
  // JSON keeps the label as it is, every control character escaped.
  CliRun raw = RunCli("list --json " + ShellQuote(img));
  ASSERT_EQ(raw.status, 0) << raw.err;
  EXPECT_EQ(raw.out.find("\xc2\x9b"), std::string::npos);
  EXPECT_NE(raw.out.find("\"QM\\u001b\\n\\u009bEL\""), std::string::npos) << raw.out;
  json d = OnlyDrive(img);
  ASSERT_FALSE(d["partitions"].empty());
  EXPECT_EQ(d["partitions"][0]["label"], "QM\x1b\n\xc2\x9b" "EL");
}

TEST(CliList, GptDiskShowsItsProtectiveEntry) {
  QM_IMAGE(img, "cli-gpt.img", "64M", "table-gpt 'label: gpt\\n2048,20480\\n24576,20480'");
  json d = OnlyDrive(img);
  EXPECT_EQ(d["gpt"], true);
  ASSERT_EQ(d["partitions"].size(), 1u) << d;
  ExpectRow(d["partitions"][0], 1, 131071, 0xEE, "Unknown", "Primary Partition");
  const std::string note =
      "This disk uses a GUID partition table (GPT): its partitions are not shown, only the entry that protects them.";
  EXPECT_EQ(d["notes"], json::array({note}));
  CliRun text = RunCli("list " + ShellQuote(img));
  EXPECT_NE(text.out.find("\nCapacity\t:  0.06 G\nNote: " + note + "\n\n"), std::string::npos) << text.out;
  // An ordinary disk has no note.
  EXPECT_EQ(OnlyDrive(MakeImage("cli-mbr.img", "16M", ""))["notes"], json::array());
}

TEST(CliListOnDevice, ADiskWith4096ByteSectorsIsShownButNotRead) {
  // A FAT16 partition in the units of 4096-byte sectors: read as 512-byte units, its entry
  // points elsewhere and its own boot sector looks lost.
  QM_IMAGE(img, "cli-4k.img", "64M", "");
  LoopDevice loop(img, 4096);
  if (!loop.skip.empty()) GTEST_SKIP() << loop.skip;
  ASSERT_EQ(RunCommand("echo '2048,8192,6' | sfdisk -q --no-reread " + loop.path + " >/dev/null 2>&1"), 0);
  ASSERT_EQ(RunCommand("mkfs.fat -F 16 -S 4096 -s 1 --offset 2048 " + loop.path + " 32768 >/dev/null 2>&1"), 0);
  ASSERT_EQ(ReadFileBytes(img, 2048ull * 4096 + 510, 2), (std::vector<uint8_t>{0x55, 0xAA}));

  json d = OnlyDrive(loop.path);
  EXPECT_EQ(d["geometry"]["bytes_per_sector"], 4096);
  EXPECT_EQ(d["geometry"]["total_sectors"], 131072);  // the size stays in 512-byte units
  const std::string note = "This disk uses 4096-byte sectors: its partition tables are not read (only disks with "
                           "512-byte sectors are).";
  EXPECT_EQ(d["notes"], json::array({note}));
  EXPECT_TRUE(d["partitions"].empty()) << d;
  EXPECT_TRUE(d["lost"].empty()) << d;
  CliRun text = RunCli("list " + loop.path);
  EXPECT_NE(text.out.find("\nBytes/Sector\t:  4096\n"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("\nNote: " + note + "\n"), std::string::npos) << text.out;

  const auto before = ReadFileBytes(img, 0, 4096);
  for (const std::string command : {"scan ", "recover --yes --at 16384 "}) {
    CliRun run = RunCli(command + loop.path);
    EXPECT_EQ(run.status, 1) << command;
    EXPECT_EQ(run.err, "quillmark-cli: " + loop.path +
                           " uses 4096-byte sectors: its partition tables are not read, and it is neither scanned nor "
                           "written (only disks with 512-byte sectors are)\n")
        << command;
    EXPECT_TRUE(run.out.empty()) << command << run.out;
  }
  EXPECT_EQ(ReadFileBytes(img, 0, 4096), before);
}

TEST(CliList, DamagedTablesListWithoutHarm) {
  // One entry past the disk's end, one whose end wraps 32 bits; then the same disk cut short.
  QM_IMAGE(img, "cli-wild.img", "32M",
           "table 'label: dos\\nunit: sectors\\n2048,10000,6' "
           "bytes 0x1ce '00 00 00 00 07 00 00 00 00 00 10 00 00 00 10 00' "
           "bytes 0x1de '00 00 00 00 0c 00 00 00 00 f0 ff ff 00 20 00 00'");
  std::vector<uint8_t> before = ReadFileBytes(img, 0, 1 << 20);
  json d = OnlyDrive(img);
  std::vector<uint64_t> starts;
  for (const json& r : d["partitions"])
    if (r["type"] != 0) starts.push_back(r["lba"]);
  EXPECT_EQ(starts, (std::vector<uint64_t>{2048, 0x100000, 0xFFFFF000ull}));
  ExpectWellFormedRows(d);
  EXPECT_EQ(ReadFileBytes(img, 0, 1 << 20), before);  // listing writes nothing

  std::filesystem::resize_file(img, 3000 * 512 + 100);
  json cut = OnlyDrive(img);
  EXPECT_EQ(cut["geometry"]["total_sectors"], 3000);
  ASSERT_FALSE(cut["partitions"].empty());
  EXPECT_EQ(cut["partitions"][0]["lba"], 2048);
  ExpectWellFormedRows(cut);
}

TEST(CliList, LostPartitionsCarryTheirCheckReport) {
  const std::string img = DemoImage("cli-demo.img");
  json d = OnlyDrive(img);
  ASSERT_FALSE(d["lost"].empty()) << d;
  const json& lost = d["lost"][0];
  ExpectRow(lost, 84031, 32705, 0x06, "FAT16", "Lost partition");
  ASSERT_TRUE(lost["report"].is_string());
  std::string report = lost["report"];
  EXPECT_FALSE(report.empty());
  EXPECT_EQ(report.find('\r'), std::string::npos);
  for (const json& r : d["partitions"]) EXPECT_FALSE(r.contains("report"));

  CliRun text = RunCli("list " + ShellQuote(img));
  ASSERT_EQ(text.status, 0) << text.err;
  size_t group = text.out.find("\nLost Partitions\n");
  ASSERT_NE(group, std::string::npos);
  EXPECT_NE(text.out.find("Lost partition", group), std::string::npos) << text.out;
}

TEST(CliList, BadUsageExitsWith2) {
  for (const char* args : {"", "list --bogus", "frobnicate", "list --json=maybe"}) {
    CliRun run = RunCli(args);
    EXPECT_EQ(run.status, 2) << args;
    EXPECT_TRUE(run.out.empty()) << args << ": " << run.out;
    EXPECT_FALSE(run.err.empty()) << args;
  }
  CliRun help = RunCli("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("list"), std::string::npos) << help.out;
}

TEST(CliList, ASourceThatCannotBeOpenedExitsWith1) {
  QM_IMAGE(good, "cli-good.img", "16M", "");
  std::string missing = std::string(QM_FIXTURE_DIR) + "/cli-no-such.img";
  std::string empty = std::string(QM_FIXTURE_DIR) + "/cli-empty.img";
  std::ofstream(empty).close();

  CliRun run = RunCli("list --json " + ShellQuote(good) + " " + ShellQuote(missing));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "quillmark-cli: cannot open " + missing + ": No such file or directory\n");
  EXPECT_TRUE(run.out.empty()) << run.out;

  run = RunCli("list " + ShellQuote(empty));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "quillmark-cli: cannot open " + empty + ": the image is empty\n");

  // A FIFO would hold open() until a writer came; a character device is no disk either.
  std::string fifo = ProcessFixtureDir() + "/cli-fifo";
  ASSERT_EQ(RunCommand("mkfifo " + ShellQuote(fifo)), 0);
  for (const std::string& source : {std::string(QM_FIXTURE_DIR), fifo, std::string("/dev/null")})
    for (const std::string command : {"list ", "scan ", "recover --yes --at 63 "}) {
      run = RunCli(command + ShellQuote(source));
      EXPECT_EQ(run.status, 1) << command << source;
      EXPECT_EQ(run.err, "quillmark-cli: cannot open " + source + ": not a disk image or block device\n") << command;
    }
}

}  // namespace
}  // namespace qm::test
