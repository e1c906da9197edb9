// quillmark-cli recover on the disks it exists for: damaged tables, disks without a table, a
// source another program holds, Ctrl+C. Each run ends with a correct write or with a refusal
// that comes before any question and leaves the image byte for byte as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <nlohmann/json.hpp>

#include "CliRun.h"
#include "disk/Bytes.h"
#include "support/Fixtures.h"

namespace qm::test {
namespace {

const char kBackupQuestion[] = "You are recovering partition";

// Writes one 16-byte entry (no CHS) into slot `slot` of the table at `lba`, and the signature.
void PutEntry(const std::string& image, uint64_t lba, int slot, uint8_t type, uint32_t relative, uint32_t size) {
  std::vector<uint8_t> entry(16, 0);
  entry[4] = type;
  StoreLE<uint32_t>(&entry[8], relative);
  StoreLE<uint32_t>(&entry[12], size);
  WriteFileBytes(image, lba * 512 + 446 + 16 * slot, entry);
  WriteFileBytes(image, lba * 512 + 510, {0x55, 0xAA});
}

struct RefusalCase {
  const char* name;
  std::string steps;                                  // mkimage steps on a 64 MiB image
  std::function<void(const std::string&)> damage;     // what no tool makes
  uint64_t at;                                        // the lost volume to recover
  const char* says;                                   // part of the refusal
};

const RefusalCase kRefusals[] = {
    {"ExtendedEntryAtSectorZero", "table 'label: dos\\nunit: sectors\\n2048,20480,6' fs 1 fat16 fsat 40960 8192 fat16",
     [](const std::string& image) { PutEntry(image, 0, 1, 0x05, 0, 65536); }, 40960,
     "holds an extended partition that starts at sector 0"},
    {"TwoExtendedEntries", "fsat 30000 8192 fat16",
     [](const std::string& image) {
       PutEntry(image, 0, 0, 0x05, 20480, 20480);  // X2, with a logical drive
       PutEntry(image, 0, 1, 0x05, 2048, 60000);   // X1, with a logical drive
       PutEntry(image, 20480, 0, 0x06, 2048, 2000);
       PutEntry(image, 2048, 0, 0x06, 63, 1000);
     },
     30000, "holds more than one extended partition"},
    {"ExtendedOverlapsAPrimary", "fsat 80000 8192 fat16",
     [](const std::string& image) {
       PutEntry(image, 0, 0, 0x06, 2048, 40960);
       PutEntry(image, 0, 1, 0x05, 30720, 40000);
       PutEntry(image, 30720, 0, 0x06, 63, 1000);
     },
     80000, "overlaps the partition at sector 2048"},
    {"CyclicChain",
     "table 'label: dos\\nunit: sectors\\n2048,20480,6\\n30720,80000,5\\n32768,8192,6' fsat 60000 8192 fat16",
     [](const std::string& image) { PutEntry(image, 30720, 1, 0x05, 0, 4096); }, 60000,
     "runs in a circle at sector 30720"},
    {"ChainOfThreeHundredTables", "fsat 60000 8192 fat16",
     [](const std::string& image) {
       PutEntry(image, 0, 0, 0x05, 2048, 100000);
       for (uint32_t k = 0; k < 300; ++k) {
         PutEntry(image, 2048 + 64 * k, 0, 0x06, 1, 32);
         if (k + 1 < 300) PutEntry(image, 2048 + 64 * k, 1, 0x05, 64 * (k + 1), 64);
       }
     },
     60000, "longer than 256 tables"},
    {"WholeDiskFat32", "fsat 0 80000 fat32 fsat 100000 8192 fat16", nullptr, 100000,
     "holds one volume and no partition table"},
    {"WholeDiskNtfs", "fsat 0 60000 ntfs fsat 100000 8192 fat16", nullptr, 100000,
     "holds one volume and no partition table"},
    {"GuidPartitionTable", "table-gpt 'label: gpt\\n2048,20480' fsat 40960 8192 fat16", nullptr, 40960,
     "GUID partition table"},
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class CliRecoverRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(CliRecoverRefusal, RefusesBeforeAskingAndWritesNothing) {
  const RefusalCase& c = GetParam();
  QM_IMAGE(image, std::string("refuse-") + c.name + ".img", "64M", c.steps);
  if (c.damage) c.damage(image);
  const std::vector<uint8_t> before = ReadFileBytes(image, 0, 64 << 20);

  CliRun run = RunCli("recover --yes --at " + std::to_string(c.at) + " " + ShellQuote(image));
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find(kBackupQuestion), std::string::npos) << "asked before refusing:\n" << run.err;
  EXPECT_TRUE(ReadFileBytes(image, 0, 64 << 20) == before) << "the image changed";
}

INSTANTIATE_TEST_SUITE_P(DamagedTables, CliRecoverRefusal, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CliRecoverSafety, DiskWithoutATableIsListedAsOneVolume) {
  const std::string image = MakeImage("superfloppy.img", "64M", "fsat 0 80000 fat32");
  const nlohmann::json drive = CliDrive("list", image);
  ASSERT_EQ(drive["partitions"].size(), 2u);  // the volume, then the gap behind it
  EXPECT_EQ(drive["partitions"][0]["lba"], 0);
  EXPECT_EQ(drive["partitions"][0]["sectors"], 80000);
  EXPECT_EQ(drive["partitions"][0]["fs"], "FAT32");
  EXPECT_TRUE(drive["lost"].empty()) << "the volume's own backup boot sector is no find";
}

TEST(CliRecoverSafety, ReadOnlySourceIsRefusedBeforeAsking) {
  const std::string image =
      MakeImage("read-only.img", "64M", "table 'label: dos\\nunit: sectors\\n2048,20480,6' fs 1 fat16 fsat 40960 8192 fat16");
  std::string as;  // run as a user who may read the image but not write it
  if (::geteuid() == 0) {
    if (RunCommand("command -v setpriv >/dev/null") != 0) GTEST_SKIP() << "setpriv is not installed";
    as = "setpriv --reuid 65534 --regid 65534 --clear-groups ";
    ::chmod(image.c_str(), 0644);
  } else {
    ::chmod(image.c_str(), 0444);
  }
  const std::string cli = QM_CLI_PATH;
  std::string err;
  const int status =
      RunCommand(as + ShellQuote(cli) + " recover --yes --at 40960 " + ShellQuote(image) + " 2>&1 </dev/null", &err);
  if (err.find("Permission denied") != std::string::npos && err.find("cannot be opened for writing") == std::string::npos)
    GTEST_SKIP() << "the test user cannot read the fixture folder: " << err;
  EXPECT_EQ(status, 1) << err;
  EXPECT_NE(err.find("cannot be opened for writing: Permission denied"), std::string::npos) << err;
  EXPECT_EQ(err.find(kBackupQuestion), std::string::npos) << err;
}

// On the demo disk: without --yes nobody answers the question; a sector where nothing was
// found, a missing --at and one beyond the disk are refused; none of them writes.
TEST(CliRecoverSafety, UnconfirmedOrNotFoundWritesNothing) {
  const std::string image = DemoImage("cli-demo-refuse.img");
  const auto before = ReadFileBytes(image, 0, 512);
  CliRun unconfirmed = RunCli("recover --at 262144 " + ShellQuote(image));
  EXPECT_EQ(unconfirmed.status, 1);
  EXPECT_NE(unconfirmed.err.find("Recovering: You are recovering partition."), std::string::npos);
  CliRun nothing = RunCli("recover --yes --at 5000 " + ShellQuote(image));
  EXPECT_EQ(nothing.status, 1);
  EXPECT_NE(nothing.err.find("no lost partition starts at sector 5000"), std::string::npos);
  EXPECT_EQ(RunCli("recover --yes --at 99999999 " + ShellQuote(image)).status, 2);
  EXPECT_EQ(RunCli("recover --yes " + ShellQuote(image)).status, 2);
  EXPECT_EQ(ReadFileBytes(image, 0, 512), before);
}

// An image with one primary and two lost FAT16 volumes in the gap behind it.
std::string TwoLostVolumes(const std::string& name) {
  return MakeImage(name, "64M",
                   "table 'label: dos\\nunit: sectors\\n2048,20480,6' fs 1 fat16 fsat 40960 8192 fat16 A "
                   "fsat 61440 8192 fat16 B");
}

TEST(CliRecoverSafety, AnotherProgramHoldingTheLockIsNamed) {
  const std::string image = TwoLostVolumes("held.img");
  const std::vector<uint8_t> before = ReadFileBytes(image, 0, 1 << 20);
  // flock(1) holds the same lock a partitioning program takes while it works.
  const std::string holder = "flock -o -x " + ShellQuote(image) + " sleep 10 >/dev/null 2>&1 & holder=$!; sleep 0.3; ";
  std::string err;
  const int status = RunCommand("sh -c " + ShellQuote(holder + ShellQuote(std::string(QM_CLI_PATH)) +
                                                    " recover --yes --at 40960 " + ShellQuote(image) +
                                                    " 2>&1; status=$?; kill $holder; exit $status"),
                                &err);
  EXPECT_EQ(status, 1) << err;
  EXPECT_NE(err.find("is locked by another program"), std::string::npos) << err;
  EXPECT_TRUE(ReadFileBytes(image, 0, 1 << 20) == before);
}

// Two copies of the program recover the two lost volumes at the same time, many times over: a
// run either writes its partition and it stays, or it is refused because the other one holds
// the drive. Without the lock one of two concurrent writes was lost about every other time.
TEST(CliRecoverSafety, TwoProgramsAtOnceNeverLoseAnEntry) {
  const std::string cli = ShellQuote(std::string(QM_CLI_PATH));
  for (int round = 0; round < 10; ++round) {
    const std::string image = TwoLostVolumes("race.img");
    const auto run = [&](const char* at) {
      return cli + " recover --yes --at " + at + " " + ShellQuote(image) + " >/dev/null 2>&1";
    };
    std::string statuses;
    RunCommand("sh -c " + ShellQuote("(" + run("40960") + "; echo A$?) & (" + run("61440") + "; echo B$?) & wait"), &statuses);
    const auto entries = SfdiskEntries(image);
    auto has = [&](uint64_t start) {
      return std::any_of(entries.begin(), entries.end(), [&](const EntryKey& e) { return std::get<0>(e) == start; });
    };
    for (const auto& [tag, start] : {std::pair{"A", 40960}, std::pair{"B", 61440}}) {
      const bool wrote = statuses.find(std::string(tag) + "0") != std::string::npos;
      const bool refused = statuses.find(std::string(tag) + "1") != std::string::npos;
      EXPECT_TRUE(wrote || refused) << statuses;
      EXPECT_EQ(wrote, has(start)) << "round " << round << ": " << statuses;
    }
    EXPECT_TRUE(has(2048));
  }
}

// A FAT32 volume whose first sector is wiped, out of the table: it is found at its true start
// from its backup. --yes recovers the entry but leaves the boot sector to its own answer;
// --restore-boot-sector copies the backup back, and fsck.fat accepts the volume.
TEST(CliRecoverSafety, DestroyedBootSectorIsRestoredOnlyWhenAskedFor) {
  const std::string steps = "table 'label: dos\\nunit: sectors\\n2048,71680,c' fs 1 fat32 WIPED32 sector 2048 00 lose 1";
  for (const bool restore : {false, true}) {
    SCOPED_TRACE(restore ? "with --restore-boot-sector" : "with --yes alone");
    const std::string image = MakeImage(restore ? "wiped-restore.img" : "wiped-keep.img", "64M", steps);
    CliRun run = RunCli(std::string("recover --yes --at 2048 ") + (restore ? "--restore-boot-sector " : "") + ShellQuote(image));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(SfdiskEntries(image), std::vector<EntryKey>{EntryKey(2048, 71680, 0x0b)});
    const bool wiped = ReadFileBytes(image, 2048 * 512, 512) == std::vector<uint8_t>(512, 0);
    EXPECT_EQ(wiped, !restore);
    EXPECT_EQ(run.err.find("is left destroyed") != std::string::npos, !restore) << run.err;
    std::string out;
    if (restore) {
      EXPECT_EQ(RunOnVolume(image, 2048, 71680, "fsck.fat -n", &out), 0) << out;
    }
  }
}

TEST(CliRecoverSafety, CtrlCDuringTheScanOrTheQuestionWritesNothingAndAScanStillShowsItsFinds) {
  if (!HaveTools({"script"})) return;
  // 8 GiB, sparse: the scan behind the lost volume reads zeroes for a few seconds.
  const std::string image = MakeImage("interrupt.img", "8G",
                                      "table 'label: dos\\nunit: sectors\\n2048,20480,6' fs 1 fat16 fsat 40960 8192 fat16");
  const std::vector<uint8_t> before = ReadFileBytes(image, 0, 1 << 20);
  const std::string cli = ShellQuote(std::string(QM_CLI_PATH));
  // The volume is found in the first blocks; Ctrl+C comes while the scan goes on.
  EXPECT_EQ(CtrlCAfter(cli + " recover --yes --at 40960 --start-mb 0 --end-mb 8000 " + ShellQuote(image), "0.5"), 130);
  EXPECT_TRUE(ReadFileBytes(image, 0, 1 << 20) == before);
  // Without --yes the program waits at its first question, where Ctrl+C arrives.
  EXPECT_EQ(CtrlCAfter(cli + " recover --at 40960 " + ShellQuote(image), "1.5"), 130);
  EXPECT_TRUE(ReadFileBytes(image, 0, 1 << 20) == before);
  // A scan stopped so still shows what it found.
  const std::string out = FreshPath("interrupt-scan.json");
  EXPECT_EQ(CtrlCAfter(cli + " scan --json " + ShellQuote(image) + " >" + ShellQuote(out), "0.5"), 130);
  const auto doc = nlohmann::json::parse(ReadWholeFile(out), nullptr, false);
  ASSERT_FALSE(doc.is_discarded());
  ASSERT_EQ(doc["drives"][0]["lost"].size(), 1u);
  EXPECT_EQ(doc["drives"][0]["lost"][0]["lba"], 40960);
}

}  // namespace
}  // namespace qm::test
