#include "disk/Host.h"

#include <cstdio>

namespace qm {
namespace {

class StderrHost final : public Host {
 public:
  MsgAnswer MessageBox(const std::string& text, const std::string& caption, MsgButtons buttons,
                       MsgIcon) override {
    std::string shown = text;
    for (char& c : shown)
      if (c == '\r') c = '\n';
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), shown.c_str());
    return SafeAnswer(buttons);
  }
};

}  // namespace

MsgAnswer SafeAnswer(MsgButtons buttons) {
  switch (buttons) {
    case MsgButtons::Ok: return MsgAnswer::Ok;
    case MsgButtons::OkCancel: return MsgAnswer::Cancel;
    case MsgButtons::YesNo:
    case MsgButtons::YesNoCancel: return MsgAnswer::No;
    case MsgButtons::AbortRetryIgnore: return MsgAnswer::Abort;
  }
  return MsgAnswer::Cancel;
}

Host& DefaultHost() {
  static StderrHost host;
  return host;
}

}  // namespace qm
