// The command line's host.
#include "cli/CliHost.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace qm::cli {
namespace {

// A host reading `input` and writing into a temporary file whose text Output() returns.
class HostRig {
 public:
  HostRig(bool assumeYes, bool interactive, const std::string& input = "")
      : in_(std::tmpfile()), out_(std::tmpfile()), host(assumeYes, interactive, in_, out_) {
    std::fputs(input.c_str(), in_);
    std::rewind(in_);
  }
  ~HostRig() {
    std::fclose(in_);
    std::fclose(out_);
  }
  std::string Output() {
    std::fflush(out_);
    std::rewind(out_);
    std::string text;
    char buf[256];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, out_)) > 0) text.append(buf, n);
    return text;
  }

 private:
  std::FILE* in_;
  std::FILE* out_;

 public:
  CliHost host;
};

TEST(CliHost, MessagesReadCaptionColonTextWithLineBreaks) {
  HostRig rig(false, false);
  EXPECT_EQ(rig.host.MessageBox("Partition recovered.\rRestart to use it.", "Recovering", MsgButtons::Ok,
                                MsgIcon::Information),
            MsgAnswer::Ok);
  EXPECT_EQ(rig.Output(), "Recovering: Partition recovered.\nRestart to use it.\n");
}

TEST(CliHost, WithoutATerminalQuestionsGetTheAnswerThatWritesNothing) {
  HostRig rig(false, false, "y\n");
  EXPECT_EQ(rig.host.MessageBox("Recover?", "Recovering", MsgButtons::YesNo, MsgIcon::Warning), MsgAnswer::No);
  EXPECT_EQ(rig.host.MessageBox("Go on?", "Clone", MsgButtons::OkCancel, MsgIcon::Warning), MsgAnswer::Cancel);
  EXPECT_EQ(rig.host.MessageBox("Bad sector", "Read Error", MsgButtons::AbortRetryIgnore, MsgIcon::Warning),
            MsgAnswer::Abort);
  EXPECT_EQ(rig.Output().find("[y]es"), std::string::npos);  // nobody was asked
}

TEST(CliHost, YesAnswersYesAndOkButNeverIgnoresAnError) {
  HostRig rig(true, false);
  EXPECT_EQ(rig.host.MessageBox("Recover?", "Recovering", MsgButtons::YesNo, MsgIcon::Warning), MsgAnswer::Yes);
  EXPECT_EQ(rig.host.MessageBox("Go on?", "Clone", MsgButtons::OkCancel, MsgIcon::Warning), MsgAnswer::Ok);
  EXPECT_EQ(rig.host.MessageBox("Save?", "Backup", MsgButtons::YesNoCancel, MsgIcon::Warning), MsgAnswer::Yes);
  EXPECT_EQ(rig.host.MessageBox("Bad sector", "Write Error", MsgButtons::AbortRetryIgnore, MsgIcon::Warning),
            MsgAnswer::Abort);
}

TEST(CliHost, AtATerminalTheUserAnswers) {
  HostRig rig(false, true, "Y\n\n  maybe\nr\no\n");
  EXPECT_EQ(rig.host.MessageBox("Recover?", "Recovering", MsgButtons::YesNo, MsgIcon::Warning), MsgAnswer::Yes);
  // An empty line takes the safe answer; an unknown one asks again.
  EXPECT_EQ(rig.host.MessageBox("Delete?", "Deleting Partition", MsgButtons::YesNo, MsgIcon::Warning), MsgAnswer::No);
  EXPECT_EQ(rig.host.MessageBox("Bad sector", "Read Error", MsgButtons::AbortRetryIgnore, MsgIcon::Warning),
            MsgAnswer::Retry);
  EXPECT_EQ(rig.host.MessageBox("Go on?", "Clone", MsgButtons::OkCancel, MsgIcon::Warning), MsgAnswer::Ok);
  // The input has ended: nothing more can be asked.
  EXPECT_EQ(rig.host.MessageBox("Write?", "FDISK/MBR", MsgButtons::YesNo, MsgIcon::Warning), MsgAnswer::No);
  std::string out = rig.Output();
  EXPECT_NE(out.find("Recovering: Recover?\n[y]es / [N]o? "), std::string::npos) << out;
  EXPECT_NE(out.find("[A]bort / [r]etry / [i]gnore? [A]bort / [r]etry / [i]gnore? "), std::string::npos) << out;
}

TEST(CliHost, WithATerminalApartTheQuestionIsAskedThereAndLoggedInOut) {
  std::FILE* in = std::tmpfile();
  std::FILE* out = std::tmpfile();
  std::FILE* terminal = std::tmpfile();
  std::fputs("n\n", in);
  std::rewind(in);
  CliHost host(false, true, in, out, terminal);
  EXPECT_EQ(host.MessageBox("Recover?", "Recovering", MsgButtons::YesNo, MsgIcon::Warning), MsgAnswer::No);
  EXPECT_EQ(host.MessageBox("Recovered.", "Recovering", MsgButtons::Ok, MsgIcon::Information), MsgAnswer::Ok);
  auto text = [](std::FILE* f) {
    std::fflush(f);
    std::rewind(f);
    std::string t;
    char buf[256];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) t.append(buf, n);
    return t;
  };
  EXPECT_EQ(text(out), "Recovering: Recover?\nRecovering: Recovered.\n");
  EXPECT_EQ(text(terminal), "Recovering: Recover?\n[y]es / [N]o? ");  // plain messages stay in the log
  std::fclose(in);
  std::fclose(out);
  std::fclose(terminal);
}

TEST(CliHost, CountsTheTransferErrorsThatStayedErrors) {
  HostRig rig(false, true, "r\ni\na\n");
  const auto error = [&] { return rig.host.MessageBox("Bad", "Read Error", MsgButtons::AbortRetryIgnore, MsgIcon::Warning); };
  EXPECT_EQ(error(), MsgAnswer::Retry);
  EXPECT_EQ(rig.host.TransferErrors(), 0);
  EXPECT_EQ(error(), MsgAnswer::Ignore);
  EXPECT_EQ(error(), MsgAnswer::Abort);
  EXPECT_EQ(rig.host.MessageBox("Go?", "Clone", MsgButtons::OkCancel, MsgIcon::Warning), MsgAnswer::Cancel);
  EXPECT_EQ(rig.host.TransferErrors(), 2);
  HostRig unattended(true, false);
  EXPECT_EQ(unattended.host.MessageBox("Bad", "Write Error", MsgButtons::AbortRetryIgnore, MsgIcon::Warning),
            MsgAnswer::Abort);
  EXPECT_EQ(unattended.host.TransferErrors(), 1);
}

}  // namespace
}  // namespace qm::cli
