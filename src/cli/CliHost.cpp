#include "CliHost.h"

#include <cctype>
#include <string>
#include <vector>

namespace qm::cli {
namespace {

struct Choice {
  char key;
  MsgAnswer answer;
};

// The keys offered for a set of buttons; the first is what an empty line or end of input means
// (the safe answer).
std::vector<Choice> Choices(MsgButtons buttons) {
  switch (buttons) {
    case MsgButtons::Ok: return {{'o', MsgAnswer::Ok}};
    case MsgButtons::OkCancel: return {{'c', MsgAnswer::Cancel}, {'o', MsgAnswer::Ok}};
    case MsgButtons::YesNo: return {{'n', MsgAnswer::No}, {'y', MsgAnswer::Yes}};
    case MsgButtons::YesNoCancel: return {{'c', MsgAnswer::Cancel}, {'n', MsgAnswer::No}, {'y', MsgAnswer::Yes}};
    case MsgButtons::AbortRetryIgnore:
      return {{'a', MsgAnswer::Abort}, {'r', MsgAnswer::Retry}, {'i', MsgAnswer::Ignore}};
  }
  return {{'o', MsgAnswer::Ok}};
}

const char* PromptText(MsgButtons buttons) {
  switch (buttons) {
    case MsgButtons::OkCancel: return "[o]k / [C]ancel? ";
    case MsgButtons::YesNo: return "[y]es / [N]o? ";
    case MsgButtons::YesNoCancel: return "[y]es / [n]o / [C]ancel? ";
    case MsgButtons::AbortRetryIgnore: return "[A]bort / [r]etry / [i]gnore? ";
    case MsgButtons::Ok: break;
  }
  return "";
}

}  // namespace

MsgAnswer CliHost::MessageBox(const std::string& text, const std::string& caption, MsgButtons buttons, MsgIcon) {
  return Answer(text, caption, buttons, false);
}

MsgAnswer CliHost::RiskyQuestion(const std::string& text, const std::string& caption, MsgButtons buttons, MsgIcon) {
  return Answer(text, caption, buttons, true);
}

MsgAnswer CliHost::Answer(const std::string& text, const std::string& caption, MsgButtons buttons, bool risky) {
  std::string shown = text;
  for (char& c : shown)
    if (c == '\r') c = '\n';
  std::fprintf(out_, "%s: %s\n", caption.c_str(), shown.c_str());
  std::fflush(out_);
  MsgAnswer answer = MsgAnswer::Ok;
  if (buttons == MsgButtons::Ok)
    answer = MsgAnswer::Ok;
  // --yes is given before the question is known; what the question doubts was not seen.
  else if (risky && assumeYes_ && !force_) {
    std::fprintf(out_, "quillmark-cli: --yes alone does not answer a question with the doubts above; "
                       "give --force as well to go ahead\n");
    std::fflush(out_);
    answer = SafeAnswer(buttons);
  }
  else if (assumeYes_ && buttons == MsgButtons::OkCancel)
    answer = MsgAnswer::Ok;
  else if (assumeYes_ && (buttons == MsgButtons::YesNo || buttons == MsgButtons::YesNoCancel))
    answer = MsgAnswer::Yes;
  // A read or write error is not a yes-or-no question: --yes does not retry or ignore it.
  else if (!interactive_)
    answer = SafeAnswer(buttons);
  else
    answer = Ask(buttons, shown, caption);
  if (buttons == MsgButtons::AbortRetryIgnore && answer != MsgAnswer::Retry) ++transferErrors_;
  return answer;
}

MsgAnswer CliHost::Ask(MsgButtons buttons, const std::string& shown, const std::string& caption) {
  std::FILE* ask = terminal_ ? terminal_ : out_;
  if (terminal_) std::fprintf(terminal_, "%s: %s\n", caption.c_str(), shown.c_str());
  std::vector<Choice> choices = Choices(buttons);
  for (;;) {
    std::fputs(PromptText(buttons), ask);
    std::fflush(ask);
    char line[128];
    if (!std::fgets(line, sizeof line, in_)) {
      std::fputc('\n', ask);
      std::fflush(ask);
      return SafeAnswer(buttons);
    }
    size_t i = 0;
    while (line[i] == ' ' || line[i] == '\t') ++i;
    char key = static_cast<char>(std::tolower(static_cast<unsigned char>(line[i])));
    if (key == '\n' || key == '\0') return SafeAnswer(buttons);
    for (const Choice& c : choices)
      if (c.key == key) return c.answer;
  }
}

}  // namespace qm::cli
