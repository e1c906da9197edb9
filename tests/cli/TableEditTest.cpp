// The table edits and the backup file through quillmark-cli on images that sfdisk and mkfs made;
// --dry-run shows exactly the bytes the real run writes.
#include <gtest/gtest.h>

#include <functional>
#include <regex>

#include "CliRun.h"
#include "disk/Bytes.h"
#include "edit/MasterBootProgram.h"
#include "edit/TableBackup.h"

namespace qm::test {
namespace {

// The same, but the last logical drive's entry was deleted: a lost partition to recover.
const std::string& LostImage() {
  static const std::string image = MakeImage("dry-run.img", "64M", kFourVolumes + " lose 7");
  return image;
}

// A backup file of the tables of `image`, made by the program.
std::string BackupOf(const std::string& image, const std::string& name) {
  const std::string file = FreshPath(name);
  RunOn(image, "backup " + ShellQuote(file));
  return file;
}

// Sets an environment variable while the object lives.
struct ScopedEnv {
  ScopedEnv(const char* name, const std::string& value) : name(name), kept(std::getenv(name) ? std::getenv(name) : "") {
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() { ::setenv(name, kept.c_str(), 1); }
  const char* name;
  std::string kept;
};

// Refusals come before any question and write nothing; a GUID-partitioned disk refuses every write.
TEST(CliTableEdits, RefusalsComeBeforeAnyQuestionAndWriteNothing) {
  QM_IMAGE(gpt, "gpt.img", "16M", "table-gpt 'label: gpt\\n2048,8192'");
  if (FourVolumesImage().empty()) return;
  const std::string image = CopyImage(FourVolumesImage(), "refused.img"), file = BackupOf(image, "mbr.pfi");
  const struct { const std::string& image; std::string args; const char* says; } cases[] = {
      {image, "delete --at 12288", "Extended partition isn't empty."},
      {image, "active --at 14336", "You must specify a primary partition."},
      {image, "hide --at 12288", "Hide/Show can not apply to this type of partition."},
      {image, "delete --at 2049", "no partition of the tables starts at sector 2049"},
      {image, "rebuild --logical 2048 --primary 14336 --logical 26624", "Logical drives cannot be comparted by primary partitions."},
      {image, "rebuild --primary 2048 --logical 12290", "no partition or lost partition starts at sector 12290"},
      {gpt, "hide --at 2048", "does not apply to a GUID partition table"}, {gpt, "mbr", "GUID partition table"},
      {gpt, "restore " + ShellQuote(file), "GUID partition table"},
      {gpt, "backup " + ShellQuote(FreshPath("gpt.pfi")), "which a partition backup file does not hold"},
  };
  for (const auto& c : cases) ExpectRefusedBeforeAsking(c.args, c.image, c.says);
}

// A backup file's bytes with one block changed (`change` gets its 8-byte LBA, the sector after
// it) and a checksum that holds again.
std::string ChangedBackup(std::string bytes, size_t block, const std::function<void(uint8_t*)>& change) {
  uint8_t* data = reinterpret_cast<uint8_t*>(bytes.data());
  change(data + block * kBackupBlockSize);
  StoreLE<uint32_t>(data + bytes.size() - 4, CalcCRC32(data, bytes.size() - 4));
  return bytes;
}

std::string WriteVariant(const std::string& name, const std::string& bytes) {
  const std::string path = FreshPath(name);
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

// Backup, damage, restore gives back the very sectors; a damaged file writes nothing, another
// disk's only when the user says so.
TEST(CliTableBackup, RestoresSavedSectorsAndRefusesBadFiles) {
  EXPECT_EQ(CalcCRC32(reinterpret_cast<const uint8_t*>("abc"), 3), 0xCA6598D0u);
  if (FourVolumesImage().empty()) return;
  const std::string image = CopyImage(FourVolumesImage(), "restore.img");
  const std::string file = BackupOf(image, "tables.pfi"), saved = ReadWholeFile(file);
  ASSERT_EQ(saved.size(), 4 * kBackupBlockSize + 4);  // the master boot record and three extended boot records
  // A backup that fails half-way (here at a file size limit) says why and keeps the old file.
  const std::string backup = "ulimit -f 1; trap '' XFSZ; exec timeout 60 " + ShellQuote(QM_CLI_PATH) + " --yes backup " +
                             ShellQuote(file) + " " + ShellQuote(image) + " 2>&1";
  std::string said;
  EXPECT_EQ(RunCommand("sh -c " + ShellQuote(backup), &said), 1);
  EXPECT_SAYS(said, "Cannot write " + file + ": File too large.");
  EXPECT_EQ(ReadWholeFile(file), saved);
  WriteFileBytes(image, 0, std::vector<uint8_t>(512, 0));
  WriteFileBytes(image, 12288 * 512ull + 446, std::vector<uint8_t>(66, 0xEE));
  auto atSector = [](uint64_t lba) { return [lba](uint8_t* block) { StoreLE<uint64_t>(block, lba); }; };
  std::string flipped = saved;
  flipped[700] ^= 0x01;
  // Each with a checksum that holds; the file names the first extended boot record as block 1.
  const std::string fifo = FreshPath("fifo.pfi");
  ASSERT_EQ(RunCommand("mkfifo " + ShellQuote(fifo)), 0);
  // A file that is no backup at all says why, after the same first line.
  const auto invalid = [](const std::string& name, const std::string& bytes, const std::string& why) {
    const std::string path = WriteVariant(name, bytes);
    return std::make_pair(path, "Restore: Invalid partition backup file.\n" + path + why);
  };
  const std::pair<std::string, std::string> refused[] = {
      invalid("flipped.pfi", flipped, " fails its checksum: its blocks are not those the backup saved."),
      invalid("short.pfi", saved.substr(0, saved.size() - 1),
              " is 2083 bytes long, which is no whole number of 520-byte blocks and the 4-byte checksum: it was cut "
              "short or has bytes appended."),
      invalid("empty.pfi", std::string(4, '\0'), " is 4 bytes long: too short to hold one table sector and the checksum."),
      invalid("image.pfi", std::string(3 << 20, '\0'),
              " is larger than any partition backup file, which holds at most 4096 table sectors."),
      invalid("no-mbr.pfi", ChangedBackup(saved, 0, atSector(63)),
              " starts with sector 63 instead of sector 0, the master boot record."),
      {WriteVariant("foreign.pfi", ChangedBackup(saved, 1, atSector(131072))), "beyond the end of Drive 80H"},
      {WriteVariant("boot-sector.pfi", ChangedBackup(saved, 1, atSector(2048))), "holds sector 2048, which no table of the file"},
      {WriteVariant("twice.pfi", ChangedBackup(saved, 3, atSector(12288))), "holds sector 12288 twice"},
      {WriteVariant("unsigned.pfi", ChangedBackup(saved, 0, [](uint8_t* block) { block[8 + 510] = 0; })), "does not end in the signature"},
      {fifo, "is a FIFO, not a partition backup file"},  // refused at once, not waited on
  };
  for (const auto& [path, message] : refused) ExpectRefusedBeforeAsking("restore " + ShellQuote(path), image, message);
  RunOn(image, "--yes restore " + ShellQuote(file));
  EXPECT_TRUE(ReadWholeFile(image) == ReadWholeFile(FourVolumesImage()));
  // Another disk's file (its signature, partitions past the end) is named in the question, which
  // --yes alone does not answer; --yes --force or a person does.
  const struct { const char* name; std::function<void(uint8_t*)> change; const char* says; } foreign[] = {
      {"other-signature.pfi", [](uint8_t* mbr) { for (size_t i = 0; i < 4; ++i) mbr[8 + 440 + i] ^= 0xFF; },
       "saved from a disk with the disk signature"},
      {"larger-disk.pfi", [](uint8_t* mbr) { StoreLE<uint32_t>(mbr + 8 + 446 + 12, 200000); },
       "to sector 202047, beyond the end of Drive 80H"}};
  for (const auto& c : foreign) {
    const std::string other = WriteVariant(c.name, ChangedBackup(saved, 0, c.change)), before = ReadWholeFile(image);
    const CliRun asked = RunOn(image, "--yes restore " + ShellQuote(other), 1);
    EXPECT_SAYS(asked.err, c.says);
    EXPECT_SAYS(asked.err, "--force");
    EXPECT_TRUE(ReadWholeFile(image) == before) << c.name << " wrote";
    if (&c == foreign) {
      RunOn(image, "--yes --force restore " + ShellQuote(other));
    } else {  // without --yes, a person at a terminal answers the doubt
      CliAtTerminal cli("restore " + ShellQuote(other) + " " + ShellQuote(image));
      ASSERT_TRUE(cli.WaitForQuestion()) << cli.shown;
      cli.Type("o\n");
      EXPECT_EQ(cli.Finish(), 0) << cli.shown;
    }
    std::string problem;
    for (const auto& [lba, sector] : ReadBackupFile(other, problem))
      EXPECT_EQ(ReadFileBytes(image, lba * 512, 512), std::vector<uint8_t>(sector.begin(), sector.end())) << lba;
  }
}

// `backup` never replaces what is no backup: the source (by another name too, or behind a loop
// device), an image given as FILE (the arguments swapped), a device node. A backup file only
// after Yes.
TEST(CliTableBackup, ReplacesOnlyABackupFileAndOnlyAfterYes) {
  if (FourVolumesImage().empty() || LostImage().empty()) return;
  const std::string image = CopyImage(FourVolumesImage(), "backup-source.img"), other = CopyImage(LostImage(), "swapped.img");
  const std::string link = FreshPath("source-link.img"), device = FreshPath("device-node");
  ASSERT_EQ(RunCommand("ln " + ShellQuote(image) + " " + ShellQuote(link)), 0);
  const bool haveDevice = RunCommand("mknod " + ShellQuote(device) + " c 1 3 2>/dev/null") == 0;  // as /dev/null
  LoopDevice loop(image, 512);
  const struct { std::string file, source; const char* says; } cases[] = {
      {image, image, "holds the disk"}, {link, image, "holds the disk"}, {image, loop.path, "holds the disk"},
      {other, image, "exists and is not a partition backup file"}, {device, image, "is a character device"}};
  for (const auto& c : cases) {
    if (c.source.empty() || (c.file == device && !haveDevice)) continue;
    const std::string before = ReadWholeFile(c.file);
    ExpectRefused("--yes backup " + ShellQuote(c.file) + " " + ShellQuote(c.source), 1, c.says);
    EXPECT_TRUE(ReadWholeFile(c.file) == before) << c.file;
  }
  EXPECT_TRUE(!haveDevice || std::filesystem::is_character_file(device));
  const std::string file = BackupOf(LostImage(), "kept.pfi"), fresh = BackupOf(image, "fresh.pfi");
  const std::string kept = ReadWholeFile(file);
  ASSERT_NE(kept, ReadWholeFile(fresh));
  ExpectRefused("backup " + ShellQuote(file) + " " + ShellQuote(image), 1, "holds a partition backup already");
  EXPECT_EQ(ReadWholeFile(file), kept);
  RunOn(image, "--yes backup " + ShellQuote(file));
  EXPECT_EQ(ReadWholeFile(file), ReadWholeFile(fresh));
}

// Another program holding the drive, or Ctrl+C at the question: nothing is written.
TEST(CliTableEdits, LockHeldOrCtrlCWritesNothing) {
  if (LostImage().empty() || !HaveTools({"flock"})) return;
  const std::string image = CopyImage(LostImage(), "held.img"), file = BackupOf(image, "held.pfi");
  for (const std::string& args : std::initializer_list<std::string>{"active --at 2048", "hide --at 2048", "delete --at 2048", "mbr",
                                                                    "restore " + ShellQuote(file), "rebuild --primary 2048", "recover --at 38912"}) {
    const CliRun held = RunCliWhileLocked(image, "--yes " + args + " " + ShellQuote(image));
    EXPECT_EQ(held.status, 1) << args << ": " << held.err;
    EXPECT_SAYS(held.err, "is locked by another program");
    if (args.rfind("hide", 0) != 0) { EXPECT_EQ(CtrlCOnceShown(args + " " + ShellQuote(image)), 130) << args; }  // hide asks nothing
  }
  EXPECT_TRUE(ReadWholeFile(image) == ReadWholeFile(LostImage()));
}

// Writes the new bytes of every "sector N offset 0xOFF: OLD -> NEW" line into `image`; the
// number of lines applied.
int ApplyShownBytes(const std::string& output, const std::string& image) {
  static const std::regex line(R"(sector (\d+) offset 0x([0-9a-f]+): ([0-9a-f ]+) -> ([0-9a-f ]+))");
  int applied = 0;
  std::istringstream lines(output);
  std::smatch m;
  for (std::string text; std::getline(lines, text);) {
    if (!std::regex_match(text, m, line)) continue;
    std::vector<uint8_t> bytes;
    std::istringstream hex(m[4].str());
    for (unsigned value; hex >> std::hex >> value;) bytes.push_back(static_cast<uint8_t>(value));
    WriteFileBytes(image, std::stoull(m[1]) * 512 + std::stoull(m[2], nullptr, 16), bytes);
    ++applied;
  }
  return applied;
}

TEST(CliDryRun, ShowsExactlyWhatTheRealRunWritesAndWritesNothing) {
  if (LostImage().empty()) return;
  const std::string backup = BackupOf(LostImage(), "dry-run.pfi");
  const std::string commands[] = {"active --at 2048", "hide --at 26624", "delete --at 14336", "mbr",
                                  "recover --at 38912", "rebuild --primary 2048 --logical 26624 --logical 38912",
                                  "restore " + ShellQuote(backup)};
  for (const std::string& command : commands) {
    const std::string dry = CopyImage(LostImage(), "dry.img"), real = CopyImage(LostImage(), "real.img");
    if (command.rfind("restore", 0) == 0)  // something for the backup to mend
      for (const std::string& image : {dry, real}) WriteFileBytes(image, 446, std::vector<uint8_t>(16, 0));
    const std::string before = ReadWholeFile(dry);
    const CliRun shown = RunOn(dry, "--dry-run " + command);
    EXPECT_TRUE(ReadWholeFile(dry) == before) << command << " wrote";
    EXPECT_SAYS(RunCli("history " + ShellQuote(dry)).out, "No recorded change");
    EXPECT_SAYS(shown.out, "\nDry run: nothing was written.\n");
    EXPECT_GT(ApplyShownBytes(shown.out, dry), 0) << command << ": " << shown.out;
    RunOn(real, "--yes " + command);
    EXPECT_TRUE(ReadWholeFile(dry) == ReadWholeFile(real)) << command << ": the dry run showed other bytes";
    if (command != "mbr") continue;  // the program renewed; signature, table and other sectors kept
    EXPECT_EQ(ReadFileBytes(real, 0, 440), std::vector<uint8_t>(kMasterBootProgram.begin(), kMasterBootProgram.begin() + 440));
    for (uint64_t offset : ChangedBytes(ReadWholeFile(LostImage()), ReadWholeFile(real))) EXPECT_LT(offset, 440u);
  }
}

TEST(CliDryRun, DecodesTableEntriesRefusesAsTheRealRunAndIsOnlyForWritingCommands) {
  if (LostImage().empty()) return;
  const CliRun active = RunCli("--dry-run active --at 2048 " + ShellQuote(LostImage()));
  EXPECT_SAYS(active.out, "sector 0 entry 1: type 06, relative start 2048, 10240 sectors -> type 06, relative start 2048, 10240 sectors, active\n");
  EXPECT_EQ(active.out.find(" entry ", active.out.find(" entry ") + 1), std::string::npos) << "only entry 1 changed";
  ExpectRefused("--dry-run delete --at 12288 " + ShellQuote(LostImage()), 1, "Extended partition isn't empty.");
  const std::string target = FreshPath("dry-clone.img");
  EXPECT_SAYS(RunOn(LostImage(), "--dry-run clone --at 38912 --to " + ShellQuote(target)).out,
              "would copy the partition at sector 38912 (10240 sectors)");
  EXPECT_FALSE(std::ifstream(target).good()) << "the clone target was made";
  ExpectRefused("--dry-run list " + ShellQuote(LostImage()), 2, "--dry-run is for the commands that write: list writes nothing");
}

// A state folder whose parents are missing, as on a fresh account, is made with them; a path
// that cannot be a folder stops the change before it asks anything, in a dry run too.
TEST(CliUndo, TheStateFolderIsMadeWithItsParentsOrStopsTheWrite) {
  if (LostImage().empty()) return;
  const std::string image = CopyImage(LostImage(), "no-backup.img"), notAFolder = FreshPath("state-file");
  std::ofstream(notAFolder) << "in the way";
  for (const char* how : {"--yes ", "--dry-run "}) {
    const ScopedEnv state("XDG_STATE_HOME", notAFolder);
    const CliRun run = RunOn(image, std::string(how) + "delete --at 14336", 1);
    EXPECT_SAYS(run.err, "The partition tables cannot be saved before the change");
    EXPECT_EQ(run.err.find("You are deleting"), std::string::npos) << "asked first: " << run.err;
  }
  EXPECT_TRUE(ReadWholeFile(image) == ReadWholeFile(LostImage()));
  // A relative XDG_STATE_HOME is passed over for the home folder's.
  const std::string home = FreshPath("fresh-home");
  const ScopedEnv state("XDG_STATE_HOME", "relative"), homeEnv("HOME", home);
  RunOn(image, "--yes delete --at 14336");
  EXPECT_FALSE(std::filesystem::is_empty(home + "/.local/state/quillmark/backups"));
}

}  // namespace
}  // namespace qm::test
