// --dry-run of every writing command: the image stays as it was, and the bytes the dry run
// shows are exactly those the real run then writes. The automatic backup before every write,
// and undo, which gives back the image as it was, byte for byte.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

#include "CliRun.h"
#include "edit/AutoBackup.h"
#include "support/Fixtures.h"

namespace qm::test {
namespace {

// A FAT16 primary; logical drives FAT16, NTFS and a FAT16 one whose entry was deleted.
std::string BaseImage() {
  static const std::string image = MakeImage(
      "dry-run.img", "64M",
      "table 'label: dos\\nunit: sectors\\n2048,10240,6\\n12288,,5\\n14336,10240,6\\n26624,10240,7\\n38912,10240,6' "
      "fs 1 fat16 A fs 5 fat16 B fs 6 ntfs C fs 7 fat16 D lose 7");
  return image;
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
  if (BaseImage().empty()) return;
  const std::string backup = FreshPath("dry-run.pfi");
  ASSERT_EQ(RunCli("backup " + ShellQuote(backup) + " " + ShellQuote(BaseImage())).status, 0);
  const std::string commands[] = {"active --at 2048", "hide --at 26624", "delete --at 14336", "mbr",
                                  "recover --at 38912", "rebuild --primary 2048 --logical 26624 --logical 38912",
                                  "restore " + ShellQuote(backup)};
  for (const std::string& command : commands) {
    const std::string dry = CopyImage(BaseImage(), "dry.img"), real = CopyImage(BaseImage(), "real.img");
    if (command.rfind("restore", 0) == 0)  // something for the backup to mend
      for (const std::string& image : {dry, real}) WriteFileBytes(image, 446, std::vector<uint8_t>(16, 0));
    const std::string before = ReadWholeFile(dry);
    const CliRun shown = RunCli("--dry-run " + command + " " + ShellQuote(dry));
    EXPECT_EQ(shown.status, 0) << command << ": " << shown.err;
    EXPECT_TRUE(ReadWholeFile(dry) == before) << command << " wrote";
    EXPECT_NE(RunCli("history " + ShellQuote(dry)).out.find("No automatic backup"), std::string::npos) << command;
    EXPECT_NE(shown.out.find("\nDry run: nothing was written.\n"), std::string::npos) << shown.out;
    EXPECT_GT(ApplyShownBytes(shown.out, dry), 0) << command << ": " << shown.out;
    ASSERT_EQ(RunCli("--yes " + command + " " + ShellQuote(real)).status, 0) << command;
    EXPECT_TRUE(ReadWholeFile(dry) == ReadWholeFile(real)) << command << ": the dry run showed other bytes";
  }
}

TEST(CliDryRun, DecodesTableEntriesRefusesAsTheRealRunAndIsOnlyForWritingCommands) {
  if (BaseImage().empty()) return;
  const CliRun active = RunCli("--dry-run active --at 2048 " + ShellQuote(BaseImage()));
  EXPECT_NE(active.out.find("sector 0 entry 1: type 06, relative start 2048, 10240 sectors -> type 06, relative start "
                            "2048, 10240 sectors, active\n"),
            std::string::npos)
      << active.out;
  const CliRun refused = RunCli("--dry-run delete --at 12288 " + ShellQuote(BaseImage()));
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("Extended partition isn't empty."), std::string::npos) << refused.err;
  EXPECT_EQ(refused.out.find("Dry run"), std::string::npos);

  const std::string target = FreshPath("dry-clone.img");
  const CliRun clone = RunCli("--dry-run clone --at 38912 --to " + ShellQuote(target) + " " + ShellQuote(BaseImage()));
  EXPECT_EQ(clone.status, 0) << clone.err;
  EXPECT_NE(clone.out.find("would copy the partition at sector 38912 (10240 sectors)"), std::string::npos) << clone.out;
  EXPECT_FALSE(std::ifstream(target).good()) << "the clone target was made";

  const CliRun list = RunCli("--dry-run list " + ShellQuote(BaseImage()));
  EXPECT_EQ(list.status, 2);
  EXPECT_EQ(list.err, "quillmark-cli: --dry-run is for the commands that write: list writes nothing\n");
}

TEST(CliUndo, GivesBackTheImageByteForByteAndStopsWhenThereIsNothingLeft) {
  if (BaseImage().empty()) return;
  for (const std::string command : {"recover --at 38912", "delete --at 14336", "rebuild --primary 38912 --logical 26624"}) {
    const std::string image = CopyImage(BaseImage(), "undo.img");
    ASSERT_EQ(RunCli("--yes " + command + " " + ShellQuote(image)).status, 0) << command;
    ASSERT_FALSE(ReadWholeFile(image) == ReadWholeFile(BaseImage())) << command << " changed nothing";
    const CliRun undo = RunCli("--yes undo " + ShellQuote(image));
    EXPECT_EQ(undo.status, 0) << command << ": " << undo.err;
    EXPECT_TRUE(ReadWholeFile(image) == ReadWholeFile(BaseImage())) << command << ": undo left other bytes";
    // The undo saved the tables it replaced too, but a second undo passes over that backup.
    const CliRun again = RunCli("--yes undo " + ShellQuote(image));
    EXPECT_EQ(again.status, 1) << command;
    EXPECT_NE(again.err.find("there is nothing to undo"), std::string::npos) << again.err;
    const CliRun history = RunCli("history " + ShellQuote(image));
    EXPECT_NE(history.out.find("(made by undo)"), std::string::npos) << history.out;
  }
}

// The folder of the automatic backups: XDG_STATE_HOME when it is an absolute path, else the
// home folder's, else none.
TEST(AutomaticBackups, FolderFollowsXdgStateHomeThenHome) {
  const std::string state = std::getenv("XDG_STATE_HOME") ? std::getenv("XDG_STATE_HOME") : "";
  const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
  const struct {
    const char *state, *home, *folder;
  } cases[] = {{"/var/st", "/home/u", "/var/st/quillmark/backups"},
               {"relative", "/home/u", "/home/u/.local/state/quillmark/backups"},
               {"", "/home/u", "/home/u/.local/state/quillmark/backups"},
               {"", "", ""}};
  for (const auto& c : cases) {
    ::setenv("XDG_STATE_HOME", c.state, 1);
    ::setenv("HOME", c.home, 1);
    EXPECT_EQ(AutomaticBackupFolder(), c.folder) << c.state << " " << c.home;
  }
  ::setenv("XDG_STATE_HOME", state.c_str(), 1);
  ::setenv("HOME", home.c_str(), 1);
}

TEST(CliUndo, ABackupThatCannotBeSavedStopsTheWrite) {
  if (BaseImage().empty()) return;
  const std::string image = CopyImage(BaseImage(), "no-backup.img"), notAFolder = FreshPath("state-file");
  std::ofstream(notAFolder) << "in the way";
  const char* previous = std::getenv("XDG_STATE_HOME");
  const std::string kept = previous ? previous : "";
  ::setenv("XDG_STATE_HOME", notAFolder.c_str(), 1);
  const CliRun run = RunCli("--yes delete --at 14336 " + ShellQuote(image));
  ::setenv("XDG_STATE_HOME", kept.c_str(), 1);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("The partition tables cannot be saved before the change"), std::string::npos) << run.err;
  EXPECT_TRUE(ReadWholeFile(image) == ReadWholeFile(BaseImage()));
}

}  // namespace
}  // namespace qm::test
