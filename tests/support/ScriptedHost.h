#pragma once
// A host for tests: records every message and answers from a script. When the script runs
// out it gives the safe answer (No, Cancel, Abort, OK). The disks and windows the tests make
// are answered for by TestHost(), which hands everything to the innermost ScriptedHost alive.
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "disk/Host.h"

namespace qm::test {

struct RecordedMessage {
  std::string text, caption;
  MsgButtons buttons;
  MsgIcon icon;
};

class ScriptedHost;

// The innermost ScriptedHost alive; null when there is none.
inline ScriptedHost*& CurrentScriptedHost() {
  static ScriptedHost* current = nullptr;
  return current;
}

// The host of every disk made by Fixtures.h and every window of the window tests.
Host& TestHost();

class ScriptedHost : public Host {
 public:
  ScriptedHost() { CurrentScriptedHost() = this; }
  explicit ScriptedHost(std::initializer_list<MsgAnswer> answers) : answers(answers) { CurrentScriptedHost() = this; }
  ~ScriptedHost() override { CurrentScriptedHost() = previous_; }
  ScriptedHost(const ScriptedHost&) = delete;
  ScriptedHost& operator=(const ScriptedHost&) = delete;

  MsgAnswer MessageBox(const std::string& text, const std::string& caption, MsgButtons buttons,
                       MsgIcon icon) override {
    messages.push_back({text, caption, buttons, icon});
    if (onMessage) onMessage();
    if (yesToAll && buttons != MsgButtons::Ok && buttons != MsgButtons::AbortRetryIgnore)
      return buttons == MsgButtons::OkCancel ? MsgAnswer::Ok : MsgAnswer::Yes;
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
  bool yesToAll = false;            // Ok and Yes to every question, ahead of the script
  std::function<void()> onMessage;  // called as each message comes, to note the state then
  std::vector<RecordedMessage> messages;
  long processCalls = 0;

 private:
  ScriptedHost* previous_ = CurrentScriptedHost();
};

inline Host& TestHost() {
  class Forwarder final : public Host {
    MsgAnswer MessageBox(const std::string& text, const std::string& caption, MsgButtons buttons,
                         MsgIcon icon) override {
      return Target().MessageBox(text, caption, buttons, icon);
    }
    MsgAnswer RiskyQuestion(const std::string& text, const std::string& caption, MsgButtons buttons,
                            MsgIcon icon) override {
      return Target().RiskyQuestion(text, caption, buttons, icon);
    }
    void ProcessMessages() override { Target().ProcessMessages(); }
    static Host& Target() {
      if (Host* scripted = CurrentScriptedHost()) return *scripted;
      return DefaultHost();
    }
  };
  static Forwarder forwarder;
  return forwarder;
}

}  // namespace qm::test
