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

StderrHost g_defaultHost;
Host* g_host = &g_defaultHost;

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

void SetHost(Host* host) { g_host = host ? host : &g_defaultHost; }
Host& GetHost() { return *g_host; }

MsgAnswer MessageBox(const std::string& text, const std::string& caption, MsgButtons buttons, MsgIcon icon) {
  return g_host->MessageBox(text, caption, buttons, icon);
}

MsgAnswer RiskyQuestion(const std::string& text, const std::string& caption, MsgButtons buttons, MsgIcon icon) {
  return g_host->RiskyQuestion(text, caption, buttons, icon);
}

void ProcessMessages() { g_host->ProcessMessages(); }

HostScope::HostScope(Host& host) : previous_(&GetHost()) { SetHost(&host); }
HostScope::~HostScope() { SetHost(previous_); }

}  // namespace qm
