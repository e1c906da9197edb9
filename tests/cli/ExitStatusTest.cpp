// quillmark-cli's exit statuses and messages when something is wrong: options out of range,
// output that cannot be written, read errors; its questions, answered by nobody, by a user, or
// asked while stderr goes to a file.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>

#include "CliRun.h"
#include "cli/CliHost.h"
#include "support/Fixtures.h"

namespace qm::test {
namespace {

using nlohmann::json;

// The demo disk's lost NTFS volume, found only by a full scan.
constexpr uint64_t kLostNtfs = 262144;

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST(CliExitStatus, OptionErrorsSayWhatIsAllowed) {
  QM_IMAGE(img, "exit-options.img", "32M", "");
  const std::string q = " " + ShellQuote(img);
  const std::string mb = " must be a whole number of megabytes from 0 to 2097151\n";
  const std::string at = "--at must be a sector number (LBA) from 0 to 4294967295\n";
  const std::string row = "--partition must be the number of a row of the partition list (1, 2, ... as `list` shows them)\n";
  const struct {
    std::string args, error;
  } cases[] = {
      {"scan --start-mb -1" + q, "--start-mb" + mb},
      {"scan --end-mb ''" + q, "--end-mb" + mb},
      {"scan --end-mb 2097152" + q, "--end-mb" + mb},
      {"recover --at 5 --start-mb ' 7'" + q, "--start-mb" + mb},
      {"recover --at 4294967296" + q, at},
      {"recover --at 0x10" + q, at},
      {"scan --partition 0" + q, row},
      {"scan --partition 2" + q, "there is no partition 2 in the list of " + img + ": the list holds partition 1 only\n"},
      // Megabytes the disk does not reach: the dialog's own words, then the disk's size.
      {"scan --start-mb 2097151" + q, "Sector range exceeded the limit.\nThe disk holds 32.00 MB (65536 sectors).\n"},
      {"--yes lsit" + q, "unknown command \"lsit\"; the commands are list, scan, recover, ls, dump, clone, active, hide, delete, mbr, backup, restore, rebuild, history, undo (see --help)\n"},
  };
  const auto before = ReadFileBytes(img, 0, 512);
  for (const auto& c : cases) {
    CliRun run = RunCli(c.args);
    EXPECT_EQ(run.status, 2) << c.args;
    EXPECT_EQ(run.err, "quillmark-cli: " + c.error) << c.args;
    EXPECT_TRUE(run.out.empty()) << c.args << ": " << run.out;
  }
  for (const char* args : {"", "list --bogus", "list --json=maybe"}) {
    CliRun run = RunCli(args);
    EXPECT_EQ(run.status, 2) << args;
    EXPECT_TRUE(run.out.empty()) << args << ": " << run.out;
    EXPECT_FALSE(run.err.empty()) << args;
  }
  EXPECT_EQ(ReadFileBytes(img, 0, 512), before);
}

TEST(CliExitStatus, HelpEndsWithTheExitStatuses) {
  for (const char* args : {"--help", "scan --help", "recover --help"}) {
    CliRun run = RunCli(args);
    EXPECT_EQ(run.status, 0) << args;
    size_t footer = run.out.find("Exit status:\n");
    ASSERT_NE(footer, std::string::npos) << args << "\n" << run.out;
    for (const char* line : {"\n  0 ", "\n  1 ", "\n  2 ", "\n  3 ", "\n  130 "})
      EXPECT_NE(run.out.find(line, footer), std::string::npos) << args << ": " << line;
  }
  EXPECT_EQ(RunCli("--help >/dev/full").status, 1);
}

TEST(CliExitStatus, OutputThatCannotBeWrittenIsAFailure) {
  QM_IMAGE(img, "exit-output.img", "32M", "table 'label: dos\\nunit: sectors\\n2048,20480,6'");
  const struct {
    std::string redirect, reason;
  } cases[] = {
      {">/dev/full", "the output could not be written: "},
      {">&-", "the output could not be written: standard output is closed"},
  };
  for (const auto& c : cases)
    for (const char* command : {"list ", "list --json ", "scan "}) {
      CliRun run = RunCli(command + ShellQuote(img) + " " + c.redirect);
      EXPECT_EQ(run.status, 1) << command << c.redirect;
      EXPECT_NE(run.err.find(c.reason), std::string::npos) << command << c.redirect << ": " << run.err;
    }
}

TEST(CliExitStatus, ARecoveryWhoseReportCannotBeWrittenIsStillDone) {
  const std::string img = DemoImage("exit-recover.img");
  CliRun run = RunCli("recover --yes --at " + std::to_string(kLostNtfs) + " " + ShellQuote(img) + " >/dev/full");
  EXPECT_EQ(run.status, 3) << run.err;
  EXPECT_NE(run.err.find("the output could not be written"), std::string::npos) << run.err;
  const auto entries = SfdiskEntries(img);  // the table was written all the same
  EXPECT_EQ(std::count_if(entries.begin(), entries.end(), [](const EntryKey& e) { return std::get<0>(e) == kLostNtfs; }), 1);
}

// Reads past the end of a loop device's backing file fail with EIO: the image is attached
// whole, then cut short behind the device's back.
class CliReadErrorOnDevice : public ::testing::Test {
 protected:
  void Attach(const std::string& name, uint64_t keepBytes) {
    image = DemoImage(name);
    loop = std::make_unique<LoopDevice>(image, 512);
    if (!loop->skip.empty()) GTEST_SKIP() << loop->skip;
    std::filesystem::resize_file(image, keepBytes);
  }
  std::string image;
  std::unique_ptr<LoopDevice> loop;
};

TEST_F(CliReadErrorOnDevice, AScanStoppedByAReadErrorFailsAndSaysSo) {
  Attach("exit-eio-abort.img", 200ull << 20);
  if (IsSkipped()) return;
  CliRun run = RunCli("scan --json " + loop->path);
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_NE(run.err.find("Read Error: "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("quillmark-cli: the scan stopped at a read error: the rest of the range was not searched\n"),
            std::string::npos)
      << run.err;
  // What was found before the error is still listed.
  json doc = json::parse(run.out, nullptr, false);
  ASSERT_FALSE(doc.is_discarded()) << run.out;
  EXPECT_EQ(doc["drives"][0]["lost"].size(), 2u);
}

TEST_F(CliReadErrorOnDevice, ReadErrorsIgnoredAtTheTerminalAreCountedInTheSummary) {
  Attach("exit-eio-ignore.img", 200ull << 20);
  if (IsSkipped()) return;
  std::string errFile = ProcessFixtureDir() + "/exit-eio-ignore.err";
  std::string answers;
  for (int i = 0; i < 400; ++i) answers += "i\n";
  TerminalRun run = RunCliAtTerminal("scan " + loop->path + " >/dev/null 2>" + ShellQuote(errFile), answers);
  if (!run.skip.empty()) GTEST_SKIP() << run.skip;
  EXPECT_EQ(run.status, 3) << run.out;
  std::string err = ReadWholeFile(errFile);
  // 200 MiB to 256 MiB, less the last 1000 sectors a scan never reads: one error a block.
  const int errors = static_cast<int>(Count(err, "Read Error: "));
  EXPECT_GT(errors, 100);
  EXPECT_NE(err.find("quillmark-cli: " + std::to_string(errors) +
                     " read errors were ignored during the scan: the sectors from each error to the end of its "
                     "block of 1000 were not searched\n"),
            std::string::npos)
      << err;
}

TEST_F(CliReadErrorOnDevice, AListingWithUnreadTablesIsDoneWithTrouble) {
  // The extended partition's tables lie beyond the first 50 MiB.
  Attach("exit-eio-list.img", 50ull << 20);
  if (IsSkipped()) return;
  CliRun run = RunCli("list " + loop->path);
  EXPECT_EQ(run.status, 3) << run.err;
  EXPECT_NE(run.err.find(" met; what is shown may be incomplete\n"), std::string::npos) << run.err;
  EXPECT_NE(run.out.find("Partitions\n"), std::string::npos) << run.out;
}

TEST(CliTerminal, AQuestionIsAskedAtTheTerminalWhenStderrGoesToAFile) {
  const std::string img = DemoImage("exit-tty.img");
  const std::string recover = "recover --at " + std::to_string(kLostNtfs) + " " + ShellQuote(img);
  const auto before = ReadFileBytes(img, 0, 512);
  std::string errFile = ProcessFixtureDir() + "/exit-tty.err";

  TerminalRun redirected = RunCliAtTerminal(recover + " 2>" + ShellQuote(errFile), "n\n");
  if (!redirected.skip.empty()) GTEST_SKIP() << redirected.skip;
  EXPECT_EQ(redirected.status, 1);
  EXPECT_NE(redirected.out.find("Recovering: You are recovering partition."), std::string::npos) << redirected.out;
  EXPECT_NE(redirected.out.find("[y]es / [N]o? "), std::string::npos) << redirected.out;
  // The file keeps the whole record; the terminal shows only what asks for an answer.
  std::string err = ReadWholeFile(errFile);
  EXPECT_NE(err.find("Recovering: You are recovering partition."), std::string::npos) << err;
  EXPECT_NE(err.find("recovery cancelled; nothing was written"), std::string::npos) << err;
  EXPECT_EQ(redirected.out.find("recovery cancelled"), std::string::npos) << redirected.out;

  // With stderr at the terminal, the question is shown once.
  TerminalRun direct = RunCliAtTerminal(recover, "n\n");
  EXPECT_EQ(direct.status, 1);
  EXPECT_EQ(Count(direct.out, "You are recovering partition."), 1u) << direct.out;
  EXPECT_EQ(Count(direct.out, "[y]es / [N]o? "), 1u) << direct.out;
  EXPECT_EQ(ReadFileBytes(img, 0, 512), before);
}

// A host reading `input` and writing into a temporary file.
struct HostRig {
  using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

  HostRig(bool assumeYes, bool interactive, const std::string& input = "")
      : in(std::tmpfile(), std::fclose), out(std::tmpfile(), std::fclose), host(assumeYes, interactive, in.get(), out.get()) {
    std::fputs(input.c_str(), in.get());
    std::rewind(in.get());
  }
  MsgAnswer Ask(MsgButtons buttons, const std::string& caption = "Recovering", const std::string& text = "Recover?") {
    return host.MessageBox(text, caption, buttons, MsgIcon::Warning);
  }
  std::string Output() {
    std::string text(static_cast<size_t>(std::ftell(out.get())), '\0');
    std::rewind(out.get());
    text.resize(std::fread(text.data(), 1, text.size(), out.get()));
    return text;
  }

  File in, out;
  cli::CliHost host;
};

TEST(CliHost, UnattendedAnswersNeverIgnoreAnErrorNorWriteWithoutYes) {
  HostRig quiet(false, false, "y\n"), yes(true, false);
  const struct {
    MsgButtons buttons;
    MsgAnswer withoutYes, withYes;
  } cases[] = {{MsgButtons::YesNo, MsgAnswer::No, MsgAnswer::Yes},
               {MsgButtons::OkCancel, MsgAnswer::Cancel, MsgAnswer::Ok},
               {MsgButtons::YesNoCancel, MsgAnswer::No, MsgAnswer::Yes},
               {MsgButtons::AbortRetryIgnore, MsgAnswer::Abort, MsgAnswer::Abort}};
  for (const auto& c : cases) {
    EXPECT_EQ(quiet.Ask(c.buttons), c.withoutYes);
    EXPECT_EQ(yes.Ask(c.buttons), c.withYes);
  }
  EXPECT_EQ(quiet.Output().find("[y]es"), std::string::npos);  // nobody was asked
  EXPECT_EQ(yes.host.TransferErrors(), 1);
}

TEST(CliHost, AtATerminalTheUserAnswersAndErrorsLeftStandingAreCounted) {
  HostRig rig(false, true, "Y\n\n  maybe\nr\no\ni\na\n");
  EXPECT_EQ(rig.Ask(MsgButtons::YesNo), MsgAnswer::Yes);
  // An empty line takes the safe answer; an unknown one asks again.
  EXPECT_EQ(rig.Ask(MsgButtons::YesNo, "Deleting Partition"), MsgAnswer::No);
  EXPECT_EQ(rig.Ask(MsgButtons::AbortRetryIgnore, "Read Error"), MsgAnswer::Retry);
  EXPECT_EQ(rig.Ask(MsgButtons::OkCancel, "Clone"), MsgAnswer::Ok);
  EXPECT_EQ(rig.host.TransferErrors(), 0);
  EXPECT_EQ(rig.Ask(MsgButtons::AbortRetryIgnore, "Read Error"), MsgAnswer::Ignore);
  EXPECT_EQ(rig.Ask(MsgButtons::AbortRetryIgnore, "Read Error"), MsgAnswer::Abort);
  EXPECT_EQ(rig.host.TransferErrors(), 2);
  // The input has ended: nothing more can be asked.
  EXPECT_EQ(rig.Ask(MsgButtons::YesNo, "FDISK/MBR"), MsgAnswer::No);
  const std::string out = rig.Output();
  EXPECT_NE(out.find("Recovering: Recover?\n[y]es / [N]o? "), std::string::npos) << out;
  EXPECT_NE(out.find("[A]bort / [r]etry / [i]gnore? [A]bort / [r]etry / [i]gnore? "), std::string::npos) << out;
}

}  // namespace
}  // namespace qm::test
