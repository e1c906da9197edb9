#pragma once
// Ctrl+C (and the terminal closing, or a plain kill) while a command runs: the signal is only
// remembered, so that the command stops at a safe point -- a scan between sectors, a recovery
// before anything is written -- and exits with 128 + the signal's number. A write that has
// begun is finished, never cut in half.
#include <csignal>

#include "disk/Host.h"
#include "model/PhysicalDrv.h"

namespace qm::cli {

// Catches SIGINT, SIGTERM and SIGHUP for its lifetime. System calls that wait (a question at
// the terminal) return when a signal arrives instead of waiting on.
class InterruptScope {
 public:
  InterruptScope();
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

 private:
  struct sigaction previous_[3];
};

// Catches the three signals for the rest of the process: a signal that arrives after a command
// has written can no longer end the process before it has said what it wrote.
void CatchSignalsUntilExit();

// True once a caught signal has arrived.
bool Interrupted();
// 128 + the number of the signal that arrived (130 for Ctrl+C).
int InterruptExitStatus();

// Forwards messages to another host; a caught signal becomes the drive's Stop request, which
// the scan polls between sectors and a recovery looks at before it writes.
class InterruptHost final : public Host {
 public:
  InterruptHost(Host& inner, TPhysicalDrv& drive) : inner_(inner), drive_(drive) {}
  MsgAnswer MessageBox(const std::string& text, const std::string& caption, MsgButtons buttons,
                       MsgIcon icon) override {
    return inner_.MessageBox(text, caption, buttons, icon);
  }
  MsgAnswer RiskyQuestion(const std::string& text, const std::string& caption, MsgButtons buttons,
                          MsgIcon icon) override {
    return inner_.RiskyQuestion(text, caption, buttons, icon);
  }
  void ProcessMessages() override {
    if (Interrupted()) drive_.StopRequested = true;
  }

 private:
  Host& inner_;
  TPhysicalDrv& drive_;
};

}  // namespace qm::cli
