// The commands that only read, run as a program: list on images made by real tools, ls and
// scan on the demo disk (a FAT16 partition lost near the start of a gap, an NTFS one deep
// inside another), dump; what each refuses; exit statuses when something is wrong; the
// questions, answered by nobody, by a user, or asked while stderr goes to a file.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>

#include "CliRun.h"
#include "fs/Bpb.h"
#include "fs/FsKind.h"

namespace qm::test {
namespace {

using nlohmann::json;

constexpr uint64_t kLostFat = 84031, kLostNtfs = 262144;

// Each row as "no lba+sectors type fs status", rows apart by "; ". Numbers run 1, 2, ... in
// each group, and no gap passes the end of the disk.
std::string Rows(const json& drive, const char* group) {
  std::string out;
  int n = 0;
  for (const json& r : drive[group]) {
    EXPECT_EQ(r["no"], ++n) << r;
    if (r["status"] == "Unallocated") {
      EXPECT_LE(r["lba"].get<uint64_t>() + r["sectors"].get<uint64_t>(), drive["geometry"]["total_sectors"].get<uint64_t>());
    }
    out += (out.empty() ? "" : "; ") + std::to_string(n) + " " + r["lba"].dump() + "+" + r["sectors"].dump() + " " +
           r["type"].dump() + " " + r["fs"].get<std::string>() + " " + r["status"].get<std::string>();
  }
  return out;
}

TEST(CliList, JsonAndTextOfAnImage) {
  QM_IMAGE(img, "cli-list.img", "64M",
           "table 'label: dos\\nunit: sectors\\n2048,40960,6,*\\n43008,40960,5\\n45056,20480,17' fs 1 fat16 ALPHA fs 5 ntfs INNER");
  json d = CliDrive("list", img);
  EXPECT_EQ(d["drive"], "80H");
  EXPECT_EQ(d["source"], img);
  EXPECT_EQ(d["geometry"], (json{{"cylinders", 8}, {"heads", 255}, {"sectors_per_track", 63},
                                 {"bytes_per_sector", 512}, {"total_sectors", 131072}}));
  // The last sector of the disk never belongs to a gap.
  EXPECT_EQ(Rows(d, "partitions"),
            "1 2048+40960 6 FAT16 Primary Partition; 2 43008+40960 5 --- Extended Partition; "
            "3 45056+20480 23 NTFS - [Hidden] Logical Drive; 4 65536+18432 0 Unknown Unallocated; 5 83968+47103 0 Unknown Unallocated");
  EXPECT_EQ(d["partitions"][0]["active"], true);
  EXPECT_EQ(d["partitions"][2]["label"], "INNER");
  const CliRun run = RunOn(img, "list");
  EXPECT_EQ(run.out.rfind("#0: 80H (0.06 G)\n", 0), 0u) << run.out;
  for (const char* line : {"\nHeads\t\t:  255\n", "\nCylinders\t:  8\n", "\nTotal Sectors\t:  131072\n",
                           "\nCapacity\t:  0.06 G\n", "\nPartitions\n", "\n1 - [Active]  ", "\n\nLost Partitions\n"})
    EXPECT_SAYS(run.out, line);
  // The indented hidden logical drive.
  const size_t logical = run.out.find("\n    3 ");
  ASSERT_NE(logical, std::string::npos) << run.out;
  const std::string row = run.out.substr(logical, run.out.find('\n', logical + 1) - logical);
  for (const char* cell : {"INNER", "NTFS - [Hidden]", "10.00 MB", "Logical Drive"}) EXPECT_SAYS(row, cell);
}

TEST(CliList, ControlCharactersOfALabelNeverReachTheTerminal) {
  QM_IMAGE(img, "cli-escape.img", "32M", "table 'label: dos\\nunit: sectors\\n2048,40960,7' fs 1 ntfs QMLABEL");
  // The label's UTF-16 in the volume's records: its middle made an escape, a line break and CSI.
  std::string bytes = ReadWholeFile(img);
  const std::string name("Q\0M\0L\0A\0B\0E\0L\0", 14);
  int patched = 0;
  for (size_t at = bytes.find(name); at != std::string::npos; at = bytes.find(name, at + 1), ++patched)
    WriteFileBytes(img, at + 4, {0x1B, 0, '\n', 0, 0x9B, 0});
  ASSERT_GT(patched, 0);
  const CliRun text = RunOn(img, "list");
  EXPECT_EQ(text.out.find('\x1b'), std::string::npos);
  EXPECT_EQ(text.out.find("\xc2\x9b"), std::string::npos);
  EXPECT_SAYS(text.out, "QM???EL");
  // JSON keeps the label as it is, every control character escaped.
  CliRun raw = RunCli("list --json " + ShellQuote(img));
  EXPECT_EQ(raw.out.find("\xc2\x9b"), std::string::npos);
  EXPECT_SAYS(raw.out, "\"QM\\u001b\\n\\u009bEL\"");
}

// A master boot record on a disk of 4096-byte sectors counts those sectors: the device lists
// its partition where the system's tools do, and so does its image once the size is given; a
// deleted entry comes back through the device.
TEST(CliListOnDevice, ADiskWith4096ByteSectorsIsReadInItsOwnSectors) {
  QM_IMAGE(img, "cli-4k.img", "64M", "");
  LoopDevice loop(img, 4096);
  if (!loop.skip.empty()) GTEST_SKIP() << loop.skip;
  ASSERT_EQ(RunCommand("echo '2048,8192,6' | sfdisk -q --no-reread " + loop.path + " >/dev/null 2>&1"), 0);
  ASSERT_EQ(RunCommand("mkfs.fat -F 16 -S 4096 -s 1 -n FOURK --offset 2048 " + loop.path + " 32768 >/dev/null 2>&1"), 0);
  for (const auto& [command, source] : {std::pair{"list", loop.path}, std::pair{"--sector-size 4096 list", img}}) {
    SCOPED_TRACE(source);
    const json d = CliDrive(command, source);
    EXPECT_EQ(d["geometry"]["bytes_per_sector"], 4096);
    EXPECT_EQ(d["geometry"]["total_sectors"], 16384);
    EXPECT_EQ(Rows(d, "partitions"), "1 63+1985 0 Unknown Unallocated; 2 2048+8192 6 FAT16 Primary Partition; "
                                     "3 10240+6143 0 Unknown Unallocated");
    EXPECT_EQ(d["partitions"][1]["label"], "FOURK");
  }
  ASSERT_EQ(RunCommand("sfdisk -q --no-reread --delete " + loop.path + " 1 >/dev/null 2>&1"), 0);
  RunOn(loop.path, "--yes recover --at 2048");
  EXPECT_EQ(SfdiskEntries(loop.path), (std::vector<EntryKey>{{2048, 8192, 0x06}}));
}

std::vector<uint64_t> LostStarts(const std::string& command, const std::string& image) {
  std::vector<uint64_t> starts;
  const json drive = CliDrive(command, image);
  for (const json& row : drive["lost"]) starts.push_back(row["lba"].get<uint64_t>());
  return starts;
}

TEST(CliScan, QuickSearchAndScansOfARangeOrRowFindTheLostVolumes) {
  const std::string image = DemoImage("cli-demo-scan.img");
  const std::vector<uint64_t> near{kLostFat}, both{kLostFat, kLostNtfs};
  // The NTFS volume lies 1 MiB-aligned at 128 MB deep in a gap (row 7): the quick search at open
  // finds it, the probe at the gaps' starts does not. Ends in either order; row 1 is FAT32.
  const std::string starts = "--quick-search-ms 0 ";
  const std::pair<std::string, std::vector<uint64_t>> cases[] = {
      {"list", both}, {starts + "list", near}, {starts + "scan", both},
      {starts + "scan --start-mb 200 --end-mb 100", both}, {starts + "scan --end-mb 100", near},
      {starts + "scan --partition 7", both}, {starts + "scan --partition 1", near},
      {starts + "scan --quick", both}, {starts + "scan --quick --end-mb 100", near},
      {starts + "scan --quick --partition 7", both}};
  for (const auto& [command, lost] : cases) EXPECT_EQ(LostStarts(command, image), lost) << command;
  const json ntfs = CliDrive("scan", image)["lost"][1];
  EXPECT_EQ(ntfs["label"], "LOSTNTFS");
  EXPECT_EQ(ntfs["fs"], "NTFS");
  EXPECT_SAYS(ntfs["report"].get<std::string>(), "Root Directory: Preview");
  EXPECT_EQ(ntfs["report"].get<std::string>().find('\r'), std::string::npos);
}

const std::string kCreated = R"(\d\d/\d\d/\d{4} \d\d:\d\d [AP]M)";

// The entries of `ls --json <args>`; what it said on stderr in `err`.
json Entries(const std::string& args, std::string* err = nullptr) {
  const CliRun run = RunCliEnding("ls --json " + args);
  if (err) *err = run.err;
  const json doc = json::parse(run.out, nullptr, false);
  return doc.is_discarded() ? json::array() : doc.value("entries", json::array());
}

TEST(CliLs, ListsListedLostAndScannedForPartitions) {
  const std::string demo = DemoImage("ls-demo.img"), img = ShellQuote(demo);
  // The preview's columns, sizes right-aligned under "Size".
  const CliRun text = RunCliEnding("ls --partition 1 " + img);
  EXPECT_TRUE(std::regex_match(text.out, std::regex("File Name   Type      Size  Created\nCONFIG\\.TXT  TXT File    29  " +
                                                    kCreated + "\nREADME\\.TXT  TXT File    69  " + kCreated + "\n")))
      << text.out;
  const json listed = Entries("--partition 1 " + img);
  ASSERT_EQ(listed.size(), 2u) << listed.dump();
  EXPECT_TRUE(std::regex_match(listed[1].value("created", ""), std::regex(kCreated)));
  EXPECT_EQ(listed[1], (json{{"name", "README.TXT"}, {"directory", false}, {"size", 69}, {"created", listed[1]["created"]},
                             {"deleted", false}}));
  // A lost volume the quick scan found, and one beyond it that --at scans for; "." is left out.
  EXPECT_EQ(Entries("--lost 1 " + img)[0]["name"], "Lost.txt");
  std::map<std::string, bool> directories;
  for (const json& e : Entries("--at 262144 " + img)) directories[e["name"]] = e["directory"];
  EXPECT_EQ(directories.count("lost.txt") + directories.count("$MFT") + directories.count("."), 2u);
  EXPECT_TRUE(directories["$Extend"]);
  EXPECT_FALSE(directories["$MFT"]);
  // A FAT32 root whose chain leads back to itself is listed as far as it goes; a note says where.
  const std::string looped = CopyImage(demo, "ls-loop.img");
  const std::vector<uint8_t> boot = ReadFileBytes(looped, 2048 * 512, 512);
  const TBpb bpb = DecodeBpb(std::span<const uint8_t, 512>(boot.data(), 512), fkFat32);
  const uint32_t c = bpb.RootCluster;
  WriteFileBytes(looped, (2048 + bpb.ReservedSectors) * 512ull + c * 4ull, {uint8_t(c), uint8_t(c >> 8), uint8_t(c >> 16), 0});
  std::string err;
  EXPECT_EQ(Entries("--partition 1 " + ShellQuote(looped), &err), listed);
  EXPECT_EQ(err, "quillmark-cli: The root directory's cluster chain breaks off after 1 cluster, at cluster " + std::to_string(c) +
                     ": the FAT leads from it back to cluster " + std::to_string(c) +
                     ", which comes earlier in the chain. The listing stops there.\n");
}

// What cannot be listed is refused; a root that cannot be read is one line that says why: an
// unrecognised kind, a boot sector that places nothing, or a sector that cannot be read, named.
TEST(CliLs, RefusesWhatCannotBeListed) {
  const std::string demo = DemoImage("ls-refuse.img"), damaged = CopyImage(demo, "ls-damaged.img");
  WriteFileBytes(damaged, 2048 * 512 + 0x0B, {0, 0});  // the FAT32 volume's bytes per sector
  QM_IMAGE(cut, "ls-cut.img", "32M", "table 'label: dos\\nunit: sectors\\n2048,60000,6' fs 1 fat16 CUT");
  const std::vector<uint8_t> boot = ReadFileBytes(cut, 2048 * 512, 512);
  const TBpb bpb = DecodeBpb(std::span<const uint8_t, 512>(boot.data(), 512), fkFat16);
  const uint64_t root = 2048 + bpb.ReservedSectors + uint64_t{bpb.FatCount} * bpb.SectorsPerFat16;
  std::filesystem::resize_file(cut, root * 512);  // the root directory lies past the end
  const std::string unlisted = "quillmark-cli: the root directory of the partition at sector ";
  const std::string unrecognized = " cannot be listed: Unrecognized file system or partition has been destroyed.\n";
  const struct { std::string args; int status; std::string error; } cases[] = {
      {"--partition 1 " + ShellQuote(damaged), 1, unlisted + "2048" + unrecognized},
      {"--partition 3 " + ShellQuote(demo), 1, unlisted + "116736" + unrecognized},  // the extended container
      {"--partition 1 " + ShellQuote(cut), 1, unlisted + "2048 cannot be listed: Error:No such device or address; LBA:" +
                                                 std::to_string(root) + "  Blocks:"},
      {"--at 300000 " + ShellQuote(demo), 1, "no partition starts at sector 300000"},
      {"--lost 9 " + ShellQuote(demo), 2, "there is no lost partition 9 in the list of"},
      {"--at 1 --lost 1 " + ShellQuote(demo), 2, "excludes"},
      {ShellQuote(demo), 2, "ls needs one of --partition, --lost or --at"},
  };
  for (const auto& c : cases) {
    const CliRun run = RunCliEnding("ls " + c.args, c.status);
    EXPECT_SAYS(run.err, c.error);
    EXPECT_TRUE(run.out.empty()) << run.out;
    if (c.error.rfind(unlisted, 0) == 0) {
      EXPECT_EQ(run.err.rfind(unlisted, 0), 0u) << run.err;
      EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    }
  }
}

// Sectors sixteen bytes a line, to the last of a disk of exactly 2 TiB (2^32 sectors, one more
// than a 32-bit count reaches) and of one a sector larger: each is counted whole.
TEST(CliDump, ShowsSectorsSixteenBytesALineToTheLastOfADiskOf2TiB) {
  for (const uint64_t sectors : {uint64_t{1} << 32, (uint64_t{1} << 32) + 1}) {
    SCOPED_TRACE(sectors);
    const std::string image = FreshPath("dump-" + std::to_string(sectors) + ".img"), img = " " + ShellQuote(image);
    std::ofstream(image).close();
    std::filesystem::resize_file(image, sectors * 512);  // sparse: it takes no room
    WriteFileBytes(image, 510, {0x55, 0xAA});
    WriteFileBytes(image, (sectors - 1) * 512, {'L', 'A', 'S', 'T'});
    const std::string last = std::to_string(sectors - 1), count = std::to_string(sectors);
    const CliRun run = RunCliEnding("dump --sector 0 --count 2" + img);
    std::vector<std::string> lines;
    std::istringstream text(run.out);
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 2 * 34 + 1u) << run.out;
    EXPECT_EQ(lines[0], " Sector 0 of " + count);
    EXPECT_EQ(lines[1], " Offset   00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F");
    // The master boot record ends in its signature; 0xAA is a character, zeroes are dots.
    EXPECT_EQ(lines[33], "000001F0  00 00 00 00 00 00 00 00 00 00 00 00 00 00 55 AA   ..............U\u00AA");
    EXPECT_EQ(lines[35], " Sector 1 of " + count);
    const CliRun shown = RunOn(image, "dump --sector " + last);
    EXPECT_EQ(shown.out.substr(0, shown.out.find('\n')), " Sector " + last + " of " + count);
    EXPECT_SAYS(shown.out, "\n00000000  4C 41 53 54 00 ");
    ExpectRefused("dump --sector " + count + img, 2, "which holds " + count + " sectors");
    for (const std::string& args : {"--sector " + last + " --count 2", std::string("--sector 0 --count 0"), std::string("--sector x")})
      ExpectRefused("dump " + args + img, 2, "");
    // The last sector a table can address is on the disk: asked for, it is searched, not refused.
    EXPECT_SAYS(RunCli("--quick-search-ms 0 recover --at 4294967295" + img).err, "no lost partition starts at sector 4294967295");
    std::filesystem::remove(image);
  }
}

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// A source that cannot be opened ends with status 1, a wrong option or command with 2, each
// saying why and writing nothing.
TEST(CliExitStatus, SourcesThatCannotBeOpenedAndOptionErrorsSayWhy) {
  QM_IMAGE(img, "exit-options.img", "32M", "");
  const std::string missing = std::string(QM_FIXTURE_DIR) + "/cli-no-such.img";
  const std::string empty = FreshPath("cli-empty.img"), tiny = FreshPath("cli-tiny.img"), fifo = FreshPath("cli-fifo");
  std::ofstream(empty).close();
  std::ofstream(tiny) << "not a disk";
  ASSERT_EQ(RunCommand("mkfifo " + ShellQuote(fifo)), 0);
  // A FIFO would hold open() until a writer came; a character device is no disk either.
  const std::string q = " " + ShellQuote(img), open = "cannot open ", notDisk = ": not a disk image or block device";
  const std::string mb = " must be a whole number of megabytes from 0 to 2097151\n";
  // The error after "quillmark-cli: "; the option parser's own words when empty.
  const struct { std::string args; int status; std::string error; } cases[] = {
      {"list --json" + q + " " + ShellQuote(missing), 1, open + missing + ": No such file or directory"},
      {"list " + ShellQuote(empty), 1, open + empty + ": the image is empty"},
      {"list " + ShellQuote(tiny), 1, open + tiny + ": too small to hold a partition table (less than one sector)"},
      {"list " + ShellQuote(QM_FIXTURE_DIR), 1, open + QM_FIXTURE_DIR + notDisk},
      {"scan " + ShellQuote(fifo), 1, open + fifo + notDisk},
      {"recover --yes --at 63 /dev/null", 1, open + "/dev/null" + notDisk},
      {"scan --start-mb -1" + q, 2, "--start-mb" + mb},
      {"scan --end-mb 2097152" + q, 2, "--end-mb" + mb},
      {"recover --at 5 --start-mb ' 7'" + q, 2, "--start-mb" + mb},
      {"recover --at 4294967296" + q, 2, "--at must be a sector number (LBA) from 0 to 4294967295\n"},
      {"scan --partition 0" + q, 2, "--partition must be the number of a row of the partition list"},
      {"scan --partition 2" + q, 2, "there is no partition 2 in the list of " + img + ": the list holds partition 1 only\n"},
      // Megabytes the disk does not reach: the dialog's own words, then the disk's size.
      {"scan --start-mb 2097151" + q, 2, "Sector range exceeded the limit.\nThe disk holds 32.00 MB (65536 sectors).\n"},
      {"--yes lsit" + q, 2, "unknown command \"lsit\"; the commands are list, scan,"},
      {"", 2, ""},
      {"list --bogus", 2, ""},
  };
  const auto before = ReadFileBytes(img, 0, 512);
  for (const auto& c : cases) ExpectRefused(c.args, c.status, c.error.empty() ? "" : "quillmark-cli: " + c.error);
  EXPECT_EQ(ReadFileBytes(img, 0, 512), before);
}

TEST(CliExitStatus, OutputThatCannotBeWrittenIsAFailure) {
  QM_IMAGE(img, "exit-output.img", "32M", "table 'label: dos\\nunit: sectors\\n2048,20480,6'");
  for (const auto& [redirect, reason] : {std::pair{">/dev/full", "the output could not be written: "},
                                         std::pair{">&-", "the output could not be written: standard output is closed"}})
    for (const char* command : {"list ", "list --json ", "scan "}) {
      EXPECT_SAYS(RunCliEnding(command + ShellQuote(img) + " " + redirect, 1).err, reason);
    }
  // A recovery whose report cannot be written is still done.
  const std::string demo = DemoImage("exit-recover.img");
  EXPECT_SAYS(RunCliEnding("recover --yes --at " + std::to_string(kLostNtfs) + " " + ShellQuote(demo) + " >/dev/full", 3).err,
              "the output could not be written");
  const auto entries = SfdiskEntries(demo);
  EXPECT_EQ(std::count_if(entries.begin(), entries.end(), [](const EntryKey& e) { return std::get<0>(e) == kLostNtfs; }), 1);
}

// Runs `args` at a terminal and answers every question it asks with `answer`: its exit status
// and what the terminal showed.
std::pair<int, std::string> AnswerAtTerminal(const std::string& args, const std::string& answer) {
  CliAtTerminal cli(args);
  EXPECT_TRUE(cli.Started());
  while (cli.WaitForQuestion()) cli.Type(answer);
  const int status = cli.Finish();
  return {status, cli.shown};
}

// Reads past the end of a loop device's backing file fail with EIO: the demo image is attached
// whole, then cut short behind the device's back, first at 200 MiB (in front of the lost NTFS
// volume's end), then at 50 MiB (in front of the extended partition's tables).
TEST(CliReadErrorOnDevice, ScansAndListingsPastTheEndSayWhatFailed) {
  const std::string image = DemoImage("exit-eio.img");
  LoopDevice loop(image, 512);
  if (!loop.skip.empty()) GTEST_SKIP() << loop.skip;
  std::filesystem::resize_file(image, 200ull << 20);
  // A scan stopped by a read error fails (--yes ignores no error); what it found is still listed.
  CliRun run = RunCliEnding("--yes scan --json " + loop.path, 1);
  EXPECT_SAYS(run.err, "Read Error: ");
  EXPECT_SAYS(run.err, "quillmark-cli: The scan stopped at a read error: the rest of the range was not searched.\n");
  const json doc = json::parse(run.out, nullptr, false);
  ASSERT_FALSE(doc.is_discarded()) << run.out;
  EXPECT_EQ(doc["drives"][0]["lost"].size(), 2u);
  // Errors ignored at the terminal are counted in the summary, one a block.
  const std::string errFile = ProcessFixtureDir() + "/exit-eio.err";
  EXPECT_EQ(AnswerAtTerminal("scan " + loop.path + " >/dev/null 2>" + ShellQuote(errFile), "i\n").first, 3);
  const std::string err = ReadWholeFile(errFile);
  const size_t errors = Count(err, "Read Error: ");
  EXPECT_GT(errors, 100u);
  EXPECT_SAYS(err, "quillmark-cli: " + std::to_string(errors) + " read errors were ignored during the scan");
  // A listing with unread tables is done with trouble.
  std::filesystem::resize_file(image, 50ull << 20);
  run = RunCliEnding("list " + loop.path, 3);
  EXPECT_SAYS(run.err, " met; what is shown may be incomplete\n");
  EXPECT_SAYS(run.out, "Partitions\n");
}

// Only --yes or a person answers a question, not a yes piped in; at a terminal it is asked there
// when stderr goes to a file. Nothing found at the sector, no --at, one beyond the disk: refused.
TEST(CliTerminal, AQuestionIsAskedAtTheTerminalWhenStderrGoesToAFile) {
  const std::string img = DemoImage("exit-tty.img");
  const std::string recover = "recover --at " + std::to_string(kLostNtfs) + " " + ShellQuote(img);
  const auto before = ReadFileBytes(img, 0, 512);
  std::string said;  // the question says how undo takes the write back
  EXPECT_EQ(RunCommand("yes | " + ShellQuote(QM_CLI_PATH) + " " + recover + " 2>&1", &said), 1);
  EXPECT_SAYS(said, "Recovering: You are recovering partition. The partition table sectors it changes are "
                    "saved first;\n`quillmark-cli undo` or Tools > Undo last change takes the change back");
  ExpectRefusedBeforeAsking("recover --at 5000", img, "no lost partition starts at sector 5000");
  ExpectRefused("recover --yes --at 99999999 " + ShellQuote(img), 2, "sector 99999999 lies beyond the end of ");
  ExpectRefused("recover --yes " + ShellQuote(img), 2, "--at is required");
  const std::string errFile = ProcessFixtureDir() + "/exit-tty.err";
  const auto [status, shown] = AnswerAtTerminal(recover + " 2>" + ShellQuote(errFile), "n\n");
  EXPECT_EQ(status, 1);
  EXPECT_SAYS(shown, "Recovering: You are recovering partition.");
  EXPECT_SAYS(shown, "[y]es / [N]o? ");
  // The file keeps the whole record; the terminal shows only what asks for an answer.
  const std::string err = ReadWholeFile(errFile);
  EXPECT_SAYS(err, "Recovering: You are recovering partition.");
  EXPECT_SAYS(err, "recovery cancelled; nothing was written");
  EXPECT_EQ(shown.find("recovery cancelled"), std::string::npos) << shown;
  // With stderr at the terminal, the question is shown once.
  const auto [directStatus, direct] = AnswerAtTerminal(recover, "n\n");
  EXPECT_EQ(directStatus, 1);
  EXPECT_EQ(Count(direct, "You are recovering partition."), 1u) << direct;
  EXPECT_EQ(Count(direct, "[y]es / [N]o? "), 1u) << direct;
  EXPECT_EQ(ReadFileBytes(img, 0, 512), before);
}

}  // namespace
}  // namespace qm::test
