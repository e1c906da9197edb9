// quillmark-cli recover and clone on damaged tables, a held source, Ctrl+C, loop devices as
// /dev/sdX: a correct write, or a refusal before any question that writes nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <regex>
#include <set>

#include "CliRun.h"
#include "disk/Bytes.h"
#include "disk/KernelPartitions.h"
#include "edit/Clone.h"
#include "scan/OpenDrive.h"
#include "scan/ScanHelpers.h"
#include "support/ScriptedHost.h"
#include "support/Sources.h"

namespace qm::test {
namespace {

struct RefusalCase {
  const char* name;
  std::string steps;                               // mkimage steps on a 64 MiB image
  std::function<void(const std::string&)> damage;  // what no tool makes
  uint64_t at;                                     // the lost volume to recover
  const char* says;                                // part of the refusal
};

using Image = const std::string&;
const RefusalCase kRefusals[] = {
    {"ExtendedEntryAtSectorZero", "table 'label: dos\\nunit: sectors\\n2048,20480,6' fs 1 fat16 fsat 40960 8192 fat16",
     [](Image i) { PutEntry(i, 0, 1, 0x05, 0, 65536); }, 40960, "extended partition that starts at sector 0"},
    {"TwoExtendedEntries", "fsat 30000 8192 fat16", [](Image i) {  // each with a logical drive
       PutEntry(i, 0, 0, 0x05, 20480, 20480), PutEntry(i, 0, 1, 0x05, 2048, 60000);
       PutEntry(i, 20480, 0, 0x06, 2048, 2000), PutEntry(i, 2048, 0, 0x06, 63, 1000);
     }, 30000, "holds more than one extended partition"},
    {"ExtendedOverlapsAPrimary", "fsat 80000 8192 fat16", [](Image i) {
       PutEntry(i, 0, 0, 0x06, 2048, 40960), PutEntry(i, 0, 1, 0x05, 30720, 40000), PutEntry(i, 30720, 0, 0x06, 63, 1000);
     }, 80000, "overlaps the partition at sector 2048"},
    // The extended partition's first sector, its first extended boot record, is the primary's last.
    {"ExtendedStartsOnAPrimarysLastSector", "fsat 80000 8192 fat16", [](Image i) {
       PutEntry(i, 0, 0, 0x06, 2048, 40960), PutEntry(i, 0, 1, 0x05, 43007, 30000), PutEntry(i, 43007, 0, 0x06, 63, 1000);
     }, 80000, "(sectors 43007 to 73006) that overlaps the partition at sector 2048"},
    {"CyclicChain", "table 'label: dos\\nunit: sectors\\n2048,20480,6\\n30720,80000,5\\n32768,8192,6' fsat 60000 8192 fat16",
     [](Image i) { PutEntry(i, 30720, 1, 0x05, 0, 4096); }, 60000, "runs in a circle at sector 30720"},
    {"ChainOfThreeHundredTables", "fsat 60000 8192 fat16", [](Image i) {
       PutEntry(i, 0, 0, 0x05, 2048, 100000);
       for (uint32_t k = 0; k < 300; ++k) {
         PutEntry(i, 2048 + 64 * k, 0, 0x06, 1, 32);
         if (k + 1 < 300) PutEntry(i, 2048 + 64 * k, 1, 0x05, 64 * (k + 1), 64);
       }
     }, 60000, "longer than 256 tables"},
    {"WholeDiskFat32", "fsat 0 80000 fat32 fsat 100000 8192 fat16", nullptr, 100000, "holds one volume and no partition table"},
    {"GptWithoutItsBackup", "table-gpt 'label: gpt\\n2048,20480' fsat 40960 8192 fat16 sector 131071 00", nullptr, 40960,
     "GUID partition table with a damaged copy"},
    {"GptPartitionOverVolume", "table-gpt 'label: gpt\\n2048,20480' fsat 10240 8192 fat16", nullptr, 10240,
     "The lost partition overlaps partition 1 of the list, so it cannot be recovered while that partition is in the "
     "tables.\nUse 'Rebuild' to make new tables without it, or 'Clone' to copy the lost partition elsewhere."},
    // A volume of an older layout across the end of one partition and the start of the next.
    {"VolumeAcrossTwoPartitions",
     "table 'label: dos\\nunit: sectors\\n2048,8192,6\\n10240,8192,6' fs 1 fat16 fs 2 fat16 fsat 6144 8192 fat16",
     nullptr, 6144, "overlaps partitions 1 and 2 of the list, so it cannot be recovered while they are in the tables."},
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class CliRecoverRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(CliRecoverRefusal, RefusesBeforeAskingAndWritesNothing) {
  const RefusalCase& c = GetParam();
  QM_IMAGE(image, std::string("refuse-") + c.name + ".img", "64M", c.steps);
  if (c.damage) c.damage(image);
  ExpectRefusedBeforeAsking("recover --at " + std::to_string(c.at), image, c.says);
}

INSTANTIATE_TEST_SUITE_P(DamagedTables, CliRecoverRefusal, ::testing::ValuesIn(kRefusals));

// A GUID partition table on disks of 512- and 4096-byte sectors, listed as the system's tools
// list it: a deleted partition is found and recovered into both copies, and undone byte for
// byte. With the primary header damaged the table is read from the backup, and a change is
// written only when the user trusts that copy.
class CliGptDisk : public ::testing::TestWithParam<unsigned> {};

TEST_P(CliGptDisk, ADeletedPartitionIsFoundRecoveredAndUndone) {
  const unsigned size = GetParam(), per = size / 512;  // 512-byte blocks per sector
  if (!HaveTools({"sgdisk"})) return;
  if (size != 512 && ::geteuid() != 0) GTEST_SKIP() << "disks with larger sectors are made on loop devices, which need root";
  // A FAT16 partition 1 MiB in and a Linux one, 32 MiB each, free space behind.
  const uint64_t first = 2048 / per, length = 65536 / per, second = first + length + 2048 / per;
  const std::string image = MakeGptImage("gpt-" + std::to_string(size) + ".img", size, "96M",
                                         "label: gpt\\n" + std::to_string(first) + "," + std::to_string(length) + ",U\\n" +
                                             std::to_string(second) + "," + std::to_string(length) + ",L");
  ASSERT_FALSE(image.empty());
  const std::string sectorOption = size == 512 ? "" : "--sector-size " + std::to_string(size) + " ";
  const auto cli = [&](const std::string& args) { return RunOn(image, sectorOption + args); };
  const auto listed = [&] { return nlohmann::json::parse(cli("list --json").out)["drives"][0]; };
  // Each entry as "start sectors type-GUID GUID", as sfdisk shows it.
  const auto sfdiskRows = [&] {
    std::string dump;
    EXPECT_EQ(ToolOnDisk(image, size, "sfdisk --dump", &dump), 0) << dump;
    static const std::regex entry(R"(start=\s*(\d+), size=\s*(\d+), type=([0-9A-F-]+), uuid=([0-9A-F-]+))");
    std::vector<std::string> rows;
    for (std::sregex_iterator m(dump.begin(), dump.end(), entry), end; m != end; ++m)
      rows.push_back((*m)[1].str() + " " + (*m)[2].str() + " " + (*m)[3].str() + " " + (*m)[4].str());
    return rows;
  };
  const auto verified = [&] {
    std::string out;
    EXPECT_EQ(ToolOnDisk(image, size, "sgdisk -v", &out), 0) << out;
    EXPECT_SAYS(out, "No problems found");
  };
  const std::string recover = "recover --at " + std::to_string(first);
  const nlohmann::json drive = listed();
  EXPECT_EQ(drive["geometry"]["bytes_per_sector"], size);
  EXPECT_EQ(drive["partitions"][0]["gpt"]["type"], "EFI System");
  std::vector<std::string> rows;
  for (const nlohmann::json& p : drive["partitions"])
    if (!p["gpt"].is_null())
      rows.push_back(p["lba"].dump() + " " + p["sectors"].dump() + " " + p["gpt"]["type_guid"].get<std::string>() + " " +
                     p["gpt"]["guid"].get<std::string>());
  EXPECT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows, sfdiskRows());
  ASSERT_EQ(ToolOnDisk(image, size, "sfdisk -q --delete", nullptr, " 1"), 0);
  const std::string deleted = ReadWholeFile(image);
  EXPECT_SAYS(cli("scan").out, std::to_string(first) + "  32.00 MB  Lost partition");
  cli("--yes " + recover);
  verified();
  EXPECT_EQ(sfdiskRows().front().rfind(std::to_string(first) + " " + std::to_string(length) +
                                           " EBD0A0A2-B9E5-4433-87C0-68B6B72699C7 ", 0), 0u);
  // Only the slot's array sector and the header of each copy were written.
  const std::string now = ReadWholeFile(image);
  std::vector<uint64_t> changed;
  for (uint64_t s = 0; s < now.size() / size; ++s)
    if (now.compare(s * size, size, deleted, s * size, size) != 0) changed.push_back(s);
  const uint64_t last = now.size() / size - 1;
  EXPECT_EQ(changed, (std::vector<uint64_t>{1, 2, last - 16384 / size, last}));
  cli("--yes undo");
  EXPECT_TRUE(ReadWholeFile(image) == deleted);
  WriteFileBytes(image, size + 16, {0, 0, 0, 0});  // the primary header's checksum
  const std::string notes = listed()["notes"].dump();
  EXPECT_SAYS(notes, "read from its backup copy at sector " + std::to_string(last));
  EXPECT_SAYS(notes, "The checksum of the primary GPT header is wrong.");
  ExpectRefusedBeforeAsking(sectorOption + recover, image, "--use-backup-gpt");
  ExpectRefusedBeforeAsking(sectorOption + "--use-primary-gpt " + recover, image, "--use-backup-gpt");
  cli("--yes --use-backup-gpt " + recover);
  verified();
  EXPECT_SAYS(listed()["notes"].dump(), "read from its primary copy.\"");
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, CliGptDisk, ::testing::Values(512u, 4096u));

TEST(CliRecoverSafety, ReadOnlySourceIsRefusedBeforeAsking) {
  QM_IMAGE(image, "read-only.img", "64M", "table 'label: dos\\nunit: sectors\\n2048,20480,6' fs 1 fat16 fsat 40960 8192 fat16");
  std::string as;  // run as a user who may read the image but not write it
  ::chmod(image.c_str(), ::geteuid() == 0 ? 0644 : 0444);
  if (::geteuid() == 0) {
    if (RunCommand("command -v setpriv >/dev/null") != 0) GTEST_SKIP() << "setpriv is not installed";
    as = "setpriv --reuid 65534 --regid 65534 --clear-groups ";
  }
  std::string err;
  const int status = RunCommand(as + ShellQuote(QM_CLI_PATH) + " recover --yes --at 40960 " + ShellQuote(image) + " 2>&1 </dev/null", &err);
  if (err.find("Permission denied") != std::string::npos && err.find("cannot be opened for writing") == std::string::npos)
    GTEST_SKIP() << "the test user cannot read the fixture folder: " << err;
  EXPECT_EQ(status, 1) << err;
  EXPECT_SAYS(err, "cannot be opened for writing: Permission denied");
  EXPECT_EQ(err.find("You are recovering partition"), std::string::npos) << err;
}

// Two copies of the program recover the two lost volumes at once, many times over: a run either
// writes its partition and it stays, or it is refused because the other one holds the drive.
TEST(CliRecoverSafety, TwoProgramsAtOnceNeverLoseAnEntry) {
  for (int round = 0; round < 10; ++round) {
    QM_IMAGE(image, "race.img", "64M",
             "table 'label: dos\\nunit: sectors\\n2048,20480,6' fs 1 fat16 fsat 40960 8192 fat16 A fsat 61440 8192 fat16 B");
    const auto run = [&](const char* at) {
      return ShellQuote(QM_CLI_PATH) + " recover --yes --at " + at + " " + ShellQuote(image) + " >/dev/null 2>&1";
    };
    std::string statuses;
    RunCommand("sh -c " + ShellQuote("(" + run("40960") + "; echo A$?) & (" + run("61440") + "; echo B$?) & wait"), &statuses);
    std::set<uint64_t> starts;
    for (const EntryKey& e : SfdiskEntries(image)) starts.insert(std::get<0>(e));
    for (const auto& [tag, start] : {std::pair{"A", 40960}, std::pair{"B", 61440}}) {
      const bool wrote = statuses.find(std::string(tag) + "0") != std::string::npos;
      EXPECT_TRUE(wrote || statuses.find(std::string(tag) + "1") != std::string::npos) << statuses;
      EXPECT_EQ(wrote, starts.count(start) == 1) << "round " << round << ": " << statuses;
    }
    EXPECT_TRUE(starts.count(2048));
  }
}

// A volume out of the table with its first sector wiped is found from its backup (FAT32 6
// sectors in, NTFS in its last); --restore-boot-sector alone copies the backup back.
TEST(CliRecoverSafety, DestroyedBootSectorIsRestoredOnlyWhenAskedFor) {
  // The entry's size and type as sfdisk takes them, and the file system made in it.
  const struct { const char* image; std::string entry; EntryKey recovered; uint64_t backup; bool restore; } cases[] = {{"wiped-keep.img", "71680,c' fs 1 fat32", {2048, 71680, 0x0b}, 2054, false},
               {"wiped-restore.img", "71680,c' fs 1 fat32", {2048, 71680, 0x0b}, 2054, true},
               {"wiped-ntfs.img", "40960,7' fs 1 ntfs", {2048, 40960, 0x07}, 2048 + 40959, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.image);
    QM_IMAGE(image, c.image, "64M", "table 'label: dos\\nunit: sectors\\n2048," + c.entry + " WIPED sector 2048 00 lose 1");
    const std::string args = std::string("recover --yes --at 2048") + (c.restore ? " --restore-boot-sector" : "");
    // The dry run shows the boot sector's write exactly when the real run makes it.
    const CliRun dry = RunOn(image, "--dry-run " + args);
    EXPECT_EQ(dry.out.find("sector 2048 offset 0x000") != std::string::npos, c.restore) << dry.out;
    const std::string before = ReadWholeFile(image);
    const CliRun run = RunOn(image, args);
    EXPECT_EQ(SfdiskEntries(image), std::vector<EntryKey>{c.recovered});
    EXPECT_EQ(ReadFileBytes(image, 2048 * 512, 512) == ReadFileBytes(image, c.backup * 512, 512), c.restore);
    EXPECT_EQ(run.err.find("is left destroyed") != std::string::npos, !c.restore) << run.err;
    // The listing comes after the restore: the volume's label shows once its boot sector is back.
    const size_t restored = run.out.find("The boot sector was restored from its backup.\n");
    const size_t listing = run.out.find("#0: 80H");
    ASSERT_NE(listing, std::string::npos) << run.out;
    EXPECT_EQ(restored != std::string::npos && restored < listing, c.restore) << run.out;
    EXPECT_EQ(run.out.find(" WIPED ", listing) != std::string::npos, c.restore) << run.out;
    RunOn(image, "--yes undo");  // takes back all the recovery wrote, the boot sector too
    EXPECT_TRUE(ReadWholeFile(image) == before);
  }
}

TEST(CliRecoverSafety, CtrlCDuringTheScanWritesNothingAndAScanStillShowsItsFinds) {
  // 8 GiB, sparse: the scan behind the lost volume reads zeroes for a few seconds.
  QM_IMAGE(image, "interrupt.img", "8G", "table 'label: dos\\nunit: sectors\\n2048,20480,6' fs 1 fat16 fsat 40960 8192 fat16");
  const std::vector<uint8_t> before = ReadFileBytes(image, 0, 1 << 20);
  // Ctrl+C comes at 1%, behind the volume, with no quick search at open to find it at once.
  const char* const onePercent = "]   1%";
  EXPECT_EQ(CtrlCOnceShown("--quick-search-ms 0 recover --yes --at 40960 --start-mb 0 --end-mb 8000 " + ShellQuote(image),
                           onePercent),
            130);
  EXPECT_TRUE(ReadFileBytes(image, 0, 1 << 20) == before);
  const std::string out = FreshPath("interrupt-scan.json");  // a scan stopped so still shows its finds
  EXPECT_EQ(CtrlCOnceShown("--quick-search-ms 0 scan --json " + ShellQuote(image) + " >" + ShellQuote(out), onePercent),
            130);
  const auto lost = nlohmann::json::parse(ReadWholeFile(out), nullptr, false)["drives"][0]["lost"];
  ASSERT_EQ(lost.size(), 1u) << lost;
  EXPECT_EQ(lost[0]["lba"], 40960);
}

// NTFS counts its volume one sector short of its partition, leaving out the backup boot sector.
constexpr uint64_t kFat32 = 12288, kFat32Size = 70000, kNtfs = 83968, kNtfsSize = 40959;

// A small listed FAT16 and, behind it, a FAT32 and an NTFS volume that no entry points to.
std::string SourceImage(const std::string& name) {
  return MakeImage(name, "64M", "table 'label: dos\\nunit: sectors\\n2048,8192,6' fs 1 fat16 "
                               "fsat 12288 70000 fat32 LOSTF fsat 83968 40960 ntfs LOSTN");
}

constexpr auto kRwR = std::filesystem::perms::owner_read | std::filesystem::perms::owner_write | std::filesystem::perms::group_read;

std::string Clone(uint64_t at, const std::string& to, const std::string& image) {
  return "clone --at " + std::to_string(at) + " --to " + ShellQuote(to) + " " + ShellQuote(image);
}

// The temporary files a copy into `path` left in its folder.
std::vector<std::string> Leftovers(const std::string& path) {
  const std::filesystem::path target(path);
  const std::string stem = "." + target.filename().string() + ".quillmark-";
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::directory_iterator(target.parent_path()))
    if (entry.path().filename().string().rfind(stem, 0) == 0) found.push_back(entry.path().string());
  return found;
}

struct Refusal {  // `target` gives the bytes that must stay as they are
  std::string to, more;
  const char* says;
  std::function<std::string()> target;
};

// Each refusal comes before any write; the source is never written either.
void ExpectRefusals(const std::string& src, const std::vector<Refusal>& cases) {
  const std::string source = ReadWholeFile(src);
  for (const Refusal& c : cases) {
    const std::string was = c.target();
    const CliRun run = RunCliEnding(Clone(kFat32, c.to, src) + " " + c.more, 1);
    EXPECT_SAYS(run.err, c.says);
    EXPECT_SAYS(run.err, "nothing was written");
    EXPECT_TRUE(c.target() == was) << c.to;
  }
  EXPECT_TRUE(ReadWholeFile(src) == source);
}

TEST(CliClone, RefusedTargetsNoAnswerAndCtrlCWriteNothing) {
  const std::string src = SourceImage("clone-refuse.img"), existing = FreshPath("clone-existing.img");
  if (src.empty()) return;
  std::ofstream(existing) << "keep";
  auto kept = [&] { return ReadWholeFile(existing); };
  // No file is made under /dev (it would fill its memory), also where a link or ".." leads.
  const std::string missing = "/dev/qm-test-missing-" + std::to_string(::getpid());
  const std::string link = FreshPath("clone-dev-link"), devFolder = FreshPath("clone-dev-folder");
  std::filesystem::create_symlink(missing, link);
  std::filesystem::create_directory_symlink("/dev/pts", devFolder);
  auto none = [&] { return std::string(std::filesystem::exists(missing) ? "made" : "none"); };
  const char* notThere = "does not exist:\na volume under /dev must be an existing block device";
  std::vector<Refusal> refusals{{src, "--yes", "holds the drive that the lost partition lies on", kept},
                                 {ProcessFixtureDir(), "--yes", "is neither a block device nor a regular file", kept},
                                 {"/dev/null", "--yes", "is neither a block device nor a regular file", kept},
                                 {missing, "--yes", notThere, none},
                                 {link, "--yes", notThere, none},
                                 {existing, "", "already exists. Replace it", kept}};
  if (std::filesystem::is_directory("/dev/pts"))  // ".." from /dev/pts, not from the link's folder
    refusals.push_back({devFolder + "/../" + missing.substr(5), "--yes", notThere, none});
  ExpectRefusals(src, refusals);
  EXPECT_FALSE(std::filesystem::exists(missing));
  if (::access("/dev", W_OK) == 0) {  // a regular file that is there already is no volume either
    std::ofstream(missing) << "keep";
    ExpectRefusals(src, {{missing, "--yes", "is a regular file, not a block device", [&] { return ReadWholeFile(missing); }}});
    std::filesystem::remove(missing);
  }
  const std::string fresh = FreshPath("clone-unasked.img");
  EXPECT_EQ(RunCli(Clone(kFat32, fresh, src)).status, 1);  // nobody to answer: no file either
  EXPECT_FALSE(std::filesystem::exists(fresh));
  EXPECT_EQ(CtrlCOnceShown(Clone(kFat32, fresh, src)), 130);  // Ctrl+C at the question
  EXPECT_FALSE(std::filesystem::exists(fresh));
}

// Ctrl+C while the copy runs (held at its first progress report by Ctrl+S, so it stops after
// one block), or a write that fails (at a file size limit here): an old image file keeps its
// content, a new one is not made, and nothing else is left in the folder.
TEST(CliClone, CtrlCOrAFailedWriteKeepsTheOldFileOrMakesNone) {
  const std::string src = SourceImage("clone-interrupted.img");
  if (src.empty()) return;
  const std::string old = "an image the user kept" + std::string(1 << 20, 'x');
  for (const bool existing : {true, false}) {
    SCOPED_TRACE(existing ? "an old file" : "a new file");
    const std::string out = FreshPath(existing ? "clone-old.img" : "clone-new.img");
    if (existing) std::ofstream(out, std::ios::binary) << old;
    CliAtTerminal cli(Clone(kFat32, out, src));
    ASSERT_TRUE(cli.Started());
    if (existing) {
      ASSERT_TRUE(cli.WaitFor("[y]es / [N]o? ")) << cli.shown;  // replace the file?
      cli.Type("y\n");
    }
    ASSERT_TRUE(cli.WaitFor("[o]k / [C]ancel? ")) << cli.shown;
    cli.Type("\x13o\n");
    const auto firstBlockWritten = [&] {
      std::error_code ec;
      const std::vector<std::string> files = Leftovers(out);
      return files.size() == 1 && std::filesystem::file_size(files[0], ec) >= 2048 * 512 && !ec;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!firstBlockWritten() && cli.Running() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(firstBlockWritten()) << cli.shown;
    cli.Type("\x03");
    EXPECT_EQ(cli.Finish(), 130) << cli.shown;
    EXPECT_SAYS(cli.shown, "The clone was stopped after 2048 of 70000 sectors:");
    EXPECT_SAYS(cli.shown, out + (existing ? " keeps its old content." : " was not created."));
    EXPECT_TRUE(existing ? ReadWholeFile(out) == old : !std::filesystem::exists(out));
    EXPECT_TRUE(Leftovers(out).empty());
  }
  const std::string out = FreshPath("clone-old.img"), limited = "ulimit -f 3072; trap '' XFSZ; exec " +
                                                                ShellQuote(QM_CLI_PATH) + " " + Clone(kFat32, out, src);
  std::ofstream(out, std::ios::binary) << old;
  std::string said;
  EXPECT_EQ(RunCommand("sh -c " + ShellQuote(limited + " --yes 2>&1"), &said), 1);
  EXPECT_SAYS(said, "The clone failed after 2048 of 70000 sectors:\n" + out +
                        " keeps its old content.\nFile too large at sector 3072 of the target.");
  EXPECT_TRUE(ReadWholeFile(out) == old);
  EXPECT_TRUE(Leftovers(out).empty());
}

// Of a smaller FAT32, an NTFS and a mounted ext4 volume on a loop device, only the NTFS one
// takes a copy, of the lost NTFS volume, and the sector behind it keeps its bytes.
TEST(CliCloneOnDevice, SmallForeignAndMountedVolumesAreRefused) {
  const std::string src = SourceImage("clone-dev-src.img");
  if (src.empty()) return;
  QM_IMAGE(target, "clone-target.img", "96M",
           "table 'label: dos\\nunit: sectors\\n2048,68000,b\\n71680,80000,7\\n153600,32768,83' fs 1 fat32 SMALL fs 2 ntfs OTHER");
  LoopDevice loop(target, 512, /*partitions=*/true);
  if (!loop.skip.empty()) GTEST_SKIP() << loop.skip;
  const std::string mnt = ProcessFixtureDir() + "/clone-mnt", p = loop.path + "p";
  std::filesystem::create_directories(mnt);
  // partx -u also mends partitions that an earlier user of the device left behind.
  const std::string sys = "/sys/class/block/" + loop.path.substr(5) + "p3";
  if (RunCommand("partx -u " + loop.path + " && test -e " + sys + " && " + kToolPath + "mkfs.ext4 -q " + p +
                 "3 && mount " + p + "3 " + ShellQuote(mnt) + " 2>/dev/null") != 0)
    GTEST_SKIP() << "this machine does not mount a loop device's partition";
  loop.mounted = mnt;
  auto at = [&](uint64_t sector) { return [&, sector] { return Bytes(target, sector, 2); }; };
  ExpectRefusals(src, {{p + "1", "--yes", "The capacity of destination drive mustn't less", at(2048)},
                       {p + "2", "--yes", "(FAT32) does not\nmatch the file system type of destination drive (NTFS)", at(71680)},
                       {p + "3", "--yes", "is in use: it is mounted", at(153600)},
                       {loop.path, "--yes", "is in use: it is mounted", at(0)}});
  const std::string behind = Bytes(target, 71680 + kNtfsSize, 1);
  RunCliEnding(Clone(kNtfs, p + "2", src) + " --yes");
  EXPECT_TRUE(Bytes(target, 71680, kNtfsSize) == Bytes(src, kNtfs, kNtfsSize));
  EXPECT_EQ(Bytes(target, 71680 + kNtfsSize, 1), behind);
}

// An image file is copied beside the old one, which stays until the copy is complete. On a
// 48 MiB tmpfs an old sparse file of 64 MiB holding 16 MiB leaves too little room for the
// 34.18 MB copy, whether its length or its blocks were counted as coming free; holding 4 MiB, not.
TEST(CliCloneOnDevice, AnImageFileIsReplacedOnlyWithRoomBesideIt) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
  const std::string src = SourceImage("clone-room-src.img"), dir = FreshPath("clone-room");
  if (src.empty()) return;
  std::filesystem::create_directories(dir);
  if (RunCommand("mount -t tmpfs -o size=48m tmpfs " + ShellQuote(dir) + " 2>/dev/null") != 0)
    GTEST_SKIP() << "this machine does not mount a tmpfs";
  const struct Unmount {
    std::string dir;
    ~Unmount() { RunCommand("umount " + ShellQuote(dir)); }
  } unmount{dir};
  const std::string out = dir + "/old.img";
  const auto holding = [&](size_t mib) {
    std::filesystem::remove(out);
    std::ofstream(out, std::ios::binary) << std::string(mib << 20, 'o');
    std::filesystem::resize_file(out, 64 << 20);
    ::chmod(out.c_str(), 0640);
  };
  holding(16);
  const std::string before = ReadWholeFile(out);
  EXPECT_SAYS(RunCliEnding(Clone(kFat32, out, src) + " --yes", 1).err,
              "There is not enough free space for " + out + ":\n34.18 MB needed, ");
  EXPECT_TRUE(ReadWholeFile(out) == before);
  EXPECT_TRUE(Leftovers(out).empty());
  holding(4);
  RunCliEnding(Clone(kFat32, out, src) + " --yes");
  EXPECT_TRUE(ReadWholeFile(out) == Bytes(src, kFat32, kFat32Size));
  EXPECT_EQ(std::filesystem::status(out).permissions(), kRwR);
  EXPECT_TRUE(Leftovers(out).empty());
}

// A piece of the FAT32 volume that cannot be read is passed over: the image holds zeros there,
// the user is told where, and nothing is written to the source drive. A listed one is refused.
TEST(CloneOnImages, OnlyALostPartitionIsClonedAndUnreadablePiecesAreSkippedAndTold) {
  const std::string src = SourceImage("clone-core.img"), out = FreshPath("clone-core-out.img");
  if (src.empty()) return;
  ScriptedHost host{MsgAnswer::Ok};
  const uint64_t bad = kFat32 + 2048 + 128;  // the second 64 KiB of the second block
  auto source = std::make_unique<FaultSource>(std::make_unique<FileSource>(src));
  const std::shared_ptr<FaultSource::State> faults = source->state;
  faults->readFaults[bad * 512] = Fault{FaultKind::Error, EIO, -1};
  TDriveGeometry g;
  auto disk = SourceDisk(std::move(source));
  ASSERT_TRUE(disk->QueryGeometry(g));
  std::unique_ptr<TPhysicalDrv> drive = OpenDrive(std::move(disk), g);
  // Only a lost partition is cloned: a listed one is refused before anything is asked or made.
  Outcome refusal;
  EXPECT_EQ(PrepareClone(*drive, *drive->Root.Children.front(), out, refusal), nullptr);
  EXPECT_EQ(refusal.Text, "The selected record is not a lost partition of drive 80H.");
  EXPECT_FALSE(std::filesystem::exists(out));
  TPartition* lost = nullptr;
  for (auto& p : drive->LostPartitions)
    if (p->AbsoluteStart() == kFat32) lost = p.get();
  ASSERT_NE(lost, nullptr);
  std::unique_ptr<TClonePlan> plan = PrepareClone(*drive, *lost, out, refusal);
  ASSERT_TRUE(plan && ConfirmClone(drive->Io().UserHost(), *plan)) << refusal.Text;
  const CloneReport report = CloneLostPartition(*drive, *plan, nullptr);
  EXPECT_EQ(report.Result, CloneResult::Copied);
  EXPECT_FALSE(drive->Scanning);
  EXPECT_EQ(host.messages.size(), 1u);  // the question; the end is returned, in one message
  EXPECT_EQ(report.Told.Caption, "Clone completed");
  EXPECT_SAYS(report.Told.Text, "\r\r128 sectors of the lost partition could not be read (the first at sector " +
                                    std::to_string(bad) + ") and were passed over:\rthe image holds zeros there.");
  EXPECT_TRUE(ReadWholeFile(out) == Bytes(src, kFat32, kFat32Size).replace(2176 * 512, 128 * 512, 128 * 512, '\0'));
  EXPECT_TRUE(faults->writeOffsets.empty());
}

std::vector<KernelPartition> Listed(const std::string& device) {
  struct stat st {};
  EXPECT_EQ(::stat(device.c_str(), &st), 0) << device;
  return ListedPartitions(st.st_rdev);
}

// The whole path on /dev/loopN as on /dev/sdX: list, scan, recover and edits, the kernel listing
// each new layout; with partition 1 mounted, a recovered partition is added on its own and a
// change to the mounted one is named as waiting.
TEST(CliWholePathOnDevice, ListScanRecoverAndEditAsOnARealDisk) {
  QM_IMAGE(image, "kernel-path.img", "64M",
           "table 'label: dos\\nunit: sectors\\n2048,20480,6' fs 1 fat16 FIRST fsat 40960 20480 fat16 LOST "
           "fsat 81920 20480 fat16 LATER");
  LoopDevice loop(image, 512, /*partitions=*/true);
  if (!loop.skip.empty()) GTEST_SKIP() << loop.skip;
  RunCommand("partx -u " + loop.path + " >/dev/null 2>&1");
  nlohmann::json drive = CliDrive("list", loop.path);
  EXPECT_EQ(drive["partitions"][0]["label"], "FIRST");
  EXPECT_EQ(drive["partitions"][0]["letter"], loop.path.substr(5) + "p1");
  EXPECT_EQ(CliDrive("scan", loop.path)["lost"][0]["lba"], 40960);
  for (const std::string command : {"recover --at 40960", "active --at 40960", "hide --at 2048", "mbr"})
    RunOn(loop.path, "--yes " + command);
  EXPECT_EQ(SfdiskEntries(loop.path), (std::vector<EntryKey>{{2048, 20480, 0x16}, {40960, 20480, 0x06}}));
  EXPECT_EQ(Listed(loop.path), (std::vector<KernelPartition>{{1, 2048, 20480}, {2, 40960, 20480}}));
  EXPECT_EQ(ReadFileBytes(image, 0x1CE, 1)[0], 0x80) << "the recovered partition is the active one";
  // A lock held on the device or the image behind it, whichever name is written through, stops it.
  const std::vector<uint8_t> tables = ReadFileBytes(image, 0, 512);
  using Names = std::vector<std::pair<std::string, std::string>>;  // the name held, the name written through
  for (const auto& [held, written] : Names{{loop.path, loop.path}, {image, loop.path}, {loop.path, image}}) {
    const CliRun run = RunCliWhileLocked(held, "--yes hide --at 2048 " + ShellQuote(written));
    EXPECT_EQ(run.status, 1) << held << " held, " << written << " written: " << run.err;
    EXPECT_SAYS(run.err, "is locked by another program");
  }
  EXPECT_TRUE(ReadFileBytes(image, 0, 512) == tables);
  // Without a source named, the attached loop device is among the machine's disks.
  EXPECT_SAYS(RunCli("list --json").out, "\"source\": \"" + loop.path + "\"");
  const std::string mnt = FreshPath("kernel-mnt");
  std::filesystem::create_directories(mnt);
  if (RunCommand(kToolPath + "mkfs.ext4 -q " + loop.path + "p1 && mount " + loop.path + "p1 " + ShellQuote(mnt) + " 2>/dev/null") != 0)
    GTEST_SKIP() << "this machine does not mount a loop device's partition";
  loop.mounted = mnt;
  RunOn(loop.path, "--yes recover --at 81920");
  const std::vector<KernelPartition> three{{1, 2048, 20480}, {2, 40960, 20480}, {3, 81920, 20480}};
  EXPECT_EQ(Listed(loop.path), three);
  // The kernel cannot drop the mounted partition 1: it is named; the others keep their numbers.
  EXPECT_SAYS(RunOn(loop.path, "--yes delete --at 2048", 3).err, "keeps its old view of partition 1 (Device or resource busy)");
  EXPECT_EQ(Listed(loop.path), three);
}

}  // namespace
}  // namespace qm::test
