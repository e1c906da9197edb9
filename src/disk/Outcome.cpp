#include "disk/Outcome.h"

namespace qm {

void ShowOutcome(Host& host, const Outcome& outcome) {
  if (!outcome.Text.empty()) host.MessageBox(outcome.Text, outcome.Caption, MsgButtons::Ok, outcome.Icon);
}

std::string Outcome::Line() const {
  std::string line;
  bool pendingBreak = false;
  for (char c : Text) {
    if (c == '\r' || c == '\n') {
      pendingBreak = !line.empty();
      continue;
    }
    if (pendingBreak) {
      const char last = line.back();
      if (last == ':' || last == ',') line += ' ';
      else if (last == '.' || last == '?' || last == '!') line += ' ';
      else line += "; ";
      pendingBreak = false;
    }
    line += c;
  }
  return line;
}

}  // namespace qm
