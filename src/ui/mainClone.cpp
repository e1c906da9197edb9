// The main window's Clone action: a lost partition copied onto a volume of the machine or into
// an image file.
#include <QApplication>
#include <QElapsedTimer>
#include <QFileDialog>

#include "disk/Host.h"
#include "edit/Clone.h"
#include "edit/Commit.h"
#include "ui/CloneTarget.h"
#include "ui/main.h"

namespace qm::ui {

void TfrmMain::CloneExecute() {
  if (!DriveReady()) return;
  const int row = ListView1->SelectedRow();
  if (row < 0) return;
  if (row < FirstLostRow) {
    host_.MessageBox("Can not clone existing partition.", "Clone", MsgButtons::Ok, MsgIcon::Warning);
    return;
  }
  TPartition* lost = RowRecord(row);
  if (!lost) return;

  TfrmDrives dialog(this);
  if (PhysicalDrives)
    for (const auto& volume : PhysicalDrives->LogicalDrives) dialog.AddDrive(*volume);
  const bool chosen = ShowCloneTarget ? ShowCloneTarget(dialog) : dialog.exec() == QDialog::Accepted;
  if (!chosen) return;
  const TLogiDrive* volume = dialog.SelectedDrive();
  std::string target;
  if (volume) {
    target = volume->Root;
  } else if (dialog.ImageFileChosen()) {
    // The replace question is ours: it names what a replaced file loses.
    const QString path = AskCloneFile ? AskCloneFile()
                                      : QFileDialog::getSaveFileName(this, QStringLiteral("Copy to image file"), QString(),
                                                                     QStringLiteral("Disk images (*.img);;All files (*)"),
                                                                     nullptr, QFileDialog::DontConfirmOverwrite);
    if (path.isEmpty()) return;
    target = path.toStdString();
  } else {
    return;
  }

  // Every check comes before the question; the target stays open from here to the end.
  TPhysicalDrv& drive = *CurrentDrive;
  Outcome refusal;
  const std::unique_ptr<TClonePlan> plan = PrepareClone(drive, *lost, target, refusal, volume);
  Show(refusal);
  if (!plan || !ConfirmClone(host_, *plan)) return;

  {
    StatusBarEx1->SetPanelText(0, QStringLiteral(" Processing ..."));
    StatusBarEx1->SetPanelText(2, QString());
    ListBox1->setEnabled(false);  // the drive under the copy stays the current one
    struct Restore {
      TfrmMain* w;
      ~Restore() {
        w->StatusBarEx1->SetPanelText(0, QString());
        w->ListBox1->setEnabled(true);
      }
    } restore{this};
    // The host's pump is paced for the scanner's one call per sector; a clone block is 2048
    // sectors, so the window is also let in here, every 15 ms, to repaint and take Stop.
    QElapsedTimer sincePump;
    sincePump.start();
    const CloneReport report = CloneLostPartition(drive, *plan, [this, &sincePump](uint64_t done, uint64_t total) {
      ShowProgress(done, total, QStringLiteral("Stop ends the copy."));
      if (total != 0 && sincePump.elapsed() < 15) return;
      QApplication::processEvents();
      sincePump.restart();
    });
    Show(report.Told);
  }
  // No reload: the drive's tables are as they were.
  FinishPendingClose();
}

}  // namespace qm::ui
