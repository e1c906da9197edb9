// The main window's actions that change a drive's tables: Active, Hide/Show, Delete,
// Fdisk/mbr, Backup, Restore and Rebuild.
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <utility>

#include "edit/AutoBackup.h"
#include "edit/TableBackup.h"
#include "edit/TableEdits.h"
#include "ui/Rebuild.h"
#include "ui/main.h"

namespace qm::ui {
namespace {

const QString kBackupFilter = QStringLiteral("Partition backup file (*.pfi)");

std::string FileName(const QString& path) { return QFile::encodeName(path).toStdString(); }

}  // namespace

void TfrmMain::InitTableEdits() {
  AskBackupFile = [this] {
    QFileDialog dialog(this, QStringLiteral("Backup Partition Table"), QString(), kBackupFilter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("pfi"));
    // The backup itself asks before it replaces a backup file, and refuses any other file.
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    return dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty() ? dialog.selectedFiles().front()
                                                                                   : QString();
  };
  AskRestoreFile = [this] { return QFileDialog::getOpenFileName(this, QString(), QString(), kBackupFilter); };
  ShowRebuild = [](TfrmRebuild& dialog) { return dialog.exec() == QDialog::Accepted; };
}

TPartition* TfrmMain::SelectedListedRecord() {
  const int row = ListView1->SelectedRow();
  return row < FirstLostRow ? RowRecord(row) : nullptr;
}

void TfrmMain::RunTableEdit(const std::function<void()>& edit) {
  // An edit reads the drive's tables again once it has written them, and on some early stops
  // too: the records the window points to may be freed while the edit still shows messages
  // over a window that repaints. The window lets go of them first and reloads the drive after.
  SelectedLost = nullptr;
  SelectedPartition = nullptr;
  edit();
  ViewReload();
}

void TfrmMain::ActiveExecute() {
  // The existing partition chosen last, in the list or on the map.
  if (!DriveReady() || !SelectedPartition) return;
  TPhysicalDrv& drive = *CurrentDrive;
  TPartition& record = *SelectedPartition;
  RunTableEdit([&] { Show(SetActivePartition(drive, record).Told); });
}

void TfrmMain::HideExecute() {
  TPartition* record = DriveReady() ? SelectedListedRecord() : nullptr;
  if (!record) return;
  TPhysicalDrv& drive = *CurrentDrive;
  RunTableEdit([&] { Show(HidePartition(drive, *record).Told); });
}

void TfrmMain::DeleteExecute() {
  TPartition* record = DriveReady() ? SelectedListedRecord() : nullptr;
  if (!record) return;
  TPhysicalDrv& drive = *CurrentDrive;
  RunTableEdit([&] { Show(DeletePartition(drive, *record).Told); });
}

void TfrmMain::MBRExecute() {
  if (!DriveReady()) return;
  TPhysicalDrv& drive = *CurrentDrive;
  RunTableEdit([&] { Show(RenewMasterBootRecord(drive).Told); });
}

void TfrmMain::BackupExecute() {
  if (!DriveReady()) return;
  QString file = AskBackupFile();
  if (file.isEmpty()) return;
  if (!QFileInfo(file).fileName().contains(QLatin1Char('.'))) file += QStringLiteral(".pfi");
  Show(BackupPartitionTable(*CurrentDrive, FileName(file)));
}

void TfrmMain::RestoreExecute() {
  if (!DriveReady()) return;
  const QString file = AskRestoreFile();
  if (file.isEmpty()) return;
  RunRestore([&] { return RestorePartitionTable(*CurrentDrive, FileName(file)); });
}

void TfrmMain::UndoExecute() {
  if (!DriveReady()) return;
  RunRestore([&] { return UndoLastChange(*CurrentDrive); });
}

void TfrmMain::RedoExecute() {
  if (!DriveReady()) return;
  RunRestore([&] { return RedoLastChange(*CurrentDrive); });
}

void TfrmMain::RunRestore(const std::function<EditOutcome()>& restore) {
  // A restore that writes reads every drive anew; one that stops before writing (a file that
  // fails its checks, a No) reads nothing, and the selection stays.
  TPartition* partition = std::exchange(SelectedPartition, nullptr);
  TPartition* lost = std::exchange(SelectedLost, nullptr);
  const EditOutcome result = restore();
  Show(result.Told);
  if (result == EditResult::Refused || result == EditResult::Cancelled) {
    SelectedPartition = partition;
    SelectedLost = lost;
    return;
  }
  RefreshExecute();
}

void TfrmMain::RebuildExecute() {
  // The drive must not be busy: a rebuild of a drive under a running scan is refused anyway.
  if (!DriveReady()) return;
  TPhysicalDrv& drive = *CurrentDrive;
  // The dialog's rebuild frees the records of the list (also when it does not start).
  SelectedLost = nullptr;
  SelectedPartition = nullptr;
  bool rebuilt = false;
  {
    TfrmRebuild dialog(drive, Rows, FirstLostRow, this);
    rebuilt = ShowRebuild(dialog);
  }
  if (rebuilt)
    RefreshExecute();
  else
    ViewReload();
}

}  // namespace qm::ui
