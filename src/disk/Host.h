#pragma once
// The host: the one way the core reaches the user. The core never shows a window and shows
// no message of its own (it returns outcomes); it asks the host its questions and acts on the
// answer. Each disk has the host that answers for it (Disk::UserHost): the window's, the
// command line's, or a test's.
#include <string>

namespace qm {

enum class MsgButtons { Ok, OkCancel, YesNo, YesNoCancel, AbortRetryIgnore };
enum class MsgIcon { None, Information, Warning, Error, Question };
enum class MsgAnswer { Ok, Cancel, Yes, No, Abort, Retry, Ignore };

class Host {
 public:
  virtual ~Host() = default;
  // Shows `text` ("\r" is a line break) under `caption` and returns the user's answer.
  virtual MsgAnswer MessageBox(const std::string& text, const std::string& caption, MsgButtons buttons,
                               MsgIcon icon) = 0;
  // A question whose Yes the core doubts, because the change may well destroy data (a backup
  // file that seems to come from another disk): the text says why. A host that answers
  // questions by itself, as the command line's --yes does, must not answer Yes to these
  // unless told so on its own. Every other host asks it as any question.
  virtual MsgAnswer RiskyQuestion(const std::string& text, const std::string& caption, MsgButtons buttons,
                                  MsgIcon icon) {
    return MessageBox(text, caption, buttons, icon);
  }
  // Lets the host handle pending events during long loops (repaint, Stop). May be rate-limited.
  virtual void ProcessMessages() {}
};

// The answer a host gives when nobody can be asked: the choice that writes nothing and
// stops the operation (No, Cancel, Abort; OK for plain messages).
MsgAnswer SafeAnswer(MsgButtons buttons);

// The host of a disk nobody answers for: messages go to stderr, every question gets the safe
// answer.
Host& DefaultHost();

}  // namespace qm
