#include "edit/RecoverQuestions.h"

#include "disk/Host.h"

namespace qm {
namespace {

const char kDamagedQuestion[] =
    "The data structure of selected partition has been damaged.\rThis may cause recovered partition unaccessible. "
    "\r\rContinue?";
const char kBackupQuestion[] =
    "You are recovering partition. It is strong recommended\rto backup current partition table before recovery. "
    "You\rcan backup partition table by press F2.\r\rContinue?";

}  // namespace

bool ConfirmRecover(const TPartition& lost, const std::string& report) {
  if (lost.FsKind != fkHpfs && report.find("Preview") == std::string::npos &&
      MessageBox(kDamagedQuestion, "Recovering", MsgButtons::YesNo, MsgIcon::Warning) != MsgAnswer::Yes)
    return false;
  return MessageBox(kBackupQuestion, "Recovering", MsgButtons::YesNo, MsgIcon::Warning) == MsgAnswer::Yes;
}

}  // namespace qm
