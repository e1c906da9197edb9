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

// `Told` is the refusal, the failure or the note of success; its text is empty when there is
// nothing to say (a cancel, a change that needed no write).
struct [[nodiscard]] EditOutcome {
  EditResult Result = EditResult::Refused;
  Outcome Told;

  EditOutcome(EditResult result, Outcome told = {}) : Result(result), Told(std::move(told)) {}
  operator EditResult() const { return Result; }
  friend bool operator==(const EditOutcome& outcome, EditResult result) { return outcome.Result == result; }
};

// A refusal: nothing was written, for the reason `why` gives.
inline EditOutcome Refused(Outcome why) { return {EditResult::Refused, std::move(why)}; }

}  // namespace qm
