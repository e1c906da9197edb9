#pragma once
// What a core call tells its caller when it ends: done (perhaps with a message for the user),
// cancelled (the user said no; nothing to show), or failed, with the text the user is shown,
// the caption of its box, and the reason apart from the text: the errno value and the sector
// where it happened. The core never shows an outcome; the window shows it in one box, the
// command line prints it on one line.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "disk/Geometry.h"
#include "disk/Host.h"

namespace qm {

enum class OutcomeKind { Done, Cancelled, Failed };

struct [[nodiscard]] Outcome {
  OutcomeKind Kind = OutcomeKind::Done;
  std::string Text;     // "\r" is a line break; empty when there is nothing to tell
  std::string Caption;  // the title of the window's box
  MsgIcon Icon = MsgIcon::None;
  int Errno = 0;              // the system's reason; 0 when the cause is not a system call
  std::optional<Lba> Sector;  // where it failed, when a sector is the place

  static Outcome Done(std::string text = {}, std::string caption = {}, MsgIcon icon = MsgIcon::Information) {
    return Outcome{OutcomeKind::Done, std::move(text), std::move(caption), icon, 0, std::nullopt};
  }
  static Outcome Cancelled(std::string text = {}, std::string caption = {}) {
    return Outcome{OutcomeKind::Cancelled, std::move(text), std::move(caption), MsgIcon::Information, 0, std::nullopt};
  }
  static Outcome Failed(std::string text, std::string caption, int error = 0, std::optional<Lba> sector = {},
                        MsgIcon icon = MsgIcon::Error) {
    return Outcome{OutcomeKind::Failed, std::move(text), std::move(caption), icon, error, sector};
  }

  bool ok() const { return Kind == OutcomeKind::Done; }
  bool failed() const { return Kind == OutcomeKind::Failed; }
  explicit operator bool() const { return ok(); }

  // The text on one line, for the command line: each run of line breaks becomes "; " (or a
  // blank after a colon), and a trailing full stop is kept.
  std::string Line() const;
};

// Shows `outcome` in one box through `host` when it has something to tell. For the front
// ends: the core returns outcomes and never shows one.
void ShowOutcome(Host& host, const Outcome& outcome);

}  // namespace qm
