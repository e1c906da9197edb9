#pragma once
// How a change of a drive's tables ended, and the one message the user is told of it. The
// core never shows it: the window puts it in one box, the command line on one line.
#include <utility>

#include "disk/Outcome.h"

namespace qm {

enum class EditResult {
  Refused,      // a check failed; nothing was written
  Cancelled,    // the user said no; nothing was written
  WriteFailed,  // a write failed; the model shows what is on disk now
  Written,      // written; the system was told and the tables were read again
  NotNotified,  // written, but the system could not be told of the new layout
};

inline bool Succeeded(EditResult result) { return result == EditResult::Written || result == EditResult::NotNotified; }

// How an operation ended (`Result`, one of its own results) and what the user is told of it:
// `Told` is the refusal, the failure or the note of success; its text is empty when there is
// nothing to say (a cancel, a change that needed no write).
template <class R>
struct [[nodiscard]] Reported {
  R Result;
  Outcome Told;

  Reported(R result, Outcome told = {}) : Result(result), Told(std::move(told)) {}
  operator R() const { return Result; }
  friend bool operator==(const Reported& reported, R result) { return reported.Result == result; }
};

using EditOutcome = Reported<EditResult>;

// A refusal: nothing was written, for the reason `why` gives.
inline EditOutcome Refused(Outcome why) { return {EditResult::Refused, std::move(why)}; }

}  // namespace qm
