// The command line's host.
#include "cli/CliHost.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace qm::cli {
namespace {

// A host reading `input` and writing into a temporary file.
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
  MsgAnswer Ask(MsgButtons buttons, const std::string& caption = "Recovering", const std::string& text = "Recover?") {
    return host.MessageBox(text, caption, buttons, MsgIcon::Warning);
  }
  std::string Output() {
    std::fflush(out_);
    std::rewind(out_);
    std::string text;
    char buf[256];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, out_)) > 0;) text.append(buf, n);
    return text;
  }

 private:
  std::FILE *in_, *out_;

 public:
  CliHost host;
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
}  // namespace qm::cli
