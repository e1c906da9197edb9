#pragma once
// The command line's host: messages go to stderr as "caption: text"; questions are answered
// Yes/OK by --yes, asked at the terminal when there is one, and otherwise given the answer
// that writes nothing. A risky question is answered Yes only by --yes and --force together:
// --yes alone refuses it and says that --force is needed.
#include <cstdio>

#include "disk/Host.h"

namespace qm::cli {

class CliHost final : public Host {
 public:
  // `in` is where answers are read when `interactive`; messages go to `out`, and so do the
  // questions unless a `terminal` is given: then a question is shown and asked there as well,
  // so that the user sees it while `out` is redirected to a file. `force` lets `assumeYes`
  // answer risky questions too.
  CliHost(bool assumeYes, bool interactive, std::FILE* in = stdin, std::FILE* out = stderr,
          std::FILE* terminal = nullptr, bool force = false)
      : assumeYes_(assumeYes), force_(force), interactive_(interactive), in_(in), out_(out), terminal_(terminal) {}

  MsgAnswer MessageBox(const std::string& text, const std::string& caption, MsgButtons buttons, MsgIcon icon) override;
  MsgAnswer RiskyQuestion(const std::string& text, const std::string& caption, MsgButtons buttons,
                          MsgIcon icon) override;

  // Read and write errors met so far that stayed errors: every Abort/Retry/Ignore question
  // answered Abort or Ignore (a Retry either works or asks again).
  int TransferErrors() const { return transferErrors_; }

 private:
  MsgAnswer Answer(const std::string& text, const std::string& caption, MsgButtons buttons, bool risky);
  MsgAnswer Ask(MsgButtons buttons, const std::string& shown, const std::string& caption);

  bool assumeYes_;
  bool force_;
  bool interactive_;
  std::FILE* in_;
  std::FILE* out_;
  std::FILE* terminal_;
  int transferErrors_ = 0;
};

}  // namespace qm::cli
