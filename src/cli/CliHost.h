#pragma once
// The command line's host: messages go to stderr as "caption: text"; questions are answered
// Yes/OK by --yes, asked at the terminal when there is one, and otherwise given the answer
// that writes nothing.
#include <cstdio>

#include "disk/Host.h"

namespace qm::cli {

class CliHost final : public Host {
 public:
  // `in` is where answers are read when `interactive`; prompts and messages go to `out`.
  CliHost(bool assumeYes, bool interactive, std::FILE* in = stdin, std::FILE* out = stderr)
      : assumeYes_(assumeYes), interactive_(interactive), in_(in), out_(out) {}

  MsgAnswer MessageBox(const std::string& text, const std::string& caption, MsgButtons buttons, MsgIcon icon) override;

 private:
  MsgAnswer Ask(MsgButtons buttons);

  bool assumeYes_;
  bool interactive_;
  std::FILE* in_;
  std::FILE* out_;
};

}  // namespace qm::cli
