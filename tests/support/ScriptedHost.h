#pragma once
// A host for tests: records every message and answers from a script. When the script runs
// out it gives the safe answer (No, Cancel, Abort, OK).
#include <deque>
#include <string>
#include <vector>

#include "disk/Host.h"

namespace qm::test {

struct RecordedMessage {
  std::string text, caption;
  MsgButtons buttons;
  MsgIcon icon;
};

class ScriptedHost : public Host {
 public:
  ScriptedHost() : scope_(*this) {}
  explicit ScriptedHost(std::initializer_list<MsgAnswer> answers) : answers(answers), scope_(*this) {}

  MsgAnswer MessageBox(const std::string& text, const std::string& caption, MsgButtons buttons,
                       MsgIcon icon) override {
    messages.push_back({text, caption, buttons, icon});
    if (answers.empty()) return SafeAnswer(buttons);
    MsgAnswer a = answers.front();
    answers.pop_front();
    return a;
  }
  void ProcessMessages() override { ++processCalls; }

  std::vector<std::string> Captions() const {
    std::vector<std::string> out;
    for (const auto& m : messages) out.push_back(m.caption);
    return out;
  }

  std::deque<MsgAnswer> answers;
  std::vector<RecordedMessage> messages;
  long processCalls = 0;

 private:
  HostScope scope_;
};

}  // namespace qm::test
