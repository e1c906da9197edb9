#include "edit/RecoverQuestions.h"

#include <string>

#include "disk/Disk.h"
#include "edit/Recover.h"
#include "model/CheckReport.h"

namespace qm {
namespace {

const char kDamagedQuestion[] =
    "The data structure of selected partition has been damaged.\rThis may cause recovered partition unaccessible. "
    "\r\rContinue?";
// Every change saves the sectors it writes before it writes them (AutoBackup.h): the question
// says so, and how to take the change back, instead of asking the user to save the tables.
const char kBackupQuestion[] =
    "You are recovering partition. The partition table sectors it changes are saved first;\r`quillmark-cli undo` or "
    "Tools > Undo last change takes the change back\rwhile the tables stay as it leaves them.\r\rContinue?";

}  // namespace

Reported<RecoverAsk> AskRecover(TPhysicalDrv& drive, TPartition& lost) {
  if (Outcome refusal = CheckRecoverPossible(drive, lost); !refusal) return {RecoverAsk::Refused, refusal};
  Host& host = drive.Io().UserHost();
  std::string report;
  BuildCheckReport(drive, lost, report);
  // A FAT or NTFS report that offers a preview has read the root directory; a superblock's
  // report names what it found invalid.
  const bool sound = IsSuperblockKind(lost.FsKind) ? report.find("Invalid") == std::string::npos
                                                   : report.find("Preview") != std::string::npos;
  if (lost.FsKind != fkHpfs && !sound &&
      host.MessageBox(kDamagedQuestion, "Recovering", MsgButtons::YesNo, MsgIcon::Warning) != MsgAnswer::Yes)
    return RecoverAsk::Declined;
  return host.MessageBox(kBackupQuestion, "Recovering", MsgButtons::YesNo, MsgIcon::Warning) == MsgAnswer::Yes
             ? RecoverAsk::Confirmed
             : RecoverAsk::Declined;
}

std::string BootSectorRestoreQuestion(const TPartition& find) {
  return "The boot sector of this partition at LBA " + std::to_string(find.AbsoluteStart()) +
         " is destroyed; its backup at LBA " + std::to_string(find.BootFromBackup) +
         " is intact.\rCopy the backup over the destroyed boot sector?\r\rThis writes one sector inside the "
         "partition itself, the only write outside the partition tables.";
}

bool ConfirmBootSectorRestore(Host& host, const TPartition& find) {
  return host.MessageBox(BootSectorRestoreQuestion(find), "Recovering", MsgButtons::YesNo, MsgIcon::Warning) ==
         MsgAnswer::Yes;
}

}  // namespace qm
